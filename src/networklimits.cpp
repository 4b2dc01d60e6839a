#include "networklimits.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

QNetworkRequest NetworkLimits::request(const QUrl& url)
{
    QNetworkRequest request(url);
    // An Accept-Encoding of our own keeps Qt from offering gzip and inflating the reply unasked.
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

void NetworkLimits::limit(QNetworkReply* reply)
{
    if (reply)
        reply->setReadBufferSize(kReadBufferSize);
}

QString NetworkLimits::refusal(const QNetworkReply* reply)
{
    if (!reply)
        return QString();
    // Counted as the client counted it on the wire; a reply that did not count it is refused.
    const QVariant wire = reply->attribute(kHeaderBytesAttribute);
    const qint64 headerBytes = wire.isValid() ? wire.toLongLong() : kMaxHeaderBytes + 1;
    if (headerBytes > kMaxHeaderBytes)
        return QCoreApplication::translate("NetworkLimits", "header block of %1 bytes is too long").arg(headerBytes);
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return QCoreApplication::translate("NetworkLimits", "content encoding %1 refused")
            .arg(QString::fromLatin1(encoding));
    return QString();
}
