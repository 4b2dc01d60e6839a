#include "filerenametaskspecification.h"

#include "nofollowfile.h"
#include "rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& source,
                                                         const QString& newName,
                                                         RollbackDataList* rollbackList,
                                                         QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(newName, rollbackList, parent, weight)
    , m_Source(source)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString folder = QFileInfo(m_Path).path();
    struct stat st;
    if (!NoFollowFile::status(folder, &st))
        NoFollowFile::makeFolder(folder);
    const bool ok = NoFollowFile::rename(m_Source, m_Path);
    if (ok)
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Source, m_Path));
    else
        emit message(tr("Could not rename '%1' to '%2'").arg(m_Source, m_Path));
    return ok;
}
