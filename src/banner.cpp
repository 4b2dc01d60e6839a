#include "banner.h"

#include "nofollowfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTimerEvent>
#include <QUrl>

const QString bannerServer = QStringLiteral("banner.voxtrel.net");

namespace {

constexpr int kMaxReplySize = 1024;
const char kRequest[] = {0x01, 0x01};
// The cached image is the window's own JPEG of a banner; anything far larger is not ours.
constexpr qint64 kMaxCachedImageSize = 16 * 1024 * 1024;
constexpr qint64 kMaxCachedLinkSize = 64 * 1024;

QString g_testHost;
quint16 g_testPort = 0;
int g_testTimeoutMs = 0;

int replyTimeout()
{
    return g_testTimeoutMs > 0 ? g_testTimeoutMs : Banner::kReplyTimeoutMs;
}

// Whole content of a small file; empty when it is missing, unreadable or larger than `limit`.
QByteArray readSmallFile(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return QByteArray();
    return file.read(limit);
}

} // namespace

Banner::Banner(QObject *parent)
    : QObject(parent)
{
    qDebug() << "Creating Banner";
    m_socket = new QUdpSocket(this);
    m_socket->bind(0);
    connect(m_socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(m_socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    qDebug() << "Looking up banner server";
#ifdef VX_TEST_ENDPOINTS
    // Development builds carry the test key and may be pointed at a local banner service
    // ("host:port"), so that end-to-end runs never reach the real one.
    if (g_testHost.isEmpty()) {
        const QString local = QString::fromLocal8Bit(qgetenv("VX3_TEST_BANNER_SERVER"));
        const int colon = local.lastIndexOf(QLatin1Char(':'));
        bool portOk = false;
        const uint port = colon > 0 ? local.mid(colon + 1).toUInt(&portOk) : 0;
        if (portOk && port > 0 && port < 65536)
            setServerForTesting(local.left(colon), quint16(port));
    }
#endif
    const QString host = g_testHost.isEmpty() ? bannerServer : g_testHost;
    m_port = g_testHost.isEmpty() ? kServerPort : g_testPort;
    QHostInfo::lookupHost(host, this, SLOT(onResolved(QHostInfo)));
}

void Banner::onResolved(const QHostInfo &hostInfo)
{
    qDebug() << "Banner server lookup resolved, error =" << hostInfo.error();
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    m_address.clear();
    for (const QHostAddress &address : hostInfo.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_address = address;
            break;
        }
    }
    if (m_address.isNull())
        return;
    sendRequest();
}

void Banner::sendRequest()
{
    qDebug() << "Sending banner request to" << m_address;
    if (m_socket->writeDatagram(kRequest, sizeof kRequest, m_address, m_port) != -1) {
        m_timer.start(replyTimeout(), this);
    } else {
        qDebug() << "Failed to write to banner server";
        m_timer.stop();
    }
}

void Banner::timerEvent(QTimerEvent *event)
{
    qDebug() << "get banner from server timed out";
    if (event->timerId() == m_timer.timerId()) {
        if (m_timeouts++ <= 0)
            sendRequest();
        else
            m_timer.stop();
    }
    QObject::timerEvent(event);
}

void Banner::onReadyRead()
{
    while (!m_done && m_socket->hasPendingDatagrams()) {
        char buffer[kMaxReplySize];
        QHostAddress sender;
        quint16 senderPort = 0;
        // A longer datagram is cut to the buffer's size.
        const qint64 length = m_socket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (length < 0) {
            qDebug() << "Received no data from banner server";
            return;
        }
        // Only the server we asked may answer; anything else is dropped unseen.
        if (m_address.isNull() || senderPort != m_port ||
            !sender.isEqual(m_address, QHostAddress::ConvertV4MappedToIPv4)) {
            qDebug() << "Ignoring datagram from" << sender << senderPort;
            continue;
        }
        m_timer.stop();
        QString bannerUrl;
        QString clickUrl;
        if (parseReply(buffer, int(length), &bannerUrl, &clickUrl)) {
            // One banner per lookup: a later reply must not replace the one being fetched.
            m_done = true;
            m_socket->close();
            emit bannerFound(bannerUrl, clickUrl);
            return;
        }
    }
}

bool Banner::parseReply(const char *data, int length, QString *bannerUrl, QString *clickUrl)
{
    const QString reply = QString::fromLatin1(data, length);
    qDebug() << "Reply from banner server:" << reply;
    const QStringList parts = reply.split(QLatin1Char(','), Qt::KeepEmptyParts, Qt::CaseSensitive);
    // An empty click address is a banner that opens nothing when clicked.
    if (parts.size() == 2 && isWebUrl(QUrl(parts.at(0), QUrl::TolerantMode)) &&
        (parts.at(1).isEmpty() || isWebUrl(QUrl(parts.at(1), QUrl::TolerantMode)))) {
        *bannerUrl = parts.at(0);
        *clickUrl = parts.at(1);
        return true;
    }
    qDebug() << "invalid response:" << reply;
    return false;
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    qDebug() << "banner had socketerror: " << socketError;
    m_timer.stop();
}

bool Banner::isWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
        !url.host().isEmpty();
}

QString Banner::cacheImagePath()
{
    return QDir::tempPath() + QStringLiteral("/voxtrel_banner.jpg");
}

QString Banner::cacheLinkPath()
{
    return QDir::tempPath() + QStringLiteral("/voxtrel_banner.txt");
}

bool Banner::readCache(QByteArray *image, QString *clickUrl)
{
    const QByteArray imageData = readSmallFile(cacheImagePath(), kMaxCachedImageSize);
    const QString link = QString::fromUtf8(
        QByteArray::fromPercentEncoding(readSmallFile(cacheLinkPath(), kMaxCachedLinkSize)));
    if (imageData.isEmpty() || !isWebUrl(QUrl(link, QUrl::TolerantMode)))
        return false;
    if (image)
        *image = imageData;
    if (clickUrl)
        *clickUrl = link;
    return true;
}

bool Banner::writeCache(const QByteArray &image, const QString &clickUrl)
{
    const bool imageOk = NoFollowFile::writeFresh(cacheImagePath(), image);
    return NoFollowFile::writeFresh(cacheLinkPath(), QUrl::toPercentEncoding(clickUrl)) && imageOk;
}

void Banner::removeCache()
{
    QFile::remove(cacheImagePath());
    QFile::remove(cacheLinkPath());
}

void Banner::setServerForTesting(const QString &host, quint16 port)
{
    g_testHost = host;
    g_testPort = port;
}

void Banner::setReplyTimeoutForTesting(int milliseconds)
{
    g_testTimeoutMs = milliseconds;
}
