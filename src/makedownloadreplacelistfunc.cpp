#include "makedownloadreplacelistfunc.h"

#include "checksigfunc.h"
#include "configuration.h"
#include "nofollowfile.h"
#include "parallelfilehasher.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSettings>
#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {
const QString kPatchSuffix = QStringLiteral("_patch_");
const QString kFieldSeparator = QStringLiteral("::");
const QString kRootSection = QStringLiteral(".");
const QString kDeleteSection = QStringLiteral("delete");

quint64 toSize(const QString& text)
{
    bool ok = false;
    const quint64 value = text.toULongLong(&ok, 10);
    return ok ? value : 0;
}
} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(
    const Configuration* config, std::shared_ptr<UpdateLists> lists)
    : m_Config(config)
    , m_Lists(std::move(lists))
{
}

QString MakeDownloadReplaceListFunc::productIniName(bool clientStep)
{
    return (clientStep ? QStringLiteral("vx3_") : QString()) +
        Configuration::defaultClientType(clientStep) + QStringLiteral(".ini");
}

bool MakeDownloadReplaceListFunc::isSafeRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    // Control characters (a NUL cuts the name short on its way to the file system) and invisible
    // format characters (ignored in names by some file systems) have no place in a product file.
    for (const QChar ch : path) {
        const QChar::Category category = ch.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return false;
    }
    return true;
}

void MakeDownloadReplaceListFunc::invalidLine(const QString& group)
{
    emit message(tr("Warning: product ini contains invalid line in section %1").arg(group));
}

bool MakeDownloadReplaceListFunc::run()
{
    // Installed files are hashed ahead on a few threads while the lists are built in order here.
    ParallelFileHasher hasher(ParallelFileHasher::defaultThreadCount());
    m_Hasher = &hasher;
    const bool ok = buildLists();
    m_Hasher = nullptr;
    return ok;
}

bool MakeDownloadReplaceListFunc::buildLists()
{
    m_Lists->clear();
    m_TempClaims.clear();
    m_InstalledClaims.clear();
    const bool clientStep = m_Config->m_ClientUpdate != 0;
    const QString prodIni = m_Config->m_TempDir + QLatin1Char('/') + productIniName(clientStep);
    qDebug() << Q_FUNC_INFO << "prodIni" << prodIni;
    emit message(tr("Compiling download and replace list for ") +
        (clientStep ? QStringLiteral("client") : QStringLiteral("updater")));

    QSettings ini(prodIni, QSettings::IniFormat);
    const QStringList groups = ini.childGroups();
    qint64 total = 0;
    for (const QString& group : groups) {
        ini.beginGroup(group);
        total += ini.allKeys().size();
        ini.endGroup();
    }
    if (total == 0) {
        emit message(tr("No files in product ini"));
        return false;
    }
    queueHashes(ini, groups);

    qint64 done = 0;
    for (const QString& group : groups) {
        // The section names a folder on the image server; "." is the root.
        if (group != kRootSection && !isSafeRelativePath(group)) {
            invalidLine(group);
            return false;
        }
        ini.beginGroup(group);
        QStringList keys = ini.allKeys();
        QStringList patchKeys;
        for (auto it = keys.begin(); it != keys.end();) {
            if (it->endsWith(kPatchSuffix)) {
                patchKeys << *it;
                it = keys.erase(it);
            } else {
                ++it;
            }
        }

        QHash<QString, PatchRecord> patches;
        for (const QString& key : patchKeys) {
            const QStringList fields = ini.value(key).toString().split(kFieldSeparator);
            if (fields.size() != 5 || !isSafeRelativePath(key) || !isSafeRelativePath(fields[4])) {
                invalidLine(group);
                return false;
            }
            PatchRecord patch;
            patch.group = group;
            patch.key = key;
            patch.hash = fields[0];
            patch.size = toSize(fields[1]);
            patch.sourceHash = fields[2];
            patch.sourceSize = toSize(fields[3]);
            patch.target = fields[4];
            patches.insert(patch.target, patch);
        }

        if (group == kDeleteSection) {
            for (const QString& key : keys) {
                ++done;
                emit progress(double(done) / double(total));
                // Deleting is confined to the installation: anything else ends the list building.
                if (!isSafeRelativePath(key)) {
                    invalidLine(group);
                    return false;
                }
                const QFileInfo installed(m_Config->m_InstallDir + QLatin1Char('/') + key);
                if (!installed.exists())
                    continue;
                const int code = ini.value(key).toInt();
                if (code < 10 || code == 11) {
                    DeleteEntry entry;
                    entry.path = key;
                    entry.isDir = code == 2;
                    m_Lists->deleteList.append(entry);
                }
            }
        } else {
            for (const QString& key : keys) {
                ++done;
                emit progress(double(done) / double(total));
                const QStringList fields = ini.value(key).toString().split(kFieldSeparator);
                if ((fields.size() != 2 && fields.size() != 5) || !isSafeRelativePath(key) ||
                    (fields.size() == 5 && !isSafeRelativePath(fields[4]))) {
                    invalidLine(group);
                    return false;
                }
                if (!decideFile(group, key, fields, patches))
                    return false;
            }
        }
        ini.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::decideFile(const QString& group, const QString& key,
    const QStringList& fields, const QHash<QString, PatchRecord>& patches)
{
    DownloadEntry download;
    download.group = group;
    download.name = key;
    download.hash = fields[0];
    download.size = toSize(fields[1]);

    ReplaceEntry replace = replaceEntryFor(group, key, fields);
    const QString installedPath = installedPathOf(replace);
    const bool installedExists = QFileInfo::exists(installedPath);

    bool patched = false;
    if (replace.hasTarget() && installedExists) {
        const auto it = patches.constFind(replace.target);
        if (it != patches.constEnd() && matches(installedPath, it->sourceHash)) {
            replace.patch = it->key;
            download.name = it->key;
            download.hash = it->hash;
            download.size = it->size;
            patched = true;
            qDebug() << Q_FUNC_INFO << "Found patch for" << key << installedPath;
        }
    }

    if (!patched && installedExists) {
        const QString wanted = replace.hasTarget() ? replace.unpackedHash : download.hash;
        if (matches(installedPath, wanted)) {
            if (m_Config->m_ClientUpdate == 0) {
                // The new updater is built in the temp folder: keep the unchanged file there.
                const QString destination =
                    m_Config->m_TempDir + QLatin1Char('/') + replace.relativePath(QString());
                // A new updater missing one of its files must not be started: a failed copy
                // ends the list building.  A copy left by an earlier run is replaced.
                const QString folder = QFileInfo(destination).path();
                if (!QFileInfo::exists(folder))
                    QDir().mkpath(folder);
                const bool copied = NoFollowFile::copyFresh(installedPath, destination);
                qDebug() << Q_FUNC_INFO << "Copying updater files:" << installedPath << "to"
                         << destination << (copied ? "true" : "false");
                if (!copied) {
                    emit message(tr("Could not copy '%1' to '%2'").arg(installedPath, destination));
                    return false;
                }
            }
            return true;
        }
    }

    if (!claimInstalledPath(group, key, replace.relativePath(QString())))
        return false;

    // Two entries may share a fetched file only when it is the same file: it is then fetched
    // once. Different files under one name would overwrite each other (or be written at once).
    const auto claim = m_TempClaims.constFind(download.name);
    if (claim != m_TempClaims.constEnd()) {
        if (claim->hash.compare(download.hash, Qt::CaseInsensitive) != 0) {
            emit message(tr("Product ini lists different files named %1 in sections %2 and %3; "
                            "they cannot share one download")
                             .arg(download.name, claim->group, group));
            return false;
        }
        m_Lists->replaceList.append(replace);
        return true;
    }
    m_TempClaims.insert(download.name, TempClaim {group, download.hash});

    m_Lists->replaceList.append(replace);
    const QString fetched = m_Config->m_TempDir + QLatin1Char('/') + download.name;
    if (QFileInfo::exists(fetched) && matches(fetched, download.hash))
        return true;
    m_Lists->downloadList.append(download);
    qDebug() << Q_FUNC_INFO << "Queueing download:" << key;
    return true;
}

bool MakeDownloadReplaceListFunc::claimInstalledPath(
    const QString& group, const QString& key, const QString& relativePath)
{
    // Names on a Mac disk match regardless of case.  The second install would move the first
    // one's new file aside in place of the original, which a rollback could then no longer put
    // back.
    const QString folded = relativePath.toCaseFolded();
    const auto claim = m_InstalledClaims.constFind(folded);
    if (claim != m_InstalledClaims.constEnd()) {
        emit message(tr("Product ini lists two files for %1: %2 in section %3 and %4 in section %5")
                         .arg(claim->path, claim->key, claim->group, key, group));
        return false;
    }
    m_InstalledClaims.insert(folded, InstalledClaim {group, key, relativePath});
    return true;
}

ReplaceEntry MakeDownloadReplaceListFunc::replaceEntryFor(
    const QString& group, const QString& key, const QStringList& fields)
{
    ReplaceEntry replace;
    replace.group = group;
    replace.name = key;
    if (fields.size() == 5) {
        replace.unpackedHash = fields[2];
        replace.unpackedSize = toSize(fields[3]);
        replace.target = fields[4];
    }
    return replace;
}

QString MakeDownloadReplaceListFunc::installedPathOf(const ReplaceEntry& replace) const
{
    return m_Config->m_InstallDir + QLatin1Char('/') + replace.relativePath(QString());
}

bool MakeDownloadReplaceListFunc::matches(const QString& path, const QString& expectedHash) const
{
    return CheckSigFunc::hexMatches(m_Hasher->sha512Hex(path), expectedHash);
}

void MakeDownloadReplaceListFunc::queueHashes(QSettings& ini, const QStringList& groups) const
{
    // Only the client step leaves the temp folder alone while the lists are built; the updater
    // step copies unchanged files into it, so there a fetched file is hashed when it is reached.
    const bool hashFetched = m_Config->m_ClientUpdate != 0;
    QVector<QPair<qint64, QString>> files; // size and path
    const auto addIfPresent = [&files](const QString& path) {
        const QFileInfo info(path);
        if (info.exists())
            files.append(qMakePair(info.size(), path));
    };
    for (const QString& group : groups) {
        // Whatever the list building refuses is not touched here either.
        if (group == kDeleteSection || (group != kRootSection && !isSafeRelativePath(group)))
            continue;
        ini.beginGroup(group);
        const QStringList keys = ini.allKeys();
        for (const QString& key : keys) {
            if (!isSafeRelativePath(key))
                continue;
            if (hashFetched)
                addIfPresent(m_Config->m_TempDir + QLatin1Char('/') + key);
            if (key.endsWith(kPatchSuffix))
                continue;
            const QStringList fields = ini.value(key).toString().split(kFieldSeparator);
            if ((fields.size() != 2 && fields.size() != 5) ||
                (fields.size() == 5 && !isSafeRelativePath(fields[4])))
                continue;
            addIfPresent(installedPathOf(replaceEntryFor(group, key, fields)));
        }
        ini.endGroup();
    }
    // Largest first: the few big files then run side by side instead of last and alone.
    std::stable_sort(files.begin(), files.end(),
        [](const QPair<qint64, QString>& a, const QPair<qint64, QString>& b) {
            return a.first > b.first;
        });
    for (const auto& file : qAsConst(files))
        m_Hasher->queue(file.second);
}
