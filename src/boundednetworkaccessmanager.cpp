#include "boundednetworkaccessmanager.h"

#include "boundedhttpreply.h"
#include "networklimits.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QUrl>

BoundedNetworkAccessManager::BoundedNetworkAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
    , m_HeaderDeadlineMs(NetworkLimits::kHeaderDeadlineMs)
{
}

QNetworkReply* BoundedNetworkAccessManager::createRequest(Operation op, const QNetworkRequest& request,
                                                          QIODevice* outgoingData)
{
    const QUrl url = request.url();
    if (op != GetOperation || outgoingData || url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0
        || url.host().isEmpty())
        return QNetworkAccessManager::createRequest(op, request, outgoingData);

    QNetworkProxy route = proxy();
    if (route.type() == QNetworkProxy::DefaultProxy) {
        const QNetworkProxyQuery query(url);
        const QList<QNetworkProxy> routes = proxyFactory() ? proxyFactory()->queryProxy(query)
                                                           : QNetworkProxyFactory::proxyForQuery(query);
        route = routes.value(0, QNetworkProxy(QNetworkProxy::NoProxy));
        if (route.type() == QNetworkProxy::DefaultProxy)
            route = QNetworkProxy(QNetworkProxy::NoProxy);
    }
    // Other kinds of proxy stay with Qt.
    if (route.type() != QNetworkProxy::NoProxy && route.type() != QNetworkProxy::HttpProxy)
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    return new BoundedHttpReply(request, route, m_HeaderDeadlineMs, this);
}
