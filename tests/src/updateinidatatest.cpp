// "update.ini": the [current] session record, the [update] network settings, and the copy that the
// updater step leaves for the client step's updater.
#include "configuration.h"
#include "updateinidata.h"

#include "common/callfaults.h"
#include "common/clientbundle.h"
#include "common/tempenvironment.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kUpdaterRelPath = QStringLiteral("update.app/Contents/MacOS");

} // namespace

class UpdateIniDataTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempEnvironment> m_root; // the temp folder is its "tmp"
    QString m_bundle;  // stands for the client bundle's SharedSupport folder
    QString m_config;
    QString m_session;

    // Puts the updater that the folder helpers see into `sharedSupport`.
    static void runUpdaterFrom(const QString &sharedSupport)
    {
        const QString appDir = sharedSupport + "/" + kUpdaterRelPath;
        QDir().mkpath(appDir);
        Configuration::setApplicationDirForTesting(appDir);
    }

private slots:
    void init()
    {
        m_root = std::make_unique<TempEnvironment>();
        QVERIFY(m_root->isValid());
        m_bundle = m_root->path("Client.app/Contents/SharedSupport");
        m_config = m_root->path("config");
        m_session = m_root->tmp() + "/voxtrel_temp_0";
        QDir().mkpath(m_session);
        runUpdaterFrom(m_bundle);
    }

    void cleanup()
    {
        Configuration::setApplicationDirForTesting(QString());
    }

    // Another user owns the folder and has put a link to root's file under the settings file's
    // name: the record is written to a file of its own, in both directions of the edit.
    void linkUnderTheName_data()
    {
        QTest::addColumn<bool>("remove");
        QTest::newRow("session record written") << false;
        QTest::newRow("session record removed") << true;
    }

    void linkUnderTheName()
    {
        QFETCH(bool, remove);
        if (getuid() != 0)
            QSKIP("only root can give a link to another user");
        const QString target = m_root->path("rootonly.ini");
        const QByteArray rootContent = "[current]\nversion=1\n";
        QVERIFY(ClientBundle::writeFile(target, rootContent));
        QVERIFY(QDir().mkpath(m_bundle));
        QVERIFY(QFile::link(target, UpdateIniData::iniPath()));
        for (const QString &path : {UpdateIniData::iniPath(), m_bundle})
            QVERIFY(lchown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        if (remove)
            QVERIFY(UpdateIniData::removeCurrent());
        else
            QVERIFY(UpdateIniData::modify(7, m_session, "/client", "client_macosx"));
        QCOMPARE(ClientBundle::readFile(target), rootContent);
        QCOMPARE(QFileInfo(UpdateIniData::iniPath()).isSymLink(), false);
        int version = 0;
        QCOMPARE(UpdateIniData::get(&version, nullptr, nullptr, nullptr), !remove);
    }

    void iniPathIsBesideTheUpdater()
    {
        QCOMPARE(UpdateIniData::iniPath(), m_bundle + "/update.ini");
    }

    void roundTripKeepsOtherGroups()
    {
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), "[Channel]\nbeta=true\n\n[update]\nstreams=3\n"));
        QVERIFY(UpdateIniData::modify(41, m_session, "/client/Contents", "update_macosx"));
        QVERIFY(UpdateIniData::modify(42, m_session, QString::fromUtf8("/cli\xc3\xa9nt/Contents"), "update_macosx"));

        int version = 0;
        QString type, dir, vx3dir;
        QVERIFY(UpdateIniData::get(&version, &type, &dir, &vx3dir));
        QCOMPARE(version, 42);
        QCOMPARE(type, QString("update_macosx"));
        QCOMPARE(dir, m_session);
        QCOMPARE(vx3dir, QString::fromUtf8("/cli\xc3\xa9nt/Contents"));
        QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));

        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        QCOMPARE(settings.value("Channel/beta").toString(), QString("true"));
        QCOMPARE(settings.value("update/streams").toInt(), 3);
    }

    void getRejectsUnusableRecords_data()
    {
        QTest::addColumn<QByteArray>("current"); // body of [current]; @DIR@ stands for the session folder
        QTest::addColumn<bool>("usable");
        QTest::newRow("complete") << QByteArray("version=5\ndir=@DIR@\nvx3dir=/c\ntype=t\n") << true;
        QTest::newRow("empty vx3dir") << QByteArray("version=5\ndir=@DIR@\nvx3dir=\ntype=t\n") << true;
        QTest::newRow("no type") << QByteArray("version=5\ndir=@DIR@\nvx3dir=/c\n") << false;
        QTest::newRow("empty type") << QByteArray("version=5\ndir=@DIR@\ntype=\n") << false;
        QTest::newRow("no version") << QByteArray("dir=@DIR@\ntype=t\n") << false;
        QTest::newRow("version not a number") << QByteArray("version=5a\ndir=@DIR@\ntype=t\n") << false;
        QTest::newRow("empty dir") << QByteArray("version=5\ndir=\ntype=t\n") << false;
        QTest::newRow("dir removed") << QByteArray("version=5\ndir=@DIR@/gone\ntype=t\n") << false;
        QTest::newRow("no group") << QByteArray() << false;
    }

    void getRejectsUnusableRecords()
    {
        QFETCH(QByteArray, current);
        QFETCH(bool, usable);
        QByteArray content = current.isEmpty() ? QByteArray("[update]\nstreams=2\n") : "[current]\n" + current;
        content.replace("@DIR@", m_session.toUtf8());
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), content));

        int version = -1;
        QString type = "x", dir = "x", vx3dir = "x";
        // The type must be stored even when the caller does not ask for it.
        QCOMPARE(UpdateIniData::get(&version, nullptr, &dir, &vx3dir), usable);
        QCOMPARE(UpdateIniData::get(&version, &type, &dir, &vx3dir), usable);
        if (usable) {
            QCOMPARE(version, 5);
            QCOMPARE(type, QString("t"));
            QCOMPARE(dir, m_session);
        } else {
            QCOMPARE(version, -1);
            QCOMPARE(type, QString("x"));
            QCOMPARE(dir, QString("x"));
            QCOMPARE(vx3dir, QString("x"));
        }
    }

    void updateSettings_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("proxy");
        QTest::addColumn<int>("streams");
        QTest::newRow("no file") << QByteArray() << "" << 6;
        QTest::newRow("streams 0") << QByteArray("[update]\nstreams=0\n") << "" << 6;
        QTest::newRow("streams negative") << QByteArray("[update]\nstreams=-2\n") << "" << 6;
        QTest::newRow("streams text") << QByteArray("[update]\nstreams=many\n") << "" << 6;
        QTest::newRow("streams 20") << QByteArray("[update]\nstreams=20\nproxy=http://proxy.test\n") << "http://proxy.test" << 20;
        QTest::newRow("streams 1") << QByteArray("[update]\nstreams=1\n") << "" << 1;
        QTest::newRow("other group only") << QByteArray("[Channel]\nstreams=3\nproxy=x\n") << "" << 6;
    }

    void updateSettings()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, proxy);
        QFETCH(int, streams);
        if (!ini.isEmpty())
            QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), ini));
        // Only [Channel] is read there.
        QVERIFY(ClientBundle::writeFile(m_config + "/update.ini", "[update]\nstreams=9\nproxy=http://not-this.test\n"));
        Configuration config;
        config.readUpdateSettings();
        QCOMPARE(config.m_Proxy, proxy);
        QCOMPARE(config.m_Streams, streams);
    }

    void sessionCopyForTheClientStep()
    {
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(),
                                        "[Channel]\nalpha=http://alpha.test/img\nalphaRevno=77\n\n"
                                        "[update]\nproxy=http://proxy.test:8080\nstreams=11\n"));
        QVERIFY(UpdateIniData::modify(77, m_session, m_root->path("Client.app/Contents"), "update_macosx"));
        const QString sessionSharedSupport = m_session + "/SharedSupport";
        QVERIFY(UpdateIniData::modifyTempIni(sessionSharedSupport));

        QSettings copy(sessionSharedSupport + "/update.ini", QSettings::IniFormat);
        QCOMPARE(copy.value("current/version").toInt(), 77);
        QCOMPARE(copy.value("current/dir").toString(), m_session);
        QCOMPARE(copy.value("current/vx3dir").toString(), m_root->path("Client.app/Contents"));
        QCOMPARE(copy.value("current/type").toString(), QString("client_macosx"));

        // The client step's updater runs from the session copy and finds the same settings.
        runUpdaterFrom(sessionSharedSupport);
        QCOMPARE(UpdateIniData::iniPath(), sessionSharedSupport + "/update.ini");
        Configuration config;
        config.readUpdateSettings();
        QCOMPARE(config.m_Proxy, QString("http://proxy.test:8080"));
        QCOMPARE(config.m_Streams, 11);
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, 2);
        QCOMPARE(config.m_Version, 77);
        QCOMPARE(imageBaseUrl, QString("http://alpha.test/img/"));
        int version = 0;
        QString type, dir, vx3dir;
        QVERIFY(UpdateIniData::get(&version, &type, &dir, &vx3dir));
        QCOMPARE(vx3dir, m_root->path("Client.app/Contents"));
    }

    void sessionCopyTakesChannelFromConfigFolder()
    {
        QVERIFY(ClientBundle::writeFile(m_config + "/update.ini", "[Channel]\nbeta=true\n"));
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), "[Channel]\nalpha=http://ignored.test/\n"));
        QVERIFY(UpdateIniData::modify(5, m_session, "/c", "update_macosx"));
        QVERIFY(UpdateIniData::modifyTempIni(m_session + "/SharedSupport"));

        QFile::remove(m_config + "/update.ini"); // the second step must manage without it
        runUpdaterFrom(m_session + "/SharedSupport");
        Configuration config;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, 1);
        QCOMPARE(imageBaseUrl, Configuration::defaultImageBaseUrl());
        config.readUpdateSettings();
        QCOMPARE(config.m_Streams, 6);
        QCOMPARE(config.m_Proxy, QString());
    }

    // Every write of a record, in each of its copies, is checked: a failure of any call is
    // reported, the record keeps its former content whole, and neither the private copy in the
    // temp folder nor a fresh file beside the record stays behind.
    void failedWritesAreReportedAndLeaveTheRecordAsItWas_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("where"); // @R@: the record's folder, @T@: the temp folder
        using C = CallFaults::Kind;
        const struct {
            const char *name;
            C kind;
            const char *where;
        } faults[] = {
            {"fresh record, created", C::Create, "@R@/*update.ini"},
            {"fresh record, write", C::Write, "@R@/*update.ini"},
            {"fresh record, sync", C::Sync, "@R@/*update.ini"},
            {"fresh record, rename", C::Rename, "@R@/*update.ini"},
            {"record's folder, sync", C::Sync, "@R@$"},
            {"record unreadable", C::Read, "@R@/update.ini$"},
            {"private folder", C::MakeFolder, "@T@/update.ini."},
            {"private copy, write", C::Write, "@T@/update.ini."},
            // QSettings' own write of the edited copy, flushed from its buffer at the commit.
            {"private copy, settings' write", C::Write, "@T@/update.ini.*/#"},
            {"private copy, lock file", C::Create, "@T@/update.ini.*.lock"},
            {"private copy, rename", C::Rename, "@T@/update.ini.*/update.ini"},
            // Taken by QSettings for an empty file: the edit must not drop the other settings.
            {"private copy, read by the settings", C::Read, "@T@/update.ini.*/update.ini$"},
        };
        for (const char *operation : {"modify", "removeCurrent", "modifyTempIni"}) {
            for (const auto &fault : faults)
                QTest::newRow(qPrintable(QString("%1, %2").arg(operation, fault.name)))
                    << QString(operation) << int(fault.kind) << QString(fault.where);
        }
        QTest::newRow("removeCurrent of the last group, unlink") << "removeLast" << int(C::Unlink) << "@R@/update.ini$";
        QTest::newRow("removeCurrent of the last group, folder sync") << "removeLast" << int(C::Sync) << "@R@$";
        QTest::newRow("modifyTempIni, own record unreadable") << "modifyTempIni" << int(C::Read) << "@B@/update.ini$";
        QTest::newRow("modifyTempIni, session's folder not made") << "modifyTempIni, no folder" << int(C::MakeFolder) << "@R@$";
    }

    void failedWritesAreReportedAndLeaveTheRecordAsItWas()
    {
        QFETCH(QString, operation);
        QFETCH(int, kind);
        QFETCH(QString, where);
        const QByteArray own = "[Channel]\nbeta=true\n\n[current]\ndir=" + m_session.toUtf8() +
            "\ntype=update_macosx\nversion=41\nvx3dir=/client\n\n[update]\nstreams=3\n";
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), operation == "removeLast"
            ? "[current]\ndir=" + m_session.toUtf8() + "\ntype=update_macosx\nversion=41\n" : own));
        const bool tempCopy = operation.startsWith("modifyTempIni");
        const QString folder = tempCopy ? m_session + "/SharedSupport" : m_bundle;
        if (operation == "modifyTempIni")
            QVERIFY(ClientBundle::writeFile(folder + "/update.ini", "[current]\nversion=40\n"));
        const QString record = folder + "/update.ini";
        const QByteArray before = ClientBundle::readFile(record);
        where.replace("@R@", folder).replace("@T@", m_root->tmp()).replace("@B@", m_bundle);

        CallFaults::fail(CallFaults::Kind(kind), QFile::encodeName(where), EIO);
        const auto write = [&] {
            if (operation == "modify")
                return UpdateIniData::modify(42, m_session, "/client", "update_macosx");
            if (tempCopy)
                return UpdateIniData::modifyTempIni(folder);
            return UpdateIniData::removeCurrent();
        };
        const bool written = write();
        const int fired = CallFaults::failures();
        CallFaults::disarm();
        QCOMPARE(fired, 1);
        QVERIFY(!written);
        const QByteArray after = ClientBundle::readFile(record);
        if (where.endsWith("$") && kind == CallFaults::Sync) {
            // The folder's sync comes after the new record has taken its name: it is there whole
            // (a clean write gives the same), only not known to be on stable storage.
            QVERIFY(write());
            QCOMPARE(ClientBundle::readFile(record), after);
        } else {
            QCOMPARE(after, before);
            QCOMPARE(QFileInfo::exists(record), !before.isNull());
        }
        QCOMPARE(QDir(m_root->tmp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"voxtrel_temp_0"});
        QCOMPARE(QDir(folder).entryList({"*update.ini?*"}, QDir::AllEntries | QDir::Hidden), QStringList{});
    }

    // A lock file that could not be removed once never holds up a later write of the record:
    // no write waits for a lock, and nothing of it stays.
    void lockFileLeftOnceDoesNotStall_data()
    {
        QTest::addColumn<QString>("where"); // @S@: the session folder, @T@: the temp folder
        QTest::newRow("beside the session record") << "@S@/SharedSupport/update.ini.lock";
        QTest::newRow("of the private copy") << "@T@/update.ini.*/update.ini.lock";
    }

    void lockFileLeftOnceDoesNotStall()
    {
        QFETCH(QString, where);
        where.replace("@S@", m_session).replace("@T@", m_root->tmp());
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(),
                                        "[Channel]\nbeta=true\n\n[update]\nproxy=http://proxy.test:3\n"));
        QVERIFY(UpdateIniData::modify(42, m_session, "/client", "update_macosx"));
        CallFaults::fail(CallFaults::Unlink, QFile::encodeName(where), EIO);
        const bool written = UpdateIniData::modifyTempIni(m_session + "/SharedSupport");
        const int sleeps = CallFaults::sleeps();
        CallFaults::disarm();
        QVERIFY(written);
        QCOMPARE(sleeps, 0);
        QSettings copy(m_session + "/SharedSupport/update.ini", QSettings::IniFormat);
        QCOMPARE(copy.value("current/version").toInt(), 42);
        QCOMPARE(copy.value("update/proxy").toString(), QString("http://proxy.test:3"));
        QCOMPARE(copy.value("Channel/beta").toString(), QString("true"));
        QCOMPARE(QDir(m_session + "/SharedSupport").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"update.ini"});
        QCOMPARE(QDir(m_root->tmp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"voxtrel_temp_0"});
    }

    // A private folder of a record copy whose removal failed stays in the temp folder; a later
    // start removes it once the process that made it is gone, and nothing else.
    void abandonedCopiesAreRemovedOnceTheirProcessIsGone()
    {
        const QString tmp = m_root->tmp();
        QVERIFY(UpdateIniData::modify(42, m_session, "/client", "update_macosx"));
        CallFaults::fail(CallFaults::Unlink, QFile::encodeName(tmp + "/update.ini."), EIO, true);
        const bool written = UpdateIniData::removeCurrent();
        CallFaults::disarm();
        QVERIFY(written);
        const QStringList left = QDir(tmp).entryList({"update.ini.*"}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(left.size(), 1);
        QVERIFY(left.first().startsWith(QString("update.ini.%1.").arg(getpid())));

        // A process that has ended, and folders under its pid: the own one goes, a link to
        // a folder, a file and a folder of another name stay.
        const pid_t gone = fork();
        if (gone == 0)
            _exit(0);
        QVERIFY(gone > 0);
        QVERIFY(waitpid(gone, nullptr, 0) == gone);
        const QString dead = QString("update.ini.%1.").arg(gone);
        QVERIFY(ClientBundle::writeFile(tmp + "/" + dead + "aB3xYz/update.ini", "[current]\n"));
        QVERIFY(ClientBundle::writeFile(m_root->path("elsewhere/keep"), "x"));
        QVERIFY(QFile::link(m_root->path("elsewhere"), tmp + "/" + dead + "linked"));
        QVERIFY(ClientBundle::writeFile(tmp + "/" + dead + "file", "x"));
        QVERIFY(QDir().mkpath(tmp + "/" + QString("settings.%1.aB3xYz").arg(gone)));

        QCOMPARE(UpdateIniData::removeAbandonedCopies(), 1);
        QStringList expected = left + QStringList{dead + "file", dead + "linked",
                                                  QString("settings.%1.aB3xYz").arg(gone),
                                                  "voxtrel_temp_0"};
        expected.sort();
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::System | QDir::Hidden |
                                         QDir::NoDotAndDotDot, QDir::Name),
                 expected);
        QVERIFY(QFile::exists(m_root->path("elsewhere/keep")));
    }

    void sessionCopyNotWrittenWithoutUsableRecord()
    {
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(),
                                        "[current]\nversion=5\ndir=" + m_session.toUtf8() + "\n[update]\nstreams=4\n"));
        // Reported: the client step's updater must not be started without its record.
        QVERIFY(!UpdateIniData::modifyTempIni(m_session + "/SharedSupport"));
        QVERIFY(!QFile::exists(m_session + "/SharedSupport/update.ini"));
    }
};

QTEST_GUILESS_MAIN(UpdateIniDataTest)
#include "updateinidatatest.moc"
