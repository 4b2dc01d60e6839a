// The updater's own HTTP replies against the local server: body framings, status errors,
// header blocks that are too long or never end, short bodies, the proxy form of a request,
// abort, and the bounded buffer of a reply nobody reads.
#include "boundedhttpreply.h"
#include "boundednetworkaccessmanager.h"
#include "networklimits.h"

#include "common/bundlegenerator.h"
#include "common/httptestserver.h"
#include "common/peakmemory.h"
#include "common/testcertificates.h"
#include "common/updatefiles.h"

#include <QElapsedTimer>
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

// A reply whose head carries `rawHead` as is after its own header lines; the body runs to the
// close unless the raw lines frame it.
Response rawHeaded(const QByteArray& rawHead, const QByteArray& wire)
{
    Response r = Response::ok(wire, QByteArray());
    r.sendContentLength = false;
    r.rawHead = rawHead;
    return r;
}

// As on a system whose TLS library still allows TLS 1.0 and 1.1: the request's configuration at
// OpenSSL's lowest security level, so that only the client's own minimum version can refuse them.
QNetworkRequest withOldTlsAllowed(QNetworkRequest request)
{
    QSslConfiguration configuration = request.sslConfiguration();
    configuration.setBackendConfigurationOption("CipherString", "DEFAULT:@SECLEVEL=0");
    request.setSslConfiguration(configuration);
    return request;
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

    static std::unique_ptr<TestCertificates> m_Certificates;
    static constexpr int kTrusted = 0;
    static constexpr int kWrongName = 1;
    static constexpr int kUntrusted = 2;

private slots:
    void initTestCase()
    {
        m_Certificates = std::make_unique<TestCertificates>();
        m_Certificates->trustInProcess();
    }

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
        QTest::newRow("empty length") << framed(body, "Content-Length", "") << QNetworkReply::ProtocolFailure << 0
                                      << QByteArray() << qint64(-1);

        // Only chunked, as the final and only coding, frames a body.
        const QByteArray gzipped = UpdateFiles::gzip(body);
        QTest::newRow("coding gzip, chunked") << framed(chunked(gzipped, 7000), "Transfer-Encoding", "gzip, chunked")
                                              << QNetworkReply::ProtocolFailure << 0 << QByteArray() << qint64(-1);
        QTest::newRow("coding gzip") << framed(gzipped, "Transfer-Encoding", "gzip") << QNetworkReply::ProtocolFailure
                                     << 0 << QByteArray() << qint64(-1);
        QTest::newRow("coding chunked, gzip") << framed(chunked(gzipped, 7000), "Transfer-Encoding", "chunked, gzip")
                                              << QNetworkReply::ProtocolFailure << 0 << QByteArray() << qint64(-1);
        Response chunked10 = framed(chunked(body, 7000), "Transfer-Encoding", "chunked");
        chunked10.version = "HTTP/1.0";
        QTest::newRow("chunked in HTTP/1.0") << chunked10 << QNetworkReply::ProtocolFailure << 0 << QByteArray()
                                             << qint64(-1);
        QTest::newRow("chunk size 0x5") << framed("0x5\r\nabcde\r\n0\r\n\r\n", "Transfer-Encoding", "chunked")
                                        << QNetworkReply::ProtocolFailure << 200 << QByteArray() << qint64(-1);
        QTest::newRow("chunk size +5") << framed("+5\r\nabcde\r\n0\r\n\r\n", "Transfer-Encoding", "chunked")
                                       << QNetworkReply::ProtocolFailure << 200 << QByteArray() << qint64(-1);
        Response version9 = Response::ok(body);
        version9.version = "HTTP/9";
        QTest::newRow("version HTTP/9") << version9 << QNetworkReply::ProtocolFailure << 0 << QByteArray()
                                        << qint64(-1);
        Response reset = Response::resetAfter(50, body);
        reset.sendContentLength = false;
        QTest::newRow("reset in a body to close") << reset << QNetworkReply::RemoteHostClosedError << 200
                                                  << body.left(50) << qint64(-1);

        // The last byte of a framed body ends it, whatever the connection does next.
        QTest::newRow("reset after a whole body") << Response::resetAfter(body.size(), body) << QNetworkReply::NoError
                                                  << 200 << body << qint64(body.size());

        // Field lines as a client has to read them: a token, the colon right after it, a value of
        // visible characters and blanks. A line that is none fails the attempt, never skipped.
        const QByteArray hello = "hello, world";
        const QByteArray chunkedHello = "5\r\nhello\r\n0\r\n\r\n";
        const QList<QPair<const char*, QByteArray>> badFields = {
            {"field line without a colon", "Content-Length 5\r\n"},
            {"field name with a NUL", QByteArray("Transfer-Encoding\0: chunked\r\n", 30)},
            {"blank before the colon", "Transfer-Encoding : chunked\r\n"},
            {"empty field name", ": chunked\r\n"},
            {"field name not a token", "X(A): 1\r\n"},
            {"folded field line", "X-A: 1\r\n folded\r\n"},
            {"NUL in a field value", QByteArray("X-A: a\0b\r\n", 11)},
            {"bare CR in a field value", "X-A: a\rb\r\n"},
            {"control character in a field value", "X-A: a\x01b\r\n"},
        };
        for (const auto& row : badFields)
            QTest::newRow(row.first) << rawHeaded(row.second, chunkedHello) << QNetworkReply::ProtocolFailure << 0
                                     << QByteArray() << qint64(-1);
        // A bare LF may end a field line (never a chunk line); obs-text is a value's own.
        QTest::newRow("field lines ended by LF") << rawHeaded("X-A: 1\nX-B:\t2 \n", hello) << QNetworkReply::NoError
                                                 << 200 << hello << qint64(-1);
        QTest::newRow("obs-text in a field value") << rawHeaded("X-A: caf\xe9\r\n", hello) << QNetworkReply::NoError
                                                   << 200 << hello << qint64(-1);

        // Chunk lines: size [ extensions ] CRLF, the data, CRLF; trailers are field lines.
        const QList<QPair<const char*, QPair<QByteArray, QByteArray>>> badChunks = {
            {"chunk size line ended by LF", {"5\nhello\r\n0\r\n\r\n", ""}},
            {"chunk data ended by LF", {"5\r\nhello\n0\r\n\r\n", "hello"}},
            {"last chunk ended by LF", {"5\r\nhello\r\n0\n\r\n", "hello"}},
            {"blank after a chunk size", {"5 \r\nhello\r\n0\r\n\r\n", ""}},
            {"empty chunk extension", {"5;\r\nhello\r\n0\r\n\r\n", ""}},
            {"chunk extension not a token", {"5;a b\r\nhello\r\n0\r\n\r\n", ""}},
            {"unterminated quoted chunk extension", {"5;a=\"b\r\nhello\r\n0\r\n\r\n", ""}},
            {"control character in a chunk extension", {"5;a=\x01\r\nhello\r\n0\r\n\r\n", ""}},
            {"trailer line without a colon", {"5\r\nhello\r\n0\r\nX-T 1\r\n\r\n", "hello"}},
            {"trailer name not a token", {"5\r\nhello\r\n0\r\nX T: 1\r\n\r\n", "hello"}},
            {"folded trailer line", {"5\r\nhello\r\n0\r\nX-T: 1\r\n 2\r\n\r\n", "hello"}},
        };
        for (const auto& row : badChunks)
            QTest::newRow(row.first) << framed(row.second.first, "Transfer-Encoding", "chunked")
                                     << QNetworkReply::ProtocolFailure << 200 << row.second.second << qint64(-1);
        QTest::newRow("chunk extensions with blanks and quotes")
            << framed("5 ; a = b ;c=\"q \\\" d\";e\r\nhello\r\n0;last\r\n\r\n", "Transfer-Encoding", "chunked")
            << QNetworkReply::NoError << 200 << QByteArray("hello") << qint64(-1);
        QTest::newRow("trailer fields ended by LF")
            << framed("5\r\nhello\r\n0\r\nX-T: 1\r\nX-U:\n\n", "Transfer-Encoding", "chunked")
            << QNetworkReply::NoError << 200 << QByteArray("hello") << qint64(-1);

        // The header bound is the block's size on the wire (here about 62000 bytes), for the
        // client and for the download's own check alike.
        Response manyHeaders = Response::ok(body);
        for (int i = 0; i < 9000; ++i)
            manyHeaders.headers.append(qMakePair(QByteArray::number(i), QByteArray()));
        QTest::newRow("9000 empty headers") << manyHeaders << QNetworkReply::NoError << 200 << body
                                            << qint64(body.size());
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
            QCOMPARE(NetworkLimits::refusal(reply), QString());
            QVERIFY(!r.progress.isEmpty());
            QCOMPARE(r.progress.last().at(0).toLongLong(), qint64(body.size()));
            QCOMPARE(r.progress.last().at(1).toLongLong(), total >= 0 ? total : qint64(body.size()));
        }

        QCOMPARE(m_Server->requestCount(), 1);
        const HttpTestServer::Request sent = m_Server->requests().at(0);
        QCOMPARE(sent.target, QByteArray("/f.bin"));
        QCOMPARE(sent.header("Host"), QString("127.0.0.1:%1").arg(m_Server->port()).toLatin1());
        QCOMPARE(sent.header("Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(sent.header("Connection"), QByteArray()); // kept for a next request if it can be
        QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QString::number(memory.growth())));
        delete reply;
        // Whatever the server does, the connection is closed once its manager has gone.
        m_Nam.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_Server->openConnections(), 0, 5000);
    }

    // A connection that has served a whole reply carries the next request to the same server. One
    // that cannot is closed and the next request makes its own: the reply ran to the close, said
    // "close", was HTTP/1.0, came with more than it announced, or failed.
    void keptConnection_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<Response>("first");
        QTest::addColumn<bool>("kept");
        const QByteArray body = pattern(20000);
        Response extra = Response::ok(body + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nforgedbody");
        extra.contentLength = body.size();
        extra.staysOpen = true;
        Response toClose = Response::ok(body);
        toClose.sendContentLength = false;
        Response saysClose = Response::ok(body);
        saysClose.headers.append(qMakePair(QByteArray("Connection"), QByteArray("close")));
        Response http10 = Response::ok(body);
        http10.version = "HTTP/1.0";
        Response shortBody = Response::ok(body);
        shortBody.contentLength = body.size() + 10;
        shortBody.staysOpen = true;
        for (const bool tls : {false, true}) {
            const char* scheme = tls ? "https" : "http";
            QTest::addRow("%s length", scheme) << tls << Response::ok(body) << true;
            QTest::addRow("%s chunked", scheme) << tls << framed(chunked(body, 3000), "Transfer-Encoding", "chunked") << false;
            QTest::addRow("%s 404", scheme) << tls << Response::withStatus(404, "gone") << true;
            QTest::addRow("%s more than announced", scheme) << tls << extra << false;
        }
        QTest::newRow("chunked, kept open") << false << [&] {
            Response r = framed(chunked(body, 3000), "Transfer-Encoding", "chunked");
            r.staysOpen = true;
            return r;
        }() << true;
        QTest::newRow("runs to the close") << false << toClose << false;
        QTest::newRow("says close") << false << saysClose << false;
        QTest::newRow("HTTP/1.0") << false << http10 << false;
        QTest::newRow("short body") << false << shortBody << false;
    }

    void keptConnection()
    {
        QFETCH(bool, tls);
        QFETCH(Response, first);
        QFETCH(bool, kept);
        if (tls)
            m_Server->useTls(m_Certificates->server().certificate, m_Certificates->server().key);
        m_Server->setResponse("/a", first);
        m_Server->setResponse("/b", Response::ok("second"));
        m_Nam->setTransferTimeout(1500);
        QNetworkReply* a = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/a"))));
        Reader ra(a);
        QVERIFY(ra.finished.wait(10000));
        QTest::qWait(50); // whatever else is on its way arrives
        QNetworkReply* b = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/b"))));
        Reader rb(b);
        QVERIFY(rb.finished.wait(10000));
        QCOMPARE(b->error(), QNetworkReply::NoError);
        QCOMPARE(rb.body, QByteArray("second"));
        QCOMPARE(m_Server->requestCount(), 2);
        const QList<HttpTestServer::Request> sent = m_Server->requests();
        QCOMPARE(sent.at(1).connection == sent.at(0).connection, kept);
        QCOMPARE(m_Server->totalConnections(), kept ? 1 : 2);
        delete a;
        delete b;
    }

    // A kept connection that the server closes: before the next request, or after it without an
    // answer, the request goes out again on a new connection. Nothing is retried once an answer
    // has begun.
    void keptConnectionClosedByTheServer_data()
    {
        QTest::addColumn<bool>("closedFirst");
        QTest::addColumn<Response>("onKept");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<int>("connections");
        QTest::newRow("closed while kept") << true << Response::ok("second") << 1 << QNetworkReply::NoError << 2;
        QTest::newRow("closed instead of an answer") << false << Response::closeAtOnce() << 2
                                                     << QNetworkReply::NoError << 2;
        QTest::newRow("closed within the answer") << false << Response::dropAfter(3, "second") << 1
                                                  << QNetworkReply::RemoteHostClosedError << 1;
    }

    void keptConnectionClosedByTheServer()
    {
        QFETCH(bool, closedFirst);
        QFETCH(Response, onKept);
        QFETCH(int, requests);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(int, connections);
        m_Server->setResponse("/a", Response::ok("first"));
        m_Server->setResponses("/b", {onKept, Response::ok("second")});
        QNetworkReply* a = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/a"))));
        Reader ra(a);
        QVERIFY(ra.finished.wait(10000));
        QCOMPARE(a->error(), QNetworkReply::NoError);
        if (closedFirst)
            m_Server->closeAllConnections(); // and the request follows before the close is seen
        QNetworkReply* b = m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/b"))));
        Reader rb(b);
        QVERIFY(rb.finished.wait(10000));
        QCOMPARE(b->error(), error);
        QCOMPARE(rb.body, error == QNetworkReply::NoError ? QByteArray("second") : QByteArray("sec"));
        QCOMPARE(m_Server->requestCount("/b"), requests);
        QCOMPARE(m_Server->totalConnections(), connections);
        delete a;
        delete b;
    }

    // The same bounds over TLS, against a server whose certificate the test's authority signed;
    // a certificate that does not check out fails the attempt before a request goes out.
    void httpsOutcome_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("identity");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<int>("protocol");

        const int kQtDefault = int(QSsl::SecureProtocols);
        const QByteArray body = pattern(3 << 20);
        QTest::newRow("honest download") << Response::ok(body) << kTrusted << QNetworkReply::NoError << body << false
                                         << kQtDefault;
        Response flood = Response::headerFlood();
        flood.streamLimit = qint64(256) << 20;
        Response toClose = Response::ok(body);
        toClose.sendContentLength = false;
        QTest::newRow("body to close") << toClose << kTrusted << QNetworkReply::NoError << body << false << kQtDefault;
        Response reset = Response::resetAfter(50, body);
        reset.sendContentLength = false;
        QTest::newRow("reset in a body to close") << reset << kTrusted << QNetworkReply::RemoteHostClosedError
                                                  << body.left(50) << false << kQtDefault;
        QTest::newRow("header flood") << flood << kTrusted << QNetworkReply::ProtocolFailure << QByteArray() << false
                                      << kQtDefault;
        QTest::newRow("header drip") << Response::headerTrickle(10) << kTrusted << QNetworkReply::TimeoutError
                                     << QByteArray() << false << kQtDefault;
        // Delivered as sent and refused by the updater's check: never inflated on the way.
        const QByteArray bomb = UpdateFiles::gzipBomb(qint64(1) << 30);
        Response gzipped = Response::ok(bomb);
        gzipped.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
        QTest::newRow("gzip bomb") << gzipped << kTrusted << QNetworkReply::NoError << bomb << true << kQtDefault;
        QTest::newRow("untrusted certificate") << Response::ok(body) << kUntrusted
                                               << QNetworkReply::SslHandshakeFailedError << QByteArray() << false
                                               << kQtDefault;
        QTest::newRow("certificate for another name") << Response::ok(body) << kWrongName
                                                      << QNetworkReply::SslHandshakeFailedError << QByteArray() << false
                                                      << kQtDefault;

        // TLS 1.2 at least, whatever the TLS library would still allow.
        QTest::newRow("server offers only TLS 1.0") << Response::ok(body) << kTrusted
                                                    << QNetworkReply::SslHandshakeFailedError << QByteArray() << false
                                                    << int(QSsl::TlsV1_0);
        QTest::newRow("server offers only TLS 1.1") << Response::ok(body) << kTrusted
                                                    << QNetworkReply::SslHandshakeFailedError << QByteArray() << false
                                                    << int(QSsl::TlsV1_1);
        QTest::newRow("server offers only TLS 1.2") << Response::ok(body) << kTrusted << QNetworkReply::NoError << body
                                                    << false << int(QSsl::TlsV1_2);

        // A body is complete once its framing has ended: its length, its last chunk, or for a
        // body to close TLS's close alert; a reset right after changes nothing. Before that end
        // it fails the attempt, and so does a body to close that ends without the alert.
        QTest::newRow("close alert, reset after a whole body")
            << Response::closeAlertThenReset(body.size(), body) << kTrusted << QNetworkReply::NoError << body << false
            << kQtDefault;
        Response lastChunk = framed(chunked(body, 70000), "Transfer-Encoding", "chunked");
        lastChunk.mode = Response::Mode::ResetAfter;
        lastChunk.cutAfter = lastChunk.body.size();
        QTest::newRow("close alert, reset after the last chunk") << lastChunk << kTrusted << QNetworkReply::NoError
                                                                 << body << false << kQtDefault;
        Response alertToClose = Response::closeAlertThenReset(body.size(), body);
        alertToClose.sendContentLength = false;
        QTest::newRow("close alert, reset after a body to close")
            << alertToClose << kTrusted << QNetworkReply::NoError << body << false << kQtDefault;
        QTest::newRow("close alert, reset before the body's end")
            << Response::closeAlertThenReset(50, body) << kTrusted << QNetworkReply::RemoteHostClosedError
            << body.left(50) << false << kQtDefault;
        Response noAlert = Response::dropAfter(body.size(), body);
        noAlert.sendContentLength = false;
        noAlert.closeAlert = false;
        QTest::newRow("body to close ended without a close alert")
            << noAlert << kTrusted << QNetworkReply::RemoteHostClosedError << body << false << kQtDefault;
    }

    void httpsOutcome()
    {
        QFETCH(Response, response);
        QFETCH(int, identity);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QFETCH(int, protocol);
        QVERIFY2(m_Certificates->isValid(), qPrintable(m_Certificates->errorString()));
        const TestCertificates::Identity id = identity == kTrusted ? m_Certificates->server()
            : identity == kWrongName                               ? m_Certificates->wrongName()
                                                                   : m_Certificates->untrusted();
        m_Server->useTls(id.certificate, id.key);
        m_Server->setTlsProtocol(QSsl::SslProtocol(protocol));
        m_Server->setResponse("/f.bin", response);
        PeakMemory memory;
        QVERIFY(memory.start());
        QElapsedTimer clock;
        clock.start();

        QNetworkRequest request = NetworkLimits::request(QUrl(m_Server->url("/f.bin")));
        if (protocol != int(QSsl::SecureProtocols))
            request = withOldTlsAllowed(request);
        QNetworkReply* reply = m_Nam->get(request);
        QVERIFY(qobject_cast<BoundedHttpReply*>(reply));
        QVERIFY(reply->url().scheme() == "https");
        NetworkLimits::limit(reply);
        Reader r(reply);
        QVERIFY(r.finished.wait(10000));
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(reply->error(), error);
        QCOMPARE(r.body.size(), body.size());
        QCOMPARE(r.body, body);
        if (error == QNetworkReply::NoError)
            QCOMPARE(NetworkLimits::refusal(reply).isEmpty(), !refused);
        QCOMPARE(m_Server->requestCount(), error == QNetworkReply::SslHandshakeFailedError ? 0 : 1);
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

    // https through a proxy goes through a CONNECT tunnel: the credentials go to the proxy only, the
    // request inside is the origin's, and the certificate is checked for the origin's name.
    void proxyTunnelsHttps_data()
    {
        QTest::addColumn<int>("connectStatus");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<int>("protocol");
        QTest::newRow("tunnel") << 200 << QNetworkReply::NoError << int(QSsl::SecureProtocols);
        QTest::newRow("credentials refused") << 407 << QNetworkReply::ProxyAuthenticationRequiredError
                                             << int(QSsl::SecureProtocols);
        QTest::newRow("tunnel to a TLS 1.0 server") << 200 << QNetworkReply::SslHandshakeFailedError
                                                    << int(QSsl::TlsV1_0);
    }

    void proxyTunnelsHttps()
    {
        QFETCH(int, connectStatus);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(int, protocol);
        QVERIFY2(m_Certificates->isValid(), qPrintable(m_Certificates->errorString()));
        m_Server->acceptTunnels(m_Certificates->server().certificate, m_Certificates->server().key);
        m_Server->setTlsProtocol(QSsl::SslProtocol(protocol));
        m_Server->setResponse("localhost:9", Response::withStatus(connectStatus));
        m_Server->setResponse("/a.bin", Response::ok("inside the tunnel"));
        m_Nam->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", m_Server->port(), "user", "pa:ss"));
        QNetworkRequest request(QUrl("https://localhost:9/a.bin"));
        if (protocol != int(QSsl::SecureProtocols))
            request = withOldTlsAllowed(request);
        QNetworkReply* reply = m_Nam->get(request);
        Reader r(reply);
        QVERIFY(r.finished.wait(10000));
        QCOMPARE(reply->error(), error);
        QCOMPARE(r.body, error == QNetworkReply::NoError ? QByteArray("inside the tunnel") : QByteArray());
        QCOMPARE(m_Server->requestCount(), error == QNetworkReply::NoError ? 2 : 1);
        const HttpTestServer::Request tunnel = m_Server->requests().at(0);
        QCOMPARE(tunnel.method, QByteArray("CONNECT"));
        QCOMPARE(tunnel.target, QByteArray("localhost:9"));
        QCOMPARE(tunnel.header("Proxy-Authorization"), QByteArray("Basic dXNlcjpwYTpzcw=="));
        if (error == QNetworkReply::NoError) {
            const HttpTestServer::Request inside = m_Server->requests().at(1);
            QCOMPARE(inside.target, QByteArray("/a.bin"));
            QCOMPARE(inside.header("Host"), QByteArray("localhost:9"));
            QCOMPARE(inside.header("Proxy-Authorization"), QByteArray());
        }
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

    // Nothing leaves through Qt's own client: other schemes and operations fail, and no request
    // reaches a server.
    void otherRequestsFail_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("head");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::newRow("file") << "file:///dev/null" << false << QNetworkReply::ProtocolUnknownError;
        QTest::newRow("ftp") << "ftp://127.0.0.1/x" << false << QNetworkReply::ProtocolUnknownError;
        QTest::newRow("HEAD") << QString() << true << QNetworkReply::OperationNotImplementedError;
    }

    void otherRequestsFail()
    {
        QFETCH(QString, url);
        QFETCH(bool, head);
        QFETCH(QNetworkReply::NetworkError, error);
        const QNetworkRequest request(QUrl(url.isEmpty() ? m_Server->url("/x") : url));
        QNetworkReply* reply = head ? m_Nam->head(request) : m_Nam->get(request);
        QVERIFY(qobject_cast<BoundedHttpReply*>(reply));
        Reader r(reply);
        QVERIFY(r.finished.wait(5000));
        QCOMPARE(reply->error(), error);
        QVERIFY(!reply->errorString().isEmpty());
        QCOMPARE(r.body, QByteArray());
        QTest::qWait(50);
        QCOMPARE(m_Server->requestCount(), 0);
        delete reply;
    }
};

std::unique_ptr<TestCertificates> BoundedHttpReplyTest::m_Certificates;

QTEST_GUILESS_MAIN(BoundedHttpReplyTest)
#include "boundedhttpreplytest.moc"
