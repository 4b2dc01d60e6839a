#include "bundleownership.h"

#include "nofollowfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Bundles are shallow; a deeper tree is refused rather than walked without bound.
const int kMaxDepth = 64;

bool trustedOwner(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

bool othersMayChange(const struct stat& st)
{
    if (!trustedOwner(st.st_uid))
        return true;
    if (S_ISLNK(st.st_mode))
        return false;
    // In a sticky folder others may add names but not replace or remove the owner's.
    const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky;
}

// The first entry below the folder open as fd (taken over) that others may change.
QString firstBelow(int fd, const QString& path, int depth)
{
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return path;
    }
    QString found;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        // The path is only made for what is reported or entered: most entries are plain files.
        const auto child = [&] { return path + QLatin1Char('/') + QFile::decodeName(name); };
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || othersMayChange(st)) {
            found = child();
            break;
        }
        if (!S_ISDIR(st.st_mode))
            continue;
        const int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        found = depth >= kMaxDepth || sub < 0 ? child() : firstBelow(sub, child(), depth + 1);
        if (!found.isEmpty())
            break;
    }
    closedir(dir);
    return found;
}
} // namespace

namespace {
// Trees found unchangeable by others in this process, by the path of their top folder and its
// device and inode (a folder made anew may get the number of one removed).
QMutex g_checkedMutex;
QSet<QString> g_checkedTrees;

QString identity(const QString& path, const struct stat& st)
{
    return QStringLiteral("%1:%2:").arg(quint64(st.st_dev)).arg(quint64(st.st_ino)) +
        QDir::cleanPath(path);
}
} // namespace

QString BundleOwnership::changeableByOthers(const QString& path, bool wholeTree)
{
    return check(path, wholeTree, false);
}

QString BundleOwnership::treeChangeableByOthers(const QString& path)
{
    return check(path, true, true);
}

QString BundleOwnership::check(const QString& path, bool wholeTree, bool once)
{
    // Walked as the file tasks walk it: ".." is the folder above the one reached, not a text
    // operation on the path.
    const QString absolute =
        path.startsWith(QLatin1Char('/')) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    QStringList names = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    names.removeAll(QStringLiteral("."));
    QString prefix;
    for (int i = 0; i <= names.size(); ++i) {
        if (i > 0)
            prefix += QLatin1Char('/') + names.at(i - 1);
        const QString folder = prefix.isEmpty() ? QStringLiteral("/") : prefix;
        const bool last = i == names.size();
        const int fd = NoFollowFile::openFolder(folder, last && wholeTree);
        if (fd < 0 && errno == ENOENT)
            return QString(); // what is missing below a safe folder only the user can make
        struct stat st;
        const bool ok = fd >= 0 && fstat(fd, &st) == 0 && !othersMayChange(st);
        if (!ok) {
            if (fd >= 0)
                close(fd);
            return QDir::cleanPath(folder);
        }
        if (last && wholeTree) {
            if (once) {
                const QMutexLocker lock(&g_checkedMutex);
                if (g_checkedTrees.contains(identity(absolute, st))) {
                    close(fd);
                    return QString();
                }
            }
            const QString found = QDir::cleanPath(firstBelow(fd, folder, 1));
            if (once && found.isEmpty()) {
                const QMutexLocker lock(&g_checkedMutex);
                g_checkedTrees.insert(identity(absolute, st));
            }
            return found;
        }
        close(fd);
    }
    return QString();
}

QString BundleOwnership::refusalText(const QString& bundle, const QString& entry)
{
    return QCoreApplication::translate("MainWindow",
        "The bundle %1 is writable by another user (%2). It should be updated by its owner.")
        .arg(QDir::toNativeSeparators(QDir::cleanPath(bundle)), QDir::toNativeSeparators(entry));
}
