// Starting the next program: the arguments file for the next updater, the start of the updater
// bundle of the session folder and of the client bundle.  Stand-in executables record their
// arguments and working folder.
#include "applauncher.h"
#include "common/tempenvironment.h"
#include "configuration.h"
#include "processtools.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Puts an executable at <bundle>/Contents/MacOS/<name> that writes its working folder and then
// its arguments, one a line, to `record`.
bool makeStandIn(const QString &bundle, const QString &name, const QString &record)
{
    const QString dir = bundle + "/Contents/MacOS";
    QFile file(dir + "/" + name);
    if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray script = "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > '"
                              + record.toUtf8() + ".part' && mv '" + record.toUtf8() + ".part' '"
                              + record.toUtf8() + "'\n";
    return file.write(script) == script.size()
        && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray waitForRecord(const QString &record)
{
    if (!QTest::qWaitFor([&] { return QFile::exists(record); }, 10000))
        return QByteArray();
    QFile file(record);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class ProcessToolsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempEnvironment> m_root;
    QString m_tmp;

    QString path(const QString &relative) const { return m_root->path(relative); }

private slots:
    void init()
    {
        m_root = std::make_unique<TempEnvironment>();
        QVERIFY(m_root->isValid());
        m_tmp = m_root->tmp();
    }

    void startClientUpdater_data()
    {
        QTest::addColumn<QString>("session");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("stale");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("four arguments") << "voxtrel_temp_0" << QStringList{"--clientupdate", "client_macosx", "3", "#"}
                                        << QByteArray() << QByteArray("--clientupdate\nclient_macosx\n3\n#\n");
        QTest::newRow("stale file replaced") << "voxtrel_temp_1" << QStringList{"--clientupdate", "client_macosx", "4", "4.0"}
                                             << QByteArray("--nouser\nupdate_macosx\n999\nold old old old old\n")
                                             << QByteArray("--clientupdate\nclient_macosx\n4\n4.0\n");
        QTest::newRow("shell characters in path") << "a b/$HOME `x` 'q\" ;c" << QStringList{"--clientupdate"}
                                                  << QByteArray() << QByteArray("--clientupdate\n");
        QTest::newRow("no arguments") << "s" << QStringList() << QByteArray("old\n") << QByteArray("");
    }

    // The next updater starts with no arguments, in its own folder, and finds exactly the
    // arguments it was given in the file.
    void startClientUpdater()
    {
        QFETCH(QString, session);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, stale);
        QFETCH(QByteArray, expected);

        const QString tempDir = path(session);
        const QString bundle = tempDir + "/SharedSupport/update.app";
        const QString record = path("record");
        QVERIFY(makeStandIn(bundle, ProcessTools::updaterExecutableName(), record));
        if (!stale.isNull()) {
            QFile old(Configuration::argsFilePath());
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write(stale) == stale.size());
        }

        QVERIFY(ProcessTools::startClientUpdater(tempDir, args));
        QFile argsFile(m_tmp + "/vx3clientupdateargs");
        QVERIFY(argsFile.open(QIODevice::ReadOnly));
        QCOMPARE(argsFile.readAll(), expected);
        QCOMPARE(waitForRecord(record), QFile::encodeName(bundle + "/Contents/MacOS") + "\n");
    }

    // Without a complete arguments file the next updater would run on stale or no arguments.
    void argsFileNotWritable()
    {
        const QString tempDir = path("session");
        const QString record = path("record");
        QVERIFY(makeStandIn(tempDir + "/SharedSupport/update.app", ProcessTools::updaterExecutableName(), record));
        QVERIFY(QDir().mkpath(Configuration::argsFilePath() + "/blocked"));

        ProcessTools::Failure failure;
        QVERIFY(!ProcessTools::startClientUpdater(tempDir, {"--clientupdate", "client_macosx", "3", "#"}, &failure));
        QCOMPARE(failure.kind, ProcessTools::Failure::ArgsFileNotWritten);
        QCOMPARE(failure.path, Configuration::argsFilePath());
        QTest::qWait(500);
        QVERIFY(!QFile::exists(record));
    }

    // An old entry that cannot be written through (here a link into a missing folder) is
    // removed, not left for the next updater.
    void oldEntryRemovedFirst()
    {
        const QString tempDir = path("session");
        const QString record = path("record");
        QVERIFY(makeStandIn(tempDir + "/SharedSupport/update.app", ProcessTools::updaterExecutableName(), record));
        QVERIFY(QFile::link(path("missing/args"), Configuration::argsFilePath()));

        QVERIFY(ProcessTools::startClientUpdater(tempDir, {"--clientupdate"}));
        QVERIFY(!QFileInfo(Configuration::argsFilePath()).isSymLink());
        QCOMPARE(Configuration::readArgsFile(), QStringList({"", "--clientupdate"}));
        QVERIFY(!waitForRecord(record).isEmpty());
    }

    void missingUpdaterNotStarted()
    {
        ProcessTools::Failure failure;
        QVERIFY(!ProcessTools::startClientUpdater(path("nothing"), {"--clientupdate"}, &failure));
        QCOMPARE(failure.kind, ProcessTools::Failure::NotStarted);
        QCOMPARE(failure.path, path("nothing/SharedSupport/update.app/Contents/MacOS/update"));
    }

    void missingClientNotStarted()
    {
        ProcessTools::Failure failure;
        QVERIFY(!ProcessTools::startVx3Client(path("Applications/Voxtrel 3 Client.app/Contents/"), &failure));
        QCOMPARE(failure.kind, ProcessTools::Failure::NotStarted);
        QCOMPARE(failure.path, path("Applications/Voxtrel 3 Client.app/Contents/MacOS/vx3client_mac"));
    }

    void startVx3Client_data()
    {
        QTest::addColumn<QString>("installDir");
        QTest::newRow("trailing slash") << "Voxtrel 3 Client.app/Contents/";
        QTest::newRow("no trailing slash") << "Voxtrel 3 Client.app/Contents";
    }

    void startVx3Client()
    {
        QFETCH(QString, installDir);
        const QString bundle = path("Applications/Voxtrel 3 Client.app");
        const QString record = path("record");
        QVERIFY(makeStandIn(bundle, Configuration::clientExecutableName(), record));

        QVERIFY(ProcessTools::startVx3Client(path("Applications/" + installDir)));
        QCOMPARE(waitForRecord(record), QFile::encodeName(bundle + "/Contents/MacOS") + "\n");
    }

    void launcherRefuses_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<QString>("changeable"); // what another user could change, below X.app
        QTest::newRow("not executable") << "app" << false << QString();
        QTest::newRow("name with a path") << "../MacOS/app" << true << QString();
        QTest::newRow("missing") << "other" << true << QString();
        QTest::newRow("another user's program") << "app" << true << "Contents/MacOS/app";
        QTest::newRow("a library folder others can write") << "app" << true << "Contents/Frameworks";
        QTest::newRow("a folder above the bundle others can write") << "app" << true << "..";
    }

    void launcherRefuses()
    {
        QFETCH(QString, name);
        QFETCH(bool, executable);
        QFETCH(QString, changeable);
        const QString bundle = path("X.app");
        QVERIFY(makeStandIn(bundle, "app", path("record")));
        if (!executable)
            QVERIFY(QFile::setPermissions(bundle + "/Contents/MacOS/app", QFile::ReadOwner | QFile::WriteOwner));
        if (!changeable.isEmpty() && getuid() != 0)
            QSKIP("only root's starts are held to the bundle's owners");
        if (changeable.endsWith("/app")) {
            QVERIFY(lchown(QFile::encodeName(bundle + "/" + changeable).constData(), 65534, 65534) == 0);
        } else if (!changeable.isEmpty()) {
            QVERIFY(QDir().mkpath(bundle + "/" + changeable));
            QVERIFY(chmod(QFile::encodeName(bundle + "/" + changeable).constData(), 0777) == 0);
        }
        QVERIFY(!AppLauncher::launch(bundle, name));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(path("record")));
    }
};

QTEST_GUILESS_MAIN(ProcessToolsTest)
#include "processtoolstest.moc"
