#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a folder with every missing parent, outermost first, and records each folder it
// created (DIR_CREATE) so that a rollback removes them again, innermost first.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                               QObject* parent, qreal weight);

    bool doOp() override;
    // Creates p (and its missing parents); true when p is a folder afterwards.
    bool createDir(const QString& p);
};

#endif // DIRCREATETASKSPECIFICATION_H
