#include "downloadtaskspecification.h"

#include "configuration.h"
#include "networklimits.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringList>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <unistd.h>

// Hands the descriptor made on the pool thread to the task.  The task abandons it under the
// mutex before it goes, so a creation that is not abandoned may still post to its task.
struct DownloadTaskSpecification::Creation {
    std::mutex mutex;
    DownloadTaskSpecification* task = nullptr;
    int fd = -1;
    bool abandoned = false;
};

namespace {

// Local files are made one at a time, on a thread of their own.  Made at once they only queue
// for their folder's lock, and some file systems let the waiting threads spin meanwhile: the
// processors were busy, the files no sooner there.
QThreadPool* makeFilePool()
{
    static QThreadPool* pool = [] {
        auto* made = new QThreadPool; // lives as long as the process: a creation may be queued
        made->setMaxThreadCount(1);
        return made;
    }();
    return pool;
}

} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager,
                                                     const QString& remotePath, int version,
                                                     const QString& localFile, qint64 expectedSize,
                                                     qreal weight, QObject* parent)
    : TaskSpecification(parent, weight)
    , m_Manager(manager)
    , m_Reply(nullptr)
    , m_StallPolls(0)
    , m_RemotePath(remotePath)
    , m_Version(version)
    , m_File(localFile)
    , m_Attempts(0)
    , m_BytesAtLastPoll(0)
    , m_ExpectedSize(expectedSize)
    , m_InitialExpectedSize(expectedSize)
    , m_BytesReceived(0)
    , m_MaxSize(-1)
    , m_AttemptPolls(0)
    , m_DeadlinePolls(0)
    , m_LocalFile(localFile)
{
    std::fill(std::begin(m_PollMarks), std::end(m_PollMarks), qint64(0));
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    abandonCreation();
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        if (m_Reply->isRunning() && m_Reply->error() == QNetworkReply::NoError)
            m_Reply->abort();
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    // A transfer dropped half way leaves no partial file behind.
    if (m_File.isOpen()) {
        closeFile();
        m_File.remove();
    }
}

QUrl DownloadTaskSpecification::fileUrl(const QString& base, int version, const QString& remotePath)
{
    QByteArray encoded = QUrl(base).toEncoded();
    if (!encoded.endsWith('/'))
        encoded += '/';
    encoded += QByteArray::number(version);
    const QStringList segments = remotePath.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        encoded += '/';
        encoded += QUrl::toPercentEncoding(segment);
    }
    return QUrl::fromEncoded(encoded, QUrl::StrictMode);
}

void DownloadTaskSpecification::setMaximumSize(qint64 maxSize)
{
    m_MaxSize = maxSize;
}

void DownloadTaskSpecification::setAttemptDeadline(int polls)
{
    m_DeadlinePolls = polls;
}

qint64 DownloadTaskSpecification::sizeLimit() const
{
    return m_InitialExpectedSize >= 0 ? m_InitialExpectedSize : m_MaxSize;
}

void DownloadTaskSpecification::execute()
{
    qDebug() << Q_FUNC_INFO << "Downloading" << m_RemotePath;
    emit message(tr("Downloading %1").arg(m_RemotePath));
    m_State = STATE_RUNNING;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    if (m_Creation || m_Reply)
        return; // this attempt is under way
    auto creation = std::make_shared<Creation>();
    creation->task = this;
    m_Creation = creation;
    const QByteArray path = QFile::encodeName(m_LocalFile);
    makeFilePool()->start([creation, path] {
        // Made under the lock: once the task has abandoned the creation, no file appears at the
        // name it may have removed.
        const std::lock_guard<std::mutex> lock(creation->mutex);
        if (creation->abandoned)
            return;
        // Nothing is ever written through a link standing under the file's name.
        creation->fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        DownloadTaskSpecification* task = creation->task;
        QMetaObject::invokeMethod(
            task, [task, creation] { task->onFileCreated(creation); }, Qt::QueuedConnection);
    });
}

void DownloadTaskSpecification::abandonCreation()
{
    const std::shared_ptr<Creation> creation = std::move(m_Creation);
    if (!creation)
        return;
    bool made = false;
    {
        const std::lock_guard<std::mutex> lock(creation->mutex);
        creation->abandoned = true;
        made = creation->fd >= 0;
        if (made)
            ::close(creation->fd);
        creation->fd = -1;
    }
    // Made for this attempt and never used: no empty file stays behind.
    if (made)
        QFile::remove(m_LocalFile);
}

void DownloadTaskSpecification::onFileCreated(const std::shared_ptr<Creation>& creation)
{
    if (creation != m_Creation)
        return; // abandoned meanwhile: its descriptor is closed
    if (m_State != STATE_RUNNING) {
        abandonCreation(); // ended while the file was made (a sibling failed)
        return;
    }
    int fd;
    {
        const std::lock_guard<std::mutex> lock(creation->mutex);
        fd = creation->fd;
        creation->fd = -1;
    }
    m_Creation.reset();
    if (fd < 0 || !m_File.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        closeFile();
        emit error(tr("Unable to create file %1 for saving").arg(m_LocalFile));
        fail();
        return;
    }
    sendRequest();
}

void DownloadTaskSpecification::closeFile()
{
    // Opened on a descriptor, the file forgets its name until it is given again.
    m_File.close();
    m_File.setFileName(m_LocalFile);
}

void DownloadTaskSpecification::sendRequest()
{
    const QUrl url = fileUrl(imageBaseUrl, m_Version, m_RemotePath);
    const QNetworkRequest request = NetworkLimits::request(url);
    qDebug() << Q_FUNC_INFO << "Requesting download of" << url;
    m_Reply = m_Manager ? m_Manager->get(request) : nullptr;
    NetworkLimits::limit(m_Reply);
    if (!m_Reply) {
        closeFile();
        m_File.remove();
        emit error(tr("Download failed to initialize"));
        fail();
        return;
    }
    if (!m_Reply->isRunning()) {
        retry(m_Reply->errorString());
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isNull() && status.toInt() != 200) {
        retry(tr("%1 returned %2").arg(m_RemotePath).arg(status.toInt()));
        return;
    }
    const QString refusal = NetworkLimits::refusal(m_Reply);
    if (!refusal.isEmpty())
        retry(tr("%1: %2").arg(m_RemotePath, refusal), true);
}

void DownloadTaskSpecification::onDownloadProgress(qint64 /*bytesReceived*/, qint64 bytesTotal)
{
    if (bytesTotal > 0 && m_ExpectedSize == -1)
        m_ExpectedSize = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readAvailable();
}

bool DownloadTaskSpecification::readAvailable()
{
    char buffer[kChunkSize];
    while (m_Reply) {
        m_StallPolls = 0;
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 got = m_Reply->read(buffer, std::min(available, kChunkSize));
        if (got == 0)
            return true;
        if (got < 0) {
            retry(m_Reply->errorString());
            return false;
        }
        const qint64 limit = sizeLimit();
        if (limit >= 0 && m_BytesReceived + got > limit) {
            retry(tr("%1 is larger than the expected %2 bytes").arg(m_RemotePath).arg(limit), true);
            return false;
        }
        const qint64 written = m_File.write(buffer, got);
        if (written < 0) {
            retry(m_File.errorString());
            return false;
        }
        if (written != got) {
            retry(tr("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                      .arg(m_LocalFile)
                      .arg(got)
                      .arg(written));
            return false;
        }
        m_BytesReceived += got;
        if (m_ExpectedSize > 0)
            setProgress(std::min(1.0, double(m_BytesReceived) / double(m_ExpectedSize)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retry(m_Reply->errorString());
        return;
    }
    // The status is checked when the headers arrive; check it again so that an error page can
    // never end up as the file.
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isNull() && status.toInt() != 200) {
        retry(tr("%1 returned %2").arg(m_RemotePath).arg(status.toInt()));
        return;
    }
    if (!readAvailable())
        return;
    if (!m_Reply)
        return;
    m_Reply->close();
    disconnect(m_Reply, nullptr, this, nullptr);
    m_Reply->deleteLater();
    m_Reply = nullptr;
    // flush() reports a failed final write that write() could not see yet.
    const bool flushed = m_File.flush();
    closeFile();
    if (!flushed) {
        retry(m_File.errorString());
        return;
    }
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    const bool exists = m_File.exists();
    qDebug() << Q_FUNC_INFO << "Download finished:" << m_RemotePath << m_LocalFile
             << m_File.isOpen() << exists;
    if (!exists) {
        // Removed by another hand between the last write and the end: fetch it again.
        retry(tr("Downloaded file %1 has vanished").arg(m_LocalFile));
        return;
    }
    emit message(tr("Downloading %1 finished").arg(m_RemotePath));
    finish();
}

void DownloadTaskSpecification::releaseTransfer(bool abortNow)
{
    abandonCreation();
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        // A cancel or a stall stops the transfer now rather than when the reply is deleted.
        if (abortNow && m_Reply->isRunning() && m_Reply->error() == QNetworkReply::NoError)
            m_Reply->abort();
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    m_StallPolls = 0;
    if (m_File.isOpen()) {
        closeFile();
        m_File.remove();
    }
    m_BytesAtLastPoll = 0;
    m_BytesReceived = 0;
    m_AttemptPolls = 0;
    std::fill(std::begin(m_PollMarks), std::end(m_PollMarks), qint64(0));
    m_ExpectedSize = m_InitialExpectedSize;
    setProgress(0.0);
}

void DownloadTaskSpecification::retry(const QString& text, bool abortNow)
{
    releaseTransfer(abortNow);
    emit message(text);
    if (m_Attempts < kMaxAttempts - 1) {
        ++m_Attempts;
        startDownload();
        return;
    }
    emit message(tr("Unable to download %1").arg(m_RemotePath));
    m_File.remove();
    fail();
}

void DownloadTaskSpecification::reset()
{
    releaseTransfer(true);
    m_Attempts = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::getDownloadStats(qulonglong& done, qulonglong& total,
                                                 qulonglong& speed, bool& downloading)
{
    done = qulonglong(m_BytesReceived);
    total = m_ExpectedSize == -1 ? 0 : qulonglong(m_ExpectedSize);
    speed = m_BytesReceived > m_BytesAtLastPoll ? qulonglong(m_BytesReceived - m_BytesAtLastPoll) : 0;
    m_BytesAtLastPoll = m_BytesReceived;
    if (m_State != STATE_RUNNING || !m_Reply)
        return;
    ++m_StallPolls;
    if (!attemptTooSlow()) {
        downloading = true;
        return;
    }
    retry(tr("file %1 timed out").arg(m_RemotePath), true);
}

bool DownloadTaskSpecification::attemptTooSlow()
{
    // Counts this poll; a trickle of single bytes keeps the attempt no more alive than silence.
    const int poll = ++m_AttemptPolls;
    qint64& mark = m_PollMarks[poll % kStallPolls];
    const qint64 bytesInWindow = m_BytesReceived - mark;
    mark = m_BytesReceived;
    if (poll >= kStallPolls && bytesInWindow < kMinWindowBytes)
        return true;
    return m_DeadlinePolls > 0 && poll >= m_DeadlinePolls;
}

void DownloadTaskSpecification::requestCancel()
{
    TaskSpecification::requestCancel();
    if (m_State != STATE_RUNNING)
        return;
    releaseTransfer(true);
    cancelled();
}

void DownloadTaskSpecification::onOtherTaskCancelledHook(TaskSpecification* /*other*/)
{
    if (m_Reply) {
        emit message(tr("Abort downloading %1").arg(m_RemotePath));
        releaseTransfer(true);
    }
    fail();
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply* /*reply*/)
{
    if (m_Manager)
        disconnect(m_Manager, nullptr, this, nullptr);
    if (!m_Reply)
        startDownload();
}
