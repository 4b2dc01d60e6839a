#include "treeremover.h"

#include <QFile>

#include <cerrno>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Every level holds one open folder; deeper trees are not made by an update.
const int kMaxDepth = 128;

bool isGone(int result)
{
    return result == 0 || errno == ENOENT;
}

// Removes every entry of the folder open as dirFd (the descriptor is taken over and closed).
// Folders are entered only through descriptors opened without following links and only on the
// same device, so a link or a mount point swapped in meanwhile is never entered.
bool removeEntries(int dirFd, dev_t device, int depth)
{
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    // The names are read first: removing entries while reading a folder may skip some.
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    bool ok = errno == 0;
    const int fd = dirfd(dir);
    for (const std::string& name : names) {
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = ok && errno == ENOENT;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            ok = isGone(unlinkat(fd, name.c_str(), 0)) && ok;
            continue;
        }
        if (depth >= kMaxDepth || st.st_dev != device) {
            ok = false;
            continue;
        }
        const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            ok = false;
            continue;
        }
        if (removeEntries(sub, device, depth + 1))
            ok = isGone(unlinkat(fd, name.c_str(), AT_REMOVEDIR)) && ok;
        else
            ok = false;
    }
    closedir(dir);
    return ok;
}

// Opens the folder at path when it is one (not a link to one); -1 otherwise, with its status.
int openFolder(const QByteArray& path, struct stat* st)
{
    const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, st) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
} // namespace

bool TreeRemover::removeTree(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (lstat(native.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return isGone(unlink(native.constData()));
    const int fd = openFolder(native, &st);
    if (fd < 0)
        return false;
    return removeEntries(fd, st.st_dev, 1) && isGone(rmdir(native.constData()));
}

bool TreeRemover::removeContents(const QString& path)
{
    struct stat st;
    const int fd = openFolder(QFile::encodeName(path), &st);
    return fd >= 0 && removeEntries(fd, st.st_dev, 1);
}
