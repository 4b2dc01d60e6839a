#pragma once
// Writing files of fixed names without following links.  The temp folder and the session folder
// hold files whose names anyone can know; whoever could put a link under such a name must not get
// the updater to write through it.  A file is therefore written as a fresh file of its own
// (created exclusively, never through a link) and then renamed over the name, which replaces a
// link there instead of following it.
//
// Every path is reached by descriptor, one folder at a time (voxpatch/folderwalk.h): a folder
// swapped for a link while the updater works is never entered, and a link on the way is followed
// only when the user running the updater (or root) made it in a folder of theirs.  Files are
// created exclusively and never opened through a link at their own name; renames and removals
// act on the names inside the folder reached.
//
// A fresh file's content is on stable storage before it takes its name, and its name before the
// write counts as done (DurableStorage), except for writeFreshWith and copyNew, whose new files
// the caller syncs.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <functional>

namespace voxpatch {
class FolderPin;
}

class NoFollowFile {
public:
    // Writes data to path as a fresh file with the given mode (the umask applies).
    static bool writeFresh(const QString &path, const QByteArray &data, mode_t mode = 0644);

    // The same with the content written by fill to the descriptor of the fresh file; nothing is
    // put in place when fill returns false.  Nothing is synced: the file is one that the
    // caller renames on, and syncs with others before it does (the unpacked files of an update).
    static bool writeFreshWith(
        const QString &path, mode_t mode, const std::function<bool(int)> &fill);
    // Writes all length bytes to fd.
    static bool writeAll(int fd, const char *data, size_t length);

    // Copies the regular file source to destination as a fresh file with the source's
    // permissions; what stood under the destination's name is replaced, never written through.
    static bool copyFresh(const QString &source, const QString &destination);

    // True when path itself is a symbolic link (dangling or not).
    static bool isLink(const QString &path);

    // The folder at path, or the folder holding path's last name (put in name); -1 when it
    // cannot be reached.  O_PATH descriptors unless readable; the caller closes them.
    static int openFolder(const QString &path, bool readable = false);
    static int openParent(const QString &path, QByteArray *name);

    // The entry at path itself (a link is not followed), as lstat gives it.
    static bool status(const QString &path, struct stat *st);
    // Removes the file or link at path (never a folder); false when it could not.
    static bool remove(const QString &path);
    // The same, but a name that is not there is only looked at: no removal is tried, which
    // would wait for every other change of the folder under way.  True when nothing is left.
    static bool removeIfPresent(const QString &path);
    // Pins (voxpatch::FolderPin) the folder holding path's last name: the calls here on paths
    // in that folder then start at the folder reached now, without a walk.  False when it
    // cannot be reached (the calls then walk as usual).
    static bool pinParent(voxpatch::FolderPin *pin, const QString &path);
    // Removes the empty folder at path.
    static bool removeFolder(const QString &path);
    // Creates the folder at path (one level).
    static bool makeFolder(const QString &path, mode_t mode = 0777);
    // Renames from to to, each name inside the folder reached for it.
    static bool rename(const QString &from, const QString &to);
    // Puts the file at from back under the name to, replacing what stands there in one step (the
    // name is never missing); when both names already lead to one file (a second link), from is
    // removed instead.
    static bool renameBack(const QString &from, const QString &to);
    // Copies the regular file source to the new file destination, which must not exist yet; it
    // gets the source's permissions.  Nothing is left at destination on failure.
    static bool copyNew(const QString &source, const QString &destination);
    // Opens the file at path for reading; a link at its own name is followed only as a link on
    // the way would be.
    static int openForReading(const QString &path);
    // Sets the mode of the regular file at path through a descriptor (never through a link).
    static bool setMode(const QString &path, mode_t mode);
};
