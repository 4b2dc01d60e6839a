#pragma once
// The updater's settings file "update.ini": the [current] session record that lets a later updater
// process continue the same session, and its copy for the updater of the client step.

#include <QString>
#include <QVariantMap>

class UpdateIniData {
public:
    // The updater's own copy, beside update.app.
    static QString iniPath();

    // Reads [current]; succeeds only when version is an integer, type is not empty and dir names
    // an existing folder.  Non-null pointers receive the values on success only.
    static bool get(int *version, QString *type, QString *dir, QString *vx3dir);
    // The same for the record in another "update.ini" (a session folder's own copy).
    static bool getFrom(const QString &path, int *version, QString *type, QString *dir, QString *vx3dir);

    // Every write below puts the file's new content on stable storage before it takes the name,
    // then the folder's entry; false when any step failed (the file then keeps its former
    // content, unless only that last sync of the folder failed), and nothing of the edit stays
    // in the temp folder.

    // Writes [current] of the own copy; other groups stay.
    static bool modify(int version, const QString &dir, const QString &vx3dir, const QString &type);

    // Writes "update.ini" in `folder` for the client step's updater: the session record with the
    // client step's type, and the user's [update] and [Channel] settings so that the second step
    // runs with the same proxy, stream count and channel.  False as well when the own record is
    // unusable: the client step's updater must not run without it.
    static bool modifyTempIni(const QString &folder);

    // Forgets the session: removes [current] from the own copy and keeps the user's other groups
    // (proxy, streams, channel); the file goes only when nothing else is left in it.
    static bool removeCurrent();

    // Removes the private folders of record copies in the temp folder whose process is gone
    // (left when their removal failed); the user's own folders only, never through a link.  To
    // be called holding the installation lock.  The number removed.
    static int removeAbandonedCopies();

    // The report of a record that could not be written at path.
    static QString writeFailureText(const QString &path);

    // Records in [current] of the own copy that the session's files are committed (the client
    // step's replacement is final: the originals kept aside are never put back).  True only when
    // the mark reads back from the file and the file's folder is on stable storage; otherwise the
    // mark is taken out again, as far as the file can still be written.
    static bool markCommitted();
    // Whether [current] of the "update.ini" at path says committed.
    static bool isCommitted(const QString &path);

private:
    // The keys of `group` in the file at fromPath, to be copied into the file at toPath; none when
    // that is the same file.  False when fromPath cannot be read.
    static bool readGroup(
        const QString &fromPath, const QString &group, const QString &toPath, QVariantMap *values);
};
