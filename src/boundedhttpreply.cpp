#include "boundedhttpreply.h"

#include "httpconnectionpool.h"
#include "networklimits.h"

#include <QMetaObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <netinet/tcp_fsm.h>
#endif

namespace {

// Bytes taken from the socket in one go.
constexpr qint64 kReadChunk = 16 * 1024;

QNetworkReply::NetworkError errorForStatus(int status)
{
    switch (status) {
    case 400: return QNetworkReply::ProtocolInvalidOperationError;
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 418: return QNetworkReply::ProtocolInvalidOperationError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

// A header value must not carry line ends into the request.
bool safeHeaderText(const QByteArray& text)
{
    return !text.contains('\r') && !text.contains('\n');
}

// "host" or "host:port" (the port only when it is not the scheme's own).
QByteArray authority(const QUrl& url, int defaultPort, bool withPort)
{
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int port = url.port(defaultPort);
    if (withPort || port != defaultPort)
        host += ':' + QByteArray::number(port);
    return host;
}

int defaultPort(const QUrl& url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
}

QByteArray proxyAuthorization(const QNetworkProxy& proxy)
{
    if (proxy.user().isEmpty())
        return QByteArray();
    const QByteArray credentials = proxy.user().toUtf8() + ':' + proxy.password().toUtf8();
    return "Proxy-Authorization: Basic " + credentials.toBase64() + "\r\n";
}

// The protocol asked for when it allows nothing older than TLS 1.2, else TLS 1.2 or later.
QSsl::SslProtocol tls12OrLater(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2:
    case QSsl::TlsV1_2OrLater:
    case QSsl::TlsV1_3:
    case QSsl::TlsV1_3OrLater:
        return protocol;
    default:
        return QSsl::TlsV1_2OrLater;
    }
}

// True when the peer ended a plain connection in order (its FIN) rather than with a reset. Qt
// reports both as the remote host closing, so the connection's TCP state is asked through a
// descriptor of our own: only a reset closes it.
bool closedInOrder(int fd)
{
    if (fd < 0)
        return false;
#if defined(__linux__)
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state != TCP_CLOSE;
#elif defined(__APPLE__)
    tcp_connection_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_CONNECTION_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state != TCPS_CLOSED;
#else
    return true;
#endif
}

} // namespace

BoundedHttpReply::BoundedHttpReply(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                   int headerDeadlineMs, QObject* parent)
    : QNetworkReply(parent)
    , m_Proxy(proxy)
    , m_HeaderDeadlineMs(headerDeadlineMs)
    , m_Parser(std::make_unique<HttpReplyParser>())
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    if (isHttps()) {
        // Qt's own checks, and no error is ever ignored. TLS 1.2 at least, whatever the TLS
        // library of the system would still allow; this also holds inside a proxy's tunnel.
        m_TlsConfiguration = request.sslConfiguration();
        m_TlsConfiguration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        m_TlsConfiguration.setProtocol(tls12OrLater(m_TlsConfiguration.protocol()));
    }

    m_HeaderTimer = new QTimer(this);
    m_HeaderTimer->setSingleShot(true);
    connect(m_HeaderTimer, &QTimer::timeout, this, &BoundedHttpReply::onHeaderDeadline);
    m_TransferTimer = new QTimer(this);
    m_TransferTimer->setSingleShot(true);
    connect(m_TransferTimer, &QTimer::timeout, this, &BoundedHttpReply::onTransferTimeout);

    // The caller connects to the reply after get() returns; nothing may be reported before.
    QMetaObject::invokeMethod(this, &BoundedHttpReply::start, Qt::QueuedConnection);
}

BoundedHttpReply::~BoundedHttpReply()
{
    dropConnection();
}

bool BoundedHttpReply::isHttps() const
{
    return request().url().scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

void BoundedHttpReply::refuse(NetworkError code, const QString& text)
{
    m_Refusal = code;
    m_RefusalText = text;
}

QByteArray BoundedHttpReply::requestHead(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                         bool keepAlive)
{
    const QUrl url = request.url();
    const QByteArray host = authority(url, defaultPort(url), false);

    // Dot segments are resolved before the path goes out, as Qt does.
    QByteArray target = url.adjusted(QUrl::NormalizePathSegments)
                            .toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    // https goes through a tunnel; only plain http speaks to the proxy itself.
    const bool toProxy = proxy.type() == QNetworkProxy::HttpProxy
        && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0;
    if (toProxy)
        target = "http://" + host + target;

    QByteArray head = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    head += "Accept-Encoding: identity\r\n";
    if (!keepAlive)
        head += "Connection: close\r\n";
    if (toProxy)
        head += proxyAuthorization(proxy);
    bool userAgent = false;
    for (const QByteArray& name : request.rawHeaderList()) {
        const QByteArray value = request.rawHeader(name);
        // These are the connection's own.
        if (name.compare("Host", Qt::CaseInsensitive) == 0 || name.compare("Connection", Qt::CaseInsensitive) == 0
            || name.compare("Accept-Encoding", Qt::CaseInsensitive) == 0
            || name.compare("Proxy-Authorization", Qt::CaseInsensitive) == 0
            || name.compare("Proxy-Connection", Qt::CaseInsensitive) == 0
            || name.compare("Content-Length", Qt::CaseInsensitive) == 0
            || name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            continue;
        if (name.isEmpty() || name.contains(':') || !safeHeaderText(name) || !safeHeaderText(value))
            continue;
        userAgent = userAgent || name.compare("User-Agent", Qt::CaseInsensitive) == 0;
        head += name + ": " + value + "\r\n";
    }
    if (!userAgent)
        head += "User-Agent: Mozilla/5.0\r\n";
    head += "\r\n";
    return head;
}

QByteArray BoundedHttpReply::connectHead(const QUrl& url, const QNetworkProxy& proxy)
{
    const QByteArray host = authority(url, defaultPort(url), true);
    return "CONNECT " + host + " HTTP/1.1\r\nHost: " + host + "\r\n" + proxyAuthorization(proxy)
        + "User-Agent: Mozilla/5.0\r\n\r\n";
}

void BoundedHttpReply::setConnectionPool(HttpConnectionPool* pool)
{
    if (!viaProxy())
        m_Pool = pool;
}

QSslConfiguration BoundedHttpReply::poolTlsConfiguration() const
{
    return isHttps() ? m_TlsConfiguration : QSslConfiguration();
}

void BoundedHttpReply::makeSocket()
{
    if (isHttps()) {
        m_Tls = new QSslSocket(this);
        m_Tls->setSslConfiguration(m_TlsConfiguration);
        connect(m_Tls, &QSslSocket::encrypted, this, &BoundedHttpReply::onEncrypted);
        connect(m_Tls, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
                [this](const QList<QSslError>& errors) {
                    QStringList texts;
                    for (const QSslError& e : errors)
                        texts << e.errorString();
                    m_TlsErrors = texts.join(QStringLiteral("; "));
                });
        m_Socket = m_Tls;
    } else {
        m_Socket = new QTcpSocket(this);
    }
    // The proxy, if any, is spoken to here; the socket itself goes straight to it.
    m_Socket->setProxy(QNetworkProxy::NoProxy);
    m_Socket->setReadBufferSize(NetworkLimits::kReadBufferSize);
    connect(m_Socket, &QTcpSocket::connected, this, &BoundedHttpReply::onConnected);
    attachSocket();
}

void BoundedHttpReply::attachSocket()
{
    connect(m_Socket, &QTcpSocket::readyRead, this, &BoundedHttpReply::pump);
    connect(m_Socket, &QTcpSocket::disconnected, this, &BoundedHttpReply::onPeerClosed);
    connect(m_Socket, &QTcpSocket::errorOccurred, this, &BoundedHttpReply::onSocketError);
}

void BoundedHttpReply::connectFresh()
{
    makeSocket();
    const QUrl url = request().url();
    const quint16 port = quint16(url.port(defaultPort(url)));
    if (viaProxy()) {
        m_Tunnelling = m_Tls != nullptr;
        if (m_Tunnelling)
            m_Parser = std::make_unique<HttpReplyParser>(true);
        m_Socket->connectToHost(m_Proxy.hostName(), m_Proxy.port());
    } else if (m_Tls) {
        m_Tls->connectToHostEncrypted(url.host(), port);
    } else {
        m_Socket->connectToHost(url.host(), port);
    }
}

bool BoundedHttpReply::reuseKeptConnection()
{
    if (!m_Pool)
        return false;
    QTcpSocket* kept = m_Pool->take(HttpConnectionPool::keyFor(url()), poolTlsConfiguration());
    if (!kept)
        return false;
    kept->setParent(this);
    m_Socket = kept;
    m_Tls = qobject_cast<QSslSocket*>(kept);
    m_Encrypted = m_Tls != nullptr;
    m_Reused = true;
    attachSocket();
    watchConnection();
    m_Socket->write(requestHead(request(), m_Proxy, true));
    return true;
}

bool BoundedHttpReply::retryOnFreshConnection()
{
    // A kept connection that the server closed meanwhile: the request goes again on a new one,
    // as long as nothing of the answer has come on the old.
    if (!m_Reused || m_Ended || m_BytesIn > 0)
        return false;
    m_Reused = false;
    QTcpSocket* old = m_Socket;
    dropConnection();
    old->deleteLater(); // from one of its own signals
    m_Socket = nullptr;
    m_Tls = nullptr;
    m_PeerClosed = false;
    m_ClosedInOrder = false;
    m_Encrypted = false;
    m_CloseAlert = false;
    connectFresh();
    return true;
}

bool BoundedHttpReply::keepConnection()
{
    if (!m_Pool || !m_Socket || m_PeerClosed || !m_Parser->leavesConnectionReusable()
        || (m_Tls && (!m_Encrypted || m_CloseAlert)))
        return false;
    QTcpSocket* socket = m_Socket;
    socket->disconnect(this);
    forgetConnection();
    m_Socket = nullptr;
    m_Tls = nullptr;
    m_Pool->give(HttpConnectionPool::keyFor(url()), socket, poolTlsConfiguration());
    return true;
}

void BoundedHttpReply::start()
{
    if (m_Ended)
        return;
    const QUrl url = request().url();
    if (m_Refusal != NoError) {
        fail(m_Refusal, m_RefusalText);
        return;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        fail(ProtocolUnknownError, tr("Protocol \"%1\" is unknown").arg(scheme));
        return;
    }
    if (url.host().isEmpty()) {
        fail(HostNotFoundError, tr("No host in %1").arg(url.toString()));
        return;
    }
    if (isHttps() && !QSslSocket::supportsSsl()) {
        fail(UnknownNetworkError, tr("TLS is not available"));
        return;
    }
    if (m_HeaderDeadlineMs > 0)
        m_HeaderTimer->start(m_HeaderDeadlineMs);
    int transferTimeout = request().transferTimeout();
    if (transferTimeout <= 0 && manager())
        transferTimeout = manager()->transferTimeout();
    if (transferTimeout > 0) {
        m_TransferTimer->setInterval(transferTimeout);
        m_TransferTimer->start();
    }
    if (!reuseKeptConnection())
        connectFresh();
}

void BoundedHttpReply::onConnected()
{
    if (m_Ended)
        return;
    watchConnection();
    if (m_Tunnelling)
        m_Socket->write(connectHead(request().url(), m_Proxy));
    else if (!m_Tls)
        m_Socket->write(requestHead(request(), m_Proxy, m_Pool != nullptr));
}

void BoundedHttpReply::onEncrypted()
{
    m_Encrypted = true;
    if (!m_Ended)
        m_Socket->write(requestHead(request(), m_Proxy, m_Pool != nullptr));
}

void BoundedHttpReply::onSocketError()
{
    if (m_Ended || retryOnFreshConnection())
        return;
    const QAbstractSocket::SocketError socketError = m_Socket->error();
    if (socketError == QAbstractSocket::RemoteHostClosedError) {
        // Qt reports TLS's close alert as the remote host closing, told apart by its text only
        // (both of its TLS back-ends use this one); it comes before the end of the connection.
        if (m_Encrypted && m_Socket->errorString() == QSslSocket::tr("The TLS/SSL connection has been closed"))
            m_CloseAlert = true;
        onPeerClosed();
        return;
    }
    const bool proxy = viaProxy();
    switch (socketError) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(proxy ? ProxyConnectionRefusedError : ConnectionRefusedError,
             proxy ? tr("Proxy connection refused") : tr("Connection refused"));
        break;
    case QAbstractSocket::HostNotFoundError:
        fail(proxy ? ProxyNotFoundError : HostNotFoundError,
             tr("Host %1 not found").arg(proxy ? m_Proxy.hostName() : url().host()));
        break;
    case QAbstractSocket::SocketTimeoutError:
        fail(proxy ? ProxyTimeoutError : TimeoutError, tr("Connection timed out"));
        break;
    case QAbstractSocket::SslHandshakeFailedError:
        fail(SslHandshakeFailedError, m_TlsErrors.isEmpty() ? m_Socket->errorString() : m_TlsErrors);
        break;
    default:
        fail(UnknownNetworkError, m_Socket->errorString());
        break;
    }
}

void BoundedHttpReply::onPeerClosed()
{
    if (m_Ended || m_PeerClosed || retryOnFreshConnection())
        return;
    m_PeerClosed = true;
    m_ClosedInOrder = closedInOrder(m_WatchFd);
    forgetConnection();
    pump();
}

void BoundedHttpReply::onHeaderDeadline()
{
    if (!m_Ended && !m_Parser->headComplete())
        fail(TimeoutError, tr("No complete header block within %1 ms").arg(m_HeaderDeadlineMs));
}

void BoundedHttpReply::onTransferTimeout()
{
    // As Qt's transfer time-out: the reply is aborted.
    if (!m_Ended)
        fail(OperationCanceledError, tr("Operation canceled"));
}

qint64 BoundedHttpReply::bufferLimit() const
{
    const qint64 size = readBufferSize();
    return size > 0 ? std::min(size, NetworkLimits::kReadBufferSize) : NetworkLimits::kReadBufferSize;
}

void BoundedHttpReply::schedulePump()
{
    if (m_PumpQueued || m_Ended)
        return;
    m_PumpQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_PumpQueued = false;
        pump();
    }, Qt::QueuedConnection);
}

void BoundedHttpReply::pump()
{
    if (m_Ended || !m_Socket)
        return;
    if (m_Pumping) {
        schedulePump();
        return;
    }
    QPointer<BoundedHttpReply> self(this);
    m_Pumping = true;
    const qint64 before = m_Parser->received();
    bool running = true;
    for (;;) {
        running = parse();
        if (!self)
            return;
        if (!running)
            break;
        const qint64 room = std::min(m_Parser->room(bufferLimit()), kReadChunk);
        if (room <= 0 || m_Socket->bytesAvailable() <= 0)
            break;
        const QByteArray chunk = m_Socket->read(room);
        if (chunk.isEmpty())
            break;
        m_Parser->feed(chunk.constData(), chunk.size());
        m_BytesIn += chunk.size();
        if (m_TransferTimer->isActive())
            m_TransferTimer->start();
    }
    m_Pumping = false;
    const qint64 received = m_Parser->received();
    if (received > before && !isFinished()) {
        emit readyRead();
        if (!self || isFinished())
            return;
        emit downloadProgress(received, m_Parser->contentLength());
        if (!self || isFinished())
            return;
    }
    if (m_Parser->ended() && m_Parser->failure() == HttpReplyParser::Failure::None && !m_Tunnelling) {
        finishOk();
        return;
    }
    // The end of the connection counts once everything before it has been parsed.
    if (running && m_PeerClosed && m_Socket->bytesAvailable() <= 0)
        endOfStream();
}

bool BoundedHttpReply::parse()
{
    for (;;) {
        switch (m_Parser->parse()) {
        case HttpReplyParser::Result::NeedMore:
            return true;
        case HttpReplyParser::Result::HeadEnded:
            if (m_Tunnelling)
                return tunnelEnded();
            if (!headEnded())
                return false;
            break;
        case HttpReplyParser::Result::Complete:
            completeBody();
            return false;
        case HttpReplyParser::Result::Failed:
            fail(ProtocolFailure, m_Parser->errorText());
            return false;
        }
    }
}

bool BoundedHttpReply::tunnelEnded()
{
    const int status = m_Parser->status();
    if (status < 200 || status > 299) {
        fail(status == 407 ? ProxyAuthenticationRequiredError : ProxyConnectionRefusedError,
             tr("Proxy refused the tunnel to %1: %2 %3")
                 .arg(url().host())
                 .arg(status)
                 .arg(QString::fromLatin1(m_Parser->reason())));
        return false;
    }
    // The server speaks first only after the TLS handshake has begun.
    if (!m_Parser->takeUnparsed().isEmpty()) {
        fail(ProtocolFailure, tr("Proxy sent data before the tunnel was used"));
        return false;
    }
    m_Tunnelling = false;
    m_Parser = std::make_unique<HttpReplyParser>();
    m_Tls->setPeerVerifyName(url().host());
    m_Tls->startClientEncryption();
    return true;
}

bool BoundedHttpReply::headEnded()
{
    m_HeaderTimer->stop();
    const int status = m_Parser->status();
    for (const auto& header : m_Parser->headers())
        setRawHeader(header.first, header.second);
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(m_Parser->reason()));
    setAttribute(NetworkLimits::kHeaderBytesAttribute, m_Parser->headerBytes());
    const QByteArray location = m_Parser->header("Location");
    if (status >= 300 && status < 400 && !location.isEmpty())
        setAttribute(QNetworkRequest::RedirectionTargetAttribute, QUrl::fromEncoded(location));

    QPointer<BoundedHttpReply> self(this);
    emit metaDataChanged();
    return self && !m_Ended;
}

void BoundedHttpReply::endOfStream()
{
    if (m_Tls && !m_Encrypted && !m_Tunnelling) {
        // A server that cannot speak TLS 1.2 or later (or will not) often just closes.
        fail(SslHandshakeFailedError,
             m_TlsErrors.isEmpty() ? tr("Connection closed during the TLS handshake") : m_TlsErrors);
        return;
    }
    // Over TLS only the close alert ends a body that runs to the end of the connection: whatever
    // the connection does after it, and never without it (the end could be an attacker's).
    const bool orderly = m_Tls ? m_CloseAlert : m_ClosedInOrder;
    if (m_Parser->endOfInput(orderly) == HttpReplyParser::Result::Complete) {
        completeBody();
        finishOk();
        return;
    }
    // Before the answer has begun, a proxy that speaks for the server has let the request down.
    if (m_Tunnelling || (viaProxy() && !m_Tls && !m_Parser->headComplete()))
        fail(ProxyConnectionClosedError, tr("Proxy connection closed prematurely"));
    else
        fail(RemoteHostClosedError, m_Parser->errorText());
}

void BoundedHttpReply::completeBody()
{
    m_HeaderTimer->stop();
    m_TransferTimer->stop();
    if (!keepConnection())
        dropConnection();
}

void BoundedHttpReply::finishOk()
{
    if (m_Ended)
        return;
    m_Ended = true;
    QPointer<BoundedHttpReply> self(this);
    const qint64 received = m_Parser->received();
    const qint64 total = m_Parser->contentLength();
    emit downloadProgress(received, total < 0 ? received : total);
    if (!self)
        return;
    const int status = m_Parser->status();
    if (status >= 400) {
        setError(errorForStatus(status), tr("Error transferring %1 - server replied: %2")
                                             .arg(url().toString(), QString::fromLatin1(m_Parser->reason())));
        emit errorOccurred(error());
        if (!self)
            return;
    }
    setFinished(true);
    emit readChannelFinished();
    if (!self)
        return;
    emit finished();
}

void BoundedHttpReply::fail(NetworkError code, const QString& text)
{
    if (m_Ended)
        return;
    m_Ended = true;
    m_HeaderTimer->stop();
    m_TransferTimer->stop();
    dropConnection();
    setError(code, text);
    QPointer<BoundedHttpReply> self(this);
    emit errorOccurred(code);
    if (!self)
        return;
    setFinished(true);
    emit finished();
}

void BoundedHttpReply::dropConnection()
{
    if (m_Socket) {
        m_Socket->disconnect(this);
        // Closed at once: nothing more is read, whatever is still on its way.
        m_Socket->abort();
    }
    forgetConnection();
}

void BoundedHttpReply::watchConnection()
{
    const qintptr fd = m_Socket->socketDescriptor();
    if (fd >= 0 && m_WatchFd < 0)
        m_WatchFd = ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
}

void BoundedHttpReply::forgetConnection()
{
    if (m_WatchFd >= 0)
        ::close(m_WatchFd);
    m_WatchFd = -1;
}

void BoundedHttpReply::abort()
{
    if (m_Ended) {
        dropConnection();
        return;
    }
    QNetworkReply::close();
    // What the caller has not read is dropped with the reply.
    m_Parser = std::make_unique<HttpReplyParser>();
    fail(OperationCanceledError, tr("Operation canceled"));
}

void BoundedHttpReply::close()
{
    // A finished reply stays readable, as Qt's do.
    if (m_Ended)
        return;
    abort();
}

qint64 BoundedHttpReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + m_Parser->bodyAvailable();
}

qint64 BoundedHttpReply::readData(char* data, qint64 maxSize)
{
    if (m_Parser->bodyAvailable() <= 0)
        return m_Ended ? -1 : 0;
    const qint64 n = m_Parser->takeBody(data, maxSize);
    // Room again: take more from the socket, outside the caller's read.
    if (!m_Ended && m_Parser->room(bufferLimit()) > 0)
        schedulePump();
    return n;
}
