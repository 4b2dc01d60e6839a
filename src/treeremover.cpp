#include "treeremover.h"

#include "nofollowfile.h"

#include <QFile>

#include <cerrno>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
// Every level holds one open folder; deeper trees are not made by an update.
const int kMaxDepth = 128;

bool isGone(int result)
{
    return result == 0 || errno == ENOENT;
}

// Where a folder lies: its device and the mount it belongs to.  Two mounts of one file system
// (a bind mount) share the device but not the mount id.
struct Place {
    dev_t device = 0;
    quint64 mount = 0;
    bool operator==(const Place& other) const
    {
        return device == other.device && mount == other.mount;
    }
};

bool placeOf(int fd, const char* name, Place* place)
{
    struct statx sx;
    if (statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH, STATX_TYPE | STATX_MNT_ID, &sx) != 0)
        return false;
    place->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    // Without mount ids (older kernels) only the device is compared.
    place->mount = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : 0;
    return true;
}

class Removal {
public:
    explicit Removal(QStringList* failed)
        : m_failed(failed)
    {
    }

    bool note(bool ok, const QByteArray& path)
    {
        if (!ok && m_failed)
            m_failed->append(QFile::decodeName(path));
        return ok;
    }

    // Removes every entry of the folder open as dirFd (the descriptor is taken over and closed).
    // Folders are entered only through descriptors opened without following links and only in
    // the same mount, so a link or a mount point swapped in meanwhile is never entered.
    bool removeEntries(int dirFd, const Place& place, int depth, const QByteArray& path)
    {
        DIR* dir = fdopendir(dirFd);
        if (!dir) {
            close(dirFd);
            return note(false, path);
        }
        // The names are read first: removing entries while reading a folder may skip some.
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        bool ok = note(errno == 0, path);
        const int fd = dirfd(dir);
        for (const std::string& name : names) {
            const QByteArray entryPath = path + '/' + name.c_str();
            struct stat st;
            if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                ok = note(errno == ENOENT, entryPath) && ok;
                continue;
            }
            if (!S_ISDIR(st.st_mode)) {
                ok = note(isGone(unlinkat(fd, name.c_str(), 0)), entryPath) && ok;
                continue;
            }
            Place sub;
            if (depth >= kMaxDepth || !placeOf(fd, name.c_str(), &sub) || !(sub == place)) {
                ok = note(false, entryPath);
                continue;
            }
            const int subFd =
                openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            Place opened;
            if (subFd >= 0 && (!placeOf(subFd, "", &opened) || !(opened == place))) {
                // Swapped for a mount point between the look and the open.
                close(subFd);
                ok = note(false, entryPath);
                continue;
            }
            if (subFd < 0) {
                ok = note(false, entryPath);
                continue;
            }
            if (removeEntries(subFd, place, depth + 1, entryPath))
                ok = note(isGone(unlinkat(fd, name.c_str(), AT_REMOVEDIR)), entryPath) && ok;
            else
                ok = false;
        }
        closedir(dir);
        return ok;
    }

private:
    QStringList* m_failed;
};
} // namespace

bool TreeRemover::removeTree(const QString& path, QStringList* failed)
{
    Removal removal(failed);
    const QByteArray native = QFile::encodeName(path);
    QByteArray name;
    const int parent = NoFollowFile::openParent(path, &name);
    if (parent < 0)
        return removal.note(errno == ENOENT, native);
    struct stat st;
    bool ok;
    if (fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        ok = errno == ENOENT;
    } else if (!S_ISDIR(st.st_mode)) {
        ok = isGone(unlinkat(parent, name.constData(), 0));
    } else {
        const int fd =
            openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        Place place;
        if (fd >= 0 && placeOf(fd, "", &place)) {
            ok = removal.removeEntries(fd, place, 1, native) &&
                isGone(unlinkat(parent, name.constData(), AT_REMOVEDIR));
        } else {
            if (fd >= 0)
                close(fd);
            ok = false;
        }
    }
    close(parent);
    return removal.note(ok, native);
}

bool TreeRemover::removeContents(const QString& path, QStringList* failed)
{
    Removal removal(failed);
    const QByteArray native = QFile::encodeName(path);
    QByteArray name;
    const int parent = NoFollowFile::openParent(path, &name);
    if (parent < 0)
        return removal.note(false, native);
    const int fd =
        openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(parent);
    Place place;
    if (fd < 0 || !placeOf(fd, "", &place)) {
        if (fd >= 0)
            close(fd);
        return removal.note(false, native);
    }
    return removal.removeEntries(fd, place, 1, native);
}
