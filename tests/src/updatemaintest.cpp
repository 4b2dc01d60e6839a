// The `update` program as the client starts it: exit statuses, no window for an unusable command
// line, nothing on standard error, and German texts under a German locale.  Each case runs a
// copy of the built program inside a temporary client bundle, with its own TMPDIR, HOME and
// VX3_CONFIG_DIR; the probe style plug-in (probestyle.cpp) answers its message boxes and reports
// what it showed.
#include "common/clientbundle.h"
#include "common/httptestserver.h"
#include "common/otheruser.h"
#include "common/productiniwriter.h"
#include "common/testsigner.h"
#include "common/treesnapshot.h"
#include "common/updatefiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run {
    int status = -1;
    QByteArray standardError;
    QStringList probe; // what the program showed, in order
};

} // namespace

class UpdateMainTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_shared, m_tmp, m_config;
    quint16 m_closedPort = 0;

    // `env` entries are "NAME=value", or "-NAME" to leave the variable out; `wrapper` is a
    // command line the program is started through; `program` another copy of the updater.
    Run runUpdate(const QStringList &args, const QStringList &env, const QStringList &wrapper = QStringList(),
                  QString program = QString())
    {
        QFile::remove(m_root.path() + QStringLiteral("/probe.log"));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(VX_PROBE_PLUGIN_DIR));
        environment.insert(QStringLiteral("QT_STYLE_OVERRIDE"), QStringLiteral("vxprobe"));
        environment.insert(QStringLiteral("VXPROBE_LOG"), m_root.path() + QStringLiteral("/probe.log"));
        environment.insert(QStringLiteral("TMPDIR"), m_tmp);
        environment.insert(QStringLiteral("HOME"), m_root.path() + QStringLiteral("/home"));
        environment.insert(QStringLiteral("VX3_CONFIG_DIR"), m_config);
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        for (const QString &entry : env) {
            if (entry.startsWith(QLatin1Char('-')))
                environment.remove(entry.mid(1));
            else
                environment.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        }
        process.setProcessEnvironment(environment);
        if (program.isEmpty())
            program = m_shared + QStringLiteral("/update.app/Contents/MacOS/update");
        if (wrapper.isEmpty())
            process.start(program, args);
        else
            process.start(wrapper.first(), wrapper.mid(1) + QStringList(program) + args);
        Run run;
        // The event loop keeps running meanwhile: the program may be talking to a test server.
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        run.standardError = process.readAllStandardError();
        run.probe = QString::fromUtf8(ClientBundle::readFile(m_root.path() + QStringLiteral("/probe.log")))
                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return run;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_shared = m_root.path() + QStringLiteral("/Voxtrel 3 Client.app/Contents/SharedSupport");
        m_tmp = m_root.path() + QStringLiteral("/tmp");
        m_config = m_root.path() + QStringLiteral("/config");
        const QString program = m_shared + QStringLiteral("/update.app/Contents/MacOS/update");
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QVERIFY(QFile::copy(QStringLiteral(VX_UPDATE_PROGRAM), program));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QDir().mkpath(m_shared + QStringLiteral("/translations")));
        QVERIFY(QFile::copy(QStringLiteral(VX_UPDATE_QM_DIR "/update_de.qm"), m_shared + QStringLiteral("/translations/update_de.qm")));
        QVERIFY(QDir().mkpath(m_root.path() + QStringLiteral("/home")));

        // Downloads go to a local port nobody listens on.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        m_closedPort = probe.serverPort();
        probe.close();
    }

    void init()
    {
        QDir(m_tmp).removeRecursively();
        QDir(m_config).removeRecursively();
        QFile::remove(m_shared + QStringLiteral("/update.ini"));
        // A cached banner keeps the program's banner lookup off the network.
        QVERIFY(ClientBundle::writeFile(m_tmp + QStringLiteral("/voxtrel_banner.jpg"), QByteArray("\xff\xd8\xff", 3)));
        QVERIFY(ClientBundle::writeFile(m_tmp + QStringLiteral("/voxtrel_banner.txt"), "https%3A%2F%2Fbanner.example%2F"));
        QVERIFY(ClientBundle::writeFile(m_config + QStringLiteral("/update.ini"),
                                        QStringLiteral("[Channel]\nalpha=http://127.0.0.1:%1/\n").arg(m_closedPort).toUtf8()));
    }

    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("prepare");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("probe");

        const QStringList version{"--nouser", "update_macosx", "42"};
        QTest::newRow("unusable command line: box, no window, 1")
            << QStringList{"--nouser", "update_macosx", "4x2"} << QStringList() << QString() << 1
            << QStringList{"box Error|Invalid version nr (4x2)"};
        QTest::newRow("configuration error in the loop: 1")
            << version << QStringList() << QStringLiteral("no-session-folder") << 1
            << QStringList{"window Voxtrel 3 Client Update", "box Error|Unable to create temp directory."};
        QTest::newRow("engine fatal error: 2")
            << version << QStringList() << QStringLiteral("bad-proxy") << 2
            << QStringList{"window Voxtrel 3 Client Update", "box Error|'http://' is an invalid proxy speci" "fication"};
        QTest::newRow("failed update, window closed: 2")
            << version << QStringList{"VXPROBE_CLOSE_AFTER_BOX=1"} << QString() << 2
            << QStringList{"window Voxtrel 3 Client Update", "box Update|Update cancelled. Push \"Details\" to check reasons."};
        QTest::newRow("closed before the start: 0")
            << version << QStringList{"VXPROBE_CLOSE_MS=300"} << QString() << 0 << QStringList{"window Voxtrel 3 Client Update"};
        QTest::newRow("German locale: German texts")
            << version << QStringList{"VXPROBE_CLOSE_MS=300", "LC_ALL=de_DE.UTF-8", "LANG=de_DE.UTF-8"} << QString() << 0
            << QStringList{"window Voxtrel 3 Client Aktualisierung"};
    }

    void exitStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, env);
        QFETCH(QString, prepare);
        QFETCH(int, status);
        QFETCH(QStringList, probe);
        if (prepare == QLatin1String("no-session-folder")) {
            // Every session folder name is taken.
            for (int n = 0; n < 1000; ++n)
                QVERIFY(ClientBundle::writeFile(m_tmp + QStringLiteral("/voxtrel_temp_%1").arg(n), QByteArray()));
        } else if (prepare == QLatin1String("bad-proxy")) {
            QVERIFY(ClientBundle::writeFile(m_shared + QStringLiteral("/update.ini"), "[update]\nproxy=http://\n"));
        }
        const Run run = runUpdate(args, env);
        QCOMPARE(run.status, status);
        QCOMPARE(run.probe, probe);
        // Qt's own logging is discarded.
        QCOMPARE(run.standardError, QByteArray());
    }

    void unusableTempFolder_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<bool>("runs"); // false: the box, status 1, nothing written
        QTest::newRow("TMPDIR names a missing folder") << "missing" << false;
        QTest::newRow("TMPDIR names a plain file") << "file" << false;
        QTest::newRow("TMPDIR in a folder others can write") << "open parent" << false;
        QTest::newRow("own voxtrel-<uid> 0755: repaired") << "own 0755" << true;
        QTest::newRow("voxtrel-<uid> of another user") << "squatted" << true;
    }

    // A temp folder that cannot be used is said in a box; a folder under the updater's name that
    // is not right is mended or passed by, and the run goes on.  "area/tmp" stands in for /tmp.
    void unusableTempFolder()
    {
        QFETCH(QString, setUp);
        QFETCH(bool, runs);
        const QString name = QStringLiteral("voxtrel-%1").arg(geteuid());
        const QString area = m_root.path() + QStringLiteral("/area"), tmpdir = area + QStringLiteral("/tmp");
        QVERIFY(QDir(area).removeRecursively() && QDir().mkpath(area));
        const QByteArray named = QFile::encodeName(tmpdir + QLatin1Char('/') + name);
        if (setUp == QLatin1String("file")) {
            QVERIFY(ClientBundle::writeFile(tmpdir, "a file"));
        } else if (setUp == QLatin1String("open parent")) {
            QVERIFY(QDir().mkpath(tmpdir) && chmod(QFile::encodeName(area).constData(), 0777) == 0);
        } else if (setUp != QLatin1String("missing")) {
            QVERIFY(QDir().mkpath(named) && chmod(QFile::encodeName(tmpdir).constData(), 01777) == 0);
            if (setUp == QLatin1String("own 0755"))
                QVERIFY(chmod(named.constData(), 0755) == 0);
            else if (geteuid() != 0 || !OtherUser::giveTree(QString::fromUtf8(named)))
                QSKIP("no other user to make the folder");
        }
        const TreeSnapshot before = TreeSnapshot::take(area);
        const bool atRootBefore = QFileInfo::exists(QLatin1Char('/') + name);

        const Run run = runUpdate({"--nouser", "update_macosx", "42"},
                                  {QStringLiteral("TMPDIR=") + tmpdir, "VXPROBE_CLOSE_MS=300",
                                   QStringLiteral("VX3_TEST_BANNER_SERVER=127.0.0.1:%1").arg(m_closedPort)});
        QCOMPARE(run.standardError, QByteArray());
        // An empty temp path would give a folder at the root of the file system.
        QVERIFY(atRootBefore || !QFileInfo::exists(QLatin1Char('/') + name));
        QCOMPARE(run.status, runs ? 0 : 1);
        QCOMPARE(run.probe, runs ? QStringList{"window Voxtrel 3 Client Update"}
                                 : QStringList{"box Error|Unable to get temp directory."});
        // What changed lies in the folder taken (Qt's runtime folder may go in a temp folder).
        const QStringList entries = QDir(tmpdir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        const QString taken = runs ? entries.last() : QStringLiteral("runtime-");
        for (const QString &change : before.differences(TreeSnapshot::take(area)))
            QVERIFY2(change.startsWith(QStringLiteral("tmp/") + taken), qPrintable(change));
        if (!runs)
            return;
        QCOMPARE(entries.size(), setUp == QLatin1String("squatted") ? 2 : 1);
        QVERIFY(taken == name || (setUp == QLatin1String("squatted") && taken.startsWith(name + QLatin1Char('-'))));
        struct stat st {};
        QVERIFY(lstat(QFile::encodeName(tmpdir + QLatin1Char('/') + taken).constData(), &st) == 0);
        QVERIFY(S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700);
    }

    // Run as root over a bundle that another user can change, the program changes nothing, says
    // so in a box and ends with status 2, in both steps.
    void rootRefusesABundleOthersCanWrite_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("entry"); // below the Contents folder
        QTest::addColumn<bool>("giveAway"); // to another user, else made writable by the group
        const QStringList updater{"--nouser", "update_macosx", "42"};
        const QStringList client{"--clientupdate", "client_macosx", "42", "#"};
        QTest::newRow("another user's folder, updater step") << updater << "Resources" << true;
        QTest::newRow("another user's folder, client step") << client << "Resources" << true;
        QTest::newRow("settings file the group can write") << updater << "SharedSupport/update.ini" << false;
    }

    void rootRefusesABundleOthersCanWrite()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, entry);
        QFETCH(bool, giveAway);
        if (getuid() != 0)
            QSKIP("only root can give a folder to another user");
        const QString contents = m_shared + QStringLiteral("/..");
        const QString path = QDir::cleanPath(contents + QLatin1Char('/') + entry);
        QVERIFY(ClientBundle::writeFile(QDir::cleanPath(contents + "/Resources/help/index.html"), "page"));
        QVERIFY(ClientBundle::writeFile(m_shared + QStringLiteral("/update.ini"), "[update]\nstreams=2\n"));
        const QByteArray native = QFile::encodeName(path);
        struct Restore {
            QByteArray path;
            ~Restore() { (void)chown(path.constData(), 0, 0), chmod(path.constData(), 0755); }
        } restore{native};
        QVERIFY(giveAway ? chown(native.constData(), 65534, 65534) == 0 : chmod(native.constData(), 0664) == 0);
        const QString bundle = QDir::cleanPath(contents + QStringLiteral("/.."));
        const TreeSnapshot before = TreeSnapshot::take(bundle);
        const TreeSnapshot tempBefore = TreeSnapshot::take(m_tmp);

        const Run run = runUpdate(args, QStringList{"VXPROBE_CLOSE_AFTER_BOX=1"});
        QCOMPARE(run.status, 2);
        QCOMPARE(run.probe, QStringList{QStringLiteral("box Error|The bundle %1 is writable by another user (%2). It "
                                                       "should be updated by its owner.").arg(bundle, path)});
        QCOMPARE(TreeSnapshot::take(bundle).differences(before), QStringList());
        // No session folder, no arguments file (Qt's own runtime folder aside).
        QStringList tempChanges = TreeSnapshot::take(m_tmp).differences(tempBefore);
        tempChanges.erase(std::remove_if(tempChanges.begin(), tempChanges.end(),
                              [](const QString &d) { return d.startsWith(QLatin1String("runtime-")); }),
            tempChanges.end());
        QCOMPARE(tempChanges, QStringList());
    }

    // The client step's updater runs from a session folder whose record is missing: it would
    // take that folder for the client.  It refuses with a box and status 2, and makes no session.
    void clientStepWithoutItsRecord()
    {
        const QString session = m_tmp + QStringLiteral("/voxtrel_temp_0");
        const QString program = session + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update");
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QVERIFY(QFile::copy(QStringLiteral(VX_UPDATE_PROGRAM), program));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QFile::setPermissions(session, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const Run run = runUpdate({"--clientupdate", "client_macosx", "42", "#"}, {"VXPROBE_CLOSE_AFTER_BOX=1"},
                                  QStringList(), program);
        QCOMPARE(run.status, 2);
        QCOMPARE(run.probe, (QStringList{QStringLiteral("window Voxtrel 3 Client Update"),
                                         QStringLiteral("box Error|Refusing to update %1: it is an update session "
                                                        "folder, not a Voxtrel client").arg(session)}));
        QCOMPARE(QDir(m_tmp).entryList({"voxtrel_temp_*", "voxtrel_removing_*"}, QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"voxtrel_temp_0"});
    }

    void failedHandOver_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("blockArgsFile");
        QTest::addColumn<QString>("named"); // the file the box names, relative to the root
        QTest::addColumn<QString>("failure");

        QTest::newRow("updater step, arguments file blocked")
            << QStringList{"--nouser", "update_macosx", "42"} << true << "tmp/vx3clientupdateargs"
            << "for the next update step could not be written.";
        QTest::newRow("updater step, no fresh updater")
            << QStringList{"--nouser", "update_macosx", "42"} << false
            << "tmp/voxtrel_temp_0/SharedSupport/update.app/Contents/MacOS/update" << "could not be started.";
        QTest::newRow("client step, client missing")
            << QStringList{"--clientupdate", "client_macosx", "42", "#"} << false
            << "Voxtrel 3 Client.app/Contents/MacOS/vx3client_mac" << "could not be started.";
    }

    // An update that finishes but cannot hand over tells the user so and ends with status 2.
    // The product list names one file that is up to date, so the step finishes at once and
    // nothing is there to start.
    void failedHandOver()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, blockArgsFile);
        QFETCH(QString, named);
        QFETCH(QString, failure);

        const QString iniName = args.first() == QLatin1String("--clientupdate") ? QStringLiteral("vx3_client_macosx.ini")
                                                                               : QStringLiteral("update_macosx.ini");
        const QByteArray installed = ClientBundle::readFile(m_shared + QStringLiteral("/translations/update_de.qm"));
        const QByteArray list = "[.]\nSharedSupport/translations/update_de.qm=" + ProductIniWriter::fileValue(installed).toUtf8() + "\n";
        const QByteArray packed = UpdateFiles::container(list, false, m_root.path());
        QVERIFY(!packed.isEmpty());
        HttpTestServer server;
        server.setResponse("/42/" + iniName.toUtf8() + "._lzma2_", HttpTestServer::Response::ok(packed));
        server.setResponse("/42/" + iniName.toUtf8() + ".sig", HttpTestServer::Response::ok(TestSigner::sign(list)));
        QVERIFY(ClientBundle::writeFile(m_config + QStringLiteral("/update.ini"),
                                        QStringLiteral("[Channel]\nalpha=%1/\n").arg(server.baseUrl()).toUtf8()));
        if (blockArgsFile)
            QVERIFY(QDir().mkpath(m_tmp + QStringLiteral("/vx3clientupdateargs/blocked")));

        const Run run = runUpdate(args, QStringList());
        QCOMPARE(run.status, 2);
        QCOMPARE(run.probe.size(), 2);
        const QString box = QStringLiteral("box Error|");
        const QString path = QLatin1Char('"') + m_root.path() + QLatin1Char('/') + named + QLatin1Char('"');
        QVERIFY2(run.probe.at(1).startsWith(box) && run.probe.at(1).contains(path) && run.probe.at(1).endsWith(failure),
                 qPrintable(run.probe.join(QLatin1Char('\n'))));
        QCOMPARE(run.standardError, QByteArray());
    }
};

QTEST_GUILESS_MAIN(UpdateMainTest)
#include "updatemaintest.moc"
