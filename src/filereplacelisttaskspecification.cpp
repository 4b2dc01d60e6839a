#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "durablestorage.h"
#include "folderwalk.h"
#include "fileinstalltaskspecification.h"
#include "filereplacetaskspecification.h"
#include "nofollowfile.h"
#include "treeremover.h"
#include "updateinidata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

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
    if (aggregateState() != STATE_FINISHED || !installAll() || !commit()) {
        emit message(tr("rolling back file updates"));
        m_RollbackList.rollback(this);
        if (aggregateState() == STATE_FINISHED) {
            fail();
            return;
        }
    }
    ComposedTaskSpecification::subtasksDone();
}

// Every new file is ready and checked.  Their content goes to stable storage together, then each
// takes its installed name (FileInstallTaskSpecification), in list order.  The new files not yet
// in place stay in the rollback list, so that a failure removes them.
bool FileReplaceListTaskSpecification::installAll()
{
    QList<FileReplaceTaskSpecification*> files;
    QStringList newFiles;
    for (TaskSpecification* task : qAsConst(m_SubTasks)) {
        if (auto* file = qobject_cast<FileReplaceTaskSpecification*>(task)) {
            files << file;
            newFiles << file->newFilePath();
        }
    }
    if (files.isEmpty())
        return true;
    if (!DurableStorage::syncEntries(newFiles)) {
        emit message(tr("Could not write the new files to disk"));
        return false;
    }
    const QSet<QString> waiting(newFiles.cbegin(), newFiles.cend());
    QHash<QString, RollbackData> pending;
    for (int i = m_RollbackList.size() - 1; i >= 0; --i) {
        const RollbackData& record = m_RollbackList.at(i);
        if (record.m_Op == RollbackData::FILE_CREATE && waiting.contains(record.m_Path)) {
            pending.insert(record.m_Path, record);
            m_RollbackList.removeAt(i);
        }
    }
    const auto takePending = [&pending](QHash<QString, RollbackData>::iterator it) {
        const RollbackData record = it.value();
        pending.erase(it);
        return record;
    };
    bool ok = true;
    // The files of one folder follow each other in the list: each folder is reached once.
    voxpatch::FolderPin folder;
    for (FileReplaceTaskSpecification* file : qAsConst(files)) {
        const QString newFile = file->newFilePath();
        const auto found = pending.find(newFile);
        if (found == pending.end())
            continue; // listed twice: the first install took it
        if (!ok) {
            m_RollbackList.append(takePending(found));
            continue;
        }
        // Its own records: the new file's, which the install turns into the installed file's.
        RollbackDataList records;
        records.append(takePending(found));
        NoFollowFile::pinParent(&folder, file->installedPath());
        FileInstallTaskSpecification install(newFile, file->installedPath(), &records, nullptr, 0.0);
        install.m_MakeExecutable = FileReplaceTaskSpecification::isExecutable(file->installedPath());
        connect(&install, &TaskSpecification::message, this, &TaskSpecification::message);
        ok = install.doOp();
        m_RollbackList.append(records);
    }
    return ok;
}

// Every file is in place.  The new files, their modes and the folders' entries are put on
// stable storage, then the session record says committed: from then on the step is final, also
// after a kill or a power loss, and the originals that were kept aside go.  One that cannot be
// removed now is tried again, and left to the end of the update and the next start, which
// remove it (never put it back).
bool FileReplaceListTaskSpecification::commit()
{
    if (m_RollbackList.isEmpty())
        return true;
    QStringList entries;
    QStringList asides;
    for (const RollbackData& record : qAsConst(m_RollbackList)) {
        if (record.m_Op == RollbackData::FILE_RENAME) {
            entries << record.m_FormerPath;
            asides << record.m_Path;
        } else {
            entries << record.m_Path;
        }
    }
    if (!DurableStorage::syncEntries(entries)) {
        emit message(tr("Could not write the new files to disk"));
        return false;
    }
    if (!UpdateIniData::markCommitted()) {
        emit message(tr("Could not record that the files were updated in %1")
                         .arg(UpdateIniData::iniPath()));
        return false;
    }
    m_RollbackList.clear();
    QStringList left;
    voxpatch::FolderPin folder;
    for (const QString& aside : qAsConst(asides)) {
        NoFollowFile::pinParent(&folder, aside);
        if (!removeAside(aside) && !removeAside(aside))
            left << aside;
    }
    for (const QString& aside : qAsConst(left))
        emit message(tr("Could not remove %1; it is removed at the end of the update or by the "
                        "next start").arg(aside));
    // The removals stay done: nothing of them is left to the next start but what failed.
    if (!DurableStorage::syncEntries(asides))
        emit message(tr("Could not write the removal of the replaced files to disk"));
    return true;
}

bool FileReplaceListTaskSpecification::removeAside(const QString& path)
{
    struct stat st;
    if (!NoFollowFile::status(path, &st))
        return errno == ENOENT;
    return S_ISDIR(st.st_mode) ? TreeRemover::removeTree(path) : NoFollowFile::remove(path);
}

void FileReplaceListTaskSpecification::reset()
{
    dropSubTasks();
    // Work still running on the pool must not create files after the rollback.
    QThreadPool::globalInstance()->waitForDone(-1);
    m_RollbackList.rollback(this);
    ComposedTaskSpecification::reset(); // no sub-tasks left: clears the end flags of the last run
}
