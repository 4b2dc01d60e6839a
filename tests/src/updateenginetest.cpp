// The update engine's session handling, clean-up, proxy set-up and banner image fetch, on
// temporary trees and against a local HTTP server.
#include "configuration.h"
#include "updateengine.h"
#include "updateinidata.h"

#include "common/callfaults.h"
#include "common/clientbundle.h"
#include "common/storageprobe.h"
#include "common/httptestserver.h"
#include "common/peakmemory.h"
#include "common/updatefiles.h"
#include "common/taskrunner.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

class UpdateEngineTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_temp;       // what QDir::tempPath() gives during the test
    QString m_shared;     // the client bundle's SharedSupport folder, where update.app lives
    QByteArray m_oldTmp;

    QString sessionDir(int n) const { return m_temp + "/voxtrel_temp_" + QString::number(n); }
    QString contents() const { return m_shared + "/.."; }

    // A client whose replacement left "Resources/page" (new) with its original kept aside, and
    // a new file that never took its name.
    void writeReplacedClient()
    {
        QVERIFY(ClientBundle::writeFile(contents() + "/Resources/page", "new"));
        QVERIFY(ClientBundle::writeFile(contents() + "/Resources/page._vxold_", "old"));
        QVERIFY(ClientBundle::writeFile(contents() + "/MacOS/tool._vxnew_", "half"));
    }

    // The session record of a client step in folder dir, as the updater step writes it.
    void writeSessionRecord(const QString &dir, int version, bool committed)
    {
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.ini",
                                        QString("[current]\ndir=%1\ntype=client_macosx\nversion=%2\nvx3dir=%3\n%4")
                                            .arg(dir).arg(version).arg(contents(), committed ? "committed=true\n" : "")
                                            .toUtf8()));
        QVERIFY(QDir().mkpath(dir + "/SharedSupport/update.app/Contents/MacOS"));
    }

    // The client step's updater runs from its session folder.
    void runFromSession(const QString &dir)
    {
        Configuration::setApplicationDirForTesting(dir + "/SharedSupport/update.app/Contents/MacOS");
    }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        m_temp = m_root->filePath("tmp");
        QDir().mkpath(m_temp);
        m_oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", m_temp.toUtf8());
        QCOMPARE(QFileInfo(QDir::tempPath()).canonicalFilePath(), QFileInfo(m_temp).canonicalFilePath());
        qputenv("VX3_CONFIG_DIR", m_root->filePath("config").toUtf8());
        QDir().mkpath(m_root->filePath("config"));
        m_shared = m_root->filePath("Voxtrel 3 Client.app/Contents/SharedSupport");
        QDir().mkpath(m_shared + "/update.app/Contents/MacOS");
        Configuration::setApplicationDirForTesting(m_shared + "/update.app/Contents/MacOS");
    }

    void cleanup()
    {
        Configuration::setApplicationDirForTesting(QString());
        qputenv("TMPDIR", m_oldTmp);
    }

    void proxyTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("empty") << QString("") << true << int(QNetworkProxy::NoProxy) << QString("") << 0;
        QTest::newRow("host") << QString("proxy.example") << true << int(QNetworkProxy::HttpProxy) << QString("proxy.example") << 3128;
        QTest::newRow("host:port") << QString("proxy.example:8080") << true << int(QNetworkProxy::HttpProxy) << QString("proxy.example") << 8080;
        QTest::newRow("url") << QString("http://10.1.2.3:81") << true << int(QNetworkProxy::HttpProxy) << QString("10.1.2.3") << 81;
        QTest::newRow("url without port") << QString("http://proxy.example/") << true << int(QNetworkProxy::HttpProxy) << QString("proxy.example") << 3128;
        QTest::newRow("spaces around") << QString("  proxy.example:3 ") << true << int(QNetworkProxy::HttpProxy) << QString("proxy.example") << 3;
        QTest::newRow("no host") << QString("http://:8080") << false << 0 << QString("") << 0;
        QTest::newRow("scheme only") << QString("http://") << false << 0 << QString("") << 0;
        QTest::newRow("bad port") << QString("proxy.example:notaport") << false << 0 << QString("") << 0;
    }

    void proxyTexts()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QNetworkProxy proxy(QNetworkProxy::Socks5Proxy, "unchanged", 1);
        QCOMPARE(UpdateEngine::parseProxy(text, &proxy), valid);
        if (!valid)
            return;
        QFETCH(int, type);
        QFETCH(QString, host);
        QFETCH(int, port);
        QCOMPARE(int(proxy.type()), type);
        if (type == QNetworkProxy::HttpProxy) {
            QCOMPARE(proxy.hostName(), host);
            QCOMPARE(int(proxy.port()), port);
        }
    }

    void invalidProxyIsFatalOnInitialize()
    {
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), "[update]\nproxy=http://:1\n"));
        Configuration config;
        config.m_Version = 5;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        QVERIFY(!engine.initialize());
        QCOMPARE(spyTexts(fatal), QStringList{"'http://:1' is an invalid proxy speci" "fication"});
        QCOMPARE(engine.state(), int(UpdateEngine::PRE_INIT));
    }

    void removeDirContentsRemovesLinksWithoutFollowing()
    {
        const QString outside = m_root->filePath("outside");
        QVERIFY(ClientBundle::writeFile(outside + "/keep.txt", "keep"));
        const QString dir = sessionDir(3);
        QVERIFY(ClientBundle::writeFile(dir + "/a/b/file", "x"));
        QVERIFY(ClientBundle::writeFile(dir + "/.hidden", "x"));
        QVERIFY(QFile::link(outside, dir + "/a/linkToDir"));
        QVERIFY(QFile::link(outside + "/keep.txt", dir + "/linkToFile"));
        QVERIFY(QFile::link(dir + "/nowhere", dir + "/dangling"));

        UpdateEngine::removeDirContents(dir);
        QVERIFY(QDir(dir).exists());
        QVERIFY(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
        QCOMPARE(ClientBundle::readFile(outside + "/keep.txt"), QByteArray("keep"));
    }

    // A recorded session of another version: its folder goes only when it is one the updater made.
    void staleSessionCleanup_data()
    {
        QTest::addColumn<QString>("recorded");  // relative to the test root
        QTest::addColumn<bool>("removed");
        QTest::newRow("session folder") << QString("tmp/voxtrel_temp_7") << true;
        QTest::newRow("user folder") << QString("Documents") << false;
        QTest::newRow("session name elsewhere") << QString("other/voxtrel_temp_7") << false;
        QTest::newRow("name with suffix") << QString("tmp/voxtrel_temp_7x") << false;
        QTest::newRow("below a session folder") << QString("tmp/voxtrel_temp_7/inner") << false;
    }

    void staleSessionCleanup()
    {
        QFETCH(QString, recorded);
        QFETCH(bool, removed);
        const QString dir = m_root->filePath(recorded);
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.app/Contents/MacOS/update", "bin"));
        QVERIFY(QFile::link(m_root->filePath("config"), dir + "/linkOut"));
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(),
                                        "[Channel]\nbeta=true\n\n[update]\nstreams=3\n"));
        QVERIFY(UpdateIniData::modify(41, dir, m_root->filePath("Voxtrel 3 Client.app/Contents"), "update_macosx"));

        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QVERIFY(engine.initialize());
        // A folder the updater did not make is not its session: it is passed over, not emptied.
        QCOMPARE(spyTexts(messages).contains(QString("Cleanup previous session (v. 41, %1) files...").arg(dir)), removed);
        QCOMPARE(present(dir), !removed);
        QCOMPARE(spyTexts(messages).contains("Ok"), removed);
        QVERIFY(QDir(m_root->filePath("config")).exists());

        // A fresh session is recorded; the user's settings survive.
        QVERIFY(config.m_TempDir != dir);
        QVERIFY(QFileInfo(config.m_TempDir).isDir());
        int version = 0;
        QString recordedDir;
        QVERIFY(UpdateIniData::get(&version, nullptr, &recordedDir, nullptr));
        QCOMPARE(version, 42);
        QCOMPARE(recordedDir, config.m_TempDir);
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        QCOMPARE(settings.value("Channel/beta").toString(), QString("true"));
        QCOMPARE(settings.value("update/streams").toInt(), 3);
        QCOMPARE(engine.state(), int(UpdateEngine::POST_INIT));
        QVERIFY(engine.isActive());
    }

    // As root, a client bundle that another user can change is refused before anything in it
    // changes (here: before the restore of an interrupted replacement).
    void rootRefusesAClientOthersCanWrite()
    {
        if (getuid() != 0)
            QSKIP("only root can give a folder to another user");
        const QString dir = sessionDir(2);
        const QString client = m_root->filePath("elsewhere/Voxtrel 3 Client.app/Contents");
        QVERIFY(ClientBundle::writeFile(client + "/Resources/page._vxold_", "original"));
        QVERIFY(chown(QFile::encodeName(client + "/Resources").constData(), 65534, 65534) == 0);
        // The client step's updater runs from the session folder, whose record names the client.
        QVERIFY(QDir().mkpath(dir + "/SharedSupport/update.app/Contents/MacOS"));
        Configuration::setApplicationDirForTesting(dir + "/SharedSupport/update.app/Contents/MacOS");
        QVERIFY(UpdateIniData::modify(42, dir, client, "client_macosx"));

        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "client_macosx";
        config.m_ClientUpdate = 1;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        QVERIFY(!engine.initialize());
        QCOMPARE(spyTexts(fatal),
            QStringList{QString("The bundle %1 is writable by another user (%2). It should be updated by its owner.")
                            .arg(QDir::cleanPath(client + "/.."), client + "/Resources")});
        QVERIFY(QFileInfo::exists(client + "/Resources/page._vxold_"));
        QVERIFY(!QFileInfo::exists(client + "/Resources/page"));
    }

    // The private folder of a record copy whose removal failed stays only as long as the
    // updater that made it runs: the next start removes it.
    void startRemovesRecordCopiesOfEndedUpdaters()
    {
        // No process has a pid at the kernel's limit.
        QFile limit("/proc/sys/kernel/pid_max");
        QVERIFY(limit.open(QIODevice::ReadOnly));
        const QByteArray noProcess = limit.readAll().trimmed();
        const QString ended = m_temp + "/update.ini." + noProcess + ".Ab3xYz";
        const QString running = m_temp + QString("/update.ini.%1.Cd4wVu").arg(getpid());
        QVERIFY(ClientBundle::writeFile(ended + "/update.ini", "[current]\nversion=41\n"));
        QVERIFY(ClientBundle::writeFile(running + "/update.ini", "[current]\nversion=41\n"));
        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        QVERIFY2(engine.initialize(), qPrintable(spyTexts(fatal).join("; ")));
        QVERIFY(!QFileInfo::exists(ended));
        QVERIFY(QFileInfo::exists(running + "/update.ini"));
    }

    // A fresh session folder is known to no record before the start has succeeded: when root
    // refuses the bundle, the folder goes again.
    void rootRefusalLeavesNoSessionFolder()
    {
        if (getuid() != 0)
            QSKIP("only root can give a folder to another user");
        const QString resources = m_shared + "/../Resources";
        QVERIFY(QDir().mkpath(resources));
        QVERIFY(chown(QFile::encodeName(resources).constData(), 65534, 65534) == 0);
        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        QVERIFY(!engine.initialize());
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(QDir(m_temp).entryList({"voxtrel_temp_*", "voxtrel_removing_*"}, QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{});
        QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    }

    void recordedSession_data()
    {
        QTest::addColumn<int>("clientStep"); // 1: the updater runs from voxtrel_temp_2
        QTest::addColumn<QString>("dir");    // both relative to the test root
        QTest::addColumn<QString>("vx3dir");
        QTest::addColumn<bool>("continued");
        const QString session = "tmp/voxtrel_temp_2", client = "Voxtrel 3 Client.app/Contents";
        QTest::newRow("updater step, its session") << 0 << session << client << true;
        QTest::newRow("updater step, a folder outside") << 0 << "etc" << client << false;
        QTest::newRow("updater step, a session name elsewhere") << 0 << "usr/voxtrel_temp_2" << client << false;
        QTest::newRow("updater step, another client folder") << 0 << session << "usr" << false;
        QTest::newRow("client step, the session it runs from") << 1 << session << client << true;
        QTest::newRow("client step, another session") << 1 << "tmp/voxtrel_temp_3" << client << false;
        QTest::newRow("client step, two folders outside") << 1 << "etc" << "usr" << false;
    }

    // A session of the same version is continued only when it is this updater's: a session
    // folder directly in the temp folder, made for this installation.  Other records are passed
    // over, and nothing is written where they point.
    void recordedSession()
    {
        QFETCH(int, clientStep);
        QFETCH(QString, dir);
        QFETCH(QString, vx3dir);
        QFETCH(bool, continued);
        for (const QString &folder : {"etc", "usr/voxtrel_temp_2", "tmp/voxtrel_temp_2/SharedSupport/update.app/Contents/MacOS", "tmp/voxtrel_temp_3"})
            QVERIFY(ClientBundle::writeFile(m_root->filePath(folder) + "/keep", "kept"));
        if (clientStep)
            Configuration::setApplicationDirForTesting(sessionDir(2) + "/SharedSupport/update.app/Contents/MacOS");
        QVERIFY(UpdateIniData::modify(42, m_root->filePath(dir), m_root->filePath(vx3dir), "client_macosx"));

        Configuration config;
        config.m_ClientUpdate = clientStep;
        config.m_Version = 42;
        UpdateEngine engine(&config, nullptr);
        // The client step's updater without a record of its own would update the session
        // folder it runs from: it refuses to start.
        const bool refused = clientStep && !continued;
        QCOMPARE(engine.initialize(), !refused);
        if (refused) {
            QCOMPARE(QDir(m_temp).entryList({"voxtrel_temp_*"}, QDir::Dirs), (QStringList{"voxtrel_temp_2", "voxtrel_temp_3"}));
        } else {
            QCOMPARE(config.m_TempDir == m_root->filePath(dir), continued);
            QCOMPARE(config.m_InstallDir == m_root->filePath(vx3dir), continued);
        }
        if (!continued && !refused)
            QCOMPARE(QFileInfo(config.m_TempDir).path(), m_temp);
        for (const QString &folder : {"etc", "usr/voxtrel_temp_2", "tmp/voxtrel_temp_3"})
            QCOMPARE(QDir(m_root->filePath(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"keep"});
    }

    // A session that only its own record still knows (its updater step had finished, the client
    // step never did): the updater step of this installation continues it for the same version
    // and removes it for another; sessions of other installations are left alone.
    void abandonedSessions_data()
    {
        QTest::addColumn<int>("recordedVersion");
        QTest::addColumn<bool>("ownInstallation");
        QTest::addColumn<bool>("continued");
        QTest::addColumn<bool>("kept");
        QTest::newRow("same version") << 42 << true << true << true;
        QTest::newRow("other version") << 41 << true << false << false;
        QTest::newRow("other installation") << 42 << false << false << true;
    }

    void abandonedSessions()
    {
        QFETCH(int, recordedVersion);
        QFETCH(bool, ownInstallation);
        QFETCH(bool, continued);
        QFETCH(bool, kept);
        const QString dir = sessionDir(5);
        const QString install = ownInstallation ? m_shared + "/update.app/Contents/MacOS/../../../../"
                                                : m_root->filePath("Other.app/Contents");
        QDir().mkpath(m_root->filePath("Other.app/Contents"));
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.ini",
                                        QString("[current]\ndir=%1\ntype=client_macosx\nversion=%2\nvx3dir=%3\n")
                                            .arg(dir).arg(recordedVersion).arg(install).toUtf8()));
        QVERIFY(ClientBundle::writeFile(dir + "/MacOS/downloaded", "kept"));

        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QVERIFY(engine.initialize());
        QCOMPARE(config.m_TempDir == dir, continued);
        QCOMPARE(present(dir + "/MacOS/downloaded"), kept);
        if (continued)
            QCOMPARE(QFileInfo(config.m_InstallDir).canonicalFilePath(),
                     QFileInfo(m_shared + "/..").canonicalFilePath());
    }

    void sharedSessionFoldersAreLeftAlone_data()
    {
        QTest::addColumn<bool>("recorded"); // in the updater's own record, or only in its own
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("folder"); // how the session folder is open to others
        for (const bool recorded : {true, false}) {
            const char *how = recorded ? "recorded" : "abandoned";
            QTest::newRow(qPrintable(QString("%1, group-writable").arg(how))) << recorded << 42 << "770";
            QTest::newRow(qPrintable(QString("%1, other-writable").arg(how))) << recorded << 42 << "707";
            QTest::newRow(qPrintable(QString("%1, other version, other-writable").arg(how))) << recorded << 41 << "777";
            QTest::newRow(qPrintable(QString("%1, another user's").arg(how))) << recorded << 42 << "foreign";
        }
    }

    // A session folder that somebody else could have filled is neither continued nor emptied;
    // the run gets a fresh folder of its own that only the user can enter.
    void sharedSessionFoldersAreLeftAlone()
    {
        QFETCH(bool, recorded);
        QFETCH(int, version);
        QFETCH(QString, folder);
        const QString dir = sessionDir(0);
        const QString install = m_shared + "/update.app/Contents/MacOS/../../../../";
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.ini",
                                        QString("[current]\ndir=%1\ntype=client_macosx\nversion=%2\nvx3dir=%3\n")
                                            .arg(dir).arg(version).arg(install).toUtf8()));
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.app/Contents/MacOS/update", "planted"));
        if (recorded)
            QVERIFY(UpdateIniData::modify(version, dir, install, "update_macosx"));
        const QByteArray native = QFile::encodeName(dir);
        if (folder == "foreign") {
            if (geteuid() != 0 || chown(native.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        } else {
            QVERIFY(chmod(native.constData(), folder.toUInt(nullptr, 8)) == 0);
        }

        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QVERIFY(engine.initialize());
        QVERIFY(!spyTexts(messages).contains("Previous update session for v. 42 found"));
        QVERIFY(config.m_TempDir != dir);
        QCOMPARE(ClientBundle::readFile(dir + "/SharedSupport/update.app/Contents/MacOS/update"), QByteArray("planted"));
        struct stat st {};
        QVERIFY(lstat(QFile::encodeName(config.m_TempDir).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0700);
        QString recordedDir;
        QVERIFY(UpdateIniData::get(nullptr, nullptr, &recordedDir, nullptr));
        QCOMPARE(recordedDir, config.m_TempDir);
    }

    // The record beside the updater names the session the client step continues: when any
    // write of it fails the start fails (box, exit status 2), the record stays as it was and no
    // session folder is left in the temp folder.
    void recordWriteFailureFailsTheStart_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("where"); // @B@: the updater's folder, @T@: the temp folder
        QTest::addColumn<int>("error");
        using C = CallFaults::Kind;
        QTest::newRow("record, write") << int(C::Write) << "@B@/*update.ini" << int(ENOSPC);
        QTest::newRow("record, created") << int(C::Create) << "@B@/*update.ini" << int(EDQUOT);
        QTest::newRow("record, sync") << int(C::Sync) << "@B@/*update.ini" << int(EIO);
        QTest::newRow("record, rename") << int(C::Rename) << "@B@/*update.ini" << int(EROFS);
        QTest::newRow("record's folder, sync") << int(C::Sync) << "@B@$" << int(EIO);
        QTest::newRow("private copy, folder") << int(C::MakeFolder) << "@T@/update.ini." << int(ENOSPC);
        QTest::newRow("private copy, write") << int(C::Write) << "@T@/update.ini." << int(ENOSPC);
        QTest::newRow("private copy, lock file") << int(C::Create) << "@T@/update.ini.*.lock" << int(EIO);
        QTest::newRow("private copy, rename") << int(C::Rename) << "@T@/update.ini.*/update.ini" << int(EIO);
    }

    void recordWriteFailureFailsTheStart()
    {
        QFETCH(int, kind);
        QFETCH(QString, where);
        QFETCH(int, error);
        where.replace("@B@", m_shared).replace("@T@", m_temp);
        const QByteArray before = "[Channel]\nbeta=true\n\n[update]\nstreams=3\n";
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), before));
        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        CallFaults::fail(CallFaults::Kind(kind), QFile::encodeName(where), error);
        const bool started = engine.initialize();
        const int fired = CallFaults::failures();
        CallFaults::disarm();
        QCOMPARE(fired, 1);
        QVERIFY(!started);
        QCOMPARE(engine.state(), int(UpdateEngine::PRE_INIT));
        QCOMPARE(spyTexts(fatal), QStringList{QString("Could not write the session record %1").arg(UpdateIniData::iniPath())});
        // The record is as it was; only when the sync of its folder failed it may already
        // name the session, whose folder is gone again, so that no run takes it up.
        if (kind != CallFaults::Sync || !where.endsWith("$"))
            QCOMPARE(ClientBundle::readFile(UpdateIniData::iniPath()), before);
        QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        QCOMPARE(settings.value("update/streams").toInt(), 3);
        QCOMPARE(QDir(m_temp).entryList({"voxtrel_temp_*", "voxtrel_removing_*", "update.ini.*"},
                                        QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{});
        QCOMPARE(QDir(m_shared).entryList({".update.ini*"}, QDir::AllEntries | QDir::Hidden), QStringList{});
    }

    // The client step's updater runs from a session folder; whatever its record says (or when it
    // has none), a session folder is never taken for the client it updates.
    void clientStepNeverUpdatesASessionFolder_data()
    {
        QTest::addColumn<QString>("record"); // [current] of the session's own record; empty: none
        QTest::newRow("no record") << QString();
        QTest::newRow("record without a client folder") << QString("dir=@S1@\ntype=client_macosx\nversion=42\n");
        QTest::newRow("client folder is another session") << QString("dir=@S1@\ntype=client_macosx\nversion=42\nvx3dir=@S3@\n");
        QTest::newRow("client folder inside the session") << QString("dir=@S1@\ntype=client_macosx\nversion=42\nvx3dir=@S1@/SharedSupport\n");
    }

    void clientStepNeverUpdatesASessionFolder()
    {
        QFETCH(QString, record);
        const QString appDir = sessionDir(1) + "/SharedSupport/update.app/Contents/MacOS";
        QVERIFY(QDir().mkpath(appDir));
        QVERIFY(ClientBundle::writeFile(sessionDir(3) + "/MacOS/vx3client_mac", "not a client"));
        Configuration::setApplicationDirForTesting(appDir);
        if (!record.isEmpty())
            QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(),
                "[current]\n" + record.replace("@S1@", sessionDir(1)).replace("@S3@", sessionDir(3)).toUtf8()));

        Configuration config;
        config.m_ClientUpdate = 1;
        config.m_Version = 42;
        config.m_ClientType = "client_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        QVERIFY(!engine.initialize());
        QCOMPARE(fatal.count(), 1);
        QVERIFY2(fatal.at(0).at(0).toString().startsWith("Refusing to update "), qPrintable(fatal.at(0).at(0).toString()));
        QVERIFY(fatal.at(0).at(0).toString().endsWith(": it is an update session folder, not a Voxtrel client"));
        // Nothing new in the temp folder, nothing of the sessions touched.
        QCOMPARE(QDir(m_temp).entryList({"voxtrel_temp_*", "voxtrel_removing_*"}, QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"voxtrel_temp_1", "voxtrel_temp_3"}));
        QCOMPARE(ClientBundle::readFile(sessionDir(3) + "/MacOS/vx3client_mac"), QByteArray("not a client"));
    }

    // The updater step's last record write, the removal of its [current] record: when it fails
    // the run is not reported as a success and the next updater is not started.
    void failedRecordRemovalFailsTheRun()
    {
        const QString dir = sessionDir(4);
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.ini", "[current]\nversion=42\n"));
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), "[update]\nstreams=2\n"));
        QVERIFY(UpdateIniData::modify(42, dir, m_root->filePath("Voxtrel 3 Client.app/Contents"), "update_macosx"));
        const QByteArray before = ClientBundle::readFile(UpdateIniData::iniPath());

        Configuration config;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
        QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
        CallFaults::fail(CallFaults::Rename, QFile::encodeName(m_shared + "/*update.ini"), EIO);
        QVERIFY(QMetaObject::invokeMethod(&engine, "onTaskFinished"));
        const int fired = CallFaults::failures();
        CallFaults::disarm();
        QCOMPARE(fired, 1);
        QTRY_COMPARE(canceled.count(), 1);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(engine.state(), int(UpdateEngine::CANCELED));
        QVERIFY(spyTexts(messages).contains(QString("Could not write the session record %1").arg(UpdateIniData::iniPath())));
        QVERIFY(!spyTexts(messages).contains("Update successfully finished"));
        // The session stays recorded, so the next run continues it.
        QCOMPARE(ClientBundle::readFile(UpdateIniData::iniPath()), before);
        QVERIFY(present(dir + "/SharedSupport/update.ini"));
    }

    void missingSessionFolderCountsAsNone()
    {
        QVERIFY(UpdateIniData::modify(42, sessionDir(9), "/nowhere", "client_macosx"));
        Configuration config;
        config.m_Version = 42;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QVERIFY(engine.initialize());
        QVERIFY(!spyTexts(messages).contains("Previous update session for v. 42 found"));
        QVERIFY(config.m_TempDir != sessionDir(9));
        QVERIFY(QFileInfo(config.m_TempDir).isDir());
    }

    // A kill while the client step removes its session folder, after the session's record has
    // gone and before the folder has: the next start removes what is left.  The clean-up runs in
    // a child that is let on in short steps until it is caught there.
    void killedCleanupIsFinishedByTheNextStart()
    {
        const QString appDir = sessionDir(3) + "/SharedSupport/update.app/Contents/MacOS";
        const auto left = [this] { return QDir(m_temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot); };
        bool caught = false;
        for (int attempt = 0; attempt < 8 && !caught; ++attempt) {
            for (const QString &entry : left())
                QVERIFY(QDir(m_temp + "/" + entry).removeRecursively());
            // Other names each time: the order in which a folder lists its entries changes.
            for (int n = 0; n < 1600; ++n)
                QVERIFY(ClientBundle::writeFile(QString("%1/d%2_%3/f%4").arg(sessionDir(3)).arg(attempt).arg(n / 40).arg(n % 40), "x"));
            QVERIFY(QDir().mkpath(appDir));
            Configuration::setApplicationDirForTesting(appDir);
            QVERIFY(UpdateIniData::modify(42, sessionDir(3), m_shared + "/..", "client_macosx"));
            Configuration config;
            config.m_ClientUpdate = 1;
            UpdateEngine engine(&config, nullptr);
            const pid_t child = fork();
            if (child == 0) {
                raise(SIGSTOP);
                QMetaObject::invokeMethod(&engine, "onTaskFinished");
                _exit(0);
            }
            int status = 0;
            for (int step = 0; step < 20000 && waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status); ++step) {
                QDirIterator records(m_temp, {"update.ini"}, QDir::Files, QDirIterator::Subdirectories);
                if ((caught = !records.hasNext() && !left().isEmpty()))
                    break;
                kill(child, SIGCONT);
                usleep(30);
                kill(child, SIGSTOP);
            }
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        if (!caught)
            QSKIP("the clean-up could not be caught half-way here");

        Configuration::setApplicationDirForTesting(m_shared + "/update.app/Contents/MacOS");
        Configuration config;
        config.m_Version = 43;
        UpdateEngine engine(&config, nullptr);
        QVERIFY(engine.initialize());
        // Besides the new session only the installation's lock, held by this engine, is there.
        QCOMPARE(QDir(m_temp).entryList({"voxtrel_temp_*", "voxtrel_removing_*"}, QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QFileInfo(config.m_TempDir).fileName()});
    }

    // A session whose replacement was committed is over: whichever start finds it removes the
    // originals it kept aside and never puts them back, even when a removal failed at its end
    // and the session is found by the next update's steps.  Its folder goes, unless the client
    // step runs from it.
    void committedSessionIsNeverRestored_data()
    {
        QTest::addColumn<int>("clientStep");
        QTest::addColumn<int>("recordedVersion");
        QTest::addColumn<bool>("ownRecord"); // the updater step's own copy names the session
        QTest::newRow("client step, its own session") << 1 << 42 << false;
        QTest::newRow("updater step, session of another version") << 0 << 41 << false;
        QTest::newRow("updater step, session of this version") << 0 << 42 << false;
        QTest::newRow("updater step, its own record") << 0 << 42 << true;
    }

    void committedSessionIsNeverRestored()
    {
        QFETCH(int, clientStep);
        QFETCH(int, recordedVersion);
        QFETCH(bool, ownRecord);
        const QString dir = sessionDir(2);
        writeReplacedClient();
        writeSessionRecord(dir, recordedVersion, true);
        if (ownRecord)
            UpdateIniData::modify(recordedVersion, dir, contents(), "update_macosx");
        if (clientStep)
            runFromSession(dir);

        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = clientStep ? "client_macosx" : "update_macosx";
        config.m_ClientUpdate = clientStep;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QVERIFY(engine.initialize());
        QCOMPARE(ClientBundle::readFile(contents() + "/Resources/page"), QByteArray("new"));
        QVERIFY(!present(contents() + "/Resources/page._vxold_"));
        QVERIFY(!present(contents() + "/MacOS/tool._vxnew_"));
        QVERIFY(spyTexts(messages).contains(QString("Removed 1 files kept aside by the update to v. %1").arg(recordedVersion)));
        QCOMPARE(present(dir), bool(clientStep));
        QCOMPARE(config.m_TempDir == dir, bool(clientStep));
    }

    // A client step cut short before its commit is undone by the next start of the session.
    void uncommittedSessionIsRestored()
    {
        const QString dir = sessionDir(2);
        writeReplacedClient();
        writeSessionRecord(dir, 42, false);
        runFromSession(dir);
        Configuration config;
        config.m_Version = 42;
        config.m_ClientType = "client_macosx";
        config.m_ClientUpdate = 1;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QVERIFY(engine.initialize());
        QVERIFY(spyTexts(messages).contains("Restored 1 files of an interrupted update"));
        QCOMPARE(ClientBundle::readFile(contents() + "/Resources/page"), QByteArray("old"));
        QVERIFY(!present(contents() + "/Resources/page._vxold_"));
        QVERIFY(!present(contents() + "/MacOS/tool._vxnew_"));
    }

    // An original kept aside that cannot be removed at the end of a committed client step: the
    // update has succeeded, and the session's record stays so that the next start removes it.
    // While it cannot be removed, no update may change the client.
    void keptOriginalThatCannotBeRemoved_data()
    {
        QTest::addColumn<bool>("refusedAtNextStart");
        QTest::newRow("removed by the next start") << false;
        QTest::newRow("refused at the next start too") << true;
    }

    void keptOriginalThatCannotBeRemoved()
    {
        QFETCH(bool, refusedAtNextStart);
        const QString dir = sessionDir(2);
        writeReplacedClient();
        writeSessionRecord(dir, 42, true);
        runFromSession(dir);
        StorageProbe probe;
        probe.failOn(DurableStorage::Remove, [](const QByteArray &name) { return name.endsWith("._vxold_"); }, 1, EIO, true);
        {
            Configuration config;
            config.m_ClientUpdate = 1;
            config.m_InstallDir = contents();
            UpdateEngine engine(&config, nullptr);
            QSignalSpy messages(&engine, &UpdateEngine::message);
            QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
            QVERIFY(QMetaObject::invokeMethod(&engine, "onTaskFinished"));
            QCOMPARE(finished.count(), 1);
            QVERIFY(spyTexts(messages).contains(
                QString("Files kept aside could not be removed from %1; the next start removes them").arg(contents())));
        }
        QVERIFY(UpdateIniData::isCommitted(dir + "/SharedSupport/update.ini"));
        QVERIFY(present(contents() + "/Resources/page._vxold_"));
        if (!refusedAtNextStart)
            probe.stopFailing();

        // The next update's first step.
        Configuration::setApplicationDirForTesting(m_shared + "/update.app/Contents/MacOS");
        Configuration config;
        config.m_Version = 43;
        config.m_ClientType = "update_macosx";
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        QCOMPARE(engine.initialize(), !refusedAtNextStart);
        QCOMPARE(ClientBundle::readFile(contents() + "/Resources/page"), QByteArray("new"));
        QCOMPARE(present(contents() + "/Resources/page._vxold_"), refusedAtNextStart);
        QCOMPARE(present(dir), refusedAtNextStart);
        QCOMPARE(spyTexts(fatal), refusedAtNextStart ? QStringList{QString("Files kept aside by the update to v. 42 could not be removed from %1.").arg(contents())}
                                                     : QStringList{});
    }

    // After a finished run: the updater step forgets only its [current] record; the client step
    // also removes the session folder (links and all) and the arguments file.
    void cleanupAfterSuccess_data()
    {
        QTest::addColumn<int>("clientStep");
        QTest::newRow("updater step") << 0;
        QTest::newRow("client step") << 1;
    }

    void cleanupAfterSuccess()
    {
        QFETCH(int, clientStep);
        const QString dir = sessionDir(4);
        QVERIFY(ClientBundle::writeFile(dir + "/SharedSupport/update.app/Contents/MacOS/update", "bin"));
        QVERIFY(QFile::link(m_shared, dir + "/SharedSupport/linkBack"));
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), "[update]\nstreams=2\n"));
        QVERIFY(UpdateIniData::modify(42, dir, m_root->filePath("Voxtrel 3 Client.app/Contents"), "client_macosx"));
        QVERIFY(Configuration::writeArgsFile({"--clientupdate", "client_macosx", "42"}));

        Configuration config;
        config.m_ClientUpdate = clientStep;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
        QVERIFY(QMetaObject::invokeMethod(&engine, "onTaskFinished"));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(engine.state(), int(UpdateEngine::FINISHED));
        QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        QCOMPARE(settings.value("update/streams").toInt(), 2);
        QVERIFY(QFileInfo(m_shared).isDir());
        if (clientStep) {
            QVERIFY(!present(dir));
            QVERIFY(!present(Configuration::argsFilePath()));
            QVERIFY(spyTexts(messages).contains("Temporary files removed."));
        } else {
            QVERIFY(present(dir + "/SharedSupport/update.app/Contents/MacOS/update"));
            QVERIFY(present(Configuration::argsFilePath()));
            QVERIFY(spyTexts(messages).contains("Removed temporary update.ini"));
        }
        QCOMPARE(spyTexts(messages).last(), QString("Update successfully finished"));
    }

    // A run whose product list never arrives: the engine is torn down mid-run, or the run is
    // cancelled from outside any event loop while the receiver of the end opens a loop of its own.
    void endsOfARunningSession_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("engine destroyed mid-run") << true;
        QTest::newRow("cancel, then a nested loop") << false;
    }

    void endsOfARunningSession()
    {
        QFETCH(bool, destroy);
        HttpTestServer server;
        server.setDefaultResponse(HttpTestServer::Response::silent());
        imageBaseUrl = server.baseUrl() + "/";
        Configuration config;
        config.m_Version = 43;
        config.m_ClientType = "update_macosx";
        auto engine = std::make_unique<UpdateEngine>(&config, nullptr);
        QSignalSpy messages(engine.get(), &UpdateEngine::message);
        QSignalSpy canceled(engine.get(), &UpdateEngine::updateCanceled);
        QVERIFY(engine->initialize());
        QVERIFY(engine->startUpdate());
        QVERIFY(server.waitForRequests(1));
        if (destroy) {
            engine.reset();
            return;
        }
        int nestedLoops = 0;
        connect(engine.get(), &UpdateEngine::updateCanceled, this, [&nestedLoops] {
            // As a message box does: deferred deletions run in this loop.
            QEventLoop loop;
            QTimer::singleShot(50, &loop, &QEventLoop::quit);
            loop.exec();
            ++nestedLoops;
        });
        engine->cancelUpdate();
        QCOMPARE(canceled.count(), 0); // reported from the event loop, not inside the request
        QTRY_COMPARE(canceled.count(), 1);
        QCOMPARE(nestedLoops, 1);
        QCOMPARE(engine->state(), int(UpdateEngine::CANCELED));
        QVERIFY(spyTexts(messages).contains("User aborted update"));
        engine->reset();
        QCOMPARE(engine->state(), int(UpdateEngine::PRE_INIT));
    }

    void cachedBannerIsFoundAtOnce()
    {
        QVERIFY(ClientBundle::writeFile(m_temp + "/voxtrel_banner.jpg", "JPEGDATA"));
        QVERIFY(ClientBundle::writeFile(m_temp + "/voxtrel_banner.txt", "https%3A//example.org/caf%C3%A9"));
        Configuration config;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy found(&engine, &UpdateEngine::bannerFound);
        engine.getBanner();
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toByteArray(), QByteArray("JPEGDATA"));
        QCOMPARE(found.at(0).at(1).toString(), QString::fromUtf8("https://example.org/caf\xc3\xa9"));
    }

    // The image named by the banner service: the size cap with and without Content-Length, and
    // addresses that are not web addresses.
    void bannerImageFetch_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<bool>("delivered");
        QTest::newRow("at the cap") << QString("/b.jpg") << 270000 << true << true;
        QTest::newRow("one byte over") << QString("/b.jpg") << 270001 << true << false;
        QTest::newRow("no length, small") << QString("/b.jpg") << 1000 << false << true;
        QTest::newRow("no length, over") << QString("/b.jpg") << 400000 << false << false;
    }

    void bannerImageFetch()
    {
        QFETCH(QString, path);
        QFETCH(int, size);
        QFETCH(bool, withLength);
        QFETCH(bool, delivered);
        HttpTestServer server;
        HttpTestServer::Response response = HttpTestServer::Response::ok(QByteArray(size, 'j'), "image/jpeg");
        response.sendContentLength = withLength;
        if (!withLength)
            response.headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
        server.setResponse(path.toUtf8(), response);

        Configuration config;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy found(&engine, &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound", Q_ARG(QString, server.url(path)),
                                          Q_ARG(QString, QString("https://example.org/"))));
        // A second answer while the first image is on its way is passed over.
        QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound", Q_ARG(QString, server.url("/other.jpg")),
                                          Q_ARG(QString, QString("https://example.org/x"))));
        QVERIFY(server.waitForRequests(1));
        if (delivered) {
            QTRY_COMPARE(found.count(), 1);
            QCOMPARE(found.at(0).at(0).toByteArray().size(), size);
            QCOMPARE(found.at(0).at(1).toString(), QString("https://example.org/"));
        } else {
            QTest::qWait(500);
            QCOMPARE(found.count(), 0);
        }
        QCOMPARE(server.requestCount("/other.jpg"), 0);
    }

    // Replies that the network layer would inflate, or that never end: the image is refused, the
    // connection closed, and memory stays small whatever the server sends.
    void bannerImageHostile_data()
    {
        using R = HttpTestServer::Response;
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<bool>("endless");
        const QByteArray gzip("Content-Encoding");
        R bomb = R::ok(UpdateFiles::gzipBomb(qint64(200) << 20), "image/jpeg");
        bomb.headers.append(qMakePair(gzip, QByteArray("gzip")));
        QTest::newRow("gzip bomb") << bomb << false;
        R encoded = R::ok(UpdateFiles::gzip(QByteArray(1000, 'j')), "image/jpeg");
        encoded.headers.append(qMakePair(gzip, QByteArray("gzip")));
        QTest::newRow("gzip-encoded image") << encoded << false;
        QTest::newRow("endless, no length") << R::endless("jpeg", -1) << true;
        QTest::newRow("endless, huge length") << R::endless("jpeg", qint64(1) << 40) << true;
    }

    void bannerImageHostile()
    {
        QFETCH(HttpTestServer::Response, response);
        HttpTestServer server;
        server.setResponse("/b.jpg", response);
        PeakMemory memory;
        QVERIFY(memory.start());

        Configuration config;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy found(&engine, &UpdateEngine::bannerFound);
        QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound", Q_ARG(QString, server.url("/b.jpg")),
                                          Q_ARG(QString, QString("https://example.org/"))));
        QVERIFY(server.waitForRequests(1));
        QCOMPARE(server.requests().at(0).header("Accept-Encoding"), QByteArray("identity"));
        QFETCH(bool, endless);
        if (endless)
            QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 10000);
        else
            QTest::qWait(500);
        QCOMPARE(found.count(), 0);
        QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QString::number(memory.growth())));
    }

    void bannerImageOnlyFromWebAddresses()
    {
        const QString file = m_root->filePath("image.jpg");
        QVERIFY(ClientBundle::writeFile(file, "local"));
        Configuration config;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy found(&engine, &UpdateEngine::bannerFound);
        for (const QString &url : {QUrl::fromLocalFile(file).toString(), QString("ftp://127.0.0.1/x.jpg"),
                                   QString("not a url at all ::")})
            QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound", Q_ARG(QString, url),
                                              Q_ARG(QString, QString("https://example.org/"))));
        QTest::qWait(200);
        QCOMPARE(found.count(), 0);
    }
};

QTEST_GUILESS_MAIN(UpdateEngineTest)
#include "updateenginetest.moc"
