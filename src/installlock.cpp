#include "installlock.h"

#include "nofollowfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The descriptor the previous step handed over, until acquire takes or drops it.
int s_HandedOverFd = -1;

// Lock files replaced between open and flock (by a holder ending its session) are opened anew;
// more rounds than this mean something keeps replacing it.
constexpr int kOpenRounds = 8;

bool isOwnPlainFile(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void setCloseOnExec(int fd, bool on)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, on ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC));
}

bool lockNow(int fd)
{
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// True when the descriptor and the path name the same plain file of the user's own.
bool descriptorNames(int fd, const QString &path)
{
    struct stat byFd {};
    struct stat byName {};
    return fstat(fd, &byFd) == 0 && isOwnPlainFile(byFd)
        && lstat(QFile::encodeName(path).constData(), &byName) == 0 && sameFile(byFd, byName);
}

} // namespace

InstallLock::~InstallLock()
{
    release();
}

const char *InstallLock::environmentVariable()
{
    return "VX3_UPDATE_LOCK_FD";
}

QString InstallLock::lockPath(const QString &installDir)
{
    // The installation is the folder itself, however it is reached: through links, "..", or a
    // bind mount of a folder above it.  It is reached as every folder the updater works in,
    // following only links of the user's own or root's.
    const int fd = NoFollowFile::openFolder(installDir);
    if (fd < 0)
        return QString();
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    ::close(fd);
    if (!known)
        return QString();
    return QDir::tempPath() + QStringLiteral("/voxtrel_update_")
        + QString::number(quint64(st.st_dev), 16) + QLatin1Char('_')
        + QString::number(quint64(st.st_ino), 16) + QStringLiteral(".lock");
}

void InstallLock::takeHandedOver()
{
    const QByteArray name = qgetenv(environmentVariable());
    if (name.isNull())
        return;
    // Not passed on to anything this program starts, whatever it names.
    qunsetenv(environmentVariable());
    bool ok = false;
    const int fd = name.toInt(&ok, 10);
    struct stat st {};
    // The standard streams are never taken, whatever the variable says.
    if (!ok || fd <= STDERR_FILENO || fcntl(fd, F_GETFD) < 0 || fstat(fd, &st) != 0
        || !isOwnPlainFile(st))
        return;
    setCloseOnExec(fd, true);
    if (s_HandedOverFd >= 0 && s_HandedOverFd != fd)
        ::close(s_HandedOverFd);
    s_HandedOverFd = fd;
}

InstallLock::Result InstallLock::acquire(const QString &installDir)
{
    const QString path = lockPath(installDir);
    if (isHeld() && path == m_Path)
        return Acquired;
    release();
    m_Path = path;
    if (path.isEmpty())
        return Failed; // the installation's folder cannot be reached

    if (s_HandedOverFd >= 0) {
        const int fd = s_HandedOverFd;
        s_HandedOverFd = -1;
        // The previous step still holds this very lock (the same open file), so taking it
        // succeeds at once; a descriptor for another file is dropped.
        if (descriptorNames(fd, path) && lockNow(fd)) {
            m_Fd = fd;
            m_Held = true;
            return Acquired;
        }
        // A lock of another name (a previous step that named its lock otherwise) is let go
        // only once this one is settled, so that the installation is not free in between.
        const Result result = open(path);
        ::close(fd);
        return result;
    }
    return open(path);
}

InstallLock::Result InstallLock::open(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    for (int round = 0; round < kOpenRounds; ++round) {
        const int fd = ::open(
            native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd < 0)
            return Failed;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !isOwnPlainFile(st) || st.st_nlink != 1) {
            ::close(fd);
            return Failed;
        }
        m_Fd = fd;
        if (!lockNow(fd)) {
            if (errno != EWOULDBLOCK) {
                release();
                return Failed;
            }
            // Kept open, so that retry() can see when the holder lets go.
            return Busy;
        }
        if (holdIfStillNamed())
            return Acquired;
    }
    return Failed;
}

bool InstallLock::holdIfStillNamed()
{
    if (stillNamesLockFile()) {
        m_Held = true;
        return true;
    }
    // The holder ended its session and removed the file after we had opened it.
    ::close(m_Fd);
    m_Fd = -1;
    return false;
}

bool InstallLock::stillNamesLockFile() const
{
    return m_Fd >= 0 && descriptorNames(m_Fd, m_Path);
}

InstallLock::Result InstallLock::retry()
{
    if (isHeld())
        return Acquired;
    if (m_Fd < 0)
        return open(m_Path);
    if (!lockNow(m_Fd))
        return errno == EWOULDBLOCK ? Busy : Failed;
    return holdIfStillNamed() ? Acquired : open(m_Path);
}

void InstallLock::lendToNextProgram()
{
    if (!isHeld())
        return;
    setCloseOnExec(m_Fd, false);
    qputenv(environmentVariable(), QByteArray::number(m_Fd));
}

void InstallLock::endLending(bool started)
{
    qunsetenv(environmentVariable());
    if (m_Fd < 0)
        return;
    setCloseOnExec(m_Fd, true);
    if (started && m_Held)
        m_HandedOver = true;
}

void InstallLock::release()
{
    if (m_Fd < 0)
        return;
    // The file goes with the session's end; the next program holds it after a hand-over.
    if (m_Held && !m_HandedOver && stillNamesLockFile())
        ::unlink(QFile::encodeName(m_Path).constData());
    ::close(m_Fd);
    m_Fd = -1;
    m_Held = false;
    m_HandedOver = false;
}
