#ifndef MAKEDOWNLOADREPLACELISTFUNC_H
#define MAKEDOWNLOADREPLACELISTFUNC_H

#include "asyncfunc.h"
#include "updatelists.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>

class Configuration;
class ParallelFileHasher;
class QSettings;

// Reads the verified product list in a pool thread and compares every listed file with the
// installed product (by SHA-512 only), filling the download, replace and delete lists.
class MakeDownloadReplaceListFunc : public ASyncFunc {
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(const Configuration* config, std::shared_ptr<UpdateLists> lists);

    bool run() override;

    // Name of the product list for the step: "vx3_" in the client step, then the client type of
    // the step and ".ini".
    static QString productIniName(bool clientStep);
    // A path from the product list that may be joined to a local folder: relative, no empty, "."
    // or ".." component, no backslash, no control or format character.
    static bool isSafeRelativePath(const QString& path);

    const Configuration* m_Config;
    std::shared_ptr<UpdateLists> m_Lists;

private:
    struct PatchRecord {
        QString group;
        QString key;
        QString hash;
        quint64 size = 0;
        QString sourceHash;
        quint64 sourceSize = 0;
        QString target;
    };

    bool buildLists();
    // Starts hashing every installed file (and, in the client step, every fetched file) that the
    // lists will be decided by, the largest first.
    void queueHashes(QSettings& ini, const QStringList& groups) const;
    static ReplaceEntry replaceEntryFor(
        const QString& group, const QString& key, const QStringList& fields);
    QString installedPathOf(const ReplaceEntry& replace) const;
    // The file's SHA-512 equals expectedHash (an unreadable file never matches).
    bool matches(const QString& path, const QString& expectedHash) const;

    // False when the file cannot be fetched without clashing with another (reported).
    bool decideFile(const QString& group, const QString& key, const QStringList& fields,
        const QHash<QString, PatchRecord>& patches);
    void invalidLine(const QString& group);

    // A fetched file lies in the temp folder under its name alone, whatever its section: the
    // first entry to use a name claims it with its hash and section.
    struct TempClaim {
        QString group;
        QString hash;
    };
    QHash<QString, TempClaim> m_TempClaims;

    // One installed file is put in place by one entry only.  False when another entry already
    // claimed the path as macOS compares names (reported).
    bool claimInstalledPath(const QString& group, const QString& key, const QString& relativePath);
    struct InstalledClaim {
        QString group;
        QString key;
        QString path;
    };
    QHash<QString, InstalledClaim> m_InstalledClaims; // by the path as macOS compares it
    // Set while run() builds the lists.
    ParallelFileHasher* m_Hasher = nullptr;
};

#endif // MAKEDOWNLOADREPLACELISTFUNC_H
