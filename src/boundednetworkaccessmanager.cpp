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
    QNetworkProxy route = proxy();
    if (route.type() == QNetworkProxy::DefaultProxy) {
        const QNetworkProxyQuery query(request.url());
        const QList<QNetworkProxy> routes = proxyFactory() ? proxyFactory()->queryProxy(query)
                                                           : QNetworkProxyFactory::proxyForQuery(query);
        route = routes.value(0, QNetworkProxy(QNetworkProxy::NoProxy));
        if (route.type() == QNetworkProxy::DefaultProxy)
            route = QNetworkProxy(QNetworkProxy::NoProxy);
    }
    const bool proxyUsable = route.type() == QNetworkProxy::NoProxy || route.type() == QNetworkProxy::HttpProxy;
    auto* reply = new BoundedHttpReply(request, proxyUsable ? route : QNetworkProxy(QNetworkProxy::NoProxy),
                                       m_HeaderDeadlineMs, this);
    // Nothing leaves the updater but its own GET requests, and only through the routes above.
    if (op != GetOperation || outgoingData)
        reply->refuse(QNetworkReply::OperationNotImplementedError, tr("Only GET requests are made"));
    else if (!proxyUsable)
        reply->refuse(QNetworkReply::UnknownProxyError, tr("Only HTTP proxies are used"));
    return reply;
}
