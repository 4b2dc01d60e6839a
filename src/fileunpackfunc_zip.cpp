#include "fileunpackfunc_zip.h"

#include "nofollowfile.h"

#include <QDebug>
#include <QSaveFile>

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
    // QSaveFile writes to what a link under the destination's name leads to: none may stand there.
    if (NoFollowFile::isLink(destination))
        return false;
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (!in)
        return false;
    // The new content goes to a temporary file beside the destination, which takes the
    // destination's place only when it is complete.
    QSaveFile out(destination);
    if (!out.open(QIODevice::WriteOnly)) {
        gzclose(in);
        return false;
    }
    gzrewind(in);
    QByteArray buffer(kChunk, Qt::Uninitialized);
    quint64 total = 0;
    for (;;) {
        const int n = gzread(in, buffer.data(), unsigned(buffer.size()));
        if (n == 0)
            break;
        total += quint64(n > 0 ? n : 0);
        if (n < 0 || total > maxOutputSize || out.write(buffer.constData(), n) != n) {
            gzclose(in);
            out.cancelWriting();
            return false;
        }
    }
    // A stream that ends early shows only here.
    if (gzclose(in) != Z_OK) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}
