#ifndef ROLLBACKDATALIST_H
#define ROLLBACKDATALIST_H

#include "rollback.h"

#include <QList>

// File tasks append their records at the end; the list is undone from the end.
class RollbackDataList : public QList<RollbackData>
{
public:
    // Undoes every record, last first, and empties the list.  A failed record
    // does not stop the others; returns true only when every undo succeeded.
    bool rollback(QObject* target);
};

#endif // ROLLBACKDATALIST_H
