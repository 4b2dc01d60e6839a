#ifndef FILEUNPACKFUNC_LZMA2_H
#define FILEUNPACKFUNC_LZMA2_H

#include "slowfileopfunc.h"

#include <QtGlobal>

// Unpacks a compressed-file container on the thread pool.  The unpacked file may be at most
// maxOutputSize bytes long; executable-aware containers are refused unless allowed.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString& source, const QString& destination,
                         quint64 maxOutputSize, bool allowExecutableAware);

    bool run() override;
    bool unpackFile(const QString& source, const QString& destination);

    quint64 m_MaxOutputSize;
    bool m_AllowExecutableAware;
};

#endif // FILEUNPACKFUNC_LZMA2_H
