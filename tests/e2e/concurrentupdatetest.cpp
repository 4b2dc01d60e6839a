// Two updaters started on one installation a moment apart, as a double click or a client started
// twice does it.  The first one updates the bundle in its two steps and starts the client; the
// second one must leave the installation alone whatever step the first is in when it looks
// (the first step, the hand-over between the steps, the second step), tell the user and end with
// status 2, either when the user answers its box or by itself once the first is done, also when it
// reaches the installation through a bind mount of its folder (another path to the same folder).
// The bundle ends as N+1, each product list is fetched once, the client starts once, and no session folder
// and no updater process is left.

#include "common/clientbundle.h"
#include "common/updatescenario.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace
{
const int kOldVersion = 21;
// The second updater looks at the installation 2 s after its start; the first one's client step
// is held at its product list until then, so that its session cannot end before.
const int kHoldMs = 6000;
const int kRunMs = 120000;
const int kEndMs = 20000;

// Runs "<program> <arguments>" in a mount namespace of its own in which the folder of the first
// argument is also seen at the second (a bind mount); ends with status 97 when the mount fails.
const char *const kBindMountedStart =
    "from=$1 to=$2; shift 2; mount --bind \"$from\" \"$to\" || exit 97; exec \"$@\"";

QStringList bindMountedCommand(const QString &from, const QString &to, const QString &program,
                               const QStringList &arguments)
{
    return QStringList {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                        QStringLiteral("/bin/sh"), QStringLiteral("-c"), QString::fromLatin1(kBindMountedStart),
                        QStringLiteral("sh"), from, to, program}
        + arguments;
}
} // namespace

class ConcurrentUpdateTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    UpdateRelease m_Release;
    int m_Scenarios = 0;

private slots:
    void initTestCase()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
        QString error;
        QVERIFY2(m_Release.build(m_Dir->filePath("release"), QStringLiteral(VX_UPDATE_BINARY), kOldVersion, &error),
                 qPrintable(error));
    }

    void secondUpdaterLeavesTheInstallationAlone_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("answerBox");
        QTest::addColumn<bool>("throughMount"); // the second one is started through a bind mount
        QTest::newRow("0.2 s apart") << 200 << false << false;
        QTest::newRow("0.7 s apart, box answered") << 700 << true << false;
        QTest::newRow("1.5 s apart") << 1500 << false << false;
        QTest::newRow("1.5 s apart, the second through a bind mount") << 1500 << false << true;
        QTest::newRow("2.2 s apart, box answered") << 2200 << true << false;
        QTest::newRow("3 s apart") << 3000 << false << false;
    }

    void secondUpdaterLeavesTheInstallationAlone()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, answerBox);
        QFETCH(bool, throughMount);
        if (throughMount) {
            const QString probeDir = m_Dir->filePath(QStringLiteral("mount-probe"));
            QVERIFY(QDir().mkpath(probeDir));
            QProcess probe;
            probe.start(QStringLiteral("unshare"),
                        bindMountedCommand(probeDir, probeDir, QStringLiteral("/bin/true"), {}));
            if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
                QSKIP(qPrintable(QStringLiteral("needs a private mount namespace with a bind mount (root): ")
                                 + QString::fromLocal8Bit(probe.readAllStandardError()).trimmed()
                                 + probe.errorString()));
        }

        UpdateImageServer server(m_Release.servedRoot());
        UpdateScenario scenario(m_Release, m_Dir->filePath(QStringLiteral("s%1").arg(++m_Scenarios)));
        QString error;
        QVERIFY2(scenario.setUp(server.baseUrl(), &error), qPrintable(error));
        const QString updaterList = m_Release.versionDir() + QStringLiteral("/update_macosx.ini._lzma2_");
        const QString clientList = m_Release.versionDir() + QStringLiteral("/vx3_client_macosx.ini._lzma2_");
        server.addFault(clientList, UpdateImageServer::Fault::Stall, 1);

        // The probe style answers the second updater's box at once and notes what it said.
        const QString probeLog = scenario.root() + QStringLiteral("/probe.log");
        QStringList probe;
        if (answerBox)
            probe << QStringLiteral("QT_PLUGIN_PATH=" VX_PROBE_PLUGIN_DIR) << QStringLiteral("QT_STYLE_OVERRIDE=vxprobe")
                  << QStringLiteral("VXPROBE_LOG=") + probeLog;

        QProcess first;
        QProcess second;
        QVERIFY2(scenario.startProgram(&first, false, &error), qPrintable(error));
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < delayMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(10);
        }
        if (throughMount) {
            // The same installation as <root>/mirror/...: another path, the same folders.
            const QString mirror = scenario.root() + QStringLiteral("/mirror");
            QVERIFY(QDir().mkpath(mirror));
            const QString installed = scenario.root() + QStringLiteral("/install");
            QString program = scenario.updaterProgram(false);
            program.replace(installed, mirror);
            second.setProcessEnvironment(scenario.processEnvironment());
            second.start(QStringLiteral("unshare"),
                         bindMountedCommand(installed, mirror, program, scenario.stepArguments(false)));
            QVERIFY2(second.waitForStarted(10000), qPrintable(second.errorString()));
        } else {
            QVERIFY2(scenario.startProgram(&second, false, &error, probe), qPrintable(error));
        }
        QElapsedTimer sinceSecond;
        sinceSecond.start();

        bool released = false;
        QElapsedTimer sinceClient; // everything ends within moments of the client's start
        while (clock.elapsed() < kRunMs && !(sinceClient.isValid() && sinceClient.elapsed() > kEndMs)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (!released && server.requestCount(clientList) > 0
                && (second.state() == QProcess::NotRunning || sinceSecond.elapsed() > kHoldMs)) {
                server.http().releaseStalled();
                released = true;
            }
            if (scenario.clientStarts() > 0 && !sinceClient.isValid())
                sinceClient.start();
            if (scenario.clientStarts() > 0 && first.state() == QProcess::NotRunning
                && second.state() == QProcess::NotRunning && scenario.updaterProcesses().isEmpty())
                break;
            QThread::msleep(20);
        }
        if (!released)
            server.http().releaseStalled();
        const QStringList left = scenario.endLeftoverUpdaters();
        first.waitForFinished(5000);
        second.waitForFinished(5000);

        QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("updaters still running: ") + left.join(QStringLiteral("; "))));
        QCOMPARE(scenario.clientStarts(), 1);
        QCOMPARE(server.requestCount(updaterList), 1);
        QCOMPARE(server.requestCount(clientList), 1);
        const QStringList differences = scenario.differencesFrom(m_Release.newTree(), true);
        QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n')));
        QCOMPARE(scenario.bundleLeftovers(), QStringList());
        QCOMPARE(scenario.tmpLeftovers(), QStringList());
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 2);
        if (answerBox) {
            const QString said = QString::fromUtf8(ClientBundle::readFile(probeLog));
            QVERIFY2(said.contains(QStringLiteral("box Update|An update of this Voxtrel installation is already running.")),
                     qPrintable(said));
        }
    }
};

QTEST_MAIN(ConcurrentUpdateTest)
#include "concurrentupdatetest.moc"
