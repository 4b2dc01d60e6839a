#include "ssltcpserver.h"

#include <QSslConfiguration>
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
        startTls(socket, m_certificate, m_key, m_protocol);
    addPendingConnection(socket);
}

void SslTcpServer::startTls(QSslSocket *socket, const QSslCertificate &certificate, const QSslKey &key,
                            QSsl::SslProtocol protocol)
{
    socket->setLocalCertificate(certificate);
    socket->setPrivateKey(key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    if (protocol != QSsl::SecureProtocols) {
        QSslConfiguration configuration = socket->sslConfiguration();
        configuration.setProtocol(protocol);
        if (protocol == QSsl::TlsV1_0 || protocol == QSsl::TlsV1_1)
            configuration.setBackendConfigurationOption("CipherString", "ECDHE-ECDSA-AES128-SHA:@SECLEVEL=0");
        socket->setSslConfiguration(configuration);
    }
    // A client that refuses the certificate ends the handshake; the connection just closes.
    QObject::connect(socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), socket,
                     [socket](const QList<QSslError> &) { socket->abort(); });
    socket->startServerEncryption();
}
