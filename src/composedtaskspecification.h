#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QHash>
#include <QList>

// A task that runs sub-tasks in the order they were added, at most
// m_MaxParallel at a time.  Its progress is the sum of the sub-tasks' weighted
// progress times its own weight.  After the first sub-task is canceled nothing
// new is started, the running siblings are told through otherTaskCancelled,
// and once the last running one has ended the composite ends in the state
// that aggregateState() derives.
//
// Subclasses build their sub-tasks in execute() (by convention in a
// non-virtual makeSubtasksAndStart) and then call startSubTasks().
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, QObject* parent, qreal weight);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void getDownloadStats(qulonglong& done, qulonglong& total, qulonglong& speed,
                          bool& downloading) override;
    void requestCancel() override;
    void onOtherTaskCancelledHook(TaskSpecification* other) override;

    // Ends the composite according to aggregateState(): 4 cancelled(), 2 finish(),
    // anything else fail().
    virtual void subtasksDone();
    // The six connections between a sub-task and this composite.
    virtual void connectSubTask(TaskSpecification* subTask);

    void addSubTask(TaskSpecification* subTask);
    void startSubTasks();
    int aggregateState() const;
    // Cuts every sub-task loose (both directions of its connections), hands it
    // to deleteLater and empties the four lists.  Composites that rebuild their
    // sub-tasks on each run call it from reset().
    // Disconnects the sub-tasks and lets them go (deleteLater; when destroying, the Qt children
    // are left to QObject's destructor), then empties the lists.
    void dropSubTasks(bool destroying = false);
    // A sub-task reported progress: the sum changes by its change.
    void onSubTaskProgress(const TaskSpecification* subTask);

    QList<TaskSpecification*> m_SubTasks;
    QList<TaskSpecification*> m_Pending;
    QList<TaskSpecification*> m_Running;
    QList<TaskSpecification*> m_Done;
    int m_MaxParallel;
    bool m_Failed;
    bool m_DoneReported;
    // The sum of the sub-tasks' progress and each one's share of it as last seen.
    QHash<const TaskSpecification*, qreal> m_SeenProgress;
    qreal m_ProgressSum = 0.0;

signals:
    void startNextTask();

public slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* subTask);
    void onSubTaskCanceled(TaskSpecification* subTask);
};

#endif // COMPOSEDTASKSPECIFICATION_H
