#pragma once
// Starts the program that follows a successful update step: the chat client after the client
// step, the fresh updater of the session folder after the updater step.  Both are started
// through AppLauncher and not waited for.

#include <QString>
#include <QStringList>

class ProcessTools {
public:
    // Starts "Voxtrel 3 Client.app" in the folder that holds the client bundle; `installDir` is
    // the bundle's Contents folder.  False when the client could not be started.
    static bool startVx3Client(const QString &installDir);

    // Leaves `args` in the arguments file for the next updater, then starts the updater bundle
    // "SharedSupport/update.app" of the session folder `tempDir`.  Nothing is started when the
    // arguments file cannot be written, so the next updater never reads a stale one.
    static bool startClientUpdater(const QString &tempDir, const QStringList &args);

    static QString clientBundleName();      // "Voxtrel 3 Client.app"
    static QString updaterExecutableName(); // "update"
};
