#include "dircreatetaskspecification.h"

#include "nofollowfile.h"
#include "rollback.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path,
                                                       RollbackDataList* rollbackList,
                                                       QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(m_Path);
}

bool DirCreateTaskSpecification::createDir(const QString& p)
{
    // Every name is looked at and made inside the folder reached by descriptor: a folder swapped
    // for a link is never entered, and a link is followed only when the user's own.
    struct stat st;
    if (NoFollowFile::status(p, &st)) {
        const int folder = S_ISLNK(st.st_mode) ? NoFollowFile::openFolder(p) : -1;
        if (folder >= 0)
            close(folder);
        if (S_ISDIR(st.st_mode) || folder >= 0)
            return true;
        emit message(tr("Could not create dir '%1' because it already exists and is not a dir").arg(p));
        return false;
    }
    const QFileInfo info(p);
    QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || QDir(p).isRoot()) {
        emit message(tr("Could not create dir %1").arg(m_Path));
        return false;
    }
    struct stat parentStatus;
    const bool parentIsFolder =
        NoFollowFile::status(parent.path(), &parentStatus) && S_ISDIR(parentStatus.st_mode);
    if (!parentIsFolder && !createDir(parent.path()))
        return false;
    if (!NoFollowFile::makeFolder(p)) {
        emit message(tr("unable to create dir %1").arg(p));
        return false;
    }
    addRollback(RollbackData(RollbackData::DIR_CREATE, p));
    return true;
}
