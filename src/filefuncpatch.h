#ifndef FILEFUNCPATCH_H
#define FILEFUNCPATCH_H

#include "slowfileopfunc.h"

#include <QtGlobal>

// Applies the ensemble patch at patchPath to oldPath and writes the result to newPath (UTF-8
// paths).  A result longer than maxOutputSize bytes is refused.  True only when the patch
// engine reports success; the new file is then complete and matches the patch's checksum.
bool ApplyEnsemblePatch(const char* oldPath, const char* patchPath, const char* newPath,
                        quint64 maxOutputSize);

// Applies a binary patch on the thread pool: source is the old file, destination the new one.
class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileFuncPatch(const QString& source, const QString& patch, const QString& destination,
                  quint64 maxOutputSize);

    bool run() override;
    bool patchFile(const QString& source, const QString& patch, const QString& destination);

    quint64 m_MaxOutputSize;
};

#endif // FILEFUNCPATCH_H
