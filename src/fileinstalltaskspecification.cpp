#include "fileinstalltaskspecification.h"

#include "durablestorage.h"
#include "nofollowfile.h"
#include "rollbackdatalist.h"
#include "scopedfd.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
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
bool carryOwnerAndMode(int fd, const struct stat& original)
{
    struct stat now;
    if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode))
        return false;
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
    return fchmod(fd, mode) == 0;
}

// Owner and mode of the new file (name in folder), set on its descriptor while it still has its
// temporary name.
bool prepareNewFile(int folder, const char* name, const struct stat* installed, bool executable)
{
    const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && installed)
        ok = carryOwnerAndMode(fd, *installed);
    if (ok && executable)
        ok = fchmod(fd, 0755) == 0;
    close(fd);
    return ok;
}

QString folderOf(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
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

// What a walk did: entries restored or removed, and whether everything it found was dealt with.
struct WalkResult {
    int done = 0;
    bool complete = true;
};

enum class Leftovers { Restore, Remove };

// One folder (fd, named name) of the walk and those below it.
void walkIn(int fd, const char* folderName, int depth, Leftovers what, WalkResult* result)
{
    const QByteArray newMarker = QFile::encodeName(FileInstallTaskSpecification::kNewSuffix);
    const QByteArray asideMarker = QFile::encodeName(FileInstallTaskSpecification::kAsideSuffix);
    bool changed = false;
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
                walkIn(sub, name.constData(), depth + 1, what, result);
                close(sub);
            }
        } else if (name.endsWith(asideMarker)) {
            asides << name;
        } else if (name.contains(newMarker)) {
            // New files carry the marker in their name, and so do the decoders' partial outputs
            // beside them (".<name>._vxnew_.<n>.part", "<name>._vxnew_.<random>").
            if (DurableStorage::remove(fd, name.constData()))
                changed = true;
            else
                result->complete = false;
        }
    }
    for (const QByteArray& aside : qAsConst(asides)) {
        bool ok;
        bool counted = true; // a file put back, or an original removed
        if (what == Leftovers::Remove) {
            // The replacement was committed: the original is never put back.
            ok = DurableStorage::remove(fd, aside.constData());
        } else {
            const QByteArray installed = aside.left(aside.size() - asideMarker.size());
            struct stat kept;
            struct stat st;
            if (fstatat(fd, installed.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                ok = DurableStorage::rename(fd, aside.constData(), fd, installed.constData());
            } else if (S_ISDIR(st.st_mode)) {
                result->complete = false;
                continue;
            } else if (fstatat(fd, aside.constData(), &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
                kept.st_dev == st.st_dev && kept.st_ino == st.st_ino) {
                // Cut short before the new file took the name: the original still has it.
                ok = DurableStorage::remove(fd, aside.constData());
                counted = false;
            } else {
                // Renamed over the new file: the name is never missing.
                ok = DurableStorage::rename(fd, aside.constData(), fd, installed.constData());
            }
        }
        if (ok) {
            changed = true;
            if (counted)
                ++result->done;
        } else {
            result->complete = false;
        }
    }
    // What was put back or removed stays so after a power loss.
    if (changed && !DurableStorage::syncFolder(fd, folderName))
        result->complete = false;
}

WalkResult walk(const QString& dir, Leftovers what)
{
    WalkResult result;
    const int fd = NoFollowFile::openFolder(dir);
    if (fd < 0) {
        result.complete = errno == ENOENT;
        return result;
    }
    walkIn(fd, QFile::encodeName(QFileInfo(dir).fileName()).constData(), 1, what, &result);
    close(fd);
    return result;
}
} // namespace

bool FileInstallTaskSpecification::doOp()
{
    // Every call of the install is made in the folder reached once, by descriptor.
    QByteArray name;
    const ScopedFd folder(NoFollowFile::openParent(m_Path, &name));
    QByteArray newName;
    ScopedFd otherFolder;
    int newFolder = folder.get();
    if (folderOf(m_NewFile) == folderOf(m_Path)) {
        newName = QFile::encodeName(m_NewFile.mid(m_NewFile.lastIndexOf(QLatin1Char('/')) + 1));
    } else {
        otherFolder.reset(NoFollowFile::openParent(m_NewFile, &newName));
        newFolder = otherFolder.get();
    }
    const QString failed = tr("Could not rename '%1' to '%2'").arg(m_NewFile, m_Path);
    if (folder.get() < 0 || newFolder < 0) {
        emit message(failed);
        return false;
    }
    struct stat installed;
    const bool exists = fstatat(folder.get(), name.constData(), &installed, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) {
        emit message(failed);
        return false;
    }
    const QString aside = m_Path + kAsideSuffix;
    const QByteArray asideName = name + QFile::encodeName(kAsideSuffix);
    if (exists) {
        struct stat st;
        if (fstatat(folder.get(), asideName.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            // Made by an earlier install of this run (one file listed twice) or kept because an
            // interrupted run could not be undone: either way it may be the only copy of the
            // original, which a rollback has to put back.
            emit message(tr("Could not move '%1' aside: '%2' already exists").arg(m_Path, aside));
            return false;
        }
    }
    const bool carry = exists && S_ISREG(installed.st_mode);
    if (!prepareNewFile(newFolder, newName.constData(), carry ? &installed : nullptr,
            m_MakeExecutable)) {
        emit message(failed);
        return false;
    }
    const bool folderInstalled = exists && S_ISDIR(installed.st_mode);
    if (folderInstalled) {
        // A folder has no second name: it is moved aside, and its name is free until the new
        // file takes it.
        if (!DurableStorage::rename(folder.get(), name.constData(), folder.get(), asideName.constData())) {
            emit message(tr("Could not rename '%1' to '%2'").arg(m_Path, aside));
            return false;
        }
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Path, aside));
    } else if (exists) {
        // The original keeps its name while it gets the second one; the new file then takes the
        // name over in one step.  Undone, the second name is renamed back over the name.
        if (!DurableStorage::link(folder.get(), name.constData(), asideName.constData())) {
            emit message(tr("Could not link '%1' to '%2'").arg(m_Path, aside));
            return false;
        }
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Path, aside));
    }
    if (!DurableStorage::rename(newFolder, newName.constData(), folder.get(), name.constData())) {
        // The original still has its name: its second one goes at once (or with the rollback).
        if (exists && !folderInstalled &&
            DurableStorage::remove(folder.get(), asideName.constData()) && m_RollbackList &&
            !m_RollbackList->isEmpty() && m_RollbackList->last().m_Path == aside)
            m_RollbackList->removeLast();
        emit message(failed);
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
    // A replaced file is undone by its kept original alone, which takes the name back.
    if (!exists || folderInstalled)
        addRollback(RollbackData(RollbackData::FILE_CREATE, m_Path));
    return true;
}

int FileInstallTaskSpecification::restoreInterrupted(const QString& dir)
{
    return walk(dir, Leftovers::Restore).done;
}

bool FileInstallTaskSpecification::removeLeftovers(const QString& dir, int* removed)
{
    const WalkResult result = walk(dir, Leftovers::Remove);
    if (removed)
        *removed = result.done;
    return result.complete;
}
