#pragma once
// Starts an application bundle ("X.app") by running its executable, "Contents/MacOS/<name>",
// directly as a detached process with no arguments.  Every program start of the updater goes
// through here; the system's "open" command is never used (it is a different program on other
// platforms).

#include <QString>

class AppLauncher {
public:
    // The executable of `bundlePath` (a clean path).
    static QString executablePath(const QString &bundlePath, const QString &executableName);

    // Starts the executable with the folder that holds it as working folder.  False when it
    // does not exist, when a user other than the one running the updater (or root) could change
    // the bundle or a folder holding it, or when it could not be started.
    static bool launch(const QString &bundlePath, const QString &executableName);
};
