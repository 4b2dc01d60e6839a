#include "common/realupdaterun.h"

#include "common/clientbundle.h"
#include "common/updatescenario.h"

#include "banner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSet>
#include <QThread>

#include <csignal>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
// The name a process of this test's children runs under (also for one that has ended and waits
// to be reaped).
QString commandName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

int statusCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

bool RealUpdateRun::Result::reportedSuccess() const
{
    if (!started || timedOut || !boxes.isEmpty() || updaterExits.isEmpty() || clientStarts == 0)
        return false;
    for (int code : updaterExits) {
        if (code != 0)
            return false;
    }
    return true;
}

bool RealUpdateRun::Result::reportedFailure() const
{
    if (!boxes.isEmpty())
        return true;
    for (int code : updaterExits) {
        if (code != 0)
            return true;
    }
    return false;
}

RealUpdateRun::RealUpdateRun(UpdateScenario& scenario, const QString& probePluginDir)
    : m_Scenario(scenario)
    , m_ProbePluginDir(probePluginDir)
{
}

bool RealUpdateRun::becomeSubreaper()
{
    static const bool done = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    return done;
}

RealUpdateRun::Result RealUpdateRun::run(const QStringList& extraEnvironment, int deadlineMs)
{
    Result result;
    if (!becomeSubreaper()) {
        result.error = QStringLiteral("cannot become the subreaper of the updaters");
        return result;
    }
    m_Scenario.applyEnvironment();
    // As the client leaves it: the banner is cached, so the banner service is never asked.
    QByteArray image;
    QString clickUrl;
    if (!Banner::readCache(&image, &clickUrl)
        && !Banner::writeCache(QByteArray("cached banner"), QStringLiteral("https://example.invalid/"))) {
        result.error = QStringLiteral("cannot seed the banner cache");
        return result;
    }
    const QString probeLog = m_Scenario.root() + QStringLiteral("/probe.log");
    QFile::remove(probeLog);
    QProcessEnvironment environment = m_Scenario.processEnvironment();
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), m_ProbePluginDir);
    environment.insert(QStringLiteral("QT_STYLE_OVERRIDE"), QStringLiteral("vxprobe"));
    environment.insert(QStringLiteral("VXPROBE_LOG"), probeLog);
    environment.insert(QStringLiteral("VXPROBE_CLOSE_AFTER_BOX"), QStringLiteral("1"));
    for (const QString& entry : extraEnvironment) {
        const int split = entry.indexOf(QLatin1Char('='));
        environment.insert(entry.left(split), entry.mid(split + 1));
    }
    const int startsBefore = m_Scenario.clientStarts();

    QList<QByteArray> envStore;
    for (const QString& entry : environment.toStringList())
        envStore << entry.toLocal8Bit();
    QVector<char*> envp;
    for (QByteArray& entry : envStore)
        envp << entry.data();
    envp << nullptr;
    QByteArray program = QFile::encodeName(m_Scenario.updaterProgram(false));
    QList<QByteArray> argStore{program};
    for (const QString& argument : m_Scenario.stepArguments(false))
        argStore << argument.toLocal8Bit();
    QVector<char*> argv;
    for (QByteArray& argument : argStore)
        argv << argument.data();
    argv << nullptr;

    QElapsedTimer clock;
    clock.start();
    pid_t first = -1;
    if (::posix_spawn(&first, program.constData(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        result.error = QStringLiteral("cannot start ") + QString::fromLocal8Bit(program);
        return result;
    }
    result.started = true;

    // Ends when no updater of the scenario runs any more and every child has been reaped.  The
    // process table is looked at every 100 ms; children are reaped and events handled every 10.
    bool firstEnded = false;
    QElapsedTimer quiet;
    QElapsedTimer lastLook;
    bool running = true;
    while (true) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        siginfo_t info{};
        while (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
            const pid_t pid = info.si_pid;
            const QString name = commandName(pid);
            int status = 0;
            if (::waitpid(pid, &status, 0) != pid)
                break;
            if (pid == first) {
                firstEnded = true;
                result.updaterExits << statusCode(status);
            } else if (name == QLatin1String("update")) {
                result.updaterExits << statusCode(status);
            }
            info = siginfo_t{};
        }
        if (!lastLook.isValid() || lastLook.elapsed() >= 100) {
            running = !m_Scenario.updaterProcesses().isEmpty();
            lastLook.start();
        }
        if (firstEnded && !running) {
            // A detached start may be between its forks: the scenario must stay quiet a moment.
            if (!quiet.isValid())
                quiet.start();
            else if (quiet.elapsed() > 300)
                break;
        } else {
            quiet.invalidate();
        }
        if (m_Tick)
            m_Tick();
        if (clock.elapsed() > deadlineMs) {
            result.timedOut = true;
            m_Scenario.endLeftoverUpdaters();
            if (!firstEnded) {
                ::kill(first, SIGKILL);
                int status = 0;
                ::waitpid(first, &status, 0);
            }
            break;
        }
        QThread::msleep(10);
    }
    result.elapsedMs = clock.elapsed();
    for (const QByteArray& line : ClientBundle::readFile(probeLog).split('\n')) {
        if (line.startsWith("box "))
            result.boxes << QString::fromUtf8(line.mid(4));
    }
    // The client is started last, detached: after a run without a failure it gets a moment to
    // note its start.
    QElapsedTimer clientWait;
    clientWait.start();
    while (!result.timedOut && !result.reportedFailure() && m_Scenario.clientStarts() == startsBefore
           && clientWait.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(20);
    }
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
    result.clientStarts = m_Scenario.clientStarts() - startsBefore;
    return result;
}
