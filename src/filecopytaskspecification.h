#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

// Copies a file into place on the thread pool and records the copy as a created file.  Fails
// when the destination already exists.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                              const QString& destination, QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
};

#endif // FILECOPYTASKSPECIFICATION_H
