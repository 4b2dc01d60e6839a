#include "inidownloadtaskspecification.h"

#include "checksigfunc.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "makedownloadreplacelistfunc.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* manager,
                                                           Configuration* config, QObject* parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Manager(manager)
    , m_Config(config)
    , m_Attempts(0)
{
}

void IniDownloadTaskSpecification::execute()
{
    emit message(tr("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString iniName = MakeDownloadReplaceListFunc::productIniName(m_Config->m_ClientUpdate != 0);
    const QString packedName = iniName + QStringLiteral("._lzma2_");
    const QString sigName = iniName + QStringLiteral(".sig");
    const QString tempDir = m_Config->m_TempDir + QLatin1Char('/');
    const QString localPacked = tempDir + packedName;
    const QString localIni = tempDir + iniName;
    const QString localSig = tempDir + sigName;
    qDebug() << Q_FUNC_INFO << "makeSubtasksAndStart" << iniName << packedName;

    qreal checkWeight = 1.0;
    if (m_Attempts >= 1 || !QFileInfo::exists(localIni)) {
        qDebug() << Q_FUNC_INFO << "Requesting" << packedName;
        auto* download = new DownloadTaskSpecification(m_Manager, packedName, m_Config->m_Version,
                                                       localPacked, -1, 0.3333, this);
        download->setMaximumSize(kMaxPackedIniSize);
        download->setAttemptDeadline(kAttemptDeadlinePolls);
        addSubTask(download);
        // The list is plain text: an executable-aware container is never a product list.
        addSubTask(new FileUnpackTaskSpecification_lzma2(nullptr, localPacked, localIni, this, 1.0,
                                                         kMaxIniSize, false));
        checkWeight = 0.6667;
    }
    if (m_Attempts >= 1 || !QFileInfo::exists(localSig)) {
        qDebug() << Q_FUNC_INFO << "Requesting" << sigName;
        auto* download = new DownloadTaskSpecification(m_Manager, sigName, m_Config->m_Version,
                                                       localSig, -1, 0.3333, this);
        download->setMaximumSize(CheckSigFunc::kMaxSignatureSize);
        download->setAttemptDeadline(kAttemptDeadlinePolls);
        addSubTask(download);
        checkWeight -= 0.3333;
    }
    auto* check = new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    m_State = STATE_RUNNING;
    startSubTasks();
}

void IniDownloadTaskSpecification::forgetLocalList(const Configuration* config)
{
    const QString local = config->m_TempDir + QLatin1Char('/')
        + MakeDownloadReplaceListFunc::productIniName(config->m_ClientUpdate != 0);
    for (const QString& suffix : {QString(), QStringLiteral("._lzma2_"), QStringLiteral(".sig")})
        QFile::remove(local + suffix);
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification* /*task*/)
{
    if (pass)
        return;
    const int old = m_Attempts++;
    if (old < kMaxRetries) {
        qDebug() << Q_FUNC_INFO << "Failed to verify product ini, retrying";
        emit message(tr("Could not verify the product ini file. Retrying"));
        reset();
        m_Attempts = old + 1;
        makeSubtasksAndStart();
        return;
    }
    qDebug() << Q_FUNC_INFO << "Failed to verify product ini, aborting";
    emit message(tr("Could not verify the product ini file. Aborting"));
    // The check task still finishes after this; it must not turn the step into a success.
    m_Failed = true;
    m_DoneReported = true;
    fail();
}

void IniDownloadTaskSpecification::reset()
{
    dropSubTasks();
    m_Attempts = 0;
    ComposedTaskSpecification::reset();
}
