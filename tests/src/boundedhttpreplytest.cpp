// The updater's own HTTP replies against the local server: body framings, status errors,
// header blocks that are too long or never end, short bodies, the proxy form of a request,
// abort, and the bounded buffer of a reply nobody reads.
#include "boundedhttpreply.h"
#include "boundednetworkaccessmanager.h"

#include "common/bundlegenerator.h"
#include "common/httptestserver.h"
#include "common/peakmemory.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Response = HttpTestServer::Response;

namespace
{
QByteArray pattern(int size)
{
    return BundleGenerator::compressibleBytes(size, 7);
}

// `body` in chunks of `piece` bytes, with a chunk extension and a trailer.
QByteArray chunked(const QByteArray& body, int piece)
{
    QByteArray out;
    for (int i = 0; i < body.size(); i += piece) {
        const QByteArray part = body.mid(i, piece);
        out += QByteArray::number(part.size(), 16) + ";name=value\r\n" + part + "\r\n";
    }
    return out + "0\r\nX-Trailer: done\r\n\r\n";
}

Response framed(const QByteArray& wire, const QByteArray& header, const QByteArray& value)
{
    Response r = Response::ok(wire, QByteArray());
    r.sendContentLength = false;
    r.headers.append({header, value});
    return r;
}

const int kDeadlineMs = 800;
} // namespace

class BoundedHttpReplyTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<HttpTestServer> m_Server;
    std::unique_ptr<BoundedNetworkAccessManager> m_Nam;

    // Reads whatever the reply holds as it arrives, like the updater's callers.
    struct Reader
    {
        explicit Reader(QNetworkReply* reply)
            : finished(reply, &QNetworkReply::finished)
            , meta(reply, &QNetworkReply::metaDataChanged)
            , progress(reply, &QNetworkReply::downloadProgress)
        {
            QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, reply] { body += reply->readAll(); });
            QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
                if (reply->isOpen())
                    body += reply->readAll();
            });
        }
        QByteArray body;
        QSignalSpy finished;
        QSignalSpy meta;
        QSignalSpy progress;
    };

private slots:
    void init()
    {
        m_Server = std::make_unique<HttpTestServer>();
        m_Nam = std::make_unique<BoundedNetworkAccessManager>();
        m_Nam->setHeaderDeadline(kDeadlineMs);
    }

    void cleanup()
    {
        m_Nam.reset();
        m_Server.reset();
    }

    void replyOutcome_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<qint64>("total");

        const QByteArray body = pattern(200000);
        QTest::newRow("content-length body") << Response::ok(body) << QNetworkReply::NoError << 200 << body
                                             << qint64(body.size());
        // The server keeps the connection open: the last chunk alone ends the reply.
        Response chunks = framed(chunked(body, 7000), "Transfer-Encoding", "chunked");
        chunks.mode = Response::Mode::StallAfter;
        chunks.cutAfter = chunks.body.size();
        QTest::newRow("chunked body") << chunks << QNetworkReply::NoError << 200 << body << qint64(-1);
        Response toClose = Response::ok(body);
        toClose.sendContentLength = false;
        QTest::newRow("body to close") << toClose << QNetworkReply::NoError << 200 << body << qint64(-1);
        QTest::newRow("status 404") << Response::withStatus(404, "nothing here") << QNetworkReply::ContentNotFoundError
                                    << 404 << QByteArray("nothing here") << qint64(12);
        QTest::newRow("status 204") << Response::withStatus(204) << QNetworkReply::NoError << 204 << QByteArray()
                                    << qint64(0);

        Response longHead = Response::ok(body);
        longHead.headers.append({"X-Long", QByteArray(70000, 'h')});
        QTest::newRow("header block too long") << longHead << QNetworkReply::ProtocolFailure << 0 << QByteArray()
                                               << qint64(-1);
        QTest::newRow("header line endless") << Response::headerFlood() << QNetworkReply::ProtocolFailure << 0
                                             << QByteArray() << qint64(-1);
        // Bytes keep coming, so no transfer time-out would end these; the header deadline does.
        QTest::newRow("header line drips") << Response::headerTrickle(10) << QNetworkReply::TimeoutError << 0
                                           << QByteArray() << qint64(-1);
        QTest::newRow("no answer") << Response::silent() << QNetworkReply::TimeoutError << 0 << QByteArray()
                                   << qint64(-1);
        QTest::newRow("closed at once") << Response::closeAtOnce() << QNetworkReply::RemoteHostClosedError << 0
                                        << QByteArray() << qint64(-1);
        QTest::newRow("short body") << Response::dropAfter(1000, body) << QNetworkReply::RemoteHostClosedError
                                    << 200 << body.left(1000) << qint64(body.size());

        Response endlessChunkLine = framed("5;" + QByteArray(200000, 'x'), "Transfer-Encoding", "chunked");
        QTest::newRow("chunk size line endless") << endlessChunkLine << QNetworkReply::ProtocolFailure << 200
                                                 << QByteArray() << qint64(-1);
        Response hugeChunk = framed(QByteArray(40, 'f') + "\r\nabc", "Transfer-Encoding", "chunked");
        QTest::newRow("chunk size overflows") << hugeChunk << QNetworkReply::ProtocolFailure << 200 << QByteArray()
                                              << qint64(-1);
        Response endlessTrailer = framed("3\r\nabc\r\n0\r\nX-T: " + QByteArray(200000, 't'), "Transfer-Encoding",
                                         "chunked");
        QTest::newRow("trailer endless") << endlessTrailer << QNetworkReply::ProtocolFailure << 200
                                         << QByteArray("abc") << qint64(-1);
        QTest::newRow("bad length") << framed(body, "Content-Length", "12x") << QNetworkReply::ProtocolFailure << 0
                                    << QByteArray() << qint64(-1);
        QTest::newRow("lengths disagree") << framed(body, "Content-Length", "5, 6") << QNetworkReply::ProtocolFailure
                                          << 0 << QByteArray() << qint64(-1);
    }

    void replyOutcome()
    {
        QFETCH(Response, response);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(qint64, total);
        m_Server->setResponse("/f.bin", response);
        PeakMemory memory;
        QVERIFY(memory.start());

        QNetworkReply* reply = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/./f.bin"))));
        QVERIFY(qobject_cast<BoundedHttpReply*>(reply));
        reply->setReadBufferSize(64 * 1024);
        Reader r(reply);
        QVERIFY(r.finished.wait(10000));
        QCOMPARE(r.finished.count(), 1);
        QCOMPARE(reply->error(), error);
        QVERIFY(error == QNetworkReply::NoError || !reply->errorString().isEmpty());
        QCOMPARE(reply->isFinished(), true);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
        QCOMPARE(r.meta.count(), status != 0 ? 1 : 0);
        QCOMPARE(r.body.size(), body.size());
        QCOMPARE(r.body, body);
        if (status != 0)
            QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).isValid(), total >= 0);
        if (error == QNetworkReply::NoError) {
            QVERIFY(!r.progress.isEmpty());
            QCOMPARE(r.progress.last().at(0).toLongLong(), qint64(body.size()));
            QCOMPARE(r.progress.last().at(1).toLongLong(), total >= 0 ? total : qint64(body.size()));
        }

        QCOMPARE(m_Server->requestCount(), 1);
        const HttpTestServer::Request sent = m_Server->requests().at(0);
        QCOMPARE(sent.target, QByteArray("/f.bin"));
        QCOMPARE(sent.header("Host"), QString("127.0.0.1:%1").arg(m_Server->port()).toLatin1());
        QCOMPARE(sent.header("Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(sent.header("Connection"), QByteArray("close"));
        // Whatever the server does, the connection is closed once the reply has ended.
        QTRY_COMPARE_WITH_TIMEOUT(m_Server->openConnections(), 0, 5000);
        QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QString::number(memory.growth())));
        delete reply;
    }

    void proxyGetsTheAbsoluteTarget_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("authorization");
        QTest::newRow("with credentials") << "user" << "pa:ss" << QByteArray("Basic dXNlcjpwYTpzcw==");
        QTest::newRow("without") << QString() << QString() << QByteArray();
    }

    void proxyGetsTheAbsoluteTarget()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QByteArray, authorization);
        // The test server plays the proxy; the image server's name is never looked up.
        const QByteArray target = "http://updates.invalid:8080/a/b%20c.bin?v=1";
        m_Server->setResponse(target, Response::ok("through the proxy"));
        m_Nam->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", m_Server->port(), user, password));
        QNetworkRequest request(QUrl::fromEncoded(target));
        request.setRawHeader("X-Asked", "yes");
        QNetworkReply* reply = m_Nam->get(request);
        Reader r(reply);
        QVERIFY(r.finished.wait(10000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(r.body, QByteArray("through the proxy"));
        QCOMPARE(m_Server->requestCount(), 1);
        const HttpTestServer::Request sent = m_Server->requests().at(0);
        QCOMPARE(sent.target, target);
        QCOMPARE(sent.header("Host"), QByteArray("updates.invalid:8080"));
        QCOMPARE(sent.header("Proxy-Authorization"), authorization);
        QCOMPARE(sent.header("X-Asked"), QByteArray("yes"));
        delete reply;
    }

    void abortMidBodyClosesTheConnection()
    {
        m_Server->setResponse("/s.bin", Response::stallAfter(1000, pattern(4000)));
        QNetworkReply* reply = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/s.bin"))));
        Reader r(reply);
        QSignalSpy errors(reply, &QNetworkReply::errorOccurred);
        QTRY_COMPARE_WITH_TIMEOUT(r.body.size(), 1000, 5000);
        QCOMPARE(m_Server->openConnections(), 1);
        reply->abort();
        QCOMPARE(r.finished.count(), 1);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QVERIFY(!reply->isRunning());
        reply->abort();
        reply->close();
        QCOMPARE(r.finished.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_Server->openConnections(), 0, 5000);
        delete reply;
    }

    // Nothing more is taken from the connection while the caller leaves a full buffer unread;
    // reading resumes the transfer.
    void unreadBodyStaysBounded()
    {
        m_Server->setResponse("/e.bin", Response::endless(pattern(4096), -1));
        QNetworkReply* reply = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/e.bin"))));
        reply->setReadBufferSize(32 * 1024);
        QSignalSpy ready(reply, &QNetworkReply::readyRead);
        QVERIFY(ready.wait(5000));
        QTest::qWait(300);
        const qint64 held = reply->bytesAvailable();
        QVERIFY2(held >= 32 * 1024 && held <= 48 * 1024, qPrintable(QString::number(held)));
        QTest::qWait(200);
        QCOMPARE(reply->bytesAvailable(), held);

        qint64 got = 0;
        while (got < 4 * 1024 * 1024) {
            const QByteArray chunk = reply->read(8192);
            got += chunk.size();
            QVERIFY2(reply->bytesAvailable() <= 48 * 1024, qPrintable(QString::number(reply->bytesAvailable())));
            if (chunk.isEmpty())
                QVERIFY(ready.wait(5000));
        }
        QVERIFY(reply->isRunning());
        delete reply;
        QTRY_COMPARE_WITH_TIMEOUT(m_Server->openConnections(), 0, 5000);
    }

    // What the network layer of Qt serves itself: other schemes and operations.
    void otherRequestsStayWithQt()
    {
        QNetworkReply* file = m_Nam->get(QNetworkRequest(QUrl("file:///dev/null")));
        QVERIFY(!qobject_cast<BoundedHttpReply*>(file));
        QNetworkReply* head = m_Nam->head(QNetworkRequest(QUrl(m_Server->url("/x"))));
        QVERIFY(!qobject_cast<BoundedHttpReply*>(head));
        delete file;
        delete head;
    }
};

QTEST_GUILESS_MAIN(BoundedHttpReplyTest)
#include "boundedhttpreplytest.moc"
