#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QString>

class RollbackData;
class RollbackDataList;

// A synchronous file operation: execute() runs doOp() and ends the task
// before returning.  doOp() records what it changed through addRollback.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                QObject* parent, qreal weight);
    ~FastFileOpTaskSpecification() override;

    void execute() override;
    virtual bool doOp() = 0;

    // Appends a copy of the record when there is a list.
    void addRollback(const RollbackData& record);

    RollbackDataList* m_RollbackList; // not owned, may be null
    QString m_Path;
};

#endif // FASTFILEOPTASKSPECIFICATION_H
