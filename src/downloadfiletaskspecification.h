#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadentry.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// Fetches one entry of the download list into the session temp folder and checks its SHA-512.
// A file whose hash does not match is removed and fails the task, so it can never be installed;
// the next run fetches it again.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const DownloadEntry& entry, QNetworkAccessManager* manager,
                                  Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

    QString remotePath() const;
    QString localFile() const;

    DownloadEntry m_Entry;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    DownloadTaskSpecification* m_Download;

public slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);
};

#endif // DOWNLOADFILETASKSPECIFICATION_H
