#include "boundednetworkaccessmanager.h"

#include "boundedhttpreply.h"
#include "httpconnectionpool.h"
#include "networklimits.h"

#include <QFile>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

#ifdef VX_TEST_ENDPOINTS
namespace {

// Development builds carry the test key and may be told to trust a local test authority as well
// (VX3_TEST_CA_FILE names a PEM file), so that end-to-end runs can serve https from 127.0.0.1.
// The certificates are added to the system's list; every check stays as it is.
bool trustTestAuthority()
{
    const QString path = QString::fromLocal8Bit(qgetenv("VX3_TEST_CA_FILE"));
    if (path.isEmpty())
        return false;
    constexpr qint64 kLimit = 1024 * 1024;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kLimit)
        return false;
    const QList<QSslCertificate> added = QSslCertificate::fromData(file.read(kLimit), QSsl::Pem);
    if (added.isEmpty())
        return false;
    // Setting a list ends Qt's loading of the system's roots on demand: they are taken in here.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(
        QSslConfiguration::systemCaCertificates() + configuration.caCertificates() + added);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

} // namespace
#endif

BoundedNetworkAccessManager::BoundedNetworkAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
    , m_HeaderDeadlineMs(NetworkLimits::kHeaderDeadlineMs)
    , m_Pool(new HttpConnectionPool(this))
{
#ifdef VX_TEST_ENDPOINTS
    // Once per process, before the first request of any manager; safe from any thread.
    static const bool testAuthorityTrusted = trustTestAuthority();
    Q_UNUSED(testAuthorityTrusted)
#endif
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
    reply->setConnectionPool(m_Pool);
    // Nothing leaves the updater but its own GET requests, and only through the routes above.
    if (op != GetOperation || outgoingData)
        reply->refuse(QNetworkReply::OperationNotImplementedError, tr("Only GET requests are made"));
    else if (!proxyUsable)
        reply->refuse(QNetworkReply::UnknownProxyError, tr("Only HTTP proxies are used"));
    return reply;
}
