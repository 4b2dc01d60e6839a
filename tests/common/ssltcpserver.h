#pragma once
// A QTcpServer whose connections are QSslSockets: with a server certificate set, every accepted
// connection starts its server-side TLS handshake at once and is handed out right away (bytes
// written before the handshake has ended go out once it has); without one, connections stay
// plain until startTls() turns one into TLS (as a proxy's tunnel does after CONNECT).

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QSslSocket;

class SslTcpServer : public QTcpServer {
    Q_OBJECT
public:
    explicit SslTcpServer(QObject *parent = nullptr);

    // Connections accepted from now on speak TLS with this certificate and key.
    void setServerIdentity(const QSslCertificate &certificate, const QSslKey &key);
    bool isTls() const { return !m_certificate.isNull(); }
    // Starts the server side of a TLS handshake on a plain connection.
    static void startTls(QSslSocket *socket, const QSslCertificate &certificate, const QSslKey &key);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
};
