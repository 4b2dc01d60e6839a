#pragma once
// The few file-system calls an update's safety rests on, in one place: putting content and folder
// entries on stable storage, giving a file a second name, and putting one file in place of another
// in a single step.  Every call is checked by its caller.
//
// Linux: fdatasync for the data of a new file, fsync for a file's metadata and a folder's entries.
// macOS: fcntl F_BARRIERFSYNC for the data of a new file (what matters there is that the data
// reaches the disk before the file's new name does) and F_FULLFSYNC, which also empties the
// drive's cache, for what the update relies on from then on (entries and modes before the session
// record says committed); fsync where a file system knows neither.
//
// The calls take a folder descriptor and the entry's name in it (reached by NoFollowFile): a link
// at the name is never followed.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class DurableStorage {
public:
    enum Call { SyncData, SyncEntry, SyncFolder, SyncFileSystem, Link, Rename, Remove };

    // From this many entries on, syncEntries syncs each file system once (Linux: syncfs) rather
    // than every entry and folder.
    static const int kEntriesForFileSystemSync = 64;

    // The data of the open file fd (named name, for the test probe) on stable storage.
    static bool syncData(int fd, const char *name);
    // The same for the file at path (nothing to do when it is no regular file).
    static bool syncDataAt(const QString &path);
    // Starts writing the data of fd to storage without waiting for it (Linux), so that the sync
    // that follows later finds little left to wait for. Only a head start: the later sync is what
    // counts and is checked, so a failure here changes nothing.
    static void startWriteBack(int fd);
    // The same for the regular file at path.
    static void startWriteBackAt(const QString &path);
    // The entries at paths (files, links and folders) with their metadata, and the folders holding
    // them, on stable storage; each folder is opened once.  Names that no longer exist count as
    // synced (their folder still is).  Many entries: one sync of each file system they are on
    // (macOS: fsync of each, then one F_FULLFSYNC per file system).
    static bool syncEntries(const QStringList &paths);
    // The entries of the folder at dirFd (an O_PATH descriptor will do) on stable storage.
    static bool syncFolder(int dirFd, const char *name);

    // A second name `second` for the entry `name`, both in the folder dirFd.  A link is linked
    // itself, never its target.
    static bool link(int dirFd, const char *name, const char *second);
    // `from` (in fromFd) takes the name `to` (in toFd); what stood under `to` is replaced in the
    // same step, so the name is never missing.
    static bool rename(int fromFd, const char *from, int toFd, const char *to);
    // Removes the file or link `name` in dirFd.
    static bool remove(int dirFd, const char *name);

    // Tests: the probe is called before every call above with its kind and the entry's name (for
    // a rename the new name, for a link the second one, for a folder its own name).  A result other than 0 makes the call
    // fail with that errno without being made.  Set it while no update runs; null removes it.
    using Probe = std::function<int(Call call, const QByteArray &name)>;
    static void setProbeForTesting(const Probe &probe);
};
