#pragma once
// Starts the program that follows a successful update step: the chat client after the client
// step, the fresh updater of the session folder after the updater step.  Both are started
// through AppLauncher and not waited for.

#include <QString>
#include <QStringList>

class ProcessTools {
public:
    // What a start that failed could not do, so that the user can be told.
    struct Failure {
        enum Kind { None, ArgsFileNotWritten, NotStarted };
        Kind kind = None;
        QString path; // the arguments file, or the program that did not start
    };

    // Starts "Voxtrel 3 Client.app" in the folder that holds the client bundle; `installDir` is
    // the bundle's Contents folder.  False when the client could not be started (`failure`, when
    // given, then says so).
    static bool startVx3Client(const QString &installDir, Failure *failure = nullptr);

    // Leaves `args` in the arguments file for the next updater, then starts the updater bundle
    // "SharedSupport/update.app" of the session folder `tempDir`.  Nothing is started when the
    // arguments file cannot be written, so the next updater never reads a stale one.  False
    // when either fails (`failure`, when given, says which).
    static bool startClientUpdater(
        const QString &tempDir, const QStringList &args, Failure *failure = nullptr);

    static QString clientBundleName(); // "Voxtrel 3 Client.app"
    static QString updaterExecutableName(); // "update"
};
