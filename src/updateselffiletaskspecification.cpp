#include "updateselffiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filetaskspecification_patch.h"
#include "filereplacetaskspecification.h"

#include <QFile>

UpdateSelfFileTaskSpecification::UpdateSelfFileTaskSpecification(const ReplaceEntry& entry,
                                                                 Configuration* config,
                                                                 QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
{
    const QString temp = config->m_TempDir + QLatin1Char('/');
    const QString rel = entry.relativePath(QString());
    m_Target = temp + rel;
    const QString download = temp + entry.name;
    if (entry.hasPatch()) {
        addSubTask(new FileTaskSpecification_patch(nullptr, m_Target + QStringLiteral("_old"),
                                                   temp + entry.patch, m_Target, this, 0.8,
                                                   entry.unpackedSize));
    } else {
        addSubTask(FileReplaceTaskSpecification::makeUnpackTask(nullptr, download, m_Target, this,
                                                                0.8, entry.unpackedSize));
    }
    addSubTask(new CheckSignatureTaskSpecification(m_Target, entry.unpackedHash, true, this, 0.2));
}

void UpdateSelfFileTaskSpecification::execute()
{
    m_State = STATE_RUNNING;
    startSubTasks();
}

void UpdateSelfFileTaskSpecification::subtasksDone()
{
    if (aggregateState() != STATE_FINISHED)
        QFile::remove(m_Target);
    ComposedTaskSpecification::subtasksDone();
}
