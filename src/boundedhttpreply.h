#ifndef BOUNDEDHTTPREPLY_H
#define BOUNDEDHTTPREPLY_H

#include "httpreplyparser.h"

#include <QByteArray>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPointer>
#include <QSslConfiguration>

#include <memory>

class HttpConnectionPool;
class QSslSocket;
class QTcpSocket;
class QTimer;

// One http or https GET, run on the thread that created it.
//
// The request asks for the identity encoding. With a connection pool, a direct request goes out
// on a connection kept from an earlier reply when there is one (again on a new connection when the
// server has closed the kept one before answering), and leaves its connection to the pool when
// the reply has ended by its own framing and may be followed by another; otherwise the request
// asks the server to close the connection after the reply.
//
// https runs over QSslSocket with Qt's default certificate checks; a certificate error fails the
// attempt like a connection error. Through an HTTP proxy, http goes as an absolute target and
// https through a CONNECT tunnel. The reply is read by HttpReplyParser: the status line and header
// block are held to NetworkLimits::kMaxHeaderBytes on the wire and must end within the header
// deadline (the connection and the TLS handshake included); a body is read from the socket only
// while less than readBufferSize() bytes wait for the caller, so memory stays bounded whatever
// the server sends. A body is complete as soon as its framing has ended (its length, its last
// chunk, or for a body that runs to the end of the connection an orderly close: over TLS the close
// alert, whatever follows it); a reset, a read error or a close without TLS's alert before then
// fails the reply. TLS is 1.2 or later, also inside a proxy's tunnel. Every failure and an abort
// close the connection at once, as does the end of a reply whose connection is not kept.
// Redirects are not followed. Other schemes fail with ProtocolUnknownError.
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

    // Connections are then taken from `pool` and left to it after a whole reply, when the
    // request goes directly to the server (not through a proxy). Set before the event loop runs.
    void setConnectionPool(HttpConnectionPool* pool);

    // Ends the reply with this error as soon as the event loop runs, before anything is sent.
    void refuse(NetworkError code, const QString& text);

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;

    // The bytes that go out on the connection for `request` (exposed for the log and tests):
    // inside the tunnel for https, so with an origin-form target.
    // `keepAlive`: the connection may carry further requests (else the request asks to close it).
    static QByteArray requestHead(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                  bool keepAlive = false);
    // The request that opens a tunnel to the https server through `proxy`.
    static QByteArray connectHead(const QUrl& url, const QNetworkProxy& proxy);

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void start();
    void makeSocket();
    void attachSocket();
    void connectFresh();
    // The request goes out on a connection kept by the pool; false when there is none.
    bool reuseKeptConnection();
    bool retryOnFreshConnection();
    // Leaves the connection to the pool when it may carry the next request.
    bool keepConnection();
    QSslConfiguration poolTlsConfiguration() const;
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
    QSslConfiguration m_TlsConfiguration; // https
    QPointer<HttpConnectionPool> m_Pool;
    bool m_Reused = false;  // the connection was kept from an earlier reply
    qint64 m_BytesIn = 0;   // read from the current connection
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
