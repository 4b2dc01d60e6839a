#ifndef NETWORKLIMITS_H
#define NETWORKLIMITS_H

#include <QNetworkRequest>
#include <QString>

class QNetworkReply;
class QUrl;

// The bounds every request of the updater is held to, whatever the server sends.
//
// Requests ask for the identity encoding, so the network layer never inflates a reply by itself
// (only the updater's own unpackers do, under their budgets), and a reply that is content-encoded
// anyway is refused. Replies are read through a bounded read buffer. Every request, http and https,
// goes through BoundedNetworkAccessManager, which fails a header block that grows past
// kMaxHeaderBytes on the wire or has not ended within kHeaderDeadlineMs and closes its connection.
class NetworkLimits
{
public:
    // Bytes the network layer may hold for a reply before the updater has read them.
    static constexpr qint64 kReadBufferSize = 64 * 1024;
    // The longest status line and header block accepted, as they come on the wire.
    static constexpr qint64 kMaxHeaderBytes = 64 * 1024;
    // The reply attribute that holds its header block's size on the wire (qint64).
    static constexpr QNetworkRequest::Attribute kHeaderBytesAttribute =
        static_cast<QNetworkRequest::Attribute>(QNetworkRequest::User + 1);
    // Milliseconds from a request to the end of its reply's header block (the stall time).
    static constexpr int kHeaderDeadlineMs = 16000;

    // A GET request for the URL that asks for the identity encoding.
    static QNetworkRequest request(const QUrl& url);
    // Bounds the reply's read buffer; call right after get().
    static void limit(QNetworkReply* reply);
    // Empty when the reply's headers are acceptable, else what is wrong with them (for the log).
    static QString refusal(const QNetworkReply* reply);
};

#endif // NETWORKLIMITS_H
