#include "fileunpackfunc_lzma2.h"

#include "compressedfile.h"
#include "durablestorage.h"
#include "nofollowfile.h"

#include <QDebug>

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

bool FileUnpackFunc_lzma2::unpackFile(const QString& source, const QString& destination)
{
    const QByteArray src = source.toUtf8();
    const QByteArray dst = destination.toUtf8();
    // A link under the output's name is not the updater's to replace.
    if (NoFollowFile::isLink(destination))
        return false;
    const bool ok = DecompressLzmaFile(src.constData(), dst.constData(), m_MaxOutputSize,
                                       m_AllowExecutableAware);
    if (ok)
        DurableStorage::startWriteBackAt(destination); // synced with the others before install
    qDebug() << Q_FUNC_INFO << "unpackFile" << source << destination << (ok ? "true" : "false");
    return ok;
}
