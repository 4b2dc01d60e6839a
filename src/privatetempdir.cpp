#include "privatetempdir.h"

#include <QDebug>
#include <QDir>
#include <QFile>

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

} // namespace

QString PrivateTempDir::folderName()
{
    return QStringLiteral("voxtrel-") + QString::number(geteuid());
}

bool PrivateTempDir::setUp()
{
    if (!qEnvironmentVariableIsEmpty("TMPDIR"))
        return true;
    return setUpIn(QDir::tempPath());
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
