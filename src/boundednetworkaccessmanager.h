#ifndef BOUNDEDNETWORKACCESSMANAGER_H
#define BOUNDEDNETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

// The network access manager of the updater. Plain-http GET requests, directly or through an
// HTTP proxy, are served by BoundedHttpReply on the manager's own thread, so that a header block
// is held to a fixed size and a deadline and an abort closes the connection at once; every other
// request goes to Qt's own implementation.
//
// Redirects are never followed, whatever the request asks for.
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
};

#endif // BOUNDEDNETWORKACCESSMANAGER_H
