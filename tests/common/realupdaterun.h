#pragma once
// A whole two-step update by the real `update` programs of a scenario, followed to its end: step
// one (the installed updater) is started as the client starts it, step two is the fresh updater
// step one starts detached, and the stand-in client the one step two starts.  The test process
// makes itself the child subreaper, so that the detached programs become its children when their
// starter has gone and their exit statuses can be read.  The probe style (tests/src/probestyle)
// answers every message box, notes it and closes the window, so that a failed step ends by itself
// with its status.  While the run lasts, the test's own event loop keeps running (the image server
// lives in it).

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class UpdateScenario;

class RealUpdateRun
{
public:
    struct Result
    {
        bool started = false;
        bool timedOut = false;     // an updater was still running at the deadline (then killed)
        QList<int> updaterExits;   // exit statuses of the updater programs in order of their end
                                   // (-1: ended by a signal)
        QStringList boxes;         // "<title>|<text>" of every message box shown
        int clientStarts = 0;
        qint64 elapsedMs = 0;
        QString error;             // why the run could not be started

        // Every updater ended with status 0, no box was shown and the client was started.
        bool reportedSuccess() const;
        // A box was shown or an updater ended with another status.
        bool reportedFailure() const;
    };

    // probePluginDir: the folder holding "styles/" with the probe style plug-in.
    RealUpdateRun(UpdateScenario& scenario, const QString& probePluginDir);

    // Runs the update with the extra "NAME=value" entries in every program's environment; every
    // updater that still runs after deadlineMs is killed.
    Result run(const QStringList& extraEnvironment, int deadlineMs);

    // Called about every 10 ms while a run lasts.
    void setTick(std::function<void()> tick) { m_Tick = std::move(tick); }

    // Makes this process the subreaper of its descendants (once per process).  False when the
    // system refuses.
    static bool becomeSubreaper();

private:
    UpdateScenario& m_Scenario;
    QString m_ProbePluginDir;
    std::function<void()> m_Tick;
};
