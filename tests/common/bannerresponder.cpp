#include "bannerresponder.h"

#include <QDateTime>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>

BannerResponder::BannerResponder(QObject *parent)
    : QObject(parent)
    , m_start(QDateTime::currentMSecsSinceEpoch())
{
    m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    m_otherSocket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    connect(&m_socket, &QUdpSocket::readyRead, this, &BannerResponder::onReadyRead);
}

quint16 BannerResponder::port() const
{
    return m_socket.localPort();
}

void BannerResponder::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram request = m_socket.receiveDatagram();
        if (!request.isValid())
            return;
        m_requests.append(request.data());
        m_times.append(QDateTime::currentMSecsSinceEpoch() - m_start);
        QUdpSocket &out = m_fromOtherPort ? m_otherSocket : m_socket;
        for (const QByteArray &reply : qAsConst(m_replies))
            out.writeDatagram(reply, request.senderAddress(), quint16(request.senderPort()));
        emit requestReceived();
    }
}

bool BannerResponder::waitForRequests(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, timeoutMs);
}
