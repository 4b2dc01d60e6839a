#include "filefuncpatch.h"

#include "durablestorage.h"
#include "nofollowfile.h"

#include "ensembleapplier.h"
#include "patchstatus.h"

#include <QDebug>

bool ApplyEnsemblePatch(const char* oldPath, const char* patchPath, const char* newPath,
                        quint64 maxOutputSize)
{
    const voxpatch::PatchStatus status =
        voxpatch::ApplyPatchFiles(oldPath, patchPath, newPath, maxOutputSize);
    qDebug() << "ApplyEnsemblePatch status =" << status;
    switch (status) {
    case voxpatch::C_OK:
        return true;
    case voxpatch::C_BAD_ENSEMBLE_MAGIC:
        qDebug() << "Not a voxpatch patch";
        break;
    case voxpatch::C_BAD_ENSEMBLE_VERSION:
        qDebug() << "Wrong version patch";
        break;
    case voxpatch::C_BAD_ENSEMBLE_HEADER:
        qDebug() << "Corrupt patch";
        break;
    case voxpatch::C_STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        break;
    case voxpatch::C_DISASSEMBLY_FAILED:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        break;
    default:
        break;
    }
    return false;
}

FileFuncPatch::FileFuncPatch(const QString& source, const QString& patch,
                             const QString& destination, quint64 maxOutputSize)
    : SlowFileOpFunc(source, patch, destination)
    , m_MaxOutputSize(maxOutputSize)
{
}

bool FileFuncPatch::run()
{
    return patchFile(m_Source, m_Patch, m_Destination);
}

bool FileFuncPatch::patchFile(const QString& source, const QString& patch,
                              const QString& destination)
{
    const QByteArray oldPath = source.toUtf8();
    const QByteArray patchPath = patch.toUtf8();
    const QByteArray newPath = destination.toUtf8();
    // A link under the output's name is not the updater's to replace.
    if (NoFollowFile::isLink(destination))
        return false;
    const bool ok = ApplyEnsemblePatch(oldPath.constData(), patchPath.constData(),
                                       newPath.constData(), m_MaxOutputSize);
    if (ok)
        DurableStorage::startWriteBackAt(destination); // synced with the others before install
    qDebug() << Q_FUNC_INFO << "Patch result" << (ok ? "true" : "false");
    return ok;
}
