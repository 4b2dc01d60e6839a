#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"
#include "treeremover.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QThreadPool>

#include <algorithm>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceEntry>* replaceList,
    QList<DeleteEntry>* deleteList, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(2, parent, weight)
    , m_ReplaceList(replaceList)
    , m_DeleteList(deleteList)
    , m_Config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(tr("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    const int dirs = makeDirCreateTasks();
    makeReplaceTasks(dirs > 0);
    m_State = STATE_RUNNING;
    startSubTasks();
}

int FileReplaceListTaskSpecification::makeDirCreateTasks()
{
    const QDir base(m_Config->m_InstallDir);
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceEntry& entry : *m_ReplaceList) {
        const QFileInfo installed(base, entry.relativePath(QString()));
        const QString folder = installed.path();
        if (seen.contains(folder))
            continue;
        seen.insert(folder);
        if (!installed.dir().exists())
            missing << folder;
    }
    std::sort(missing.begin(), missing.end());
    for (const QString& folder : missing)
        addSubTask(
            new DirCreateTaskSpecification(folder, &m_RollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::makeReplaceTasks(bool dirTasksMade)
{
    const qreal weight = (dirTasksMade ? 0.9 : 1.0) / m_ReplaceList->size();
    for (const ReplaceEntry& entry : *m_ReplaceList)
        addSubTask(new FileReplaceTaskSpecification(
            entry, m_DeleteList, &m_RollbackList, m_Config, this, weight));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (aggregateState() != STATE_FINISHED) {
        emit message(tr("rolling back file updates"));
        m_RollbackList.rollback(this);
    } else {
        commit();
    }
    ComposedTaskSpecification::subtasksDone();
}

// Every file is in place: the originals that were moved aside go, and the step is final.
void FileReplaceListTaskSpecification::commit()
{
    for (const RollbackData& record : qAsConst(m_RollbackList)) {
        if (record.m_Op != RollbackData::FILE_RENAME)
            continue;
        TreeRemover::removeTree(record.m_Path);
    }
    m_RollbackList.clear();
}

void FileReplaceListTaskSpecification::reset()
{
    dropSubTasks();
    // Work still running on the pool must not create files after the rollback.
    QThreadPool::globalInstance()->waitForDone(-1);
    m_RollbackList.rollback(this);
    ComposedTaskSpecification::reset(); // no sub-tasks left: clears the end flags of the last run
}
