#include "privatetempdir.h"

#include "bundleownership.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

bool isOwnUnsharedFolder(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens the folder at path without following a link; -1 when it is none.
int openFolder(const QByteArray &path, struct stat *st)
{
    const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, st) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Takes the folder at path when it is the user's own and nobody else could have put anything
// in it; its mode is then set to exactly 0700 (through the open folder, so that nothing swapped
// in under the name meanwhile is changed).  `exactMode`: take it only when it is 0700 already.
bool takeOwnFolder(const QByteArray &path, bool exactMode)
{
    struct stat st {};
    const int fd = openFolder(path, &st);
    if (fd < 0)
        return false;
    bool taken = isOwnUnsharedFolder(st);
    if (taken && (st.st_mode & 07777) != 0700)
        taken = !exactMode && fchmod(fd, 0700) == 0;
    close(fd);
    return taken;
}

// A private folder beside the one another user holds: one made earlier for this (so that the
// banner cache and interrupted sessions are found again), else a fresh one of a unique name.
QByteArray uniqueFolderIn(const QString &holder)
{
    const QString prefix = PrivateTempDir::folderName() + QLatin1Char('-');
    const QStringList earlier = QDir(holder).entryList(QStringList(prefix + QLatin1Char('*')),
        QDir::Dirs | QDir::NoSymLinks | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : earlier) {
        const QByteArray path = QFile::encodeName(holder + QLatin1Char('/') + name);
        if (takeOwnFolder(path, true))
            return path;
    }
    QByteArray pattern = QFile::encodeName(holder + QLatin1Char('/') + prefix) + "XXXXXX";
    if (!mkdtemp(pattern.data()))
        return QByteArray();
    // Made with 0700 less the umask: the owner's own bits are set whatever the umask says.
    return takeOwnFolder(pattern, false) ? pattern : QByteArray();
}

} // namespace

QString PrivateTempDir::folderName()
{
    return QStringLiteral("voxtrel-") + QString::number(geteuid());
}

bool PrivateTempDir::setUp()
{
    // QDir::tempPath() resolves links anew at every call: TMPDIR is kept only when it names the
    // folder itself, so that nobody can point it elsewhere later.  It is empty when TMPDIR names
    // nothing; no folder is ever made from an empty path.
    const QString temp = QDir::tempPath();
    const QString given = QFile::decodeName(qgetenv("TMPDIR"));
    if (!given.isEmpty() && QDir::cleanPath(given) == temp && isOwnFolder(temp) &&
        isSafePlace(temp))
        return true;
    return setUpIn(temp);
}

bool PrivateTempDir::isOwnFolder(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && lstat(QFile::encodeName(path).constData(), &st) == 0 &&
        isOwnUnsharedFolder(st);
}

bool PrivateTempDir::isSafePlace(const QString &path)
{
    // The rule that holds a bundle run as root: every folder from "/" down is the user's or
    // root's, and nobody else can write to it unless it is sticky.
    struct stat st {};
    return QDir::isAbsolutePath(path) && lstat(QFile::encodeName(path).constData(), &st) == 0 &&
        S_ISDIR(st.st_mode) && BundleOwnership::changeableByOthers(path, false).isEmpty();
}

bool PrivateTempDir::isPrivateSessionFolder(const QString &path)
{
    if (!isOwnFolder(path))
        return false;
    // The holder is looked at through links (a temp path may well lead through one); what
    // counts is that nobody else can rename or replace entries in it.
    const QString holder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    struct stat st {};
    if (holder.isEmpty() || stat(QFile::encodeName(holder).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0)
        && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool PrivateTempDir::setUpIn(const QString &base)
{
    const QString holder = base.isEmpty() ? QString() : QFileInfo(base).canonicalFilePath();
    if (holder.isEmpty() || !isSafePlace(holder)) {
        qDebug() << "Refusing temp folder" << base << "(missing, or others could replace it)";
        return false;
    }
    QByteArray native =
        QFile::encodeName(QDir::cleanPath(holder + QLatin1Char('/') + folderName()));
    // Made here or already there: either way it is taken only when it is the user's alone.
    if (mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        qDebug() << "Cannot create private temp folder" << native;
        return false;
    }
    if (!takeOwnFolder(native, false)) {
        qDebug() << "Temp folder" << native << "is not a private folder of this user";
        native = uniqueFolderIn(holder);
        if (native.isEmpty())
            return false;
    }
    return qputenv("TMPDIR", native);
}
