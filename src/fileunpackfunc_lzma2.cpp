#include "fileunpackfunc_lzma2.h"

#include "bytereader.h"
#include "compressedfile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& source, const QString& destination,
                                           quint64 maxOutputSize, bool allowExecutableAware)
    : SlowFileOpFunc(source, destination)
    , m_MaxOutputSize(maxOutputSize)
    , m_AllowExecutableAware(allowExecutableAware)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_Source, m_Destination);
}

// Until the decoder takes the limits itself they are checked around it.
bool FileUnpackFunc_lzma2::decompress(const char* src, const char* dst) const
{
    if (!m_AllowExecutableAware) {
        QFile in(QString::fromUtf8(src));
        if (!in.open(QIODevice::ReadOnly))
            return false;
        const QByteArray head = in.read(15);
        voxpatch::ByteReader reader(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
        uint32_t magic = 0, checksum = 0, directive = 0;
        if (!reader.GetVarint(&magic) || !reader.GetVarint(&checksum) || !reader.GetVarint(&directive)
            || directive != voxpatch::kDirectivePlain)
            return false;
    }
    const QString out = QString::fromUtf8(dst);
    const QString part = out + QStringLiteral(".part");
    QFile::remove(part);
    if (!DecompressLzmaFile(src, part.toUtf8().constData()))
        return false;
    if (quint64(QFileInfo(part).size()) > m_MaxOutputSize
        || (QFileInfo::exists(out) && !QFile::remove(out)) || !QFile::rename(part, out)) {
        QFile::remove(part);
        return false;
    }
    return true;
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& source, const QString& destination)
{
    const QByteArray src = source.toUtf8();
    const QByteArray dst = destination.toUtf8();
    const bool ok = decompress(src.constData(), dst.constData());
    qDebug() << Q_FUNC_INFO << "unpackFile" << source << destination << (ok ? "true" : "false");
    return ok;
}
