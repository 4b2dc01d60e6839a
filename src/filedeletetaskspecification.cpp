#include "filedeletetaskspecification.h"

#include "nofollowfile.h"
#include "treeremover.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(
    bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_FailOnError(failOnError)
    , m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    // Reached by descriptor: a folder on the way that is a link someone else made is not entered,
    // and a link is removed itself, never what it points at.
    struct stat st;
    const bool exists = NoFollowFile::status(m_Path, &st);
    bool ok;
    if (!exists || !S_ISDIR(st.st_mode)) {
        ok = exists && NoFollowFile::remove(m_Path);
        qDebug() << Q_FUNC_INFO << "Deleted file" << m_Path << ok;
    } else if (m_Recursive) {
        ok = TreeRemover::removeTree(m_Path);
        qDebug() << Q_FUNC_INFO << "Recursively deleted directory" << m_Path << ok;
    } else {
        // Only the folder itself: its parents may lie outside the installation.
        ok = NoFollowFile::removeFolder(QDir::cleanPath(m_Path));
        qDebug() << Q_FUNC_INFO << "Deleted directory" << m_Path << ok;
    }
    if (m_FailOnError && !ok) {
        emit message(tr("Could not delete '%1'").arg(m_Path));
        return false;
    }
    return true;
}
