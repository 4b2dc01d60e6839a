#include "httpconnectionpool.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

HttpConnectionPool::HttpConnectionPool(QObject* parent)
    : QObject(parent)
    , m_Expiry(new QTimer(this))
{
    m_Expiry->setSingleShot(true);
    connect(m_Expiry, &QTimer::timeout, this, &HttpConnectionPool::expire);
}

HttpConnectionPool::~HttpConnectionPool()
{
    for (const Idle& idle : qAsConst(m_Idle)) {
        idle.socket->disconnect(this);
        idle.socket->abort();
    }
}

QString HttpConnectionPool::keyFor(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return scheme + QLatin1String("://") + url.host(QUrl::FullyEncoded).toLower() + QLatin1Char(':')
        + QString::number(port);
}

bool HttpConnectionPool::quiet(QTcpSocket* socket)
{
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesAvailable() > 0)
        return false;
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        if (!tls->isEncrypted() || tls->encryptedBytesAvailable() > 0)
            return false;
    }
    // What Qt has not read yet: any byte, or the peer's close.
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return false;
    char byte = 0;
    const ssize_t n = ::recv(int(fd), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

QTcpSocket* HttpConnectionPool::take(const QString& key, const QSslConfiguration& tls)
{
    // The most recently used first: the least likely to have been closed by the server.
    for (int i = m_Idle.size() - 1; i >= 0; --i) {
        if (m_Idle.at(i).key != key || !(m_Idle.at(i).tls == tls))
            continue;
        QTcpSocket* socket = m_Idle.takeAt(i).socket;
        if (!quiet(socket)) {
            drop(socket);
            continue;
        }
        socket->disconnect(this);
        socket->setParent(nullptr);
        return socket;
    }
    return nullptr;
}

void HttpConnectionPool::give(const QString& key, QTcpSocket* socket, const QSslConfiguration& tls)
{
    socket->setParent(this);
    if (!quiet(socket)) {
        drop(socket);
        return;
    }
    connect(socket, &QIODevice::readyRead, this, [this, socket] { drop(socket); });
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { drop(socket); });
    connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket] { drop(socket); });
    while (m_Idle.size() >= kMaxIdle)
        drop(m_Idle.first().socket);
    Idle idle;
    idle.key = key;
    idle.socket = socket;
    idle.tls = tls;
    idle.since.start();
    m_Idle.append(idle);
    if (!m_Expiry->isActive())
        m_Expiry->start(kIdleMs);
}

void HttpConnectionPool::drop(QTcpSocket* socket)
{
    const auto it = std::find_if(m_Idle.begin(), m_Idle.end(),
                                 [socket](const Idle& idle) { return idle.socket == socket; });
    if (it != m_Idle.end())
        m_Idle.erase(it);
    socket->disconnect(this);
    socket->abort();
    // Possibly called from one of its own signals.
    socket->deleteLater();
}

void HttpConnectionPool::expire()
{
    while (!m_Idle.isEmpty() && m_Idle.first().since.elapsed() >= kIdleMs)
        drop(m_Idle.first().socket);
    if (!m_Idle.isEmpty())
        m_Expiry->start(int(std::max<qint64>(1, kIdleMs - m_Idle.first().since.elapsed())));
}
