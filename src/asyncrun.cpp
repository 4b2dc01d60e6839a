#include "asyncrun.h"

#include "asyncfunc.h"

#include <QCoreApplication>
#include <QThread>

#include <exception>

ASyncRun::ASyncRun(ASyncFunc* func)
    : m_Func(func)
{
    setAutoDelete(true);
    // Release the work object from the creating thread so that the pool
    // thread can adopt it: objects it creates as children during run() and its
    // deletion then happen in the thread it belongs to.  Its signals reach the
    // task through queued connections either way.
    if (m_Func && m_Func->thread() == QThread::currentThread())
        m_Func->moveToThread(nullptr);
}

ASyncRun::~ASyncRun()
{
    delete m_Func;
}

void ASyncRun::run()
{
    if (!m_Func)
        return;
    if (m_Func->thread() == nullptr)
        m_Func->moveToThread(QThread::currentThread());

    bool ok = false;
    // An exception must not leave a pool thread: that would end the whole
    // updater, possibly half way through replacing the client's files.
    try {
        ok = m_Func->run();
    } catch (const std::exception& e) {
        emit m_Func->message(QCoreApplication::translate("ASyncRun", "Unexpected error: %1")
                                 .arg(QString::fromLocal8Bit(e.what())));
        ok = false;
    } catch (...) {
        emit m_Func->message(QCoreApplication::translate("ASyncRun", "Unexpected error"));
        ok = false;
    }
    emit m_Func->runResult(ok);
}
