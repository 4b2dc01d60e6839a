#ifndef BOUNDEDHTTPREPLY_H
#define BOUNDEDHTTPREPLY_H

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPair>

class QTcpSocket;
class QTimer;

// One plain-http GET over a connection of its own, run on the thread that created it.
//
// The request asks for the identity encoding and closes its connection after the reply. The
// status line and header block are held to NetworkLimits::kMaxHeaderBytes and must end within
// the header deadline; a body is read from the socket only while less than readBufferSize()
// bytes wait for the caller, so memory stays bounded whatever the server sends. Bodies may be
// delimited by Content-Length, chunked, or run to the end of the connection. Every failure, an
// abort and the end of the reply close the connection at once. Redirects are not followed.
//
// Errors, attributes and signals are those of Qt's own HTTP replies as far as the updater
// uses them: metaDataChanged once the headers are in, readyRead and downloadProgress as the
// body arrives, errorOccurred before finished, an error for status codes from 400 on at the end.
class BoundedHttpReply : public QNetworkReply
{
    Q_OBJECT
public:
    // `proxy` is NoProxy or an HttpProxy; `headerDeadlineMs` <= 0 sets no header deadline.
    BoundedHttpReply(const QNetworkRequest& request, const QNetworkProxy& proxy, int headerDeadlineMs,
                     QObject* parent = nullptr);
    ~BoundedHttpReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;

    // The bytes that go out on the connection for `request` (exposed for the log and tests).
    static QByteArray requestHead(const QNetworkRequest& request, const QNetworkProxy& proxy);

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Done };

    void start();
    void onConnected();
    void onSocketError();
    void onPeerClosed();
    void onHeaderDeadline();
    void onTransferTimeout();
    // Moves bytes from the socket through the parser while the caller's buffer has room.
    void pump();
    void schedulePump();
    // Parses what has arrived; false once the reply has ended (or failed).
    bool parse();
    bool parseHead();
    bool headEnded();
    bool parseChunkSize();
    bool parseTrailers();
    // Takes one line (without its end) from the input; false when none is complete yet. The
    // lines of one block count against `limit` in m_HeadBytes; past it the reply fails.
    bool takeLine(QByteArray* line, qint64 limit, const QString& what);
    void endOfStream();
    void completeBody();
    void finishOk();
    void fail(NetworkError code, const QString& text);
    void dropConnection();
    qint64 bufferLimit() const;
    bool viaProxy() const { return m_Proxy.type() == QNetworkProxy::HttpProxy; }

    QNetworkProxy m_Proxy;
    int m_HeaderDeadlineMs;
    QTcpSocket* m_Socket = nullptr;
    QTimer* m_HeaderTimer = nullptr;
    QTimer* m_TransferTimer = nullptr;
    Phase m_Phase = Phase::Head;
    QByteArray m_In;      // received, not yet parsed
    QByteArray m_Buffer;  // body bytes the caller has not read yet
    qint64 m_HeadBytes = 0; // of the block being read (head, chunk-size line, trailers)
    qint64 m_Remaining = 0; // of the Content-Length body or of the current chunk
    qint64 m_Total = -1;
    qint64 m_Received = 0;
    bool m_ToClose = false;
    bool m_PeerClosed = false;
    bool m_Pumping = false;
    bool m_PumpQueued = false;
    bool m_Ended = false;
    int m_Status = 0;
    QByteArray m_Reason;
    QList<QPair<QByteArray, QByteArray>> m_Headers;
};

#endif // BOUNDEDHTTPREPLY_H
