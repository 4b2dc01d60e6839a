#include "fileinstalltaskspecification.h"

#include "nofollowfile.h"
#include "rollbackdatalist.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
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
// Gives the new file (open as fd) the owner, the group and every mode bit of the installed
// file, set-id bits included.  Owner and group go over where the system lets them (as root, or
// a group of the user's); a set-id bit stays only with the owner or group it was set for.
void carryOwnerAndMode(int fd, const struct stat& original)
{
    struct stat now;
    if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode))
        return;
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

// Owner and mode of the new file, set on its descriptor while it still has its temporary name.
bool prepareNewFile(const QString& newFile, const struct stat* installed, bool executable)
{
    QByteArray name;
    const int folder = NoFollowFile::openParent(newFile, &name);
    if (folder < 0)
        return false;
    const int fd = openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    close(folder);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && installed)
        carryOwnerAndMode(fd, *installed);
    if (ok && executable)
        fchmod(fd, 0755);
    close(fd);
    return ok;
}

// Below: the start-up restore, one folder at a time, each open while it is worked on.
const int kMaxRestoreDepth = 128;

QList<QByteArray> entryNames(int fd)
{
    QList<QByteArray> names;
    const int listed = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0)
            close(listed);
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    closedir(dir);
    return names;
}

int restoreIn(int fd, int depth)
{
    const QByteArray newMarker = QFile::encodeName(FileInstallTaskSpecification::kNewSuffix);
    const QByteArray asideMarker = QFile::encodeName(FileInstallTaskSpecification::kAsideSuffix);
    int restored = 0;
    QList<QByteArray> asides;
    for (const QByteArray& name : entryNames(fd)) {
        struct stat st;
        if (fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth >= kMaxRestoreDepth)
                continue;
            const int sub =
                openat(fd, name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                restored += restoreIn(sub, depth + 1);
                close(sub);
            }
        } else if (name.endsWith(asideMarker)) {
            asides << name;
        } else if (name.contains(newMarker)) {
            // New files carry the marker in their name, and so do the decoders' partial outputs
            // beside them (".<name>._vxnew_.<n>.part", "<name>._vxnew_.<random>").
            unlinkat(fd, name.constData(), 0);
        }
    }
    for (const QByteArray& aside : qAsConst(asides)) {
        const QByteArray installed = aside.left(aside.size() - asideMarker.size());
        struct stat st;
        if (fstatat(fd, installed.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISDIR(st.st_mode) || unlinkat(fd, installed.constData(), 0) != 0))
            continue;
        if (renameat(fd, aside.constData(), fd, installed.constData()) == 0)
            ++restored;
    }
    return restored;
}
} // namespace

bool FileInstallTaskSpecification::doOp()
{
    struct stat installed;
    const bool exists = NoFollowFile::status(m_Path, &installed);
    const QString aside = m_Path + kAsideSuffix;
    if (exists) {
        struct stat st;
        if (NoFollowFile::status(aside, &st)) {
            // Made by an earlier install of this run (one file listed twice) or kept because an
            // interrupted run could not be undone: either way it may be the only copy of the
            // original, which a rollback has to put back.
            emit message(tr("Could not move '%1' aside: '%2' already exists").arg(m_Path, aside));
            return false;
        }
    }
    const bool carry = exists && !S_ISLNK(installed.st_mode);
    if (!prepareNewFile(m_NewFile, carry ? &installed : nullptr, m_MakeExecutable)) {
        emit message(tr("Could not rename '%1' to '%2'").arg(m_NewFile, m_Path));
        return false;
    }
    if (exists) {
        if (!NoFollowFile::rename(m_Path, aside)) {
            emit message(tr("Could not rename '%1' to '%2'").arg(m_Path, aside));
            return false;
        }
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Path, aside));
    }
    if (!NoFollowFile::rename(m_NewFile, m_Path)) {
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
    const int fd = NoFollowFile::openFolder(dir);
    if (fd < 0)
        return 0;
    const int restored = restoreIn(fd, 1);
    close(fd);
    return restored;
}
