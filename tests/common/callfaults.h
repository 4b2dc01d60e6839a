#pragma once
// Storage faults inside a test program: the program's own calls of the C library (and Qt's) that
// read, write, sync, create, rename, remove or re-mode files are failed with a chosen errno when
// they touch a path that matches a given pattern.  The calls are replaced in the test program itself,
// so that a program linking this helper sees every call of the kinds below, from its own code
// and from Qt's, in every thread.
//
// Link the object library `vxcallfaults` (not part of vxtestcommon: only programs that want
// their calls replaced get it).  Not armed, every call goes straight to the C library.

#include <QByteArray>

namespace CallFaults {

enum Kind {
    Write,      // write
    Read,       // read
    Sync,       // fsync, fdatasync
    Create,     // open and openat with O_CREAT
    MakeFolder, // mkdir, mkdirat
    Rename,     // rename, renameat, renameat2 (the path of either name)
    Unlink,     // unlink, unlinkat (files and folders)
    Chmod,      // fchmod, chmod, fchmodat
};

// From now on the first call of `kind` whose absolute path matches `pattern` fails with `error`;
// with forGood every later one as well.  Replaces an earlier arming.  The pattern's pieces
// between '*' must occur in the path in that order; a final '$' ties the last piece to the end
// of the path.  A rename's path is its two names joined by a line break, either may match.
void fail(Kind kind, const QByteArray &pattern, int error, bool forGood = false);
// No more failures; the counts start again.
void disarm();
// Calls failed since the last arming.
int failures();
// Sleeps (nanosleep, clock_nanosleep) of any thread since the last arming or disarm.
int sleeps();

} // namespace CallFaults
