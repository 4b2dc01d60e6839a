#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QFile>

#include <limits>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry& entry,
                                                             QNetworkAccessManager* manager,
                                                             Configuration* config, QObject* parent,
                                                             qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Entry(entry)
    , m_Manager(manager)
    , m_Config(config)
    , m_Download(nullptr)
{
}

QString DownloadFileTaskSpecification::remotePath() const
{
    return m_Entry.group + QLatin1Char('/') + m_Entry.name;
}

QString DownloadFileTaskSpecification::localFile() const
{
    return m_Config->m_TempDir + QLatin1Char('/') + m_Entry.name;
}

void DownloadFileTaskSpecification::execute()
{
    const quint64 maxSize = quint64(std::numeric_limits<qint64>::max());
    const qint64 expected = m_Entry.size > maxSize ? std::numeric_limits<qint64>::max()
                                                   : qint64(m_Entry.size);
    m_Download = new DownloadTaskSpecification(m_Manager, remotePath(), m_Config->m_Version,
                                               localFile(), expected, 0.8, this);
    addSubTask(m_Download);
    // An empty expected hash would select the signature check instead of the SHA-512 comparison;
    // an entry without a hash must never pass, so it is checked against a text no digest equals.
    const QString expectedHash = m_Entry.hash.isEmpty() ? QStringLiteral("-") : m_Entry.hash;
    auto* check = new CheckSignatureTaskSpecification(localFile(), expectedHash, true, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);
    m_State = STATE_RUNNING;
    startSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task)
{
    if (pass || !task)
        return;
    // Never leave a file with the wrong content where the replacing step would pick it up.
    QFile::remove(task->m_File);
}

void DownloadFileTaskSpecification::reset()
{
    dropSubTasks();
    m_Download = nullptr;
    ComposedTaskSpecification::reset();
}
