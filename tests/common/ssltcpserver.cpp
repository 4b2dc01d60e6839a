#include "ssltcpserver.h"

#include <QSslSocket>

SslTcpServer::SslTcpServer(QObject *parent)
    : QTcpServer(parent)
{
}

void SslTcpServer::setServerIdentity(const QSslCertificate &certificate, const QSslKey &key)
{
    m_certificate = certificate;
    m_key = key;
}

void SslTcpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (isTls())
        startTls(socket, m_certificate, m_key);
    addPendingConnection(socket);
}

void SslTcpServer::startTls(QSslSocket *socket, const QSslCertificate &certificate, const QSslKey &key)
{
    socket->setLocalCertificate(certificate);
    socket->setPrivateKey(key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    // A client that refuses the certificate ends the handshake; the connection just closes.
    QObject::connect(socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), socket,
                     [socket](const QList<QSslError> &) { socket->abort(); });
    socket->startServerEncryption();
}
