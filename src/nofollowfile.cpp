#include "nofollowfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

bool writeAll(int fd, const char *data, size_t length)
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

// An exclusively created file beside the final name; removed again unless committed.
class FreshFile {
public:
    explicit FreshFile(const QString &path)
        : m_final(QFile::encodeName(path))
    {
    }
    ~FreshFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temp.isEmpty())
            ::unlink(m_temp.constData());
    }

    bool open(mode_t mode)
    {
        const int slash = m_final.lastIndexOf('/');
        const QByteArray folder = m_final.left(slash + 1);
        const QByteArray name = m_final.mid(slash + 1);
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            m_temp = folder + '.' + name + '.' + QByteArray::number(qint64(::getpid())) + '.'
                + QByteArray::number(attempt) + ".part";
            m_fd = ::open(m_temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (m_fd < 0 && errno != EEXIST)
                break;
        }
        if (m_fd < 0)
            m_temp.clear();
        return m_fd >= 0;
    }

    int fd() const { return m_fd; }

    bool commit()
    {
        const bool closed = ::close(m_fd) == 0;
        m_fd = -1;
        if (!closed || ::rename(m_temp.constData(), m_final.constData()) != 0)
            return false;
        m_temp.clear();
        return true;
    }

private:
    QByteArray m_final;
    QByteArray m_temp;
    int m_fd = -1;
};

} // namespace

bool NoFollowFile::writeFresh(const QString &path, const QByteArray &data, mode_t mode)
{
    FreshFile file(path);
    return file.open(mode) && writeAll(file.fd(), data.constData(), size_t(data.size())) && file.commit();
}

bool NoFollowFile::copyFresh(const QString &source, const QString &destination)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    FreshFile out(destination);
    ok = ok && out.open(st.st_mode & 0777);
    // The umask may have narrowed the mode: the copy gets the source's exactly.
    ok = ok && ::fchmod(out.fd(), st.st_mode & 0777) == 0;
    QByteArray buffer(int(kCopyChunk), Qt::Uninitialized);
    while (ok) {
        const ssize_t got = ::read(in, buffer.data(), kCopyChunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = writeAll(out.fd(), buffer.constData(), size_t(got));
    }
    ::close(in);
    return ok && out.commit();
}

bool NoFollowFile::isLink(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}
