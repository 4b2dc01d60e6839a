#include "httptestserver.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

#include <sys/ioctl.h>
#include <sys/socket.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif

namespace {

// Request heads larger than this are refused; tests never send such heads.
constexpr int kMaxHeadSize = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// A response that sends `body` up to `bytes` bytes, then stalls or drops as `mode` says.
HttpTestServer::Response cutResponse(HttpTestServer::Response::Mode mode, qint64 bytes, const QByteArray &body)
{
    HttpTestServer::Response r;
    r.body = body;
    r.mode = mode;
    r.cutAfter = bytes;
    return r;
}

} // namespace

HttpTestServer::Response HttpTestServer::Response::ok(const QByteArray &body, const QByteArray &contentType)
{
    Response r;
    r.body = body;
    if (!contentType.isEmpty())
        r.headers.append({"Content-Type", contentType});
    return r;
}

HttpTestServer::Response HttpTestServer::Response::withStatus(int status, const QByteArray &body)
{
    Response r;
    r.status = status;
    r.body = body;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::stallAfter(qint64 bytes, const QByteArray &body)
{
    return cutResponse(Mode::StallAfter, bytes, body);
}

HttpTestServer::Response HttpTestServer::Response::dropAfter(qint64 bytes, const QByteArray &body)
{
    return cutResponse(Mode::DropAfter, bytes, body);
}

HttpTestServer::Response HttpTestServer::Response::resetAfter(qint64 bytes, const QByteArray &body)
{
    Response r = cutResponse(Mode::ResetAfter, bytes, body);
    r.closeAlert = false;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::closeAlertThenReset(qint64 bytes, const QByteArray &body)
{
    return cutResponse(Mode::ResetAfter, bytes, body);
}

HttpTestServer::Response HttpTestServer::Response::silent()
{
    Response r;
    r.mode = Mode::Silent;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::trickle(int intervalMs, const QByteArray &body, int chunk)
{
    Response r;
    r.body = body;
    r.mode = Mode::Trickle;
    r.trickleIntervalMs = intervalMs;
    r.trickleChunk = qMax(1, chunk);
    return r;
}

HttpTestServer::Response HttpTestServer::Response::headerFlood()
{
    Response r;
    r.mode = Mode::HeaderFlood;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::headerTrickle(int intervalMs)
{
    Response r;
    r.mode = Mode::HeaderTrickle;
    r.trickleIntervalMs = intervalMs;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::endless(const QByteArray &pattern, qint64 announcedLength)
{
    Response r;
    r.body = pattern.isEmpty() ? QByteArray(1, 'x') : pattern;
    r.mode = Mode::Endless;
    r.contentLength = announcedLength;
    r.sendContentLength = announcedLength >= 0;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::closeAtOnce()
{
    Response r;
    r.mode = Mode::CloseAtOnce;
    return r;
}

QByteArray HttpTestServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

HttpTestServer::HttpTestServer(QObject *parent)
    : QObject(parent)
{
    m_default = Response::withStatus(404, "not found");
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("HttpTestServer: cannot listen on 127.0.0.1: %s", qPrintable(m_server.errorString()));
}

HttpTestServer::~HttpTestServer()
{
    m_server.close();
    const auto sockets = m_connections.keys();
    m_connections.clear();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

void HttpTestServer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_server.setServerIdentity(certificate, key);
}

void HttpTestServer::acceptTunnels(const QSslCertificate &certificate, const QSslKey &key)
{
    m_tunnelCertificate = certificate;
    m_tunnelKey = key;
}

void HttpTestServer::setTlsProtocol(QSsl::SslProtocol protocol)
{
    m_tlsProtocol = protocol;
    m_server.setProtocol(protocol);
}

QString HttpTestServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_server.isTls() ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_server.serverPort());
}

quint16 HttpTestServer::port() const
{
    return m_server.serverPort();
}

void HttpTestServer::setResponse(const QByteArray &path, const Response &response)
{
    m_handlers.remove(path);
    m_scripts.insert(path, {response});
}

void HttpTestServer::setResponses(const QByteArray &path, const QList<Response> &responses)
{
    m_handlers.remove(path);
    if (responses.isEmpty())
        m_scripts.remove(path);
    else
        m_scripts.insert(path, responses);
}

void HttpTestServer::setHandler(const QByteArray &path, Handler handler)
{
    m_scripts.remove(path);
    m_handlers.insert(path, std::move(handler));
}

void HttpTestServer::setDefaultResponse(const Response &response)
{
    m_default = response;
}

void HttpTestServer::setFallbackHandler(Handler handler)
{
    m_fallback = std::move(handler);
}

void HttpTestServer::clearResponses()
{
    m_scripts.clear();
    m_handlers.clear();
}

int HttpTestServer::requestCount(const QByteArray &path) const
{
    int n = 0;
    for (const auto &r : m_requests) {
        if (r.path == path || r.target == path)
            ++n;
    }
    return n;
}

bool HttpTestServer::waitForRequests(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        Connection c;
        c.id = m_nextConnectionId++;
        m_connections.insert(socket, c);
        ++m_open;
        m_maxOpen = qMax(m_maxOpen, m_open);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->buffer.append(socket->readAll());
    processBuffer(socket);
}

void HttpTestServer::onDisconnected(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (it->busy)
        --m_active;
    m_connections.erase(it);
    --m_open;
    socket->deleteLater();
    emit connectionClosed();
}

void HttpTestServer::processBuffer(QTcpSocket *socket)
{
    for (;;) {
        auto it = m_connections.find(socket);
        if (it == m_connections.end() || it->busy)
            return;
        Connection &c = *it;
        const int headEnd = c.buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (c.buffer.size() > kMaxHeadSize)
                socket->abort();
            return;
        }
        const QList<QByteArray> lines = c.buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() < 2) {
            socket->abort();
            return;
        }
        Request request;
        request.connection = c.id;
        request.method = requestLine[0];
        request.target = requestLine[1];
        const int q = request.target.indexOf('?');
        request.path = q < 0 ? request.target : request.target.left(q);
        qint64 bodyLength = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                bodyLength = value.toLongLong();
        }
        if (bodyLength < 0 || bodyLength > 64 * 1024 * 1024) {
            socket->abort();
            return;
        }
        const qint64 total = qint64(headEnd) + 4 + bodyLength;
        if (c.buffer.size() < total)
            return; // wait for the rest of the body
        request.body = c.buffer.mid(headEnd + 4, int(bodyLength));
        c.buffer.remove(0, int(total));
        c.busy = true;
        request.order = m_requests.size();
        m_requests.append(request);
        ++m_active;
        m_maxActive = qMax(m_maxActive, m_active);
        emit requestReceived(request);
        answer(socket, request);
    }
}

HttpTestServer::Response HttpTestServer::pickResponse(const Request &request)
{
    for (const QByteArray &key : {request.target, request.path}) {
        auto h = m_handlers.find(key);
        if (h != m_handlers.end())
            return (*h)(request);
        auto s = m_scripts.find(key);
        if (s != m_scripts.end() && !s->isEmpty())
            return s->size() > 1 ? s->takeFirst() : s->first();
    }
    if (m_fallback)
        return m_fallback(request);
    return m_default;
}

void HttpTestServer::answer(QTcpSocket *socket, const Request &request)
{
    const Response response = pickResponse(request);
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection &c = *it;

    auto *tls = qobject_cast<QSslSocket *>(socket);
    if (request.method == "CONNECT" && !m_tunnelCertificate.isNull() && response.status == 200 && tls
        && !tls->isEncrypted()) {
        socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
        SslTcpServer::startTls(tls, m_tunnelCertificate, m_tunnelKey, m_tlsProtocol);
        finishRequest(socket);
        return;
    }
    if (response.mode == Response::Mode::CloseAtOnce) {
        socket->disconnectFromHost();
        return;
    }
    if (response.mode == Response::Mode::HeaderFlood || response.mode == Response::Mode::HeaderTrickle) {
        socket->write(response.version + ' ' + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status)
                      + "\r\nX-Flood: ");
        if (response.mode == Response::Mode::HeaderFlood)
            stream(socket, QByteArray(64 * 1024, 'a'), response.streamLimit);
        else
            trickle(socket, QByteArray(1024 * 1024, 'a'), response.trickleIntervalMs, 1, true);
        return;
    }

    const bool head = request.method == "HEAD";
    const QByteArray body = head ? QByteArray() : response.body;
    const qint64 declared = response.contentLength >= 0 ? response.contentLength : response.body.size();
    // Without a true length the end of the body is the end of the connection.
    const bool closeAfter = !response.staysOpen
        && (!response.sendContentLength || (!head && declared != body.size())
            || request.header("Connection").compare("close", Qt::CaseInsensitive) == 0);

    QByteArray out = response.version + ' ' + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    for (const auto &h : response.headers)
        out += h.first + (h.second.isEmpty() ? QByteArray(":") : ": " + h.second) + "\r\n";
    out += response.rawHead;
    if (response.sendContentLength)
        out += "Content-Length: " + QByteArray::number(declared) + "\r\n";
    out += closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    out += "\r\n";

    const qint64 cut = qBound<qint64>(0, response.cutAfter, body.size());
    switch (response.mode) {
    case Response::Mode::Complete:
        socket->write(out + body);
        if (closeAfter)
            socket->disconnectFromHost();
        else
            finishRequest(socket);
        break;
    case Response::Mode::StallAfter:
        socket->write(out + body.left(int(cut)));
        c.heldBack = body.mid(int(cut));
        c.closeAfterHeld = closeAfter;
        break;
    case Response::Mode::DropAfter:
        socket->write(out + body.left(int(cut)));
        if (response.closeAlert || !tls || !tls->isEncrypted())
            socket->disconnectFromHost();
        else
            endWhenSent(socket, false, false);
        break;
    case Response::Mode::ResetAfter:
        socket->write(out + body.left(int(cut)));
        endWhenSent(socket, true, response.closeAlert);
        break;
    case Response::Mode::Silent:
        c.heldBack = out + body;
        c.closeAfterHeld = closeAfter;
        break;
    case Response::Mode::Trickle:
        socket->write(out);
        trickle(socket, body, response.trickleIntervalMs, response.trickleChunk, closeAfter);
        break;
    case Response::Mode::Endless: {
        socket->write(out);
        QByteArray piece;
        while (piece.size() < 64 * 1024)
            piece += response.body;
        stream(socket, piece, response.streamLimit);
        break;
    }
    case Response::Mode::CloseAtOnce:
    case Response::Mode::HeaderFlood:
    case Response::Mode::HeaderTrickle:
        break;
    }
}

void HttpTestServer::stream(QTcpSocket *socket, const QByteArray &piece, qint64 limit)
{
    // Keeps a little queued ahead of the peer, so that the server's own memory stays small.
    auto sent = std::make_shared<qint64>(0);
    // Over TLS, what waits to be encrypted and what waits to go out count alike, and more is written
    // only once encrypted bytes have left (else the writes would keep the event loop busy).
    auto *tls = qobject_cast<QSslSocket *>(socket);
    if (tls && !tls->isEncrypted())
        tls = nullptr;
    auto fill = [socket, tls, piece, limit, sent] {
        while (*sent < limit
               && socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0) < 4 * piece.size()
               && socket->state() == QAbstractSocket::ConnectedState) {
            const QByteArray out = piece.left(int(qMin<qint64>(piece.size(), limit - *sent)));
            socket->write(out);
            *sent += out.size();
        }
    };
    if (tls)
        connect(tls, &QSslSocket::encryptedBytesWritten, socket, fill);
    else
        connect(socket, &QTcpSocket::bytesWritten, socket, fill);
    fill();
}

void HttpTestServer::trickle(QTcpSocket *socket, const QByteArray &body, int intervalMs, int chunk, bool closeAfter)
{
    // The timer belongs to the socket, so a closed connection stops it.
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<int>(0);
    connect(timer, &QTimer::timeout, socket, [this, socket, timer, body, sent, chunk, closeAfter] {
        if (*sent < body.size()) {
            socket->write(body.mid(*sent, chunk));
            *sent += chunk;
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (closeAfter)
            socket->disconnectFromHost();
        else
            finishRequest(socket);
    });
    timer->start(intervalMs);
}

void HttpTestServer::endWhenSent(QTcpSocket *socket, bool reset, bool closeAlert)
{
    // A reset throws away what the peer has not acknowledged, so the end waits for that; then the
    // close alert (if asked for) and the end go out back to back, before the peer can read.
    auto *timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, socket, [socket, timer, reset, closeAlert] {
        socket->flush();
        auto *tls = qobject_cast<QSslSocket *>(socket);
        const int fd = int(socket->socketDescriptor());
        int unacknowledged = 0;
#if defined(__linux__)
        if (fd >= 0 && ::ioctl(fd, SIOCOUTQ, &unacknowledged) != 0)
            unacknowledged = 0;
#endif
        if (socket->bytesToWrite() > 0 || (tls && tls->encryptedBytesToWrite() > 0) || unacknowledged > 0)
            return;
        timer->stop();
        timer->deleteLater();
        if (reset && fd >= 0) {
            // A zero linger time makes the close send RST instead of FIN.
            const linger abortive{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        if (closeAlert && tls && tls->isEncrypted()) {
            tls->disconnectFromHost();
            if (tls->state() != QAbstractSocket::UnconnectedState)
                tls->waitForDisconnected(2000);
        } else {
            socket->abort();
        }
    });
    timer->start(10);
}

void HttpTestServer::finishRequest(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end() || !it->busy)
        return;
    it->busy = false;
    it->heldBack.clear();
    --m_active;
    // A pipelined request may already wait in the buffer.
    processBuffer(socket);
}

void HttpTestServer::releaseStalled()
{
    const auto sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets) {
        auto it = m_connections.find(socket);
        if (it == m_connections.end() || !it->busy || socket->state() != QAbstractSocket::ConnectedState)
            continue;
        socket->write(it->heldBack);
        if (it->closeAfterHeld)
            socket->disconnectFromHost();
        else
            finishRequest(socket);
    }
}

void HttpTestServer::closeAllConnections()
{
    const auto sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets)
        socket->disconnectFromHost();
}
