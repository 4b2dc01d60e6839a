#include "privatetempdir.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// A real folder (not a link) of the user's own that nobody else can enter.
bool isPrivateFolder(const QByteArray &path)
{
    struct stat st {};
    if (lstat(path.constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700;
}

bool isOwnUnsharedFolder(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

QString PrivateTempDir::folderName()
{
    return QStringLiteral("voxtrel-") + QString::number(geteuid());
}

bool PrivateTempDir::setUp()
{
    // QDir::tempPath() resolves links anew at every call: TMPDIR is kept only when it names the
    // folder itself, so that nobody can point it elsewhere later.
    const QString temp = QDir::tempPath();
    const QString given = QFile::decodeName(qgetenv("TMPDIR"));
    if (!given.isEmpty() && isOwnFolder(given) && QDir::cleanPath(given) == temp)
        return true;
    return setUpIn(temp);
}

bool PrivateTempDir::isOwnFolder(const QString &path)
{
    struct stat st {};
    return !path.isEmpty() && lstat(QFile::encodeName(path).constData(), &st) == 0 && isOwnUnsharedFolder(st);
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
    const QString path = QDir::cleanPath(base + QLatin1Char('/') + folderName());
    const QByteArray native = QFile::encodeName(path);
    if (mkdir(native.constData(), 0700) == 0) {
        // The umask may have taken bits away; the folder is ours, so set them exactly.
        if (chmod(native.constData(), 0700) != 0)
            return false;
    } else if (errno != EEXIST) {
        qDebug() << "Cannot create private temp folder" << path;
        return false;
    }
    if (!isPrivateFolder(native)) {
        qDebug() << "Refusing temp folder" << path << "(not a private folder of this user)";
        return false;
    }
    return qputenv("TMPDIR", native);
}
