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
    dropSubTasks();
}

void ComposedTaskSpecification::dropSubTasks()
{
    const QList<TaskSpecification*> subTasks = m_SubTasks;
    for (TaskSpecification* subTask : subTasks) {
        QObject::disconnect(subTask, nullptr, this, nullptr);
        QObject::disconnect(this, nullptr, subTask, nullptr);
        subTask->deleteLater();
    }
    m_SubTasks.clear();
    m_Pending.clear();
    m_Running.clear();
    m_Done.clear();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* subTask)
{
    m_SubTasks.append(subTask);
    m_Pending.append(subTask);
    connectSubTask(subTask);
    onUpdateProgress(0.0);
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* subTask)
{
    connect(subTask, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(subTask, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(subTask, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(subTask, &TaskSpecification::updateProgress, this,
            &ComposedTaskSpecification::onUpdateProgress);
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
    qreal sum = 0.0;
    for (const TaskSpecification* subTask : qAsConst(m_SubTasks))
        sum += subTask->m_Progress;
    setProgress(sum);
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
