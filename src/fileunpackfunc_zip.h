#ifndef FILEUNPACKFUNC_ZIP_H
#define FILEUNPACKFUNC_ZIP_H

#include "slowfileopfunc.h"

#include <QtGlobal>

// Unpacks a gzip file on the thread pool.  A source that is not in gzip format is copied as it
// stands.
class FileUnpackFunc_Zip : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_Zip(const QString& source, const QString& destination, quint64 maxOutputSize);

    bool run() override;
    // Writes the unpacked source to destination.  The destination is replaced only once the
    // whole content has been unpacked, and only when it is at most maxOutputSize bytes long;
    // on any failure it is left as it was.
    static bool unzipFile(const QString& destination, const QString& source, quint64 maxOutputSize);

    quint64 m_MaxOutputSize;
};

#endif // FILEUNPACKFUNC_ZIP_H
