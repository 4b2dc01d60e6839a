#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <limits>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<DownloadEntry>* list,
                                                                     QNetworkAccessManager* manager,
                                                                     Configuration* config,
                                                                     QObject* parent, qreal weight)
    : ComposedTaskSpecification(config->m_Streams, parent, weight)
    , m_List(list)
    , m_Manager(manager)
    , m_Config(config)
    , m_TotalSize(0)
{
}

void DownloadFileListTaskSpecification::execute()
{
    if (m_List->isEmpty()) {
        emit message(tr("No downloads needed"));
        finish();
        return;
    }
    if (!createFolders())
        return;
    emit message(tr("Downloading files"));
    const qreal share = 1.0 / qreal(m_List->size());
    for (const DownloadEntry& entry : qAsConst(*m_List)) {
        addSubTask(new DownloadFileTaskSpecification(entry, m_Manager, m_Config, this, share));
        // Saturate rather than wrap on absurd sizes.
        if (entry.size > std::numeric_limits<quint64>::max() - m_TotalSize)
            m_TotalSize = std::numeric_limits<quint64>::max();
        else
            m_TotalSize += entry.size;
    }
    m_State = STATE_RUNNING;
    startSubTasks();
}

bool DownloadFileListTaskSpecification::createFolders()
{
    QSet<QString> made;
    made.insert(QStringLiteral("."));
    const QDir temp(m_Config->m_TempDir);
    for (const DownloadEntry& entry : qAsConst(*m_List)) {
        const QString folder = QFileInfo(entry.name).path();
        if (made.contains(folder))
            continue;
        if (!temp.mkpath(folder)) {
            emit message(tr("Could not create dir %1")
                             .arg(QFileInfo(m_Config->m_TempDir).canonicalFilePath() + QLatin1Char('/') + folder));
            fail();
            return false;
        }
        made.insert(folder);
    }
    return true;
}

void DownloadFileListTaskSpecification::reset()
{
    dropSubTasks();
    m_TotalSize = 0;
    ComposedTaskSpecification::reset();
}

void DownloadFileListTaskSpecification::getDownloadStats(qulonglong& done, qulonglong& total,
                                                         qulonglong& speed, bool& downloading)
{
    ComposedTaskSpecification::getDownloadStats(done, total, speed, downloading);
    total = m_TotalSize;
}
