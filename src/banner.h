#pragma once
// The banner lookup: asks the banner server over UDP which banner to show.  One two-byte request
// (sent again once after a silent 5000 ms), one datagram back: image URL, a comma, click URL.
// The first valid reply from the server's own address and port is emitted through
// `bannerFound`; the lookup then ends.  Both URLs of an emitted reply are http or https.
//
// The banner cache ("voxtrel_banner.jpg" and "voxtrel_banner.txt" in the temp folder) lets the
// client step show the banner of the updater step without asking again; its helpers live here
// so that the engine (reader) and the window (writer) agree on the format.

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QUdpSocket>

class QTimerEvent;
class QUrl;

// Host name of the banner server.
extern const QString bannerServer;

class Banner : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 kServerPort = 2009;
    static constexpr int kReplyTimeoutMs = 5000;
    // Largest banner image accepted, whether announced by Content-Length or counted as it arrives.
    static constexpr qint64 kMaxImageSize = 270000;

    explicit Banner(QObject *parent);

    // Starts the host lookup; the request follows once the server's IPv4 address is known.
    void run();
    void sendRequest();

    // The image URL and click URL of one reply datagram (its bytes as Latin-1: image URL, a
    // comma, click URL); false, with both left as they were, for any other reply.
    static bool parseReply(const char *data, int length, QString *bannerUrl, QString *clickUrl);

    // True for a valid http or https URL with a host: the only banner addresses fetched or opened.
    static bool isWebUrl(const QUrl &url);

    // The banner cache.  readCache succeeds only when the image file holds something and the
    // link file an http or https address; the link is stored percent-encoded UTF-8.  removeCache
    // removes the image first.
    static QString cacheImagePath();
    static QString cacheLinkPath();
    static bool readCache(QByteArray *image, QString *clickUrl);
    static bool writeCache(const QByteArray &image, const QString &clickUrl);
    static void removeCache();

    // For tests only: the shipped program never calls these.  They point the lookup at a local
    // responder and shorten the reply time-out.  An empty host or a time-out of 0 or below
    // restores the default.
    static void setServerForTesting(const QString &host, quint16 port);
    static void setReplyTimeoutForTesting(int milliseconds);

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onResolved(const QHostInfo &hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    QUdpSocket *m_socket = nullptr;
    QBasicTimer m_timer;
    QHostAddress m_address;
    int m_timeouts = 0;
    quint16 m_port = kServerPort;
    bool m_done = false; // a reply has been emitted: nothing more is read
};
