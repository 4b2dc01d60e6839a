#include "common/durableorder.h"

#include <QFileInfo>
#include <QHash>
#include <QSet>

using Call = IoFaultInjector::Call;

QStringList DurableOrder::gaps(const QList<Call>& calls, const QString& bundle, const QString& sessionPrefix,
                               QString* error)
{
    error->clear();
    QStringList missing;
    // Whether the file renamed at index `to` was synced (fsync/fdatasync on the file, or syncfs
    // on the bundle's file system) after its last write, under whatever names it had since its
    // creation.
    auto syncedBefore = [&](int to) {
        QString name = calls.at(to).path;
        for (int i = to - 1; i >= 0; --i) {
            const Call& c = calls.at(i);
            if (c.kind == QLatin1String("sync") && c.ok()
                && (c.path == name || (c.function == QLatin1String("syncfs") && c.path.startsWith(bundle))))
                return true;
            if ((c.kind == QLatin1String("write") || c.kind == QLatin1String("create")) && c.path == name)
                return false;
            if ((c.kind == QLatin1String("rename") || c.kind == QLatin1String("link")) && c.ok() && c.path2 == name)
                name = c.path;
        }
        return false;
    };
    auto inBundle = [&](const QString& path) { return path.startsWith(bundle + QLatin1Char('/')); };
    auto isRecord = [&](const QString& path) {
        return QFileInfo(path).fileName() == QLatin1String("update.ini")
            && (inBundle(path) || path.startsWith(sessionPrefix));
    };
    // A new file (or record) taking its name: not a partial output taking its "._vxnew_" name,
    // nor an original moved aside.
    auto takesName = [&](const Call& c) {
        return c.kind == QLatin1String("rename") && c.ok() && (inBundle(c.path2) || isRecord(c.path2))
            && !c.path2.endsWith(QLatin1String("._vxold_")) && !c.path2.endsWith(QLatin1String("._vxnew_"));
    };
    auto isInstall = [&](const Call& c) { return takesName(c) && inBundle(c.path2) && !isRecord(c.path2); };
    auto isSyncOf = [&](const Call& c, const QString& folder) {
        return c.kind == QLatin1String("sync") && c.ok()
            && (c.path == folder || (c.function == QLatin1String("syncfs") && c.path.startsWith(bundle)));
    };

    // Content: every new file and record synced before it takes its name.
    QHash<qint64, int> firstInstall;
    QHash<qint64, int> lastInstall;
    for (int i = 0; i < calls.size(); ++i) {
        const Call& c = calls.at(i);
        if (!takesName(c))
            continue;
        if (isInstall(c)) {
            if (!firstInstall.contains(c.pid))
                firstInstall.insert(c.pid, i);
            lastInstall.insert(c.pid, i);
        }
        if (!syncedBefore(i))
            missing << QStringLiteral("no fsync of %1 before it was renamed to %2")
                           .arg((c.path), (c.path2));
    }
    if (lastInstall.isEmpty()) {
        *error = QStringLiteral("no file was installed");
        return missing;
    }

    // Names: the folders whose entries a step changed (files taking their names, new folders and
    // links) synced before the step commits: before an original kept aside is removed, and
    // before the record is rewritten or anything of the replacement removed once the last file
    // is in place.
    int commits = 0;
    QSet<QString> reported;
    for (auto step = lastInstall.cbegin(); step != lastInstall.cend(); ++step) {
        const qint64 pid = step.key();
        QHash<QString, int> changed; // folder -> index of its last change
        for (int i = 0; i < calls.size(); ++i) {
            const Call& c = calls.at(i);
            if (c.pid != pid || !c.ok())
                continue;
            const bool commitPoint = i > firstInstall.value(pid)
                && ((c.kind == QLatin1String("unlink") && inBundle(c.path) && c.path.endsWith(QLatin1String("._vxold_")))
                    || (i > step.value()
                        && ((takesName(c) && isRecord(c.path2))
                            || (c.kind == QLatin1String("unlink") && inBundle(c.path)
                                && c.path.endsWith(QLatin1String("._vxnew_"))))));
            if (commitPoint) {
                ++commits;
                for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
                    bool synced = false;
                    for (int j = i - 1; j > it.value() && !synced; --j)
                        synced = isSyncOf(calls.at(j), it.key());
                    if (!synced && !reported.contains(it.key())) {
                        reported.insert(it.key());
                        missing << QStringLiteral("folder %1 not synced before %2")
                                       .arg((it.key()),
                                            (c.path2.isEmpty() ? c.path : c.path2));
                    }
                }
            }
            if (isInstall(c))
                changed.insert(QFileInfo(c.path2).path(), i);
            else if ((c.kind == QLatin1String("mkdir") || c.kind == QLatin1String("link")) && inBundle(c.path2.isEmpty() ? c.path : c.path2))
                changed.insert(QFileInfo(c.path2.isEmpty() ? c.path : c.path2).path(), i);
        }
    }
    if (commits == 0)
        *error = QStringLiteral("no commit (no original removed, no record written after the last file)");
    missing.removeDuplicates();
    return missing;
}
