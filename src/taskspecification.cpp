#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent)
    , m_CancelRequested(false)
    , m_Weight(weight)
    , m_Progress(0.0)
    , m_State(STATE_IDLE)
{
}

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    m_CancelRequested = false;
    m_State = STATE_IDLE;
    m_Progress = 0.0;
    emit updateProgress(0.0);
}

void TaskSpecification::getDownloadStats(qulonglong& done, qulonglong& total, qulonglong& speed,
                                         bool& downloading)
{
    done = 0;
    total = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::requestCancel()
{
    m_CancelRequested = true;
}

void TaskSpecification::onOtherTaskCancelledHook(TaskSpecification* /*other*/)
{
}

void TaskSpecification::setProgress(qreal fraction)
{
    m_Progress = fraction * m_Weight;
    emit updateProgress(m_Progress);
}

void TaskSpecification::finish()
{
    m_State = STATE_FINISHED;
    m_Progress = m_Weight;
    emit updateProgress(m_Weight);
    emit finished(this);
}

void TaskSpecification::fail()
{
    m_State = STATE_FAILED;
    emit canceled(this);
}

void TaskSpecification::cancelled()
{
    m_State = STATE_CANCELLED;
    emit canceled(this);
}

void TaskSpecification::setWeight(qreal weight)
{
    m_Weight = weight;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && m_State == STATE_RUNNING)
        onOtherTaskCancelledHook(other);
}
