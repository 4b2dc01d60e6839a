#include "dircreatetaskspecification.h"

#include "rollback.h"

#include <QDir>
#include <QFileInfo>

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
    const QFileInfo info(p);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(tr("Could not create dir '%1' because it already exists and is not a dir").arg(p));
        return false;
    }
    QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || QDir(p).isRoot()) {
        emit message(tr("Could not create dir %1").arg(m_Path));
        return false;
    }
    if (!parent.exists() && !createDir(parent.path()))
        return false;
    if (!parent.mkdir(QDir(p).dirName())) {
        emit message(tr("unable to create dir %1").arg(p));
        return false;
    }
    addRollback(RollbackData(RollbackData::DIR_CREATE, p));
    return true;
}
