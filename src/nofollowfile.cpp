#include "nofollowfile.h"

#include "durablestorage.h"
#include "folderwalk.h"
#include "scopedfd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

} // namespace

bool NoFollowFile::writeAll(int fd, const char *data, size_t length)
{
    while (length != 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}

namespace {

// Copies everything readable from in to out.
bool copyAll(int in, int out)
{
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), kCopyChunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!NoFollowFile::writeAll(out, buffer.data(), size_t(got)))
            return false;
    }
}

// The folder holding path's last name, reached by descriptor.
class Parent {
public:
    explicit Parent(const QString &path)
        : m_fd(NoFollowFile::openParent(path, &m_name))
    {
    }
    bool valid() const { return m_fd.valid(); }
    int fd() const { return m_fd.get(); }
    const char *name() const { return m_name.constData(); }

private:
    QByteArray m_name;
    ScopedFd m_fd;
};

// An exclusively created file beside the final name; removed again unless committed.
class FreshFile {
public:
    explicit FreshFile(const QString &path)
        : m_parent(path)
        , m_folderName(QFile::encodeName(QFileInfo(path).dir().dirName()))
    {
    }
    ~FreshFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temp.isEmpty())
            ::unlinkat(m_parent.fd(), m_temp.constData(), 0);
    }

    bool open(mode_t mode)
    {
        if (!m_parent.valid())
            return false;
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            m_temp = '.' + QByteArray(m_parent.name()) + '.' +
                QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(attempt) +
                ".part";
            m_fd = ::openat(m_parent.fd(), m_temp.constData(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (m_fd < 0 && errno != EEXIST)
                break;
        }
        if (m_fd < 0)
            m_temp.clear();
        return m_fd >= 0;
    }

    int fd() const { return m_fd; }

    // The content reaches stable storage before the file takes its name, and the name before
    // anybody is told that the file is there (unless durable is false: the caller's to sync).
    bool commit(bool durable = true)
    {
        if (!durable)
            DurableStorage::startWriteBack(m_fd); // synced by the caller, later
        const bool synced = !durable || DurableStorage::syncData(m_fd, m_temp.constData());
        const bool closed = ::close(m_fd) == 0;
        m_fd = -1;
        if (!synced || !closed ||
            !DurableStorage::rename(m_parent.fd(), m_temp.constData(), m_parent.fd(), m_parent.name()))
            return false;
        m_temp.clear();
        return !durable || DurableStorage::syncFolder(m_parent.fd(), m_folderName.constData());
    }

private:
    Parent m_parent;
    QByteArray m_folderName;
    QByteArray m_temp;
    int m_fd = -1;
};

} // namespace

bool NoFollowFile::writeFresh(const QString &path, const QByteArray &data, mode_t mode)
{
    FreshFile file(path);
    return file.open(mode) && writeAll(file.fd(), data.constData(), size_t(data.size())) &&
        file.commit();
}

bool NoFollowFile::writeFreshWith(
    const QString &path, mode_t mode, const std::function<bool(int)> &fill)
{
    FreshFile file(path);
    return file.open(mode) && fill(file.fd()) && file.commit(false);
}

bool NoFollowFile::copyFresh(const QString &source, const QString &destination)
{
    const ScopedFd in(openForReading(source));
    struct stat st { };
    bool ok = in.valid() && ::fstat(in.get(), &st) == 0 && S_ISREG(st.st_mode);
    FreshFile out(destination);
    ok = ok && out.open(st.st_mode & 0777);
    // The umask may have narrowed the mode: the copy gets the source's exactly.
    ok = ok && ::fchmod(out.fd(), st.st_mode & 0777) == 0;
    return ok && copyAll(in.get(), out.fd()) && out.commit();
}

bool NoFollowFile::copyNew(const QString &source, const QString &destination)
{
    const ScopedFd in(openForReading(source));
    struct stat st { };
    if (!in.valid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const Parent parent(destination);
    if (!parent.valid())
        return false;
    const ScopedFd out(::openat(parent.fd(), parent.name(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 0777));
    if (!out.valid())
        return false;
    if (::fchmod(out.get(), st.st_mode & 0777) == 0 && copyAll(in.get(), out.get())) {
        DurableStorage::startWriteBack(out.get()); // synced by the caller, later
        return true;
    }
    ::unlinkat(parent.fd(), parent.name(), 0);
    return false;
}

bool NoFollowFile::isLink(const QString &path)
{
    struct stat st { };
    return status(path, &st) && S_ISLNK(st.st_mode);
}

int NoFollowFile::openFolder(const QString &path, bool readable)
{
    return voxpatch::OpenFolderWalked(QFile::encodeName(path).constData(), readable);
}

int NoFollowFile::openParent(const QString &path, QByteArray *name)
{
    std::string last;
    const int fd = voxpatch::OpenParentWalked(QFile::encodeName(path).constData(), &last);
    *name = QByteArray(last.data(), int(last.size()));
    return fd;
}

bool NoFollowFile::status(const QString &path, struct stat *st)
{
    const Parent parent(path);
    return parent.valid() && ::fstatat(parent.fd(), parent.name(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool NoFollowFile::remove(const QString &path)
{
    const Parent parent(path);
    return parent.valid() && DurableStorage::remove(parent.fd(), parent.name());
}

bool NoFollowFile::removeIfPresent(const QString &path)
{
    const Parent parent(path);
    if (!parent.valid())
        return false;
    struct stat st { };
    if (::fstatat(parent.fd(), parent.name(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return DurableStorage::remove(parent.fd(), parent.name()) || errno == ENOENT;
}

bool NoFollowFile::pinParent(voxpatch::FolderPin *pin, const QString &path)
{
    return pin->PinParentOf(QFile::encodeName(path).toStdString());
}

bool NoFollowFile::removeFolder(const QString &path)
{
    const Parent parent(path);
    return parent.valid() && ::unlinkat(parent.fd(), parent.name(), AT_REMOVEDIR) == 0;
}

bool NoFollowFile::makeFolder(const QString &path, mode_t mode)
{
    const Parent parent(path);
    return parent.valid() && ::mkdirat(parent.fd(), parent.name(), mode) == 0;
}

bool NoFollowFile::rename(const QString &from, const QString &to)
{
    const Parent source(from);
    const Parent target(to);
    return source.valid() && target.valid() &&
        ::renameat(source.fd(), source.name(), target.fd(), target.name()) == 0;
}

bool NoFollowFile::renameBack(const QString &from, const QString &to)
{
    const Parent source(from);
    const Parent target(to);
    if (!source.valid() || !target.valid())
        return false;
    struct stat moved { };
    struct stat original { };
    if (::fstatat(source.fd(), source.name(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::fstatat(target.fd(), target.name(), &original, AT_SYMLINK_NOFOLLOW) == 0 &&
        moved.st_dev == original.st_dev && moved.st_ino == original.st_ino)
        return DurableStorage::remove(source.fd(), source.name());
    return DurableStorage::rename(source.fd(), source.name(), target.fd(), target.name());
}

int NoFollowFile::openForReading(const QString &path)
{
    const Parent parent(path);
    if (!parent.valid())
        return -1;
    const int fd = ::openat(parent.fd(), parent.name(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || (errno != ELOOP && errno != EMLINK))
        return fd;
    // A link at the file's own name: followed as a link on the way would be.
    struct stat link { };
    struct stat folder { };
    if (::fstatat(parent.fd(), parent.name(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::fstat(parent.fd(), &folder) != 0 || !voxpatch::MayFollowLink(link.st_uid, folder.st_uid))
        return -1;
    QByteArray target(int(PATH_MAX), Qt::Uninitialized);
    const ssize_t length =
        ::readlinkat(parent.fd(), parent.name(), target.data(), size_t(target.size()));
    if (length <= 0 || length >= target.size())
        return -1;
    target.truncate(int(length));
    QString resolved = QFile::decodeName(target);
    if (!resolved.startsWith(QLatin1Char('/'))) {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        resolved = path.left(slash + 1) + resolved;
    }
    // Bounded: every level costs a link, and the walk refuses loops.
    static thread_local int depth = 0;
    if (depth >= 40)
        return -1;
    ++depth;
    const int fd2 = openForReading(resolved);
    --depth;
    return fd2;
}

bool NoFollowFile::setMode(const QString &path, mode_t mode)
{
    const Parent parent(path);
    if (!parent.valid())
        return false;
    const ScopedFd fd(::openat(parent.fd(), parent.name(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st { };
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::fchmod(fd.get(), mode) == 0;
}
