#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// First step of every run: fetches the packed product list and its signature, unpacks the list
// and verifies the signature. A list that does not verify is fetched anew, up to 1000 times.
// Files left by an earlier run of the session are reused on the first try.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    static constexpr int kMaxRetries = 1000;
    // The packed product list and its signature are read into memory whole later on; larger
    // downloads are refused as they arrive.
    static constexpr qint64 kMaxPackedIniSize = 64 * 1024 * 1024;
    // The unpacked product list is read whole as well; a container that unpacks to more is
    // refused while it is unpacked.
    static constexpr quint64 kMaxIniSize = 64 * 1024 * 1024;
    // Statistics polls (seconds) one attempt at the packed list or at its signature may last.
    static constexpr int kAttemptDeadlinePolls = 120;

    IniDownloadTaskSpecification(QNetworkAccessManager* manager, Configuration* config,
                                 QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void makeSubtasksAndStart();

    // Removes the session's copy of the product list and its signature, so that the next run
    // of this session fetches them again instead of reusing a list that led to a failure.
    static void forgetLocalList(const Configuration* config);

    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    int m_Attempts;

public slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);
};

#endif // INIDOWNLOADTASKSPECIFICATION_H
