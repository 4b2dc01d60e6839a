// "update.ini": the [current] session record, the [update] network settings, and the copy that the
// updater step leaves for the client step's updater.
#include "configuration.h"
#include "updateinidata.h"

#include "common/clientbundle.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kUpdaterRelPath = QStringLiteral("update.app/Contents/MacOS");

} // namespace

class UpdateIniDataTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
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
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        m_bundle = m_root->filePath("Client.app/Contents/SharedSupport");
        m_config = m_root->filePath("config");
        m_session = m_root->filePath("tmp/voxtrel_temp_0");
        QDir().mkpath(m_config);
        QDir().mkpath(m_session);
        qputenv("VX3_CONFIG_DIR", m_config.toUtf8());
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
        const QString target = m_root->filePath("rootonly.ini");
        const QByteArray rootContent = "[current]\nversion=1\n";
        QVERIFY(ClientBundle::writeFile(target, rootContent));
        QVERIFY(QDir().mkpath(m_bundle));
        QVERIFY(QFile::link(target, UpdateIniData::iniPath()));
        for (const QString &path : {UpdateIniData::iniPath(), m_bundle})
            QVERIFY(lchown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        if (remove)
            UpdateIniData::removeCurrent();
        else
            UpdateIniData::modify(7, m_session, "/client", "client_macosx");
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
        UpdateIniData::modify(41, m_session, "/client/Contents", "update_macosx");
        UpdateIniData::modify(42, m_session, QString::fromUtf8("/cli\xc3\xa9nt/Contents"), "update_macosx");

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
        UpdateIniData::modify(77, m_session, m_root->filePath("Client.app/Contents"), "update_macosx");
        const QString sessionSharedSupport = m_session + "/SharedSupport";
        UpdateIniData::modifyTempIni(sessionSharedSupport);

        QSettings copy(sessionSharedSupport + "/update.ini", QSettings::IniFormat);
        QCOMPARE(copy.value("current/version").toInt(), 77);
        QCOMPARE(copy.value("current/dir").toString(), m_session);
        QCOMPARE(copy.value("current/vx3dir").toString(), m_root->filePath("Client.app/Contents"));
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
        QCOMPARE(vx3dir, m_root->filePath("Client.app/Contents"));
    }

    void sessionCopyTakesChannelFromConfigFolder()
    {
        QVERIFY(ClientBundle::writeFile(m_config + "/update.ini", "[Channel]\nbeta=true\n"));
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(), "[Channel]\nalpha=http://ignored.test/\n"));
        UpdateIniData::modify(5, m_session, "/c", "update_macosx");
        UpdateIniData::modifyTempIni(m_session + "/SharedSupport");

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

    void sessionCopyNotWrittenWithoutUsableRecord()
    {
        QVERIFY(ClientBundle::writeFile(UpdateIniData::iniPath(),
                                        "[current]\nversion=5\ndir=" + m_session.toUtf8() + "\n[update]\nstreams=4\n"));
        UpdateIniData::modifyTempIni(m_session + "/SharedSupport");
        QVERIFY(!QFile::exists(m_session + "/SharedSupport/update.ini"));
    }
};

QTEST_GUILESS_MAIN(UpdateIniDataTest)
#include "updateinidatatest.moc"
