#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QFile>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file of the update image by HTTP GET into a local file.
//
// A failed attempt (network error, status other than 200, a content-encoded reply or an over-long
// header block, write error, more bytes than expected, fewer than kMinWindowBytes in the last 16
// statistics polls, the attempt's deadline) removes the partial file and starts over; five
// attempts are made in all. Cancelling, or the failure of a sibling task, aborts the transfer at
// once. The engine's once-a-second getDownloadStats poll is the clock of the stall detection.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    static constexpr int kMaxAttempts = 5;
    static constexpr int kStallPolls = 16;
    static constexpr qint64 kChunkSize = 4096;
    // An attempt that receives fewer body bytes than this in kStallPolls polls is stalled, also
    // while the headers have not ended yet.
    static constexpr qint64 kMinWindowBytes = 4096;

    // expectedSize -1 when unknown. A known size is also the most the file may hold.
    DownloadTaskSpecification(QNetworkAccessManager* manager, const QString& remotePath, int version,
                              const QString& localFile, qint64 expectedSize, qreal weight,
                              QObject* parent);
    ~DownloadTaskSpecification() override;

    // The address of a file: base + version + "/" + remote path, each segment of the remote path
    // percent-encoded so that "#", "?" or "%" in a file name stay part of the name.
    static QUrl fileUrl(const QString& base, int version, const QString& remotePath);

    // Most bytes accepted when the expected size is unknown (-1: no limit). For files that end up
    // read into memory whole, such as the product list and its signature.
    void setMaximumSize(qint64 maxSize);
    // Polls one attempt may last in all, however steadily data arrives (0: no such limit).
    void setAttemptDeadline(int polls);

    void startDownload();

public slots:
    void execute() override;
    void reset() override;
    void getDownloadStats(qulonglong& done, qulonglong& total, qulonglong& speed,
                          bool& downloading) override;
    void requestCancel() override;
    void onOtherTaskCancelledHook(TaskSpecification* other) override;
    virtual void downloadFinished();

    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* reply);

public:
    QNetworkAccessManager* m_Manager;
    QNetworkReply* m_Reply;
    int m_StallPolls;
    QString m_RemotePath;
    int m_Version;
    QFile m_File;
    int m_Attempts;
    qint64 m_BytesAtLastPoll;
    qint64 m_ExpectedSize;
    qint64 m_InitialExpectedSize;
    qint64 m_BytesReceived;
    qint64 m_MaxSize;
    int m_AttemptPolls;
    int m_DeadlinePolls;
    // Bytes received at each of the last kStallPolls polls, indexed by poll number.
    qint64 m_PollMarks[kStallPolls];

private:
    // The local file of an attempt is created on a pool thread, and the request goes out once
    // it is there: creating a file can take long on a busy file system, and the GUI thread
    // serves every other transfer meanwhile.
    struct Creation;
    std::shared_ptr<Creation> m_Creation;
    // The local file's name (a file opened on a descriptor does not tell it).
    QString m_LocalFile;
    void onFileCreated(const std::shared_ptr<Creation>& creation);
    // Forgets a creation under way: it makes nothing from now on, and a file it has made
    // already is closed and removed.
    void abandonCreation();
    void sendRequest();
    void closeFile();

    bool readAvailable();
    void releaseTransfer(bool abortNow = false);
    void retry(const QString& text, bool abortNow = false);
    qint64 sizeLimit() const;
    bool attemptTooSlow();
};

#endif // DOWNLOADTASKSPECIFICATION_H
