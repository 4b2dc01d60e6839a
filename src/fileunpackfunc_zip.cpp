#include "fileunpackfunc_zip.h"

#include "nofollowfile.h"

#include <QDebug>

#include <zlib.h>

namespace
{
constexpr int kChunk = 16384;
} // namespace

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString& source, const QString& destination,
                                       quint64 maxOutputSize)
    : SlowFileOpFunc(source, destination)
    , m_MaxOutputSize(maxOutputSize)
{
}

bool FileUnpackFunc_Zip::run()
{
    const bool ok = unzipFile(m_Destination, m_Source, m_MaxOutputSize);
    qDebug() << Q_FUNC_INFO << "unzipFile" << m_Source << m_Destination << ok;
    return ok;
}

bool FileUnpackFunc_Zip::unzipFile(const QString& destination, const QString& source,
                                   quint64 maxOutputSize)
{
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (!in)
        return false;
    // The new content goes to a fresh file beside the destination, created exclusively in the
    // folder reached by descriptor, which takes the destination's name only when it is complete.
    gzrewind(in);
    QByteArray buffer(kChunk, Qt::Uninitialized);
    bool streamed = false;
    const bool written = NoFollowFile::writeFreshWith(destination, 0666, [&](int fd) {
        quint64 total = 0;
        for (;;) {
            const int n = gzread(in, buffer.data(), unsigned(buffer.size()));
            if (n == 0)
                break;
            total += quint64(n > 0 ? n : 0);
            if (n < 0 || total > maxOutputSize || !NoFollowFile::writeAll(fd, buffer.constData(), size_t(n)))
                return false;
        }
        // A stream that ends early shows only here.
        streamed = gzclose(in) == Z_OK;
        in = nullptr;
        return streamed;
    });
    if (in)
        gzclose(in);
    return written && streamed;
}
