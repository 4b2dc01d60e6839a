#include "fileinstalltaskspecification.h"

#include "rollbackdatalist.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

const QString FileInstallTaskSpecification::kNewSuffix = QStringLiteral("._vxnew_");
const QString FileInstallTaskSpecification::kAsideSuffix = QStringLiteral("._vxold_");

FileInstallTaskSpecification::FileInstallTaskSpecification(const QString& newFile,
                                                           const QString& installed,
                                                           RollbackDataList* rollbackList,
                                                           QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(installed, rollbackList, parent, weight)
    , m_NewFile(newFile)
{
}

bool FileInstallTaskSpecification::doOp()
{
    const QFileInfo installed(m_Path);
    if (installed.exists() || installed.isSymLink()) {
        const QString aside = m_Path + kAsideSuffix;
        QFile::remove(aside); // left by an interrupted run
        if (!installed.isSymLink())
            QFile::setPermissions(m_NewFile, QFile::permissions(m_Path));
        if (!QFile::rename(m_Path, aside)) {
            emit message(tr("Could not rename '%1' to '%2'").arg(m_Path, aside));
            return false;
        }
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Path, aside));
    }
    if (!QFile::rename(m_NewFile, m_Path)) {
        emit message(tr("Could not rename '%1' to '%2'").arg(m_NewFile, m_Path));
        return false;
    }
    qDebug() << Q_FUNC_INFO << "Installed" << m_NewFile << "as" << m_Path;
    if (m_RollbackList) {
        for (int i = m_RollbackList->size() - 1; i >= 0; --i) {
            const RollbackData& r = m_RollbackList->at(i);
            if (r.m_Op == RollbackData::FILE_CREATE && r.m_Path == m_NewFile) {
                m_RollbackList->removeAt(i);
                break;
            }
        }
    }
    addRollback(RollbackData(RollbackData::FILE_CREATE, m_Path));
    return true;
}

int FileInstallTaskSpecification::restoreInterrupted(const QString& dir)
{
    QStringList leftovers;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        // New files carry the marker in their name, and so do the decoders' partial outputs
        // beside them (".<name>._vxnew_.<n>.part", "<name>._vxnew_.<random>").
        if (it.fileName().contains(kNewSuffix) || path.endsWith(kAsideSuffix))
            leftovers << path;
    }
    int restored = 0;
    for (const QString& path : qAsConst(leftovers)) {
        if (!path.endsWith(kAsideSuffix)) {
            QFile::remove(path);
            continue;
        }
        const QString installed = path.left(path.size() - kAsideSuffix.size());
        const QFileInfo info(installed);
        if ((info.exists() || info.isSymLink()) && !QFile::remove(installed))
            continue;
        if (QFile::rename(path, installed))
            ++restored;
    }
    return restored;
}
