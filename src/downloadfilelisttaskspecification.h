#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadentry.h"

#include <QList>

class Configuration;
class QNetworkAccessManager;

// Fetches every entry of the download list into the session temp folder, as many at once as
// the configured number of streams, each checked against its SHA-512.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(QList<DownloadEntry>* list, QNetworkAccessManager* manager,
                                      Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void getDownloadStats(qulonglong& done, qulonglong& total, qulonglong& speed,
                          bool& downloading) override;

    QList<DownloadEntry>* m_List;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    quint64 m_TotalSize;

private:
    bool createFolders();
};

#endif // DOWNLOADFILELISTTASKSPECIFICATION_H
