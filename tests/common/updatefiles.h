#pragma once
// Real update files for tests, made with the engine's own writers: gzip files, compressed-file
// containers (plain or executable-aware) and ensemble patches, and the Mach-O fixtures of the
// patch engine's tests.

#include <QByteArray>
#include <QString>

class UpdateFiles
{
public:
    // The content as a gzip file.
    static QByteArray gzip(const QByteArray& content);
    // A gzip file of `inflatedSize` zero bytes, made without holding them (about 1/1000 of it).
    // The same bytes for the same size within one process.
    static QByteArray gzipBomb(qint64 inflatedSize);
    // The content as a compressed-file container; scratch is a folder for the writer's files.
    // Empty on failure.
    static QByteArray container(const QByteArray& content, bool executableAware,
                                const QString& scratch);
    // An ensemble patch from oldFile to newFile.  With machO the whole file is one Mach-O
    // x86-64 element, else the patch is a plain byte diff.  Empty on failure.
    static QByteArray patch(const QByteArray& oldFile, const QByteArray& newFile, bool machO = false);
    // A fixture of the patch engine's tests ("macho64_exe_v1", ...); empty when missing.
    static QByteArray fixture(const QString& name);
};
