#pragma once
// Who besides the user running the updater (and root) could change a tree.  Run as root, the
// updater only touches a bundle that nobody else can write, and no program is started that
// another user could have changed: that user's code would run with rights that are not theirs.

#include <QString>

class BundleOwnership {
public:
    // The first entry that a user other than the one running the updater (or root) could change:
    // every folder from "/" down to path, and with wholeTree everything below path too (links are
    // not followed).  Such an entry belongs to another user, or group or others may write it (a
    // sticky folder of the user's or root's excepted, as /tmp).  Empty when there is none.
    static QString changeableByOthers(const QString& path, bool wholeTree);

    // The same with wholeTree, but everything below a folder is walked once per process: a tree
    // that nobody else could change stays so (only the user and root could change it since), so
    // a later call for the same folder (path, device and inode) checks only the folders above it.
    // For the checks before changes; the check right before a program starts walks afresh.
    static QString treeChangeableByOthers(const QString& path);

    // The text of the error box shown when the bundle at path is refused because of entry.
    static QString refusalText(const QString& bundle, const QString& entry);

private:
    static QString check(const QString& path, bool wholeTree, bool once);
};
