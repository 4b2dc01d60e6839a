#pragma once
// A temp folder of the user's own.  The updater keeps files of fixed names in the temp folder
// (the arguments file, the banner cache, the session folders); in a temp folder shared by all
// users, as /tmp is, another local user could plant them first.  setUp, the first call of main,
// keeps the temp folder only when it is a real folder of the user's own that nobody else can
// write to; otherwise it takes <temp folder>/voxtrel-<uid> (mode 0700, owned by the user, not a
// link), or a folder of a unique name beside it when another user holds that name, and points
// TMPDIR at it, so that every later QDir::tempPath() names it.  Nothing is taken in a place
// another user could replace.

#include <QString>

class PrivateTempDir {
public:
    // Keeps TMPDIR when it names a folder for which isOwnFolder holds (not through a link) in a
    // safe place; otherwise setUpIn(QDir::tempPath()).
    // False when no safe folder could be had: the updater must not go on then.
    static bool setUp();

    // Takes <base>/voxtrel-<uid> and sets TMPDIR to it.  The user's own folder of that name is
    // taken with its mode set to 0700; a name held by anything else (another user's folder, a
    // link, a file, an own folder others could write to) is left alone and a private folder
    // "voxtrel-<uid>-XXXXXX" beside it is taken instead (an earlier one when there is one).
    // False (TMPDIR unchanged) when base is empty, missing, no folder or not isSafePlace, or
    // when no folder can be made in it.
    static bool setUpIn(const QString &base);

    static QString folderName(); // "voxtrel-<uid>"

    // A real folder (not a link) owned by the user that neither group nor others can write to.
    static bool isOwnFolder(const QString &path);

    // No other user can replace the folder at path or any folder above it: each of them, up to
    // the root, is a real folder owned by the user or root that nobody else can write to or
    // that has the sticky bit.  path must be absolute and free of links (a canonical path).
    static bool isSafePlace(const QString &path);

    // A session folder that may be continued, taken over or emptied: isOwnFolder holds for it,
    // and the folder holding it can be written by nobody but the user (or root, its owner).
    static bool isPrivateSessionFolder(const QString &path);
};
