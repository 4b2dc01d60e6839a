#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(
    QList<DeleteEntry>* deleteList, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_DeleteList(deleteList)
    , m_Config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(tr("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir base(m_Config->m_InstallDir);
    const int n = m_DeleteList->size();
    for (const DeleteEntry& entry : *m_DeleteList) {
        const QString path = QFileInfo(base, entry.path).filePath();
        addSubTask(new FileDeleteTaskSpecification(false, path, entry.isDir, this, 1.0 / n));
    }
    m_State = STATE_RUNNING;
    startSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    dropSubTasks();
    ComposedTaskSpecification::reset(); // no sub-tasks left: clears the end flags of the last run
}
