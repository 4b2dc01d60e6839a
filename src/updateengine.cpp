#include "updateengine.h"

#include "bundleownership.h"
#include "nofollowfile.h"

#include "banner.h"
#include "boundednetworkaccessmanager.h"
#include "bundleownership.h"
#include "configuration.h"
#include "crypt_exception.h"
#include "cryptwrapper.h"
#include "fileinstalltaskspecification.h"
#include "maintaskspecification.h"
#include "networklimits.h"
#include "nofollowfile.h"
#include "privatetempdir.h"
#include "treeremover.h"
#include "updateinidata.h"

#include "folderwalk.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kOldFileNames[] = {
    "update",
    "libQtCore.so.4",
    "libQtGui.so.4",
    "libQtNetwork.so.4",
    "libQtSql.so.4",
    "libQt5Core.so.5",
    "libQt5Gui.so.5",
    "libQt5Network.so.5",
    "libQt5Sql.so.5",
    "libqgif.so",
    "libqjpeg.so",
    "libqtaccessiblewidgets.so",
    "libsqlite.so",
};

const char *const kQt4Frameworks[] = {
    "QtCore.framework",
    "QtGui.framework",
    "QtNetwork.framework",
    "QtSql.framework",
};

const char *const kCompanionApps[] = {
    "glitchpost",
    "wareloader",
    "update",
};

// The name of a session folder the updater makes in the temp folder.
bool isSessionFolderName(const QString &name)
{
    static const QRegularExpression sessionName(QStringLiteral("^voxtrel_temp_[0-9]+$"));
    return sessionName.match(name).hasMatch();
}

// A session folder is renamed to one of these names before it is removed; start-up removes
// whatever a removal cut short left under them.
const char kRemovalPrefix[] = "voxtrel_removing_";
const int kMaxRemovalNames = 1000;

bool isRemovalFolderName(const QString &name)
{
    static const QRegularExpression removalName(
        QStringLiteral("^") + QLatin1String(kRemovalPrefix) + QStringLiteral("[0-9]+$"));
    return removalName.match(name).hasMatch();
}

// The folder this updater was installed into: the client bundle's Contents folder, or, for the
// updater of the client step, the session folder it runs from.
QString ownInstallDir()
{
    return QFileInfo(Configuration::appDirBase() + QStringLiteral("../")).canonicalFilePath();
}

} // namespace

UpdateEngine::UpdateEngine(Configuration *config, QObject *parent)
    : QObject(parent)
    , m_Config(config)
{
    connect(m_Config, &Configuration::message, this, &UpdateEngine::message);
    m_Timer = new QTimer(this);
    connect(m_Timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    m_Nam = new BoundedNetworkAccessManager(this);
    m_Config->readUpdateSettings();

    QNetworkProxy proxy;
    if (parseProxy(m_Config->m_Proxy, &proxy))
        m_Nam->setProxy(proxy);
    else
        // The window connects after the constructor: the report waits for initialize.
        m_ProxyError =
            QStringLiteral("'%1' is an invalid proxy speci" "fication").arg(m_Config->m_Proxy);
}

UpdateEngine::~UpdateEngine()
{
    // The task tree uses the network access manager's replies: it goes first.
    if (m_MainTask) {
        disconnect(m_MainTask, nullptr, this, nullptr);
        delete m_MainTask;
        m_MainTask = nullptr;
    }
    if (p_BannerReply) {
        disconnect(p_BannerReply, nullptr, this, nullptr);
        delete p_BannerReply;
        p_BannerReply = nullptr;
    }
    unsettleFolders();
}

void UpdateEngine::settleFolders()
{
    unsettleFolders();
    for (const QString &folder : {m_Config->m_InstallDir, m_Config->m_TempDir}) {
        const QByteArray path = QFile::encodeName(QDir::cleanPath(folder));
        if (voxpatch::SettleFolder(path.constData()))
            m_SettledFolders << path;
    }
}

void UpdateEngine::unsettleFolders()
{
    for (const QByteArray &path : qAsConst(m_SettledFolders))
        voxpatch::UnsettleFolder(path.constData());
    m_SettledFolders.clear();
}

bool UpdateEngine::parseProxy(const QString &text, QNetworkProxy *proxy)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        return true;
    }
    // "host" and "host:port" carry no scheme; QUrl would take the host for one.
    const QString withScheme =
        trimmed.contains(QLatin1String("://")) ? trimmed : QStringLiteral("http://") + trimmed;
    const QUrl url(withScheme, QUrl::TolerantMode);
    const QString host = url.host(QUrl::FullyDecoded);
    if (!url.isValid() || host.isEmpty())
        return false;
    *proxy = QNetworkProxy(
        QNetworkProxy::HttpProxy, host, static_cast<quint16>(url.port(3128)), QString(), QString());
    return true;
}

bool UpdateEngine::initialize()
{
    Q_ASSERT_X(m_State == PRE_INIT, Q_FUNC_INFO, "m_State == PRE_INIT");
    if (m_State != PRE_INIT)
        return false;
    if (!m_ProxyError.isEmpty()) {
        emit fatalError(m_ProxyError);
        return false;
    }
    try {
        initCrypt();
    } catch (const crypt_exception &e) {
        emit fatalError(QString::fromUtf8(e.what()));
        return false;
    }
    qsrand(static_cast<uint>(QDateTime::currentSecsSinceEpoch()));

    int version = 0;
    QString sessionDir;
    QString clientDir;
    bool recorded = UpdateIniData::get(&version, nullptr, &sessionDir, &clientDir);
    const bool ownRecord = recorded && isOwnSession(sessionDir, clientDir);
    // Nothing of a session, recorded, abandoned or cut short, is touched before the installation
    // is ours.
    if (!lockInstallation(ownRecord ? clientDir : QString()))
        return false;
    removeInterruptedRemovals();
    UpdateIniData::removeAbandonedCopies();
    if (!finishCommittedSessions())
        return false;
    if (ownRecord && !QFileInfo(sessionDir).isDir()) {
        // The recorded session was committed, and is gone.
        recorded = false;
        UpdateIniData::removeCurrent();
    }
    if (recorded) {
        if (!ownRecord) {
            // "update.ini" can be edited, and somebody else could have put anything in a folder
            // elsewhere: neither used nor emptied.
            emit message(QStringLiteral("Ignoring session folder %1 for %2: it is not a session "
                                        "folder of this updater")
                             .arg(sessionDir, clientDir));
            sessionDir.clear();
            clientDir.clear();
            if (!forgetRecordedSession())
                return false;
        } else if (version == m_Config->m_Version) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            dropSession(version, sessionDir);
            sessionDir.clear();
            clientDir.clear();
            if (!forgetRecordedSession())
                return false;
        }
    } else {
        sessionDir.clear();
        clientDir.clear();
        if (!m_Config->m_ClientUpdate)
            takeOverAbandonedSessions(&sessionDir, &clientDir);
    }

    // A session folder made for this run is known to no record until the end of initialize:
    // when the start fails before, it goes again.
    const bool freshSession = sessionDir.isEmpty();
    if (!m_Config->initalizeStart(sessionDir, clientDir))
        return false;
    // The run's two folders are walked from here on, not from "/" for every file.
    m_Config->m_TempDir = Configuration::settledFolder(m_Config->m_TempDir);
    settleFolders();
    const auto refuse = [this, freshSession](const QString &text) {
        if (freshSession)
            removeSessionDir(m_Config->m_TempDir);
        emit fatalError(text);
        return false;
    };
    if (m_Config->m_ClientUpdate && isInSessionFolder(m_Config->m_InstallDir)) {
        // Without its record the client step's updater would take the session folder it runs
        // from for the client, and download a whole client into a new session.
        return refuse(QStringLiteral("Refusing to update %1: it is an update session folder, "
                                     "not a Voxtrel client")
                          .arg(QDir::cleanPath(m_Config->m_InstallDir)));
    }
    if (geteuid() == 0) {
        // Root changes only a bundle that nobody else can write.
        const QString entry = BundleOwnership::treeChangeableByOthers(m_Config->m_InstallDir);
        if (!entry.isEmpty()) {
            return refuse(BundleOwnership::refusalText(
                QDir::cleanPath(m_Config->m_InstallDir + QStringLiteral("/..")), entry));
        }
    }
    if (m_Config->m_ClientUpdate && !UpdateIniData::isCommitted(UpdateIniData::iniPath())) {
        // A client step that was killed while it replaced files left them kept aside.
        const int restored =
            FileInstallTaskSpecification::restoreInterrupted(m_Config->m_InstallDir);
        if (restored > 0)
            emit message(
                QStringLiteral("Restored %1 files of an interrupted update").arg(restored));
    }
    if (!UpdateIniData::modify(m_Config->m_Version, m_Config->m_TempDir, m_Config->m_InstallDir,
            m_Config->m_ClientType))
        return refuse(UpdateIniData::writeFailureText(UpdateIniData::iniPath()));
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::lockInstallation(const QString &recordedClientDir)
{
    // The client step updates the installation its session names; the updater step the one
    // it belongs to.
    const QString installDir = m_Config->m_ClientUpdate && !recordedClientDir.isEmpty()
        ? recordedClientDir
        : Configuration::appDirBase() + QStringLiteral("../");
    switch (m_Lock.acquire(installDir)) {
    case InstallLock::Acquired:
        return true;
    case InstallLock::Busy:
        emit message(QStringLiteral("Another updater is at work on %1").arg(installDir));
        emit updateAlreadyRunning();
        return false;
    case InstallLock::Failed:
        break;
    }
    emit fatalError(QStringLiteral("Unable to lock the installation for the update."));
    return false;
}

bool UpdateEngine::otherUpdateEnded()
{
    return m_Lock.retry() == InstallLock::Acquired;
}

bool UpdateEngine::startUpdate()
{
    Q_ASSERT_X(m_State == POST_INIT, Q_FUNC_INFO, "m_State == POST_INIT");
    if (m_State != POST_INIT)
        return false;
    m_MainTask = new MainTaskSpecification(m_Nam, m_Config, this, 1.0);
    connect(m_MainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_MainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_MainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_MainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_MainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    m_State = RUNNING;
    m_Timer->start(1000);
    m_MainTask->execute();
    return true;
}

bool UpdateEngine::isActive() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && m_MainTask)
        m_MainTask->requestCancel();
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_MainTask)
        return;
    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    m_MainTask->getDownloadStats(done, total, speed, downloading);
    emit downloadProgress(done, total, speed, downloading);
}

bool UpdateEngine::forgetRecordedSession()
{
    if (UpdateIniData::removeCurrent())
        return true;
    emit fatalError(UpdateIniData::writeFailureText(UpdateIniData::iniPath()));
    return false;
}

void UpdateEngine::onTaskFinished()
{
    m_Timer->stop();
    if (!cleanup()) {
        // The run did its work, but what the next step or run relies on could not be recorded:
        // it ends as failed, and the session stays for the next run to continue.
        endCanceled(false);
        return;
    }
    m_State = FINISHED;
    emit message(QStringLiteral("Update successfully finished"));
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    m_Timer->stop();
    endCanceled(m_MainTask && m_MainTask->m_State == TaskSpecification::STATE_CANCELLED);
}

void UpdateEngine::endCanceled(bool userAborted)
{
    m_State = CANCELED;
    if (userAborted)
        emit message(QStringLiteral("User aborted update"));
    releaseMainTask();
    emit downloadProgress(0, 0, 0, false);
    // The end is reported from the event loop: a cancel request may still be walking the task
    // tree, and the receiver may open a dialog whose loop would delete the tree under it.
    QMetaObject::invokeMethod(this, &UpdateEngine::updateCanceled, Qt::QueuedConnection);
}

void UpdateEngine::reset()
{
    Q_ASSERT_X(m_State == CANCELED, Q_FUNC_INFO, "m_State==CANCELED");
    m_State = PRE_INIT;
    releaseMainTask();
}

void UpdateEngine::releaseMainTask()
{
    if (!m_MainTask)
        return;
    disconnect(m_MainTask, nullptr, this, nullptr);
    m_MainTask->deleteLater();
    m_MainTask = nullptr;
}

bool UpdateEngine::cleanup()
{
    if (m_Config->m_ClientUpdate) {
        emit message(QStringLiteral("Remove temporary files..."));
        QString sessionDir;
        QString clientDir;
        if (UpdateIniData::get(nullptr, nullptr, &sessionDir, &clientDir) &&
            isOwnSession(sessionDir, clientDir)) {
            const QString client = clientDir.isEmpty() ? m_Config->m_InstallDir : clientDir;
            if (UpdateIniData::isCommitted(UpdateIniData::iniPath()) &&
                !FileInstallTaskSpecification::removeLeftovers(client)) {
                // The record that says so stays with the session: the next start removes them.
                emit message(QStringLiteral("Files kept aside could not be removed from %1; "
                                            "the next start removes them")
                                 .arg(client));
            } else {
                // The folder is set aside first: a kill from here on leaves it to the next start.
                // The record normally lies inside it and goes with it.
                removeSessionDir(sessionDir);
                if (!UpdateIniData::removeCurrent()) {
                    emit message(UpdateIniData::writeFailureText(UpdateIniData::iniPath()));
                    return false;
                }
            }
        }
        QFile::remove(Configuration::argsFilePath());
        emit message(QStringLiteral("Temporary files removed."));
    } else {
        if (!UpdateIniData::removeCurrent()) {
            emit message(UpdateIniData::writeFailureText(UpdateIniData::iniPath()));
            return false;
        }
        emit message(QStringLiteral("Removed temporary update.ini"));
    }
    return true;
}

void UpdateEngine::takeOverAbandonedSessions(QString *sessionDir, QString *clientDir)
{
    // Once the updater step has finished it forgets its session; when the client step then
    // never finishes, the session folder is known only to the record inside it.  Such a folder
    // of this installation is continued for the same version and removed for another one.
    const QDir temp(QDir::tempPath());
    const QFileInfoList entries =
        temp.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        int version = 0;
        QString client;
        QString recordedDir;
        if (!isSessionFolder(entry.absoluteFilePath()) ||
            !UpdateIniData::getFrom(
                entry.absoluteFilePath() + QStringLiteral("/SharedSupport/update.ini"), &version,
                nullptr, &recordedDir, &client) ||
            client.isEmpty() || !isOwnSession(entry.absoluteFilePath(), client) ||
            QFileInfo(recordedDir).canonicalFilePath() != entry.canonicalFilePath())
            continue;
        if (version == m_Config->m_Version && sessionDir->isEmpty()) {
            emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
            *sessionDir = entry.absoluteFilePath();
            *clientDir = client;
        } else {
            dropSession(version, entry.absoluteFilePath());
        }
    }
}

bool UpdateEngine::finishCommittedSessions()
{
    const QDir temp(QDir::tempPath());
    const QFileInfoList entries =
        temp.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    const QString running = ownInstallDir();
    for (const QFileInfo &entry : entries) {
        const QString dir = entry.absoluteFilePath();
        const QString record = dir + QStringLiteral("/SharedSupport/update.ini");
        int version = 0;
        QString client;
        QString recordedDir;
        if (!isSessionFolder(dir) || !UpdateIniData::isCommitted(record) ||
            !UpdateIniData::getFrom(record, &version, nullptr, &recordedDir, &client) ||
            client.isEmpty() || QFileInfo(recordedDir).canonicalFilePath() != entry.canonicalFilePath() ||
            !isOwnSession(dir, client))
            continue;
        int removed = 0;
        if (!FileInstallTaskSpecification::removeLeftovers(client, &removed)) {
            emit fatalError(QStringLiteral("Files kept aside by the update to v. %1 could not be "
                                           "removed from %2.")
                                .arg(version)
                                .arg(client));
            return false;
        }
        if (removed > 0)
            emit message(QStringLiteral("Removed %1 files kept aside by the update to v. %2")
                             .arg(removed)
                             .arg(version));
        if (entry.canonicalFilePath() != running)
            dropSession(version, dir);
    }
    return true;
}

void UpdateEngine::dropSession(int version, const QString &dir)
{
    emit message(
        QStringLiteral("Cleanup previous session (v. %1, %2) files...").arg(version).arg(dir));
    emit message(removeSessionDir(dir) ? QStringLiteral("Ok")
                                       : QStringLiteral("Failed to remove directory"));
}

bool UpdateEngine::isSessionFolder(const QString &dir)
{
    const QFileInfo info(dir);
    if (!isSessionFolderName(info.fileName()) || !PrivateTempDir::isPrivateSessionFolder(dir))
        return false;
    const QString tempRoot = QFileInfo(QDir::tempPath()).canonicalFilePath();
    return !tempRoot.isEmpty() && QFileInfo(info.absolutePath()).canonicalFilePath() == tempRoot;
}

bool UpdateEngine::isInSessionFolder(const QString &dir)
{
    const QString tempRoot = QFileInfo(QDir::tempPath()).canonicalFilePath();
    QString path = QFileInfo(dir).canonicalFilePath();
    if (path.isEmpty())
        path = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    if (isSessionFolderName(QFileInfo(path).fileName()))
        return true;
    for (QFileInfo folder(path); !folder.isRoot() && !folder.fileName().isEmpty();
         folder = QFileInfo(folder.absolutePath())) {
        const QString name = folder.fileName();
        if ((isSessionFolderName(name) || isRemovalFolderName(name)) &&
            folder.absolutePath() == tempRoot)
            return true;
    }
    return false;
}

bool UpdateEngine::isOwnSession(const QString &dir, const QString &clientDir) const
{
    const QString ownInstall = ownInstallDir();
    if (ownInstall.isEmpty() || !isSessionFolder(dir))
        return false;
    // No client folder recorded: the session is for the folder this updater derives itself.
    if (clientDir.isEmpty() || QFileInfo(clientDir).canonicalFilePath() == ownInstall)
        return true;
    // The client step's updater runs from the session folder, whose record names the client.
    return m_Config->m_ClientUpdate && QFileInfo(dir).canonicalFilePath() == ownInstall;
}

bool UpdateEngine::removeSessionDir(const QString &dir)
{
    // "update.ini" can be edited by hand: only a folder this updater makes is ever removed.
    if (!isSessionFolder(dir))
        return false;
    const QFileInfo info(dir);
    const QString parent = info.absolutePath();
    // Renamed before anything in it goes, so that a removal cut short (a kill, a power cut) never
    // leaves a session folder whose record is gone and which no later run would recognise.
    for (int n = 0; n < kMaxRemovalNames; ++n) {
        const QString doomed =
            parent + QLatin1Char('/') + QLatin1String(kRemovalPrefix) + QString::number(n);
        struct stat st {};
        if (lstat(QFile::encodeName(doomed).constData(), &st) == 0 || errno != ENOENT)
            continue;
        if (::rename(QFile::encodeName(info.absoluteFilePath()).constData(),
                QFile::encodeName(doomed).constData()) == 0)
            return TreeRemover::removeTree(doomed);
    }
    return TreeRemover::removeTree(info.absoluteFilePath());
}

void UpdateEngine::removeInterruptedRemovals()
{
    const QDir temp(QDir::tempPath());
    const QFileInfoList entries =
        temp.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (isRemovalFolderName(entry.fileName()) &&
            PrivateTempDir::isPrivateSessionFolder(entry.absoluteFilePath()))
            TreeRemover::removeTree(entry.absoluteFilePath());
    }
}

void UpdateEngine::removeDirContents(const QString &path)
{
    TreeRemover::removeContents(path);
}

void UpdateEngine::getBanner()
{
    QByteArray image;
    QString clickUrl;
    if (Banner::readCache(&image, &clickUrl)) {
        emit bannerFound(image, clickUrl);
        return;
    }
    if (p_BannerReply)
        return;
    Banner *banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(const QString &bannerUrl, const QString &clickUrl)
{
    // One image request at a time: a late second answer must not replace the one in flight.
    if (p_BannerReply)
        return;
    const QUrl url(bannerUrl, QUrl::TolerantMode);
    if (!url.isValid() || !Banner::isWebUrl(url))
        return;
    m_ClickUrl = clickUrl;
    m_BannerBytes.clear();
    QNetworkRequest request = NetworkLimits::request(url);
    // Headers or bytes that do not come for this long end the request.
    request.setTransferTimeout(kBannerStallMs);
    QNetworkReply *reply = m_Nam->get(request);
    p_BannerReply = reply;
    NetworkLimits::limit(reply);
    // However steadily a server trickles, the image is given up after the deadline.
    QTimer::singleShot(kBannerDeadlineMs, reply, [this, reply] {
        if (p_BannerReply == reply)
            dropBannerReply();
    });
    connect(p_BannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(p_BannerReply, &QNetworkReply::metaDataChanged, this,
        &UpdateEngine::onBannermetaDataChanged);
    connect(p_BannerReply, &QNetworkReply::readyRead, this, &UpdateEngine::onBannerReadyRead);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!p_BannerReply)
        return;
    const QVariant length = p_BannerReply->header(QNetworkRequest::ContentLengthHeader);
    if ((length.isValid() && length.toLongLong() > Banner::kMaxImageSize) ||
        !NetworkLimits::refusal(p_BannerReply).isEmpty())
        dropBannerReply();
}

void UpdateEngine::onBannerReadyRead()
{
    // Read as it arrives, so that the reply's bounded buffer never fills; a reply without
    // Content-Length is held to the same cap.
    while (p_BannerReply && p_BannerReply->bytesAvailable() > 0) {
        const qint64 room = Banner::kMaxImageSize + 1 - m_BannerBytes.size();
        const QByteArray chunk = p_BannerReply->read(qMin(p_BannerReply->bytesAvailable(), room));
        if (chunk.isEmpty())
            return;
        m_BannerBytes += chunk;
        if (m_BannerBytes.size() > Banner::kMaxImageSize)
            dropBannerReply();
    }
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!p_BannerReply)
        return;
    onBannerReadyRead();
    if (!p_BannerReply)
        return;
    const QByteArray bytes = m_BannerBytes;
    m_BannerBytes.clear();
    p_BannerReply->deleteLater();
    p_BannerReply = nullptr;
    emit bannerFound(bytes, m_ClickUrl);
}

void UpdateEngine::dropBannerReply()
{
    disconnect(p_BannerReply, nullptr, this, nullptr);
    p_BannerReply->abort();
    p_BannerReply->deleteLater();
    p_BannerReply = nullptr;
    m_BannerBytes.clear();
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    // Joined through QDir so that the name lands inside `dir` with or without a trailing "/".
    const QDir base(dir);
    for (const char *name : kOldFileNames) {
        const QString path = base.absoluteFilePath(QStringLiteral("_old_") + QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove old file:" << path;
            NoFollowFile::remove(path);
        }
    }
}

void UpdateEngine::removeQt4Files(const QString &dir)
{
    const QDir base(dir);
    const QDir sharedFrameworks(base.absoluteFilePath(QStringLiteral("../Frameworks")));
    for (const char *name : kQt4Frameworks) {
        const QString path = sharedFrameworks.absoluteFilePath(QLatin1String(name));
        const QFileInfo info(path);
        if (info.isSymLink()) {
            // Only the link goes: what it points to is not ours to delete.
            qDebug() << "Remove Qt4 dir:" << path;
            NoFollowFile::remove(path);
        } else if (info.isDir()) {
            qDebug() << "Remove Qt4 dir:" << path;
            // Only a folder is removed here; an entry of that name that is no folder stays.
            TreeRemover::removeTree(path);
        }
    }

    for (const char *app : kCompanionApps) {
        const QDir frameworks(
            base.absoluteFilePath(QLatin1String(app) + QStringLiteral(".app/Contents/Frameworks")));
        for (const char *name : kQt4Frameworks) {
            // Removes a link or a plain file of that name; a real folder stays.
            NoFollowFile::remove(frameworks.absoluteFilePath(QLatin1String(name)));
        }
    }
}
