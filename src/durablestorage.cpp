#include "durablestorage.h"

#include "nofollowfile.h"
#include "scopedfd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

DurableStorage::Probe g_probe;

// True when the test probe makes this call fail (errno is then set).
bool refused(DurableStorage::Call call, const char *name)
{
    if (!g_probe)
        return false;
    const int error = g_probe(call, QByteArray(name));
    if (error == 0)
        return false;
    errno = error;
    return true;
}

// Plain: to the drive (macOS: possibly only its cache); Ordered: before whatever is written
// after it; Full: on the medium.
enum class Depth { Plain, Ordered, Full };

int syncDescriptor(int fd, Depth depth, bool dataOnly)
{
    int result;
#ifdef __APPLE__
    (void)dataOnly;
    // fsync leaves the data in the drive's cache.  File systems that know neither command (some
    // network ones) get fsync.
    if (depth != Depth::Plain) {
        do
            result = ::fcntl(fd, depth == Depth::Full ? F_FULLFSYNC : F_BARRIERFSYNC);
        while (result != 0 && errno == EINTR);
        if (result == 0 || (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY))
            return result;
    }
    do
        result = ::fsync(fd);
    while (result != 0 && errno == EINTR);
#else
    (void)depth;
    do
        result = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    while (result != 0 && errno == EINTR);
#endif
    return result;
}

// Everything written to the file system of fd so far on stable storage.
int syncFileSystem(int fd)
{
    int result;
#ifdef __APPLE__
    // The entries were fsynced one by one; this empties the drive's cache once.
    result = syncDescriptor(fd, Depth::Full, false);
#else
    do
        result = ::syncfs(fd);
    while (result != 0 && errno == EINTR);
#endif
    return result;
}

} // namespace

bool DurableStorage::syncData(int fd, const char *name)
{
    return !refused(SyncData, name) && syncDescriptor(fd, Depth::Ordered, true) == 0;
}

void DurableStorage::startWriteBack(int fd)
{
#ifdef __linux__
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
}

void DurableStorage::startWriteBackAt(const QString &path)
{
    const ScopedFd fd(NoFollowFile::openForReading(path));
    if (fd.get() >= 0)
        startWriteBack(fd.get());
}

bool DurableStorage::syncDataAt(const QString &path)
{
    const ScopedFd fd(NoFollowFile::openForReading(path));
    struct stat st { };
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return false;
    // Only a regular file keeps data of its own.
    return !S_ISREG(st.st_mode) ||
        syncData(fd.get(), QFile::encodeName(QFileInfo(path).fileName()).constData());
}

bool DurableStorage::syncFolder(int dirFd, const char *name)
{
    // An O_PATH descriptor cannot be synced: the folder is opened for reading through it.
    const ScopedFd folder(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.get() >= 0 && !refused(SyncFolder, name) &&
        syncDescriptor(folder.get(), Depth::Full, false) == 0;
}

bool DurableStorage::syncEntries(const QStringList &paths)
{
    QMap<QString, QList<QByteArray>> byFolder;
    for (const QString &path : paths) {
        const QString clean = QDir::cleanPath(path);
        const int slash = clean.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            return false;
        const QString folder = slash == 0 ? QStringLiteral("/") : clean.left(slash);
        QList<QByteArray> &names = byFolder[folder];
        const QByteArray name = QFile::encodeName(clean.mid(slash + 1));
        if (!name.isEmpty() && !names.contains(name))
            names << name;
    }
    // One folder of each file system, kept open for its sync when the entries are many.
    const bool many = paths.size() >= kEntriesForFileSystemSync;
    QMap<dev_t, int> fileSystems;
    const auto closeAll = [&fileSystems] {
        for (const int fd : qAsConst(fileSystems))
            ::close(fd);
    };
    for (auto it = byFolder.constBegin(); it != byFolder.constEnd(); ++it) {
        const ScopedFd folder(NoFollowFile::openFolder(it.key()));
        if (folder.get() < 0) {
            closeAll();
            return false;
        }
#ifndef __APPLE__
        if (many) {
            struct stat st { };
            if (::fstat(folder.get(), &st) != 0) {
                closeAll();
                return false;
            }
            if (!fileSystems.contains(st.st_dev))
                fileSystems.insert(st.st_dev, ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            continue;
        }
#endif
        for (const QByteArray &name : it.value()) {
            const ScopedFd entry(::openat(folder.get(), name.constData(),
                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (entry.get() < 0) {
                // A link is an entry of its folder, synced with it; a name gone needs nothing.
                if (errno == ELOOP || errno == EMLINK || errno == ENOENT)
                    continue;
                closeAll();
                return false;
            }
            if (refused(SyncEntry, name.constData()) ||
                syncDescriptor(entry.get(), many ? Depth::Plain : Depth::Full, false) != 0) {
                closeAll();
                return false;
            }
        }
        const QByteArray folderName = QFile::encodeName(QFileInfo(it.key()).fileName());
#ifdef __APPLE__
        if (many) {
            struct stat st { };
            const int readable = ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (readable < 0 || ::fstat(readable, &st) != 0 || refused(SyncFolder, folderName.constData()) ||
                syncDescriptor(readable, Depth::Plain, false) != 0) {
                if (readable >= 0)
                    ::close(readable);
                closeAll();
                return false;
            }
            if (fileSystems.contains(st.st_dev))
                ::close(readable);
            else
                fileSystems.insert(st.st_dev, readable);
            continue;
        }
#endif
        if (!syncFolder(folder.get(), folderName.constData())) {
            closeAll();
            return false;
        }
    }
    bool synced = true;
    for (auto it = fileSystems.constBegin(); it != fileSystems.constEnd() && synced; ++it)
        synced = it.value() >= 0 && !refused(SyncFileSystem, QByteArray::number(quint64(it.key())).constData()) &&
            syncFileSystem(it.value()) == 0;
    closeAll();
    return synced;
}

bool DurableStorage::link(int dirFd, const char *name, const char *second)
{
    return !refused(Link, second) && ::linkat(dirFd, name, dirFd, second, 0) == 0;
}

bool DurableStorage::rename(int fromFd, const char *from, int toFd, const char *to)
{
    return !refused(Rename, to) && ::renameat(fromFd, from, toFd, to) == 0;
}

bool DurableStorage::remove(int dirFd, const char *name)
{
    return !refused(Remove, name) && ::unlinkat(dirFd, name, 0) == 0;
}

void DurableStorage::setProbeForTesting(const Probe &probe)
{
    g_probe = probe;
}
