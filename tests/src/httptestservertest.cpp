// Checks the scripted behaviours of the shared HTTP test server that other tests rely on:
// if one of them silently did something else, those tests would pass or fail for the wrong reason.
#include "common/httptestserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class HttpTestServerTest : public QObject {
    Q_OBJECT

    struct Result {
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QByteArray body;
    };

    QNetworkAccessManager m_nam;

    QNetworkReply *start(const QString &url)
    {
        return m_nam.get(QNetworkRequest(QUrl(url)));
    }

    Result fetch(const QString &url)
    {
        std::unique_ptr<QNetworkReply> reply(start(url));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(5000);
        Result r;
        r.error = reply->error();
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.body = reply->readAll();
        return r;
    }

private slots:
    void scriptedSequenceRepeatsLast()
    {
        HttpTestServer server;
        server.setResponses("/f", {HttpTestServer::Response::withStatus(503, "busy"),
                                   HttpTestServer::Response::ok("first"),
                                   HttpTestServer::Response::ok("second")});
        QCOMPARE(fetch(server.url("/f")).status, 503);
        QCOMPARE(fetch(server.url("/f?x=1")).body, QByteArray("first"));
        QCOMPARE(fetch(server.url("/f")).body, QByteArray("second"));
        QCOMPARE(fetch(server.url("/f")).body, QByteArray("second"));
        QCOMPARE(fetch(server.url("/other")).status, 404);
        QCOMPARE(server.requestCount("/f"), 4);
        const auto log = server.requests();
        QCOMPARE(log.size(), 5);
        QCOMPARE(log[1].target, QByteArray("/f?x=1"));
        QCOMPARE(log[1].path, QByteArray("/f"));
        QCOMPARE(log[4].order, 4);
        QCOMPARE(log[0].method, QByteArray("GET"));
        QVERIFY(!log[0].header("host").isEmpty());
        // Sequential requests reuse one kept-alive connection.
        QCOMPARE(server.totalConnections(), 1);
    }

    void lyingLengthAndDropFail()
    {
        HttpTestServer server;
        HttpTestServer::Response longer = HttpTestServer::Response::ok("abc");
        longer.contentLength = 10;
        server.setResponse("/long", longer);
        server.setResponse("/drop", HttpTestServer::Response::dropAfter(4, QByteArray(100, 'x')));
        server.setResponse("/closed", HttpTestServer::Response::closeAtOnce());
        QVERIFY(fetch(server.url("/long")).error != QNetworkReply::NoError);
        const Result dropped = fetch(server.url("/drop"));
        QVERIFY(dropped.error != QNetworkReply::NoError);
        QVERIFY(dropped.body.size() <= 4);
        QVERIFY(fetch(server.url("/closed")).error != QNetworkReply::NoError);
        QTRY_COMPARE(server.activeRequests(), 0);
    }

    void stallAndSilenceHoldUntilReleased()
    {
        HttpTestServer server;
        const QByteArray body(1000, 'y');
        server.setResponse("/stall", HttpTestServer::Response::stallAfter(10, body));
        server.setResponse("/quiet", HttpTestServer::Response::silent());
        std::unique_ptr<QNetworkReply> a(start(server.url("/stall")));
        std::unique_ptr<QNetworkReply> b(start(server.url("/quiet")));
        QVERIFY(server.waitForRequests(2));
        QTRY_COMPARE(a->bytesAvailable(), qint64(10));
        QCOMPARE(server.activeRequests(), 2);
        QCOMPARE(server.maxActiveRequests(), 2);
        QCOMPARE(server.openConnections(), 2);
        QVERIFY(!a->isFinished());
        QVERIFY(!b->isFinished());

        server.releaseStalled();
        QTRY_VERIFY(a->isFinished() && b->isFinished());
        QCOMPARE(a->error(), QNetworkReply::NoError);
        QCOMPARE(a->readAll(), body);
        QCOMPARE(b->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(server.activeRequests(), 0);
    }

    void handlerSeesRequestBody()
    {
        HttpTestServer server;
        server.setHandler("/echo", [](const HttpTestServer::Request &r) {
            return HttpTestServer::Response::ok(r.method + ":" + r.body);
        });
        QNetworkRequest request(QUrl(server.url("/echo")));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");
        std::unique_ptr<QNetworkReply> reply(m_nam.post(request, QByteArray("payload")));
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->readAll(), QByteArray("POST:payload"));
    }
};

QTEST_GUILESS_MAIN(HttpTestServerTest)
#include "httptestservertest.moc"
