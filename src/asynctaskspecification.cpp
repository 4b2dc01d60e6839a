#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
{
}

ASyncTaskSpecification::~ASyncTaskSpecification() = default;

void ASyncTaskSpecification::execute()
{
    ASyncFunc* func = createFunc();
    connectFunc(func);
    ASyncRun* run = new ASyncRun(func);
    QThreadPool::globalInstance()->start(run, 0);
    m_State = STATE_RUNNING;
}

void ASyncTaskSpecification::connectFunc(ASyncFunc* func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runFinished(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::runFinished(bool ok)
{
    if (m_State != STATE_RUNNING)
        return;
    if (ok)
        finish();
    else
        fail();
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone(-1);
    TaskSpecification::reset();
}
