#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames a file to a new name (the base's path) and records the rename; its undo renames the
// file back.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& source, const QString& newName,
                                RollbackDataList* rollbackList, QObject* parent, qreal weight);

    bool doOp() override;

    QString m_Source;
};

#endif // FILERENAMETASKSPECIFICATION_H
