#pragma once
// A small scriptable HTTP/1.1 server for tests.  It listens on 127.0.0.1 (port chosen by the
// system) and serves from the event loop of the thread that owns it, so a test spins that loop
// (QSignalSpy::wait, QTRY_COMPARE, QTest::qWaitFor) while the code under test talks to it.
//
// Per path the test scripts one response or a list of responses used in order (the last one
// repeats).  A response can carry any status, body, headers and Content-Length (also a false one),
// can stall after N body bytes (connection stays open, nothing more is sent), drop the
// connection after N body bytes (orderly or by a reset; over TLS with or without the close alert
// first), or never answer at all, trickle its body, flood or trickle one header line that never
// ends, or stream a body without end.  It speaks plain HTTP, or HTTPS with a test certificate
// (useTls), also one offering only an old TLS version (setTlsProtocol).  Every request is logged in arrival
// order; open connections and requests in service are counted, with their peaks.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QSslCertificate>
#include <QSslKey>

#include "common/ssltcpserver.h"

#include <functional>

class QTcpSocket;

class HttpTestServer : public QObject {
    Q_OBJECT
public:
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    struct Response {
        enum class Mode {
            Complete,   // send everything
            StallAfter, // send headers and `cutAfter` body bytes, then go quiet (until releaseStalled)
            DropAfter,  // send headers and `cutAfter` body bytes, then close the connection
            Silent,     // accept the request and never send a byte (until releaseStalled)
            CloseAtOnce, // close the connection without sending anything
            Trickle,    // send headers, then `trickleChunk` body bytes every `trickleIntervalMs`
            HeaderFlood, // send the status line and one header line that never ends
            HeaderTrickle, // as HeaderFlood, a byte of the line every `trickleIntervalMs`
            Endless,    // send headers, then `body` over and over without end
            ResetAfter  // send headers and `cutAfter` body bytes, then reset the connection (RST)
        };
        int status = 200;
        QByteArray version = "HTTP/1.1"; // of the status line
        QByteArray body;
        HeaderList headers;           // sent as given, after the status line
        QByteArray rawHead;           // sent as is after the headers, before the empty line
        qint64 contentLength = -1;    // -1: the body's real size; otherwise sent as is (may lie)
        bool sendContentLength = true;
        Mode mode = Mode::Complete;
        qint64 cutAfter = 0;          // body bytes sent before a stall or a drop
        int trickleIntervalMs = 0;    // pause before each piece of a trickle
        int trickleChunk = 1;         // body bytes sent per piece of a trickle
        qint64 streamLimit = qint64(4) << 30; // a flood or an endless body stops after this many bytes
        // Over TLS, whether TLS's close alert goes out before the connection's end (a drop's
        // close or a reset); resetAfter() leaves it out.
        bool closeAlert = true;
        // Keeps the connection open whatever the framing says (a server that sends more than it
        // announced).
        bool staysOpen = false;

        static Response ok(const QByteArray &body, const QByteArray &contentType = "application/octet-stream");
        static Response withStatus(int status, const QByteArray &body = QByteArray());
        static Response stallAfter(qint64 bytes, const QByteArray &body);
        static Response dropAfter(qint64 bytes, const QByteArray &body);
        static Response resetAfter(qint64 bytes, const QByteArray &body);
        // As resetAfter, with TLS's close alert right before the reset.
        static Response closeAlertThenReset(qint64 bytes, const QByteArray &body);
        static Response silent();
        static Response closeAtOnce();
        static Response trickle(int intervalMs, const QByteArray &body, int chunk = 1);
        static Response headerFlood();
        static Response headerTrickle(int intervalMs);
        // Announces `announcedLength` (-1: no Content-Length) and repeats `pattern` for ever.
        static Response endless(const QByteArray &pattern, qint64 announcedLength);
    };

    struct Request {
        int order = 0;        // 0-based arrival order over the server's lifetime
        int connection = 0;   // id of the connection it came on
        QByteArray method;
        QByteArray target;    // as sent, with the query string
        QByteArray path;      // without the query string
        HeaderList headers;
        QByteArray body;
        QByteArray header(const QByteArray &name) const; // case-insensitive, empty if absent
    };

    using Handler = std::function<Response(const Request &)>;

    explicit HttpTestServer(QObject *parent = nullptr);
    ~HttpTestServer() override;

    // Connections accepted from now on speak TLS with this certificate (https URLs).
    void useTls(const QSslCertificate &certificate, const QSslKey &key);

    // Plays an HTTP proxy's tunnel: a CONNECT whose scripted answer (by its target, "host:port")
    // is a 200 is answered "200 Connection established" and the connection
    // turns TLS with this certificate; the requests that follow inside are served as usual.
    void acceptTunnels(const QSslCertificate &certificate, const QSslKey &key);
    // TLS from now on, direct or in a tunnel, offers only this protocol version (see
    // SslTcpServer::startTls); QSsl::SecureProtocols is Qt's default.
    void setTlsProtocol(QSsl::SslProtocol protocol);

    // "http://127.0.0.1:PORT", or "https://127.0.0.1:PORT" once TLS is on
    QString baseUrl() const;
    QString url(const QString &path) const { return baseUrl() + path; }
    quint16 port() const;

    // Scripting.  A path matches the request target exactly, or the target without its query.
    void setResponse(const QByteArray &path, const Response &response);
    void setResponses(const QByteArray &path, const QList<Response> &responses);
    void setHandler(const QByteArray &path, Handler handler);
    void setDefaultResponse(const Response &response); // for unscripted paths; 404 unless set
    // Answers every unscripted path (before the default response); an empty handler removes it.
    void setFallbackHandler(Handler handler);
    void clearResponses();

    // Sends what stalled and silent responses have held back so far, then carries on normally.
    void releaseStalled();
    // Closes every open connection.
    void closeAllConnections();

    QList<Request> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    int requestCount(const QByteArray &path) const;

    int openConnections() const { return m_open; }
    int maxOpenConnections() const { return m_maxOpen; }
    int activeRequests() const { return m_active; }       // received, answer not yet fully sent
    int maxActiveRequests() const { return m_maxActive; }
    int totalConnections() const { return m_nextConnectionId; }

    // Spins the event loop until `count` requests arrived or the wait ran out.
    bool waitForRequests(int count, int timeoutMs = 5000);

signals:
    void requestReceived(const HttpTestServer::Request &request);
    void connectionClosed();

private:
    struct Connection {
        int id = 0;
        QByteArray buffer;          // unparsed input
        bool busy = false;          // a request is being answered
        QByteArray heldBack;        // bytes a stall or silence kept back
        bool closeAfterHeld = false;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void onDisconnected(QTcpSocket *socket);
    void processBuffer(QTcpSocket *socket);
    Response pickResponse(const Request &request);
    void answer(QTcpSocket *socket, const Request &request);
    void finishRequest(QTcpSocket *socket);
    // Ends the connection once the peer has acknowledged every byte sent: by a reset or by an
    // orderly close, over TLS with or without the close alert first.
    void endWhenSent(QTcpSocket *socket, bool reset, bool closeAlert);
    void trickle(QTcpSocket *socket, const QByteArray &body, int intervalMs, int chunk, bool closeAfter);
    // Writes `piece` over and over as fast as the peer takes it, `limit` bytes in all.
    void stream(QTcpSocket *socket, const QByteArray &piece, qint64 limit);

    SslTcpServer m_server;
    QSslCertificate m_tunnelCertificate;
    QSslKey m_tunnelKey;
    QSsl::SslProtocol m_tlsProtocol = QSsl::SecureProtocols;
    QHash<QByteArray, QList<Response>> m_scripts;
    QHash<QByteArray, Handler> m_handlers;
    Response m_default;
    Handler m_fallback;
    QHash<QTcpSocket *, Connection> m_connections;
    QList<Request> m_requests;
    int m_open = 0;
    int m_maxOpen = 0;
    int m_active = 0;
    int m_maxActive = 0;
    int m_nextConnectionId = 0;
};

Q_DECLARE_METATYPE(HttpTestServer::Response)
Q_DECLARE_METATYPE(HttpTestServer::Request)
