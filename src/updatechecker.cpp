#include "updatechecker.h"

#include "httpdownloader.h"
#include "networklimits.h"
#include "versionservice.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

#include <string>

namespace {

// A version service that sends nothing for this long (no header block, no body byte) is treated
// as unreachable.
constexpr int kDefaultTransferTimeoutMs = 16000;
// No version check takes longer than this, even with a server that keeps sending.
constexpr int kDefaultOverallTimeoutMs = 60000;

QString g_testServiceUrl;
int g_testTransferTimeoutMs = 0;
int g_testOverallTimeoutMs = 0;

QString channelName(int channel)
{
    switch (channel) {
    case 0: return QStringLiteral("stable");
    case 1: return QStringLiteral("beta");
    case 2: return QStringLiteral("alpha");
    default: return QString();
    }
}

} // namespace

UpdateChecker::UpdateChecker(QObject *parent)
    : QObject(parent)
{
}

UpdateChecker::~UpdateChecker()
{
    // The downloader's destructor ends its thread's event loop and waits for the thread.
    delete m_Downloader.data();
}

int UpdateChecker::transferTimeout()
{
    return g_testTransferTimeoutMs > 0 ? g_testTransferTimeoutMs : kDefaultTransferTimeoutMs;
}

int UpdateChecker::overallTimeout()
{
    return g_testOverallTimeoutMs > 0 ? g_testOverallTimeoutMs : kDefaultOverallTimeoutMs;
}

void UpdateChecker::setOverallTimeoutForTesting(int milliseconds)
{
    g_testOverallTimeoutMs = milliseconds;
}

void UpdateChecker::setServiceUrlForTesting(const QString &url)
{
    g_testServiceUrl = url;
}

void UpdateChecker::setTransferTimeoutForTesting(int milliseconds)
{
    g_testTransferTimeoutMs = milliseconds;
}

void UpdateChecker::start()
{
    QString address = g_testServiceUrl;
    if (address.isEmpty()) {
        std::string url;
        getVersionServiceUrl(url);
        address = QString::fromUtf8(url.data(), int(url.size()));
    }
    QNetworkRequest request = NetworkLimits::request(QUrl(address, QUrl::TolerantMode));
    request.setTransferTimeout(transferTimeout());

    auto *downloader = new HTTPDownloader(request);
    m_Downloader = downloader;
    downloader->setOverallTimeout(overallTimeout());
    connect(downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable);
    downloader->start(QThread::InheritPriority);
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    const UpdateVersions versions = versionsFromReply(updateData);
    qDebug() << Q_FUNC_INFO << versions;
    emit update_available(versions);
    deleteLater();
}

UpdateVersions UpdateChecker::versionsFromReply(const QByteArray &updateData)
{
    UpdateVersions versions;
    VersionInfo info;
    // parseVersions needs a valid pointer even for an empty reply.
    static const unsigned char kNoData = 0;
    const auto *data = updateData.isEmpty() ? &kNoData : reinterpret_cast<const unsigned char *>(updateData.constData());
    if (parseVersions(data, unsigned(updateData.size()), info) == ParseVersionsOk && !info.channelNames.empty()) {
        for (const std::string &name : info.channelNames) {
            const std::string &text = info.versionString(name);
            versions.insert(QString::fromUtf8(name.data(), int(name.size())),
                            qMakePair(QString::number(info.versionNumber(name)),
                                      QString::fromUtf8(text.data(), int(text.size()))));
        }
    }
    return versions;
}

QPair<QString, QString> UpdateChecker::versionForChannel(const UpdateVersions &versions, int channel)
{
    const QString name = channelName(channel);
    if (name.isEmpty())
        return qMakePair(QString(), QString());
    return versions.value(name, qMakePair(QString(), QString()));
}
