#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file, a folder with everything in it (recursive) or an empty folder together with
// the parents that become empty.  Records nothing: a deletion is never undone.  Unless
// failOnError is set, a deletion that does not succeed still finishes the task.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool failOnError, const QString& path, bool recursive,
                                QObject* parent, qreal weight);

    bool doOp() override;

    bool m_FailOnError;
    bool m_Recursive;
};

#endif // FILEDELETETASKSPECIFICATION_H
