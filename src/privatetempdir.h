#pragma once
// A temp folder of the user's own.  The updater keeps files of fixed names in the temp folder
// (the arguments file, the banner cache, the session folders); in a temp folder shared by all
// users, as /tmp is when TMPDIR is unset, another local user could plant them first.  setUp, the
// first call of main, then makes <system temp>/voxtrel-<uid> (mode 0700, owned by the user, not a
// link) and points TMPDIR at it, so that every later QDir::tempPath() names it.

#include <QString>

class PrivateTempDir {
public:
    // Does nothing when TMPDIR is set; otherwise setUpIn(QDir::tempPath()).  False when no safe
    // folder could be had: the updater must not go on then.
    static bool setUp();

    // Creates or checks <base>/voxtrel-<uid> and sets TMPDIR to it.  An existing entry is used
    // only when it is a real folder owned by the user with mode 0700; anything else is refused
    // (false, TMPDIR unchanged).
    static bool setUpIn(const QString &base);

    static QString folderName(); // "voxtrel-<uid>"
};
