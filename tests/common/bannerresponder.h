#pragma once
// A stand-in for the banner server: a UDP socket on 127.0.0.1 (port chosen by the system) that
// answers every banner request from the event loop of the thread that owns it.  A test points
// the lookup at host() and port(), then spins the loop (QSignalSpy::wait, QTRY_COMPARE).
//
// Each request (any datagram) is logged and answered with the scripted replies, in order, sent
// back to the sender.  No replies: it stays silent.  Two replies: it answers twice.  With
// setAnswerFromOtherPort the replies leave from a second socket, as a forger's would.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUdpSocket>

class BannerResponder : public QObject {
    Q_OBJECT
public:
    explicit BannerResponder(QObject *parent = nullptr);

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const;

    // The datagrams sent for each request; empty for silence.  Default: no reply.
    void setReplies(const QList<QByteArray> &replies) { m_replies = replies; }
    void setReply(const QByteArray &reply) { m_replies = {reply}; }
    void setSilent() { m_replies.clear(); }
    void setAnswerFromOtherPort(bool other) { m_fromOtherPort = other; }

    QList<QByteArray> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    // Arrival times of the requests, in ms since the responder was made.
    QList<qint64> requestTimes() const { return m_times; }

    // Spins the event loop until `count` requests arrived or the wait ran out.
    bool waitForRequests(int count, int timeoutMs = 5000);

signals:
    void requestReceived();

private:
    void onReadyRead();

    QUdpSocket m_socket;
    QUdpSocket m_otherSocket;
    QList<QByteArray> m_replies;
    bool m_fromOtherPort = false;
    QList<QByteArray> m_requests;
    QList<qint64> m_times;
    qint64 m_start = 0;
};
