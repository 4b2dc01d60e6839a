#include "fileinstalltaskspecification.h"

#include "rollbackdatalist.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString FileInstallTaskSpecification::kNewSuffix = QStringLiteral("._vxnew_");
const QString FileInstallTaskSpecification::kAsideSuffix = QStringLiteral("._vxold_");

FileInstallTaskSpecification::FileInstallTaskSpecification(const QString& newFile,
    const QString& installed, RollbackDataList* rollbackList, QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(installed, rollbackList, parent, weight)
    , m_NewFile(newFile)
{
}

namespace {
// Gives the new file the owner, the group and every mode bit of the installed file, set-id bits
// included.  Owner and group go over where the system lets them (as root, or a group of the
// user's); a set-id bit stays only with the owner or group it was set for.  Links are never
// followed.
void carryOwnerAndMode(const QString& newFile, const struct stat& original)
{
    const int fd = open(QFile::encodeName(newFile).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat now;
    if (fstat(fd, &now) == 0 && S_ISREG(now.st_mode)) {
        mode_t mode = original.st_mode & 07777;
        if (now.st_uid != original.st_uid || now.st_gid != original.st_gid) {
            if (fchown(fd, original.st_uid, original.st_gid) != 0)
                (void)fchown(fd, uid_t(-1), original.st_gid);
            if (fstat(fd, &now) != 0)
                mode &= ~mode_t(S_ISUID | S_ISGID);
        }
        if (now.st_uid != original.st_uid)
            mode &= ~mode_t(S_ISUID);
        if (now.st_gid != original.st_gid)
            mode &= ~mode_t(S_ISGID);
        fchmod(fd, mode);
    }
    close(fd);
}
} // namespace

bool FileInstallTaskSpecification::doOp()
{
    struct stat installed;
    if (lstat(QFile::encodeName(m_Path).constData(), &installed) == 0) {
        const QString aside = m_Path + kAsideSuffix;
        const QFileInfo asideInfo(aside);
        if (asideInfo.exists() || asideInfo.isSymLink()) {
            // Made by an earlier install of this run (one file listed twice) or kept because an
            // interrupted run could not be undone: either way it may be the only copy of the
            // original, which a rollback has to put back.
            emit message(tr("Could not move '%1' aside: '%2' already exists").arg(m_Path, aside));
            return false;
        }
        if (!S_ISLNK(installed.st_mode))
            carryOwnerAndMode(m_NewFile, installed);
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
