#pragma once
// A QTcpServer whose connections are QSslSockets: with a server certificate set, every accepted
// connection starts its server-side TLS handshake at once and is handed out right away (bytes
// written before the handshake has ended go out once it has); without one, connections stay
// plain until startTls() turns one into TLS (as a proxy's tunnel does after CONNECT).

#include <QSsl>
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
    // Connections accepted from now on offer only this protocol version (SecureProtocols: Qt's
    // default); see startTls.
    void setProtocol(QSsl::SslProtocol protocol) { m_protocol = protocol; }
    // Starts the server side of a TLS handshake on a plain connection. A protocol other than
    // SecureProtocols is the only one offered; TLS 1.0 and 1.1 come with their CBC-SHA1 suites,
    // at OpenSSL's lowest security level, as a server too old to be trusted still speaks them.
    static void startTls(QSslSocket *socket, const QSslCertificate &certificate, const QSslKey &key,
                         QSsl::SslProtocol protocol = QSsl::SecureProtocols);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSsl::SslProtocol m_protocol = QSsl::SecureProtocols;
};
