#include "boundedhttpreply.h"

#include "networklimits.h"

#include <QMetaObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace {

// Bytes taken from the socket in one go.
constexpr qint64 kReadChunk = 16 * 1024;
// A chunk-size line (size and extensions) longer than this is not an honest one.
constexpr qint64 kMaxChunkLine = 1024;
// Hex digits of a chunk size; more would overflow 64 bits.
constexpr int kMaxChunkDigits = 15;

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

bool isToken(const QByteArray& value, const char* token)
{
    for (const QByteArray& part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// A header value must not carry line ends into the request.
bool safeHeaderText(const QByteArray& text)
{
    return !text.contains('\r') && !text.contains('\n');
}

} // namespace

BoundedHttpReply::BoundedHttpReply(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                   int headerDeadlineMs, QObject* parent)
    : QNetworkReply(parent)
    , m_Proxy(proxy)
    , m_HeaderDeadlineMs(headerDeadlineMs)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    m_Socket = new QTcpSocket(this);
    // The proxy, if any, is spoken to here; the socket itself goes straight to it.
    m_Socket->setProxy(QNetworkProxy::NoProxy);
    m_Socket->setReadBufferSize(NetworkLimits::kReadBufferSize);
    connect(m_Socket, &QTcpSocket::connected, this, &BoundedHttpReply::onConnected);
    connect(m_Socket, &QTcpSocket::readyRead, this, &BoundedHttpReply::pump);
    connect(m_Socket, &QTcpSocket::disconnected, this, &BoundedHttpReply::onPeerClosed);
    connect(m_Socket, &QTcpSocket::errorOccurred, this, &BoundedHttpReply::onSocketError);

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

QByteArray BoundedHttpReply::requestHead(const QNetworkRequest& request, const QNetworkProxy& proxy)
{
    const QUrl url = request.url();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int port = url.port(80);
    if (port != 80)
        host += ':' + QByteArray::number(port);

    // Dot segments are resolved before the path goes out, as Qt does.
    QByteArray target = url.adjusted(QUrl::NormalizePathSegments)
                            .toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (!target.startsWith('/'))
        target.prepend('/');
    const bool viaProxy = proxy.type() == QNetworkProxy::HttpProxy;
    if (viaProxy)
        target = "http://" + host + target;

    QByteArray head = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    head += "Accept-Encoding: identity\r\nConnection: close\r\n";
    if (viaProxy && !proxy.user().isEmpty()) {
        const QByteArray credentials = proxy.user().toUtf8() + ':' + proxy.password().toUtf8();
        head += "Proxy-Authorization: Basic " + credentials.toBase64() + "\r\n";
    }
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

void BoundedHttpReply::start()
{
    if (m_Ended)
        return;
    const QUrl url = request().url();
    if (m_HeaderDeadlineMs > 0)
        m_HeaderTimer->start(m_HeaderDeadlineMs);
    int transferTimeout = request().transferTimeout();
    if (transferTimeout <= 0 && manager())
        transferTimeout = manager()->transferTimeout();
    if (transferTimeout > 0) {
        m_TransferTimer->setInterval(transferTimeout);
        m_TransferTimer->start();
    }
    if (viaProxy())
        m_Socket->connectToHost(m_Proxy.hostName(), m_Proxy.port());
    else
        m_Socket->connectToHost(url.host(), quint16(url.port(80)));
}

void BoundedHttpReply::onConnected()
{
    if (!m_Ended)
        m_Socket->write(requestHead(request(), m_Proxy));
}

void BoundedHttpReply::onSocketError()
{
    if (m_Ended)
        return;
    const QAbstractSocket::SocketError socketError = m_Socket->error();
    if (socketError == QAbstractSocket::RemoteHostClosedError) {
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
    default:
        fail(UnknownNetworkError, m_Socket->errorString());
        break;
    }
}

void BoundedHttpReply::onPeerClosed()
{
    if (m_Ended || m_PeerClosed)
        return;
    m_PeerClosed = true;
    pump();
}

void BoundedHttpReply::onHeaderDeadline()
{
    if (!m_Ended && m_Phase == Phase::Head)
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
    const qint64 before = m_Received;
    bool running = true;
    for (;;) {
        running = parse();
        if (!self)
            return;
        if (!running)
            break;
        const bool inBody = m_Phase != Phase::Head;
        if (inBody && m_Buffer.size() >= bufferLimit())
            break;
        if (m_Socket->bytesAvailable() <= 0)
            break;
        const QByteArray chunk = m_Socket->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        m_In += chunk;
        if (m_TransferTimer->isActive())
            m_TransferTimer->start();
    }
    m_Pumping = false;
    if (m_Received > before && !isFinished()) {
        emit readyRead();
        if (!self || isFinished())
            return;
        emit downloadProgress(m_Received, m_Total);
        if (!self || isFinished())
            return;
    }
    if (m_Phase == Phase::Done) {
        finishOk();
        return;
    }
    // The end of the connection counts once everything before it has been parsed.
    if (running && m_PeerClosed && m_Socket->bytesAvailable() <= 0)
        endOfStream();
}

bool BoundedHttpReply::takeLine(QByteArray* line, qint64 limit, const QString& what)
{
    const int end = m_In.indexOf('\n');
    const qint64 used = m_HeadBytes + (end < 0 ? qint64(m_In.size()) : qint64(end) + 1);
    if (used > limit) {
        fail(ProtocolFailure, tr("%1 longer than %2 bytes").arg(what).arg(limit));
        return false;
    }
    if (end < 0)
        return false;
    m_HeadBytes = used;
    *line = m_In.left(end);
    m_In.remove(0, end + 1);
    if (line->endsWith('\r'))
        line->chop(1);
    return true;
}

bool BoundedHttpReply::parse()
{
    for (;;) {
        switch (m_Phase) {
        case Phase::Head:
            if (!parseHead())
                return m_Phase != Phase::Done;
            break;
        case Phase::Body: {
            if (m_In.isEmpty())
                return true;
            const qint64 take = m_ToClose ? m_In.size() : std::min<qint64>(m_In.size(), m_Remaining);
            m_Buffer.append(m_In.constData(), int(take));
            m_In.remove(0, int(take));
            m_Received += take;
            if (!m_ToClose) {
                m_Remaining -= take;
                if (m_Remaining == 0) {
                    completeBody();
                    return false;
                }
            }
            return true;
        }
        case Phase::ChunkSize:
            if (!parseChunkSize())
                return m_Phase != Phase::Done;
            break;
        case Phase::ChunkData: {
            if (m_In.isEmpty())
                return true;
            const qint64 take = std::min<qint64>(m_In.size(), m_Remaining);
            m_Buffer.append(m_In.constData(), int(take));
            m_In.remove(0, int(take));
            m_Received += take;
            m_Remaining -= take;
            if (m_Remaining > 0)
                return true;
            m_Phase = Phase::ChunkEnd;
            break;
        }
        case Phase::ChunkEnd:
            if (m_In.startsWith("\r\n"))
                m_In.remove(0, 2);
            else if (m_In.startsWith('\n'))
                m_In.remove(0, 1);
            else if (m_In.isEmpty() || m_In == "\r")
                return true;
            else {
                fail(ProtocolFailure, tr("Malformed chunk end"));
                return false;
            }
            m_Phase = Phase::ChunkSize;
            m_HeadBytes = 0;
            break;
        case Phase::Trailers:
            if (!parseTrailers())
                return m_Phase != Phase::Done;
            break;
        case Phase::Done:
            return false;
        }
        if (m_Ended || m_Phase == Phase::Done)
            return false;
    }
}

bool BoundedHttpReply::parseHead()
{
    for (;;) {
        QByteArray line;
        if (!takeLine(&line, NetworkLimits::kMaxHeaderBytes, tr("Header block")))
            return false;
        if (m_Status == 0) {
            // "HTTP/1.1 200 OK"
            const int space = line.indexOf(' ');
            bool ok = false;
            const int status = space > 0 ? line.mid(space + 1, 3).toInt(&ok) : 0;
            if (!line.startsWith("HTTP/") || !ok || status < 100 || status > 999
                || (line.size() > space + 4 && line.at(space + 4) != ' ')) {
                fail(ProtocolFailure, tr("Malformed status line"));
                return false;
            }
            m_Status = status;
            m_Reason = line.mid(space + 5).trimmed();
            continue;
        }
        if (line.isEmpty()) {
            if (m_Status < 200) {
                // An interim answer ("100 Continue"); the real one follows, within the same bound.
                m_Status = 0;
                m_Headers.clear();
                continue;
            }
            return headEnded();
        }
        if (line.startsWith(' ') || line.startsWith('\t')) {
            // A folded line continues the previous value.
            if (!m_Headers.isEmpty())
                m_Headers.last().second += ' ' + line.trimmed();
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        bool merged = false;
        for (auto& header : m_Headers) {
            if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
                header.second += ", " + value;
                merged = true;
                break;
            }
        }
        if (!merged)
            m_Headers.append({name, value});
    }
}

bool BoundedHttpReply::headEnded()
{
    m_HeaderTimer->stop();
    QByteArray length;
    QByteArray transferEncoding;
    QByteArray location;
    for (const auto& header : m_Headers) {
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            length = header.second;
        else if (header.first.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            transferEncoding = header.second;
        else if (header.first.compare("Location", Qt::CaseInsensitive) == 0)
            location = header.second;
    }

    // The framing first: a reply whose length cannot be told has no metadata either.
    const bool noBody = m_Status == 204 || m_Status == 304;
    m_Phase = Phase::Body;
    if (noBody) {
        m_Total = 0;
    } else if (isToken(transferEncoding, "chunked")) {
        m_Phase = Phase::ChunkSize;
        m_HeadBytes = 0;
    } else if (!length.isEmpty()) {
        // Repeated headers arrive joined; they must agree.
        qint64 value = -1;
        for (const QByteArray& part : length.split(',')) {
            const QByteArray digits = part.trimmed();
            bool ok = !digits.isEmpty() && digits.size() <= 18
                && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
            const qint64 n = ok ? digits.toLongLong(&ok) : -1;
            if (!ok || (value >= 0 && n != value)) {
                fail(ProtocolFailure, tr("Invalid Content-Length"));
                return false;
            }
            value = n;
        }
        m_Total = value;
        m_Remaining = value;
    } else {
        m_ToClose = true;
    }

    for (const auto& header : m_Headers)
        setRawHeader(header.first, header.second);
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, m_Status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(m_Reason));
    if (m_Status >= 300 && m_Status < 400 && !location.isEmpty())
        setAttribute(QNetworkRequest::RedirectionTargetAttribute, QUrl::fromEncoded(location));

    QPointer<BoundedHttpReply> self(this);
    emit metaDataChanged();
    if (!self || m_Ended)
        return false;
    if (noBody || (m_Phase == Phase::Body && !m_ToClose && m_Remaining == 0)) {
        completeBody();
        return false;
    }
    return true;
}

bool BoundedHttpReply::parseChunkSize()
{
    QByteArray line;
    if (!takeLine(&line, kMaxChunkLine, tr("Chunk size line")))
        return false;
    m_HeadBytes = 0;
    const int semicolon = line.indexOf(';');
    const QByteArray digits = (semicolon < 0 ? line : line.left(semicolon)).trimmed();
    bool ok = !digits.isEmpty() && digits.size() <= kMaxChunkDigits;
    const qint64 size = ok ? digits.toLongLong(&ok, 16) : -1;
    if (!ok || size < 0) {
        fail(ProtocolFailure, tr("Invalid chunk size"));
        return false;
    }
    if (size == 0) {
        m_Phase = Phase::Trailers;
    } else {
        m_Remaining = size;
        m_Phase = Phase::ChunkData;
    }
    return true;
}

bool BoundedHttpReply::parseTrailers()
{
    for (;;) {
        QByteArray line;
        if (!takeLine(&line, NetworkLimits::kMaxHeaderBytes, tr("Trailer block")))
            return false;
        if (line.isEmpty()) {
            completeBody();
            return false;
        }
    }
}

void BoundedHttpReply::endOfStream()
{
    if (m_Phase == Phase::Body && m_ToClose) {
        completeBody();
        finishOk();
        return;
    }
    if (viaProxy() && m_Phase == Phase::Head)
        fail(ProxyConnectionClosedError, tr("Proxy connection closed prematurely"));
    else
        fail(RemoteHostClosedError, tr("Connection closed"));
}

void BoundedHttpReply::completeBody()
{
    m_Phase = Phase::Done;
    m_HeaderTimer->stop();
    m_TransferTimer->stop();
    dropConnection();
}

void BoundedHttpReply::finishOk()
{
    if (m_Ended)
        return;
    m_Ended = true;
    QPointer<BoundedHttpReply> self(this);
    emit downloadProgress(m_Received, m_Total < 0 ? m_Received : m_Total);
    if (!self)
        return;
    if (m_Status >= 400) {
        setError(errorForStatus(m_Status), tr("Error transferring %1 - server replied: %2")
                                               .arg(url().toString(), QString::fromLatin1(m_Reason)));
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
    m_Phase = Phase::Done;
    m_HeaderTimer->stop();
    m_TransferTimer->stop();
    dropConnection();
    m_In.clear();
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
    if (!m_Socket)
        return;
    m_Socket->disconnect(this);
    // Closed at once: nothing more is read, whatever is still on its way.
    m_Socket->abort();
}

void BoundedHttpReply::abort()
{
    if (m_Ended) {
        dropConnection();
        return;
    }
    QNetworkReply::close();
    m_Buffer.clear();
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
    return QNetworkReply::bytesAvailable() + m_Buffer.size();
}

qint64 BoundedHttpReply::readData(char* data, qint64 maxSize)
{
    if (m_Buffer.isEmpty())
        return m_Ended ? -1 : 0;
    const qint64 n = std::min<qint64>(maxSize, m_Buffer.size());
    std::memcpy(data, m_Buffer.constData(), size_t(n));
    m_Buffer.remove(0, int(n));
    // Room again: take more from the socket, outside the caller's read.
    if (!m_Ended && m_Buffer.size() < bufferLimit())
        schedulePump();
    return n;
}
