// The banner lookup against a local UDP responder: the request and its one resend, the reply
// parse, which replies are taken, and the banner cache files.
#include "banner.h"
#include "common/bannerresponder.h"
#include "common/tempenvironment.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {
constexpr int kTimeoutMs = 300;
}

class BannerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempEnvironment> m_root;
    std::unique_ptr<BannerResponder> m_responder;

    // Runs one lookup and gives it time for both requests and their time-outs.
    void runLookup(Banner &banner)
    {
        banner.run();
        QVERIFY(m_responder->waitForRequests(1));
        QTest::qWait(3 * kTimeoutMs);
    }

private slots:
    void init()
    {
        m_root = std::make_unique<TempEnvironment>();
        QVERIFY(m_root->isValid());
        m_responder = std::make_unique<BannerResponder>();
        Banner::setServerForTesting(m_responder->host(), m_responder->port());
        Banner::setReplyTimeoutForTesting(kTimeoutMs);
    }

    void cleanup()
    {
        Banner::setServerForTesting(QString(), 0);
        Banner::setReplyTimeoutForTesting(0);
        m_responder.reset();
    }

    void reply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("click");

        const QByteArray longClick = "http://c.example/" + QByteArray(1500, 'p');
        QTest::newRow("two urls, upper-case scheme") << QByteArray("http://i.example/b.jpg,HTTPS://c.example/x?y=1") << true
                                  << "http://i.example/b.jpg" << "HTTPS://c.example/x?y=1";
        QTest::newRow("line end stays") << QByteArray("http://i.example/b.jpg,http://c.example/\r\n") << true
                                        << "http://i.example/b.jpg" << "http://c.example/\r\n";
        QTest::newRow("cut to 1024 bytes") << QByteArray("http://i.example/b," + longClick) << true
                                           << "http://i.example/b" << QString::fromLatin1(longClick.left(1024 - 19));
        QTest::newRow("comma beyond 1024") << QByteArray("http://i.example/" + QByteArray(1100, 'x') + ",http://c.example/")
                                           << false << "" << "";
        QTest::newRow("closing comma") << QByteArray("http://i.example/,http://c.example/,") << false << "" << "";
        QTest::newRow("no comma") << QByteArray("http://i.example/") << false << "" << "";
        QTest::newRow("empty image") << QByteArray(",http://c.example/") << false << "" << "";
        QTest::newRow("empty click") << QByteArray("http://i.example/b.jpg,") << true << "http://i.example/b.jpg" << "";
        QTest::newRow("blank click") << QByteArray("http://i.example/,  ") << false << "" << "";
        QTest::newRow("file image") << QByteArray("file:///etc/passwd,http://c.example/") << false << "" << "";
        QTest::newRow("script click") << QByteArray("http://i.example/,javascript:alert(1)") << false << "" << "";
        QTest::newRow("image without host") << QByteArray("http:///b.jpg,http://c.example/") << false << "" << "";
        QTest::newRow("relative image") << QByteArray("b.jpg,http://c.example/") << false << "" << "";
        QTest::newRow("ftp click") << QByteArray("http://i.example/,ftp://c.example/") << false << "" << "";
    }

    // A reply from the server ends the wait whatever it holds: no resend follows.
    void reply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, found);
        QFETCH(QString, image);
        QFETCH(QString, click);

        m_responder->setReply(reply);
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        runLookup(banner);
        QCOMPARE(m_responder->requests(), QList<QByteArray>{QByteArray("\x01\x01")});
        QCOMPARE(spy.count(), found ? 1 : 0);
        if (found) {
            QCOMPARE(spy.at(0).at(0).toString(), image);
            QCOMPARE(spy.at(0).at(1).toString(), click);
        }
    }

    void silentServerGetsOneResend()
    {
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();
        QVERIFY(m_responder->waitForRequests(2));
        QTest::qWait(4 * kTimeoutMs);
        QCOMPARE(m_responder->requestCount(), 2);
        const QList<qint64> times = m_responder->requestTimes();
        QVERIFY2(times.at(1) - times.at(0) >= kTimeoutMs - 20, qPrintable(QString::number(times.at(1) - times.at(0))));
        QCOMPARE(spy.count(), 0);
    }

    // A second reply must not replace the banner already being fetched.
    void onlyTheFirstValidReplyCounts()
    {
        m_responder->setReplies({"nonsense", "http://i.example/1,http://c.example/1", "http://i.example/2,http://c.example/2"});
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        runLookup(banner);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("http://i.example/1"));
    }

    // Replies from another port than the one asked are ignored and do not stop the resend.
    void replyFromOtherPortIgnored()
    {
        m_responder->setReply("http://i.example/b,http://c.example/");
        m_responder->setAnswerFromOtherPort(true);
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();
        QVERIFY(m_responder->waitForRequests(2));
        QTest::qWait(2 * kTimeoutMs);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(m_responder->requestCount(), 2);
    }

    void cacheRoundTrip()
    {
        const QString click = QString::fromUtf8("http://c.example/a b/\xc3\xa4?x=1&y=~");
        QVERIFY(Banner::writeCache("JPEGDATA", click));
        QCOMPARE(Banner::cacheImagePath(), m_root->path("tmp/voxtrel_banner.jpg"));
        QFile link(Banner::cacheLinkPath());
        QVERIFY(link.open(QIODevice::ReadOnly));
        QCOMPARE(link.readAll(), QByteArray("http%3A%2F%2Fc.example%2Fa%20b%2F%C3%A4%3Fx%3D1%26y%3D~"));
        link.close();

        QByteArray image;
        QString readClick;
        QVERIFY(Banner::readCache(&image, &readClick));
        QCOMPARE(image, QByteArray("JPEGDATA"));
        QCOMPARE(readClick, click);

        // A shorter link replaces the longer one completely.
        QVERIFY(Banner::writeCache("J2", "http://d.example/"));
        QVERIFY(Banner::readCache(&image, &readClick));
        QCOMPARE(readClick, QStringLiteral("http://d.example/"));

        Banner::removeCache();
        QVERIFY(!QFile::exists(Banner::cacheImagePath()));
        QVERIFY(!QFile::exists(Banner::cacheLinkPath()));
        QVERIFY(!Banner::readCache(&image, &readClick));
    }

    void cacheUnusable_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("click");
        QTest::newRow("empty image") << QByteArray() << "http://c.example/";
        QTest::newRow("empty link") << QByteArray("J") << "";
        QTest::newRow("link not a web address") << QByteArray("J") << "file:///etc/passwd";
    }

    void cacheUnusable()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, click);
        Banner::writeCache(image, click);
        QByteArray readImage = "untouched";
        QVERIFY(!Banner::readCache(&readImage, nullptr));
        QCOMPARE(readImage, QByteArray("untouched"));
    }
};

QTEST_GUILESS_MAIN(BannerTest)
#include "bannertest.moc"
