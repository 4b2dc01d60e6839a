#pragma once
// A temp folder of the user's own.  The updater keeps files of fixed names in the temp folder
// (the arguments file, the banner cache, the session folders); in a temp folder shared by all
// users, as /tmp is, another local user could plant them first.  setUp, the first call of main,
// keeps the temp folder only when it is a real folder of the user's own that nobody else can
// write to; otherwise it makes <temp folder>/voxtrel-<uid> (mode 0700, owned by the user, not a
// link) and points TMPDIR at it, so that every later QDir::tempPath() names it.

#include <QString>

class PrivateTempDir {
public:
    // Keeps TMPDIR when it names a folder for which isOwnFolder holds (not through a link);
    // otherwise setUpIn(QDir::tempPath()).
    // False when no safe folder could be had: the updater must not go on then.
    static bool setUp();

    // Creates or checks <base>/voxtrel-<uid> and sets TMPDIR to it.  An existing entry is used
    // only when it is a real folder owned by the user with mode 0700; anything else is refused
    // (false, TMPDIR unchanged).
    static bool setUpIn(const QString &base);

    static QString folderName(); // "voxtrel-<uid>"

    // A real folder (not a link) owned by the user that neither group nor others can write to.
    static bool isOwnFolder(const QString &path);

    // A session folder that may be continued, taken over or emptied: isOwnFolder holds for it,
    // and the folder holding it can be written by nobody but the user (or root, its owner).
    static bool isPrivateSessionFolder(const QString &path);
};
