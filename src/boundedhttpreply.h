#ifndef BOUNDEDHTTPREPLY_H
#define BOUNDEDHTTPREPLY_H

#include "httpreplyparser.h"

#include <QByteArray>
#include <QNetworkProxy>
#include <QNetworkReply>

#include <memory>

class QSslSocket;
class QTcpSocket;
class QTimer;

// One http or https GET over a connection of its own, run on the thread that created it.
//
// The request asks for the identity encoding and closes its connection after the reply. https
// runs over QSslSocket with Qt's default certificate checks; a certificate error fails the
// attempt like a connection error. Through an HTTP proxy, http goes as an absolute target and
// https through a CONNECT tunnel. The reply is read by HttpReplyParser: the status line and header
// block are held to NetworkLimits::kMaxHeaderBytes on the wire and must end within the header
// deadline (the connection and the TLS handshake included); a body is read from the socket only
// while less than readBufferSize() bytes wait for the caller, so memory stays bounded whatever
// the server sends. A body is complete as soon as its framing has ended (its length, its last
// chunk, or for a body that runs to the end of the connection an orderly close: over TLS the close
// alert, whatever follows it); a reset, a read error or a close without TLS's alert before then
// fails the reply. TLS is 1.2 or later, also inside a proxy's tunnel. Every failure, an abort and
// the end of the reply close the connection at once. Redirects are not followed. Other schemes
// fail with ProtocolUnknownError.
//
// Errors, attributes and signals are those of Qt's own HTTP replies as far as the updater
// uses them: metaDataChanged once the headers are in, readyRead and downloadProgress as the
// body arrives, errorOccurred before finished, an error for status codes from 400 on at the end.
// The header block's size on the wire is kept in NetworkLimits::kHeaderBytesAttribute.
class BoundedHttpReply : public QNetworkReply
{
    Q_OBJECT
public:
    // `proxy` is NoProxy or an HttpProxy; `headerDeadlineMs` <= 0 sets no header deadline.
    BoundedHttpReply(const QNetworkRequest& request, const QNetworkProxy& proxy, int headerDeadlineMs,
                     QObject* parent = nullptr);
    ~BoundedHttpReply() override;

    // Ends the reply with this error as soon as the event loop runs, before anything is sent.
    void refuse(NetworkError code, const QString& text);

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;

    // The bytes that go out on the connection for `request` (exposed for the log and tests):
    // inside the tunnel for https, so with an origin-form target.
    static QByteArray requestHead(const QNetworkRequest& request, const QNetworkProxy& proxy);
    // The request that opens a tunnel to the https server through `proxy`.
    static QByteArray connectHead(const QUrl& url, const QNetworkProxy& proxy);

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void start();
    void onConnected();
    void onEncrypted();
    void onSocketError();
    void onPeerClosed();
    void onHeaderDeadline();
    void onTransferTimeout();
    // Moves bytes from the socket through the parser while the caller's buffer has room.
    void pump();
    void schedulePump();
    // Handles what the parser made of its input; false once the reply has ended (or failed).
    bool parse();
    bool headEnded();
    bool tunnelEnded();
    void endOfStream();
    void completeBody();
    void finishOk();
    void fail(NetworkError code, const QString& text);
    void dropConnection();
    qint64 bufferLimit() const;
    bool viaProxy() const { return m_Proxy.type() == QNetworkProxy::HttpProxy; }
    bool isHttps() const;
    // Keeps a second descriptor on the connection, so that how it ended can still be asked
    // after Qt has closed its own.
    void watchConnection();
    void forgetConnection();

    QNetworkProxy m_Proxy;
    int m_HeaderDeadlineMs;
    QTcpSocket* m_Socket = nullptr;
    QSslSocket* m_Tls = nullptr; // m_Socket for https, else null
    QTimer* m_HeaderTimer = nullptr;
    QTimer* m_TransferTimer = nullptr;
    std::unique_ptr<HttpReplyParser> m_Parser;
    bool m_Tunnelling = false; // waiting for the proxy's answer to CONNECT
    int m_WatchFd = -1;
    bool m_PeerClosed = false;
    bool m_ClosedInOrder = false; // plain http: ended by FIN, not by a reset
    bool m_Encrypted = false;     // https: the TLS handshake has ended
    bool m_CloseAlert = false;    // https: TLS's close alert has arrived
    bool m_Pumping = false;
    bool m_PumpQueued = false;
    bool m_Ended = false;
    NetworkError m_Refusal = NoError;
    QString m_RefusalText;
    QString m_TlsErrors;
};

#endif // BOUNDEDHTTPREPLY_H
