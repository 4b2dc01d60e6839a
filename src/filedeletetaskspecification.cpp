#include "filedeletetaskspecification.h"

#include "treeremover.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(
    bool failOnError, const QString& path, bool recursive, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_FailOnError(failOnError)
    , m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QFileInfo info(m_Path);
    bool ok;
    // A link is removed itself, never what it points at.
    if (!info.isDir() || info.isSymLink()) {
        ok = QFile::remove(m_Path);
        qDebug() << Q_FUNC_INFO << "Deleted file" << m_Path << ok;
    } else if (m_Recursive) {
        ok = TreeRemover::removeTree(m_Path);
        qDebug() << Q_FUNC_INFO << "Recursively deleted directory" << m_Path << ok;
    } else {
        // Only the folder itself: its parents may lie outside the installation.
        const QFileInfo folder(QDir::cleanPath(m_Path));
        ok = folder.dir().rmdir(folder.fileName());
        qDebug() << Q_FUNC_INFO << "Deleted directory" << m_Path << ok;
    }
    if (m_FailOnError && !ok) {
        emit message(tr("Could not delete '%1'").arg(m_Path));
        return false;
    }
    return true;
}
