#include "common/updatefiles.h"

#include <QHash>

#include "common/clientbundle.h"

#include "compressedfile.h"
#include "ensemblepatchbuilder.h"
#include "executablekind.h"

#include <zlib.h>

#include <string>

QByteArray UpdateFiles::gzip(const QByteArray& content)
{
    z_stream zs{};
    // 15 window bits plus 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&zs, uLong(content.size()))), Qt::Uninitialized);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.constData()));
    zs.avail_in = uInt(content.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(int(zs.total_out));
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QByteArray UpdateFiles::gzipBomb(qint64 inflatedSize)
{
    static QHash<qint64, QByteArray> made;
    const auto known = made.constFind(inflatedSize);
    if (known != made.constEnd())
        return *known;
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    const QByteArray zeros(1 << 20, '\0');
    QByteArray out;
    char buffer[1 << 16];
    qint64 left = inflatedSize;
    int rc = Z_OK;
    do {
        const qint64 now = qMin<qint64>(left, zeros.size());
        left -= now;
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.constData()));
        zs.avail_in = uInt(now);
        const int flush = left > 0 ? Z_NO_FLUSH : Z_FINISH;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof(buffer);
            rc = deflate(&zs, flush);
            out.append(buffer, int(sizeof(buffer) - zs.avail_out));
        } while (zs.avail_out == 0);
    } while (left > 0);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        return QByteArray();
    made.insert(inflatedSize, out);
    return out;
}

QByteArray UpdateFiles::container(const QByteArray& content, bool executableAware,
                                  const QString& scratch)
{
    const QString in = scratch + QStringLiteral("/container-in");
    const QString out = scratch + QStringLiteral("/container-out");
    if (!ClientBundle::writeFile(in, content)
        || !CompressLzmaFile(in.toUtf8().constData(), out.toUtf8().constData(), executableAware))
        return QByteArray();
    return ClientBundle::readFile(out);
}

QByteArray UpdateFiles::patch(const QByteArray& oldFile, const QByteArray& newFile, bool machO)
{
    const std::string oldBytes(oldFile.constData(), size_t(oldFile.size()));
    const std::string newBytes(newFile.constData(), size_t(newFile.size()));
    std::vector<voxpatch_test::ElementSpec> elements;
    if (machO)
        elements.push_back({voxpatch::EXE_MACHO_X64, 0, uint32_t(oldFile.size()), 0,
                            uint32_t(newFile.size())});
    voxpatch_test::EnsemblePatchParts parts;
    if (!voxpatch_test::MakeEnsemblePatch(oldBytes, newBytes, elements, &parts))
        return QByteArray();
    const std::string bytes = voxpatch_test::SerializeEnsemblePatch(parts);
    return QByteArray(bytes.data(), int(bytes.size()));
}

QByteArray UpdateFiles::fixture(const QString& name)
{
    return ClientBundle::readFile(QStringLiteral(VX_FIXTURE_DIR "/") + name);
}
