#pragma once
// Runs a piece of a test as an unprivileged user: checks of permission handling mean nothing as
// root, for whom the file system grants everything.  Tests run as root; the work then runs in a
// forked child that drops to uid and gid 65534 ("nobody").  A test already running as another
// user runs the work in its own process.

#include <QString>

#include <functional>

#include <sys/types.h>

class OtherUser
{
public:
    static const uid_t kUid = 65534;
    static const gid_t kGid = 65534;

    // Why the work cannot run as that user for the tree at path (for a skip message); empty when
    // it can.  The tree must be given to the user first.
    static QString unavailableReason(const QString& path);

    // Gives the tree at path (links themselves, never what they point to) to the user; true
    // when the test does not run as root (the tree is then the test user's already).
    static bool giveTree(const QString& path);

    // The result of work as run by the user, or -1 when the child could not take that identity
    // or did not end normally.  work must not use the event loop or threads; its result is taken
    // modulo 256 (an exit status).
    static int run(const std::function<int()>& work);
};
