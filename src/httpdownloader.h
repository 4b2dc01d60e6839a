#pragma once
// Fetches one URL on a thread of its own (with its own network access manager and event loop)
// and hands the body to the creating thread through `download_available`.
//
// Thread use: the manager and its reply are created, read and deleted in the download thread
// only.  The downloader object itself belongs to the creating thread; it is deleted there once
// the download thread has finished.  Create it with `new` and no parent, then call start().

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

class HTTPDownloader : public QThread {
    Q_OBJECT
public:
    // Replies larger than this are not the version service's and are given up as they arrive;
    // so are content-encoded replies. The body is read through a bounded read buffer.
    static constexpr qint64 kMaxReplySize = 1024 * 1024;

    explicit HTTPDownloader(const QNetworkRequest &request);
    ~HTTPDownloader() override;

    // Gives up the whole exchange (connection, headers and body) after this many milliseconds,
    // however steadily bytes arrive; 0 (the default) sets no such limit. Set it before start().
    void setOverallTimeout(int milliseconds) { m_OverallTimeoutMs = milliseconds; }

protected:
    void run() override;

signals:
    // The reply body, or an empty array when the request failed.
    void download_available(QByteArray data);

public slots:
    // Called in the download thread when the reply has ended.
    virtual void on_downloadFinished(QNetworkReply *reply);

private:
    // Takes what the reply holds into the body; gives the reply up once it is over the cap.
    void readBody(QNetworkReply *reply);

    QNetworkRequest m_Request;
    // Used in the download thread only.
    QByteArray m_Body;
    bool m_Refused = false;
    int m_OverallTimeoutMs = 0;
};
