#include "filehash.h"

#include <openssl/evp.h>

#include "scopedfd.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Large enough that the read calls cost nothing next to the hashing, small enough to stay in
// the cache between the read and the hash.
const qint64 kReadPiece = 256 * 1024;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
} // namespace

FileHash::Result FileHash::sha512(const QString& path, QByteArray& digest)
{
    const ScopedFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return OpenFailed;
    return sha512Of(fd.get(), digest);
}

FileHash::Result FileHash::sha512Of(int fd, QByteArray& digest)
{
    struct stat st { };
    if (::fstat(fd, &st) != 0)
        return ReadFailed;
    if (S_ISDIR(st.st_mode))
        return OpenFailed; // as a file open of a folder fails
    const qint64 size = st.st_size;

    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr) != 1)
        return ReadFailed;
    QByteArray buffer(static_cast<int>(kReadPiece), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer.data(), size_t(kReadPiece), off_t(total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return ReadFailed;
        if (got == 0)
            break;
        if (EVP_DigestUpdate(context.get(), buffer.constData(), static_cast<size_t>(got)) != 1)
            return ReadFailed;
        total += got;
    }
    if (total != size)
        return ReadFailed;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), out, &length) != 1)
        return ReadFailed;
    digest = QByteArray(reinterpret_cast<const char*>(out), static_cast<int>(length));
    return Ok;
}

QString FileHash::sha512Hex(const QString& path)
{
    QByteArray digest;
    if (sha512(path, digest) != Ok)
        return QString();
    return QString::fromLatin1(digest.toHex());
}
