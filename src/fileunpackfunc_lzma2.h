#ifndef FILEUNPACKFUNC_LZMA2_H
#define FILEUNPACKFUNC_LZMA2_H

#include "slowfileopfunc.h"

// Unpacks a compressed-file container on the thread pool.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString& source, const QString& destination);

    bool run() override;
    bool unpackFile(const QString& source, const QString& destination);
};

#endif // FILEUNPACKFUNC_LZMA2_H
