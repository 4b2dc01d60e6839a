#ifndef BOUNDEDNETWORKACCESSMANAGER_H
#define BOUNDEDNETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

class HttpConnectionPool;

// The network access manager of the updater. Every request is served by BoundedHttpReply on the
// manager's own thread: http and https GET requests, directly or through an HTTP proxy, so that a
// header block is held to a fixed size and a deadline and an abort closes the connection at once.
// Nothing goes to Qt's own implementation: other operations, other schemes and other kinds of
// proxy fail their reply with an error.
//
// Redirects are never followed, whatever the request asks for. A connection that has served a
// whole reply is kept for a while for the next direct request to the same server
// (HttpConnectionPool).
class BoundedNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit BoundedNetworkAccessManager(QObject* parent = nullptr);

    // Milliseconds a reply may take from the request to the end of its header block
    // (NetworkLimits::kHeaderDeadlineMs unless set); applies to requests made afterwards.
    void setHeaderDeadline(int milliseconds) { m_HeaderDeadlineMs = milliseconds; }
    int headerDeadline() const { return m_HeaderDeadlineMs; }

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData = nullptr) override;

private:
    int m_HeaderDeadlineMs;
    HttpConnectionPool* m_Pool; // connections kept for the next direct request
};

#endif // BOUNDEDNETWORKACCESSMANAGER_H
