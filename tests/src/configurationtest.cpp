// Configuration of one updater run: the command line and the arguments file, the update channel,
// the version asked from the version service, the session temp folder and the folder helpers.
#include "common/callfaults.h"
#include "common/clientbundle.h"
#include "common/httptestserver.h"
#include "common/peakmemory.h"
#include "common/updatefiles.h"
#include "configuration.h"
#include "httpdownloader.h"
#include "updatechecker.h"
#include "UpdateMessage.pb.h"

#include <QDir>
#include <QFile>
#include <QNetworkRequest>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString kUpdaterRelPath = QStringLiteral("Voxtrel 3 Client.app/Contents/SharedSupport/update.app/Contents/MacOS");
const QString kFailedQuery = QStringLiteral("Failed to query latest client\nversion from update server.");

QByteArray versionsReply(const QList<std::tuple<QString, int, QString>> &channels)
{
    com::voxtrel::update::Versions versions;
    versions.set_licenseagreementid(17);
    for (const auto &[name, number, text] : channels) {
        auto *c = versions.add_channels();
        c->set_name(name.toStdString());
        c->set_version_number(number);
        c->set_version_string(text.toStdString());
    }
    return QByteArray::fromStdString(versions.SerializeAsString());
}

} // namespace

class ConfigurationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_tmp, m_config, m_sharedSupport;
    std::unique_ptr<HttpTestServer> m_server;

    QString configIni() const { return m_config + "/update.ini"; }
    QString ownIni() const { return m_sharedSupport + "/update.ini"; }

    // Waits until the version check of `config` has ended (its checker deletes itself).
    static bool checkEnded(Configuration &config)
    {
        return QTest::qWaitFor([&] { return config.findChild<UpdateChecker *>() == nullptr; }, 10000);
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<UpdateVersions>("UpdateVersions");
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        m_tmp = m_root->filePath("tmp");
        m_config = m_root->filePath("config");
        QDir().mkpath(m_tmp);
        QDir().mkpath(m_config);
        const QString appDir = m_root->filePath(kUpdaterRelPath);
        QDir().mkpath(appDir);
        m_sharedSupport = QDir::cleanPath(appDir + "/../../..");
        qputenv("TMPDIR", m_tmp.toUtf8());
        qputenv("VX3_CONFIG_DIR", m_config.toUtf8());
        Configuration::setApplicationDirForTesting(appDir);
        imageBaseUrl.clear();
        m_server = std::make_unique<HttpTestServer>();
        m_server->setResponse("/vx3-client", HttpTestServer::Response::withStatus(404));
        UpdateChecker::setServiceUrlForTesting(m_server->url("/vx3-client"));
        UpdateChecker::setTransferTimeoutForTesting(0);
        UpdateChecker::setOverallTimeoutForTesting(0);
    }

    void cleanup()
    {
        m_server.reset();
        UpdateChecker::setServiceUrlForTesting(QString());
        Configuration::setApplicationDirForTesting(QString());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("argsFile"); // written when not null
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<QString>("clientType");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("versionString");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<QString>("fatal");

        const QString up = "update_macosx", cl = "client_macosx";
        const QByteArray none;
        QTest::newRow("clientupdate full") << QStringList{"p", "--clientupdate", "client_x", "42", "4.2 beta"} << none << true << 1 << "client_x" << 42 << "4.2 beta" << true << "";
        QTest::newRow("clientupdate #") << QStringList{"p", "--clientupdate", cl, "42", "#"} << none << true << 1 << cl << 42 << "" << true << "";
        QTest::newRow("nouser, no string") << QStringList{"p", "--nouser", up, "7"} << none << true << 0 << up << 7 << "" << true << "";
        QTest::newRow("nouser, extra ignored") << QStringList{"p", "--nouser", "t", "7", "v", "x"} << none << true << 0 << "t" << 7 << "v" << true << "";
        QTest::newRow("clientupdate alone") << QStringList{"p", "--clientupdate"} << none << true << 1 << cl << 0 << "" << false << "";
        QTest::newRow("clientupdate + ignored") << QStringList{"p", "--clientupdate", "other"} << none << true << 1 << cl << 0 << "" << false << "";
        QTest::newRow("nouser alone") << QStringList{"p", "--nouser"} << none << true << 0 << up << 0 << "" << false << "";
        QTest::newRow("type and number") << QStringList{"p", cl, "12"} << none << true << 0 << cl << 12 << "" << true << "";
        QTest::newRow("number not decimal") << QStringList{"p", cl, "12a"} << none << false << 0 << cl << 0 << "" << false << "Invalid version nr (12a)";
        QTest::newRow("number zero") << QStringList{"p", cl, "0"} << none << false << 0 << cl << 0 << "" << false << "Invalid version nr (0)";
        QTest::newRow("number negative") << QStringList{"p", cl, "-5"} << none << false << 0 << cl << 0 << "" << false << "Invalid version nr (-5)";
        QTest::newRow("clientupdate zero") << QStringList{"p", "--clientupdate", cl, "0"} << none << false << 1 << cl << 0 << "" << false << "Invalid version nr (0)";
        QTest::newRow("one other arg, file ignored") << QStringList{"p", "foo"} << QByteArray("--clientupdate\nclient_macosx\n3\n#\n") << true << 0 << up << 0 << "" << false << "";
        QTest::newRow("four args, no flag") << QStringList{"p", "a", "b", "c"} << none << true << 0 << up << 0 << "" << false << "";
        QTest::newRow("no args, no file") << QStringList{"p"} << none << true << 0 << up << 0 << "" << false << "";
        QTest::newRow("args file, #") << QStringList{"p"} << QByteArray("--clientupdate\nclient_macosx\n3\n#\n") << true << 1 << cl << 3 << "" << true << "";
        QTest::newRow("args file, UTF-8 text") << QStringList{} << QByteArray("--clientupdate\nclient_macosx\n5\nVersi\xc3\xb3n 5\n") << true << 1 << cl << 5 << QString::fromUtf8("Versi\xc3\xb3n 5") << true << "";
        QTest::newRow("args file, empty lines") << QStringList{"p"} << QByteArray("\n\n--nouser\n\nt\n9\n\n") << true << 0 << "t" << 9 << "" << true << "";
        QTest::newRow("args file, NUL ends it") << QStringList{"p"} << QByteArray("--nouser\nt\n8\n\0--x\n", 17) << true << 0 << "t" << 8 << "" << true << "";
        QTest::newRow("args file, bad number") << QStringList{"p"} << QByteArray("--nouser\nt\nzz\n") << false << 0 << "t" << 0 << "" << false << "Invalid version nr (zz)";
        QTest::newRow("args file, empty") << QStringList{"p"} << QByteArray("") << true << 0 << up << 0 << "" << false << "";
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, argsFile);
        QFETCH(bool, parsed);
        QFETCH(int, clientUpdate);
        QFETCH(QString, clientType);
        QFETCH(int, version);
        QFETCH(QString, versionString);
        QFETCH(bool, ready);
        QFETCH(QString, fatal);

        if (!argsFile.isNull())
            QVERIFY(ClientBundle::writeFile(Configuration::argsFilePath(), argsFile));

        Configuration config;
        QSignalSpy fatalSpy(&config, &Configuration::fatalError);
        QCOMPARE(config.parseCommandLineOptions(args), parsed);
        QCOMPARE(config.m_ClientUpdate, clientUpdate);
        QCOMPARE(config.m_ClientType, clientType);
        QCOMPARE(config.m_Version, version);
        QCOMPARE(config.m_VersionString, versionString);
        QCOMPARE(config.m_Ready, ready);
        QCOMPARE(config.m_Channel, 0);
        QCOMPARE(imageBaseUrl, Configuration::defaultImageBaseUrl());
        if (fatal.isEmpty()) {
            QCOMPARE(fatalSpy.count(), 0);
        } else {
            QCOMPARE(fatalSpy.count(), 1);
            QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
        }

        // A version check runs exactly when a parsed line named no version.
        const bool checking = parsed && version == 0;
        QCOMPARE(config.findChild<UpdateChecker *>() != nullptr, checking);
        if (checking) {
            QVERIFY(m_server->waitForRequests(1));
            QVERIFY(checkEnded(config));
            QCOMPARE(m_server->requests().at(0).method, QByteArray("GET"));
        }
        if (!argsFile.isNull())
            QVERIFY(QFile::exists(Configuration::argsFilePath())); // the reader leaves it
    }

    void clientInfoMissingArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("clientType");
        QTest::addColumn<QString>("fatal");
        QTest::newRow("index past the end") << QStringList{"p", "--nouser"} << 2 << "" << "No client type specified";
        QTest::newRow("negative index") << QStringList{"p", "t", "5"} << -1 << "" << "No client type specified";
        QTest::newRow("type without version") << QStringList{"p", "--nouser", "client_x"} << 2 << "client_x" << "No client version specified";
    }

    void clientInfoMissingArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(int, index);
        QFETCH(QString, clientType);
        QFETCH(QString, fatal);
        Configuration config;
        QSignalSpy fatalSpy(&config, &Configuration::fatalError);
        QVERIFY(!config.parseClientInfo(args, index));
        QCOMPARE(config.m_ClientType, clientType);
        QCOMPARE(config.m_Version, 0);
        QCOMPARE(fatalSpy.count(), 1);
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    }

    void argsFileRoundTrip()
    {
        const QStringList written{"--clientupdate", "client_macosx", "12", QString::fromUtf8("Pr\xc3\xbc" "fung \xe2\x82\xac")};
        QVERIFY(ClientBundle::writeFile(Configuration::argsFilePath(),
                                        "a much longer previous content\nthat must be truncated\n\n\n\n"));
        QVERIFY(Configuration::writeArgsFile(written));
        QFile f(Configuration::argsFilePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("--clientupdate\nclient_macosx\n12\nPr\xc3\xbc" "fung \xe2\x82\xac\n"));
        QCOMPARE(Configuration::readArgsFile(), QStringList{QString()} + written);
    }

    void channel_data()
    {
        QTest::addColumn<QByteArray>("configIni"); // not null: written to the configuration folder
        QTest::addColumn<QByteArray>("ownIni");    // not null: written beside the updater
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("baseUrl"); // empty: the default

        const QByteArray none;
        QTest::newRow("no update.ini") << none << none << 0 << 0 << "";
        QTest::newRow("beta true") << QByteArray("[Channel]\nbeta=true\n") << none << 1 << 0 << "";
        QTest::newRow("Beta when beta false") << QByteArray("[Channel]\nbeta=false\nBeta=1\n") << none << 1 << 0 << "";
        QTest::newRow("beta any other text") << QByteArray("[Channel]\nbeta=yes\n") << none << 1 << 0 << "";
        QTest::newRow("beta 0, Beta FALSE") << QByteArray("[Channel]\nbeta=0\nBeta=FALSE\n") << none << 0 << 0 << "";
        QTest::newRow("beta empty") << QByteArray("[Channel]\nbeta=\n") << none << 0 << 0 << "";
        QTest::newRow("alpha, slash added") << QByteArray("[Channel]\nalpha=http://alpha.test/img\nbeta=true\n") << none << 2 << 0 << "http://alpha.test/img/";
        QTest::newRow("alpha, slash kept, revno") << QByteArray("[Channel]\nalpha=http://alpha.test/img/\nalphaRevno=7\n") << none << 2 << 7 << "http://alpha.test/img/";
        QTest::newRow("alpha, revno not a number") << QByteArray("[Channel]\nalpha=http://a.test\nalphaRevno=x\n") << none << 2 << 0 << "http://a.test/";
        QTest::newRow("alpha, negative revno") << QByteArray("[Channel]\nalpha=http://a.test\nalphaRevno=-3\n") << none << 2 << 0 << "http://a.test/";
        QTest::newRow("config copy wins, no group") << QByteArray("[update]\nstreams=2\n") << QByteArray("[Channel]\nbeta=true\n") << 0 << 0 << "";
        QTest::newRow("own copy second") << none << QByteArray("[Channel]\nalpha=http://own.test/\nalphaRevno=3\n") << 2 << 3 << "http://own.test/";
    }

    void channel()
    {
        QFETCH(QByteArray, configIni);
        QFETCH(QByteArray, ownIni);
        QFETCH(int, channel);
        QFETCH(int, version);
        QFETCH(QString, baseUrl);
        if (!configIni.isNull())
            QVERIFY(ClientBundle::writeFile(this->configIni(), configIni));
        if (!ownIni.isNull())
            QVERIFY(ClientBundle::writeFile(this->ownIni(), ownIni));

        Configuration config;
        config.m_Channel = -1;
        config.m_Version = 99;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, channel);
        QCOMPARE(config.m_Version, version);
        QCOMPARE(imageBaseUrl, baseUrl.isEmpty() ? Configuration::defaultImageBaseUrl() : baseUrl);
    }

    void alphaRevisionWinsOverCommandLine()
    {
        QVERIFY(ClientBundle::writeFile(configIni(), "[Channel]\nalpha=http://alpha.test/\nalphaRevno=7\n"));
        Configuration config;
        QVERIFY(config.parseCommandLineOptions({"p", "client_macosx", "9"}));
        QCOMPARE(config.m_Version, 7);
        QVERIFY(config.m_Ready);
        QVERIFY(!config.findChild<UpdateChecker *>());
        QCOMPARE(m_server->requestCount(), 0);
    }

    void versionCheck_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<HttpTestServer::Response>("response");
        QTest::addColumn<int>("version");          // 0: the check fails
        QTest::addColumn<QString>("versionString");
        QTest::addColumn<QString>("fatal");

        const QByteArray stable;
        const QByteArray beta("[Channel]\nbeta=true\n");
        const QByteArray alpha("[Channel]\nalpha=http://alpha.test/\n");
        const QByteArray twoChannels = versionsReply({{"stable", 100, "1.0.0"}, {"beta", 110, "1.1.0 beta"}});
        using R = HttpTestServer::Response;

        QTest::newRow("stable") << stable << R::ok(twoChannels) << 100 << "1.0.0" << "";
        QTest::newRow("beta") << beta << R::ok(twoChannels) << 110 << "1.1.0 beta" << "";
        QTest::newRow("alpha asks for alpha") << alpha << R::ok(versionsReply({{"alpha", 120, "a"}, {"stable", 1, "s"}})) << 120 << "a" << "";
        QTest::newRow("alpha missing") << alpha << R::ok(twoChannels) << 0 << "" << "Update server returned no version";
        QTest::newRow("duplicate keeps first") << beta << R::ok(versionsReply({{"beta", 5, "five"}, {"beta", 6, "six"}})) << 5 << "five" << "";
        QTest::newRow("version zero") << stable << R::ok(versionsReply({{"stable", 0, "zero"}})) << 0 << "" << "Update server returned invalid version nr (0)";
        QTest::newRow("negative version") << stable << R::ok(versionsReply({{"stable", -4, "neg"}})) << 0 << "" << "Update server returned invalid version nr (-4)";
        QTest::newRow("no channels") << stable << R::ok(versionsReply({})) << 0 << "" << kFailedQuery;
        QTest::newRow("404") << stable << R::withStatus(404, twoChannels) << 0 << "" << kFailedQuery;
        QTest::newRow("500") << stable << R::withStatus(500, twoChannels) << 0 << "" << kFailedQuery;
        QTest::newRow("empty 200") << stable << R::ok(QByteArray()) << 0 << "" << kFailedQuery;
        QByteArray missingField = twoChannels;
        missingField.chop(1); // cuts into the last version_string
        QTest::newRow("truncated reply") << stable << R::ok(missingField) << 0 << "" << kFailedQuery;
        // Channel "stable" 3 without version_string, written by hand.
        QTest::newRow("missing required field") << stable << R::ok(QByteArray("\x08\x01\x12\x0a\x0a\x06stable\x10\x03", 14)) << 0 << "" << kFailedQuery;
        R redirect = R::withStatus(302, "<html>moved</html>");
        redirect.headers.append(qMakePair(QByteArray("Location"), QByteArray("/elsewhere")));
        QTest::newRow("redirect not followed") << stable << redirect << 0 << "" << kFailedQuery;
        QTest::newRow("dropped") << stable << R::dropAfter(5, twoChannels) << 0 << "" << kFailedQuery;
        QTest::newRow("oversized reply") << stable << R::ok(twoChannels + QByteArray(2 * 1024 * 1024, '\0')) << 0 << "" << kFailedQuery;
        QTest::newRow("never answers") << stable << R::silent() << 0 << "" << kFailedQuery;
        QTest::newRow("stalls in body") << stable << R::stallAfter(3, twoChannels) << 0 << "" << kFailedQuery;
        // A byte every 100 ms never lets the 300 ms transfer time-out run out; the whole reply
        // would take minutes.
        QTest::newRow("trickles") << stable << R::trickle(100, twoChannels + QByteArray(4000, '\0')) << 0 << ""
                                  << kFailedQuery;
        QTest::newRow("trickles, short reply") << stable << R::trickle(5, twoChannels) << 100 << "1.0.0" << "";
        // The network layer inflates nothing: an encoded reply is refused, a bomb never grows.
        R encoded = R::ok(UpdateFiles::gzip(twoChannels));
        encoded.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
        QTest::newRow("gzip-encoded reply") << stable << encoded << 0 << "" << kFailedQuery;
        R bomb = R::ok(UpdateFiles::gzipBomb(qint64(256) << 20));
        bomb.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
        QTest::newRow("gzip bomb") << stable << bomb << 0 << "" << kFailedQuery;
        QTest::newRow("endless, huge length") << stable << R::endless(twoChannels, qint64(1) << 40) << 0 << ""
                                              << kFailedQuery;
        QTest::newRow("endless, no length") << stable << R::endless(twoChannels, -1) << 0 << "" << kFailedQuery;
        QTest::newRow("endless header line") << stable << R::headerFlood() << 0 << "" << kFailedQuery;
    }

    void versionCheck()
    {
        QFETCH(QByteArray, ini);
        QFETCH(HttpTestServer::Response, response);
        QFETCH(int, version);
        QFETCH(QString, versionString);
        QFETCH(QString, fatal);
        if (!ini.isNull())
            QVERIFY(ClientBundle::writeFile(configIni(), ini));
        m_server->setResponse("/vx3-client", response);
        m_server->setResponse("/elsewhere", HttpTestServer::Response::ok(versionsReply({{"stable", 100, "moved"}})));
        UpdateChecker::setTransferTimeoutForTesting(300);
        UpdateChecker::setOverallTimeoutForTesting(2000);
        PeakMemory memory;
        QVERIFY(memory.start());

        Configuration config;
        QSignalSpy readySpy(&config, &Configuration::ready);
        QSignalSpy fatalSpy(&config, &Configuration::fatalError);
        QVERIFY(config.parseCommandLineOptions({"p", "--nouser"}));
        QVERIFY(!config.m_Ready);
        QVERIFY(checkEnded(config));

        QCOMPARE(m_server->requestCount("/vx3-client"), 1);
        QCOMPARE(m_server->requestCount(), 1);
        // Whatever the reply, its connection is closed once the check has ended.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, 5000);
        QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QString::number(memory.growth())));
        QCOMPARE(config.m_Version, version);
        QCOMPARE(m_server->requests().at(0).header("Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(config.m_VersionString, versionString);
        QCOMPARE(config.m_Ready, version != 0);
        QCOMPARE(readySpy.count(), version != 0 ? 1 : 0);
        if (fatal.isEmpty()) {
            QCOMPARE(fatalSpy.count(), 0);
        } else {
            QCOMPARE(fatalSpy.count(), 1);
            QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
        }
    }

    void downloaderDeliversInCreatorThreadAndDeletesItself()
    {
        const QByteArray body = versionsReply({{"stable", 3, "3"}});
        m_server->setResponse("/vx3-client", HttpTestServer::Response::ok(body));
        auto *downloader = new HTTPDownloader(QNetworkRequest(QUrl(m_server->url("/vx3-client"))));
        QPointer<HTTPDownloader> guard(downloader);
        QByteArray received;
        QThread *deliveredIn = nullptr;
        connect(downloader, &HTTPDownloader::download_available, this, [&](const QByteArray &data) {
            received = data;
            deliveredIn = QThread::currentThread();
        });
        downloader->start();
        QTRY_VERIFY(deliveredIn != nullptr);
        QCOMPARE(deliveredIn, QThread::currentThread());
        QCOMPARE(received, body);
        // Deleted by the creating thread once its own thread has finished.
        QTRY_VERIFY(guard.isNull());
    }

    void checkerDeletesItselfAfterItsSignal()
    {
        m_server->setResponse("/vx3-client", HttpTestServer::Response::ok(versionsReply({{"stable", 3, "3.0"}, {"beta", 4, "4.0"}})));
        auto *checker = new UpdateChecker(nullptr);
        QPointer<UpdateChecker> guard(checker);
        QSignalSpy spy(checker, &UpdateChecker::update_available);
        checker->start();
        QVERIFY(spy.wait(5000));
        const auto versions = spy.at(0).at(0).value<UpdateVersions>();
        QCOMPARE(versions.size(), 2);
        QCOMPARE(versions.value("stable"), qMakePair(QString("3"), QString("3.0")));
        QCOMPARE(versions.value("beta"), qMakePair(QString("4"), QString("4.0")));
        QTRY_VERIFY(guard.isNull());
        QCOMPARE(spy.count(), 1);
    }

    // The process may end at any moment of a version check: the check's thread must end with
    // the configuration, not run on into the process's tear-down.  The service never answers.
    void versionCheckThreadEndsWithTheConfiguration()
    {
        { // One finished check first: Qt's own threads stay from then on.
            Configuration config;
            QVERIFY(config.parseCommandLineOptions({"p", "--nouser"}) && checkEnded(config));
        }
        m_server->setResponse("/vx3-client", HttpTestServer::Response::silent());
        const auto threads = [] { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
        const int before = threads();
        for (int round = 0; round < 20; ++round) {
            auto config = std::make_unique<Configuration>();
            QVERIFY(config->parseCommandLineOptions({"p", "--nouser"}));
            QTest::qWait(round % 10); // the thread at another point of its request each time
            config.reset();
            // A joined thread may still show for an instant.
            QTRY_COMPARE_WITH_TIMEOUT(threads(), before, 2000);
        }
    }

    void unusableServiceAddressEndsTheCheck()
    {
        UpdateChecker::setServiceUrlForTesting("unknown-scheme://127.0.0.1/vx3-client");
        auto *checker = new UpdateChecker(nullptr);
        QSignalSpy spy(checker, &UpdateChecker::update_available);
        checker->start();
        QVERIFY(spy.wait(5000));
        QVERIFY(spy.at(0).at(0).value<UpdateVersions>().isEmpty());
    }

    void versionForChannel_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("number");
        QTest::newRow("stable") << 0 << "1";
        QTest::newRow("beta") << 1 << "2";
        QTest::newRow("alpha absent") << 2 << "";
        QTest::newRow("-1") << -1 << "";
        QTest::newRow("3") << 3 << "";
    }

    void versionForChannel()
    {
        QFETCH(int, channel);
        QFETCH(QString, number);
        UpdateVersions versions;
        versions.insert("stable", {"1", "one"});
        versions.insert("beta", {"2", "two"});
        versions.insert("", {"9", "nameless"});
        const auto pair = UpdateChecker::versionForChannel(versions, channel);
        QCOMPARE(pair.first, number);
        QCOMPARE(pair.second.isEmpty(), number.isEmpty());
    }

    void createTempDirSkipsTakenNames()
    {
        QDir().mkpath(m_tmp + "/voxtrel_temp_0");
        QVERIFY(ClientBundle::writeFile(m_tmp + "/voxtrel_temp_1", "a file takes the name too"));
        QVERIFY(QFile::link(m_tmp + "/nowhere", m_tmp + "/voxtrel_temp_2")); // dangling link
        Configuration config;
        QVERIFY(config.createTempDir());
        QCOMPARE(config.m_TempDir, m_tmp + "/voxtrel_temp_3");
        QVERIFY(QFileInfo(config.m_TempDir).isDir());
        QVERIFY(!QFileInfo::exists(m_tmp + "/nowhere"));
    }

    // A session folder whose mode cannot be set is not left behind: the next number is tried,
    // and when no folder can be given its mode, none stays.
    void createTempDirRemovesFoldersItCannotSecure_data()
    {
        QTest::addColumn<bool>("forGood");
        QTest::addColumn<int>("error");
        QTest::newRow("fails once") << false << int(EIO);
        QTest::newRow("fails for good") << true << int(EROFS);
    }

    void createTempDirRemovesFoldersItCannotSecure()
    {
        QFETCH(bool, forGood);
        QFETCH(int, error);
        Configuration config;
        QSignalSpy fatalSpy(&config, &Configuration::fatalError);
        CallFaults::fail(CallFaults::Chmod, "/voxtrel_temp_", error, forGood);
        const bool made = config.createTempDir();
        const int failures = CallFaults::failures();
        CallFaults::disarm();
        QVERIFY(failures > 0);
        QCOMPARE(made, !forGood);
        const QStringList left = QDir(m_tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        if (forGood) {
            QCOMPARE(fatalSpy.count(), 1);
            QCOMPARE(fatalSpy.at(0).at(0).toString(), QString("Unable to create temp directory."));
            QCOMPARE(left, QStringList{});
        } else {
            QCOMPARE(config.m_TempDir, m_tmp + "/voxtrel_temp_1");
            QCOMPARE(left, QStringList{"voxtrel_temp_1"});
        }
    }

    void createTempDirGivesUpAfterAllCandidates()
    {
        for (int n = 0; n < 1000; ++n)
            QVERIFY(QDir().mkdir(m_tmp + "/voxtrel_temp_" + QString::number(n)));
        Configuration config;
        QSignalSpy fatalSpy(&config, &Configuration::fatalError);
        QVERIFY(!config.createTempDir());
        QVERIFY(config.m_TempDir.isEmpty());
        QCOMPARE(fatalSpy.count(), 1);
        QCOMPARE(fatalSpy.at(0).at(0).toString(), QString("Unable to create temp directory."));
        QVERIFY(!QFileInfo::exists(m_tmp + "/voxtrel_temp_1000"));

        // Without a session folder the start is refused and the install folder stays unset.
        Configuration starting;
        QSignalSpy startFatalSpy(&starting, &Configuration::fatalError);
        QVERIFY(!starting.initalizeStart(QString(), "/some/client/Contents"));
        QVERIFY(starting.m_TempDir.isEmpty());
        QVERIFY(starting.m_InstallDir.isEmpty());
        QCOMPARE(startFatalSpy.count(), 1);
    }

    void initalizeStart()
    {
        Configuration given;
        QVERIFY(given.initalizeStart("/some/session", "/some/client/Contents"));
        QCOMPARE(given.m_TempDir, QString("/some/session"));
        QCOMPARE(given.m_InstallDir, QString("/some/client/Contents"));
        QVERIFY(QDir(m_tmp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

        Configuration fresh;
        QVERIFY(fresh.initalizeStart(QString(), QString()));
        QCOMPARE(fresh.m_TempDir, m_tmp + "/voxtrel_temp_0");
        QCOMPARE(QDir::cleanPath(fresh.m_InstallDir), m_root->filePath("Voxtrel 3 Client.app/Contents"));
    }

    // A folder given with ".." or "." in it is settled to a clean path only when walking that
    // path reaches the very folder the given one reaches.
    void settledFolder_data()
    {
        QTest::addColumn<QString>("given");    // relative to the root; "~" marks the root itself
        QTest::addColumn<QString>("settled");  // relative to the root; "=" for given unchanged
        QTest::newRow("up from the updater") << "a/b/c/MacOS/../../.." << "a";
        QTest::newRow("trailing slash kept") << "a/b/c/MacOS/../../../" << "a/";
        QTest::newRow("dots") << "a/./b/../b" << "a/b";
        QTest::newRow("already clean") << "a/b" << "a/b";
        // "link/.." is the folder above the link's target, not "a": the link-free path of the
        // folder really reached.
        QTest::newRow("up through a link") << "a/link/.." << "elsewhere";
        QTest::newRow("missing") << "a/none/../b" << "=";
    }

    void settledFolder()
    {
        QFETCH(QString, given);
        QFETCH(QString, settled);
        const QString root = QFileInfo(m_root->path()).canonicalFilePath();
        QVERIFY(QDir().mkpath(root + "/a/b/c/MacOS"));
        QVERIFY(QDir().mkpath(root + "/elsewhere/inner"));
        QVERIFY(QFile::link(root + "/elsewhere/inner", root + "/a/link"));
        const QString path = root + "/" + given;
        QCOMPARE(Configuration::settledFolder(path), settled == "=" ? path : root + "/" + settled);
    }

    void folderHelpers()
    {
        // Settled at once: walks go straight to the folder, not down to MacOS and back up.
        QCOMPARE(Configuration::appDirBase(), m_sharedSupport + "/");
        QCOMPARE(Configuration::installDir(), m_sharedSupport);
        QCOMPARE(Configuration::configDir(), m_config + "/");
        qputenv("VX3_CONFIG_DIR", QByteArray(m_config.toUtf8() + "/"));
        QCOMPARE(Configuration::configDir(), m_config + "/");
        qputenv("VX3_CONFIG_DIR", "");
        QVERIFY(Configuration::configDir().endsWith("/Voxtrel 3/"));
        QCOMPARE(Configuration::defaultClientType(true), QString("client_macosx"));
        QCOMPARE(Configuration::defaultClientType(false), QString("update_macosx"));

        Configuration config;
        const QString macos = m_root->filePath("Voxtrel 3 Client.app/Contents/MacOS");
        const QString sharedSupport = m_sharedSupport;
        QVERIFY(!config.isClientDir(sharedSupport));
        QVERIFY(ClientBundle::writeFile(macos + "/vx3client_mac", "binary"));
        QVERIFY(config.isClientDir(sharedSupport));
        QVERIFY(!config.isClientDir(QString()));
    }
};

QTEST_GUILESS_MAIN(ConfigurationTest)
#include "configurationtest.moc"
