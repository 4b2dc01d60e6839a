#include "composedtaskspecification.h"

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject* parent,
                                                     qreal weight)
    : TaskSpecification(parent, weight)
    , m_MaxParallel(maxParallel)
    , m_Failed(false)
    , m_DoneReported(false)
{
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    dropSubTasks(true);
}

void ComposedTaskSpecification::dropSubTasks(bool destroying)
{
    const QList<TaskSpecification*> subTasks = m_SubTasks;
    for (TaskSpecification* subTask : subTasks) {
        QObject::disconnect(subTask, nullptr, this, nullptr);
        QObject::disconnect(this, nullptr, subTask, nullptr);
        // A sub-task that is a Qt child goes with this object right away (QObject's
        // destructor): a deferred deletion would only have to be taken back from the event
        // queue, at a search of the whole queue for each of thousands of file tasks.
        if (!destroying || subTask->parent() != this)
            subTask->deleteLater();
    }
    m_SubTasks.clear();
    m_Pending.clear();
    m_Running.clear();
    m_Done.clear();
    m_SeenProgress.clear();
    m_ProgressSum = 0.0;
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* subTask)
{
    m_SubTasks.append(subTask);
    m_Pending.append(subTask);
    connectSubTask(subTask);
    m_SeenProgress.insert(subTask, subTask->m_Progress);
    m_ProgressSum += subTask->m_Progress;
    setProgress(m_ProgressSum);
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* subTask)
{
    connect(subTask, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(subTask, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    // The sub-task rides along: QObject::sender() would search every sender of this composite.
    connect(subTask, &TaskSpecification::updateProgress, this,
            [this, subTask](qreal) { onSubTaskProgress(subTask); });
    connect(subTask, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, subTask,
            &TaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::startSubTasks()
{
    m_State = STATE_RUNNING;
    const int n = std::min(m_MaxParallel, static_cast<int>(m_Pending.size()));
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!m_Pending.isEmpty() && !m_Failed && !m_CancelRequested) {
        TaskSpecification* next = m_Pending.takeFirst();
        m_Running.append(next);
        next->execute();
        return;
    }
    if (m_Running.isEmpty() && !m_DoneReported) {
        m_DoneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal /*doneFrac*/)
{
    m_ProgressSum = 0.0;
    for (const TaskSpecification* subTask : qAsConst(m_SubTasks)) {
        m_SeenProgress.insert(subTask, subTask->m_Progress);
        m_ProgressSum += subTask->m_Progress;
    }
    setProgress(m_ProgressSum);
}

void ComposedTaskSpecification::onSubTaskProgress(const TaskSpecification* subTask)
{
    // The sum over all sub-tasks, kept up to date by the change of the one that reported: a
    // step of thousands of files would otherwise add them all up for every report.
    const auto seen = m_SeenProgress.find(subTask);
    if (seen == m_SeenProgress.end()) {
        onUpdateProgress(0.0);
        return;
    }
    m_ProgressSum += subTask->m_Progress - seen.value();
    seen.value() = subTask->m_Progress;
    setProgress(m_ProgressSum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* subTask)
{
    m_Running.removeOne(subTask);
    m_Done.append(subTask);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* subTask)
{
    m_Running.removeOne(subTask);
    m_Done.append(subTask);
    if (!m_Failed) {
        m_Failed = true;
        emit otherTaskCancelled(subTask);
    }
    if (m_Running.isEmpty() && !m_DoneReported) {
        m_DoneReported = true;
        subtasksDone();
    }
}

int ComposedTaskSpecification::aggregateState() const
{
    bool anyCancelled = false;
    bool allFinished = true;
    for (const TaskSpecification* subTask : m_SubTasks) {
        if (subTask->m_State == STATE_FAILED)
            return STATE_FAILED;
        if (subTask->m_State == STATE_CANCELLED)
            anyCancelled = true;
        if (subTask->m_State != STATE_FINISHED)
            allFinished = false;
    }
    if (anyCancelled)
        return STATE_CANCELLED;
    if (allFinished)
        return STATE_FINISHED;
    if (m_CancelRequested)
        return STATE_CANCELLED;
    if (m_Failed)
        return STATE_FAILED;
    return STATE_RUNNING;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (aggregateState()) {
    case STATE_CANCELLED:
        cancelled();
        break;
    case STATE_FINISHED:
        finish();
        break;
    default:
        fail();
        break;
    }
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification*> subTasks = m_SubTasks;
    for (TaskSpecification* subTask : subTasks)
        subTask->reset();
    m_Pending = m_SubTasks;
    m_Running.clear();
    m_Done.clear();
    m_Failed = false;
    m_DoneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadStats(qulonglong& done, qulonglong& total,
                                                 qulonglong& speed, bool& downloading)
{
    downloading = false;
    const QList<TaskSpecification*> subTasks = m_SubTasks;
    for (TaskSpecification* subTask : subTasks) {
        qulonglong subDone = 0;
        qulonglong subTotal = 0;
        qulonglong subSpeed = 0;
        bool subDownloading = false;
        subTask->getDownloadStats(subDone, subTotal, subSpeed, subDownloading);
        if (subDownloading)
            downloading = true;
        speed += subSpeed;
        if (subTotal != 0) {
            done += subDone;
            total += subTotal;
        }
    }
}

void ComposedTaskSpecification::requestCancel()
{
    TaskSpecification::requestCancel();
    if (m_State != STATE_RUNNING)
        return;
    const QList<TaskSpecification*> subTasks = m_SubTasks;
    for (TaskSpecification* subTask : subTasks)
        subTask->requestCancel();
}

void ComposedTaskSpecification::onOtherTaskCancelledHook(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}
