#ifndef REPLACEENTRY_H
#define REPLACEENTRY_H

#include <QString>
#include <QtGlobal>

// One installed file to bring up to date, from a download in the session temp folder.
class ReplaceEntry
{
public:
    QString group;        // product list section
    QString name;         // file key: the download's name in the temp folder
    QString unpackedHash; // SHA-512 of the finished installed file (empty for a plain file)
    quint64 unpackedSize = 0;
    QString target;       // installed relative path of a packed or patched file, else empty
    QString patch;        // key of the patch to apply to the installed file, else empty

    bool hasTarget() const;
    bool hasPatch() const;
    QString targetOrName() const;
    // The installed path relative to the installation folder, with prefix put in front of the
    // file name; files of the "common_client" section live below "SharedSupport/".
    QString relativePath(const QString& prefix) const;
};

#endif // REPLACEENTRY_H
