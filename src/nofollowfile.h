#pragma once
// Writing files of fixed names without following links.  The temp folder and the session folder
// hold files whose names anyone can know; whoever could put a link under such a name must not get
// the updater to write through it.  A file is therefore written as a fresh file of its own
// (created exclusively, never through a link) and then renamed over the name, which replaces a
// link there instead of following it.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

class NoFollowFile {
public:
    // Writes data to path as a fresh file with the given mode (the umask applies).
    static bool writeFresh(const QString &path, const QByteArray &data, mode_t mode = 0644);

    // Copies the regular file source to destination as a fresh file with the source's
    // permissions; what stood under the destination's name is replaced, never written through.
    static bool copyFresh(const QString &source, const QString &destination);

    // True when path itself is a symbolic link (dangling or not).
    static bool isLink(const QString &path);
};
