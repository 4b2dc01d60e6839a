#pragma once
// Runs a task in a real event loop until it reports finished or canceled.
//
// Header-only; include it from test programs that link updatecore.

#include "taskspecification.h"

#include <QEventLoop>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>
#include <QTimer>

// Executes the task and waits for its end; returns its state, or -1 when it was still running
// after timeoutMs.
inline int runTask(TaskSpecification& task, int timeoutMs = 30000)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    task.execute();
    if (task.m_State == TaskSpecification::STATE_RUNNING)
        loop.exec();
    QObject::disconnect(&task, nullptr, &loop, nullptr);
    return task.m_State == TaskSpecification::STATE_RUNNING ? -1 : task.m_State;
}

// The first arguments of every signal a spy has seen, as text (the texts of a spy on message).
inline QStringList spyTexts(const QSignalSpy& spy)
{
    QStringList out;
    for (const auto& m : spy)
        out << m.at(0).toString();
    return out;
}
