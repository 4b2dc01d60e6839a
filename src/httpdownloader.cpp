#include "httpdownloader.h"

#include "boundednetworkaccessmanager.h"
#include "networklimits.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <memory>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request)
    : QThread(nullptr)
    , m_Request(request)
{
    // `finished` is sent from the download thread; the deletion runs in the creating thread's
    // event loop, and the destructor waits for the thread's very last steps.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    quit();
    wait();
}

void HTTPDownloader::run()
{
    // Belongs to this thread; its reply is its child and goes with it.
    auto manager = std::make_unique<BoundedNetworkAccessManager>();
    bool done = false;
    // The manager's context makes the call run here, in the download thread.
    connect(manager.get(), &QNetworkAccessManager::finished, manager.get(), [this, &done](QNetworkReply *reply) {
        done = true;
        on_downloadFinished(reply);
    });
    m_Body.clear();
    m_Refused = false;
    QNetworkReply *reply = manager->get(m_Request);
    NetworkLimits::limit(reply);
    connect(reply, &QNetworkReply::metaDataChanged, reply, [this, reply] {
        const QVariant total = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!NetworkLimits::refusal(reply).isEmpty() || (total.isValid() && total.toLongLong() > kMaxReplySize)) {
            m_Refused = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, reply, [this, reply] { readBody(reply); });
    // The transfer time-out restarts with every byte; a server that trickles its reply would
    // keep the request alive without end. The deadline ends it whatever arrives.
    if (m_OverallTimeoutMs > 0) {
        auto *deadline = new QTimer(reply);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
        deadline->start(m_OverallTimeoutMs);
    }
    // A reply that ended inside get() has already asked for a quit that no loop would see.
    if (!done)
        exec();
    manager.reset();
}

void HTTPDownloader::readBody(QNetworkReply *reply)
{
    while (!m_Refused && reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(qMin(reply->bytesAvailable(), kMaxReplySize + 1 - m_Body.size()));
        if (chunk.isEmpty())
            return;
        m_Body += chunk;
        if (m_Body.size() > kMaxReplySize) {
            m_Refused = true;
            m_Body.clear();
            reply->abort();
        }
    }
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError)
        readBody(reply);
    if (reply->error() == QNetworkReply::NoError && !m_Refused)
        data = m_Body;
    m_Body.clear();
    qDebug() << Q_FUNC_INFO << reply->error() << data.size();
    emit download_available(data);
    quit();
}
