#pragma once
// The settings of one run of the updater: which step it performs, the update channel, the client
// type, the target version, the session temp folder, the client's install folder and the network
// settings of "update.ini".  One instance lives on main's stack for the whole run; the window, the
// engine and the tasks read its members directly.

#include "updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

// Base address of every file download; always ends in "/".  Set by getUpdateChannel.
extern QString imageBaseUrl;

class Configuration : public QObject {
    Q_OBJECT
public:
    explicit Configuration(QObject *parent = nullptr);

    bool m_Ready = false;       // complete: an update may start
    int m_ClientUpdate = 0;     // 1 in the client step, 0 in the updater step
    int m_Channel = 0;          // 0 stable, 1 beta, 2 alpha
    QString m_ClientType;       // product base name, e.g. "client_macosx"
    int m_Version = 0;          // target version; 0 while unknown, else above 0
    QString m_VersionString;    // target version as shown to the user
    QString m_TempDir;          // session temp folder, no trailing "/"
    QString m_InstallDir;       // the client bundle's Contents folder
    QString m_Proxy;            // [update] proxy
    int m_Streams = 0;          // [update] streams: parallel downloads

    // Reads QCoreApplication::arguments(); false when the command line is unusable (a fatal
    // error has then been emitted and the process should end with status 1).
    bool parseCommandLineOptions();
    // The same for a given list; element 0 stands for the program.
    bool parseCommandLineOptions(const QStringList &arguments);

    void getUpdateChannel();
    bool parseClientInfo(const QStringList &arguments, int index);
    bool setVersion(const QString &text, const QString &errorFormat);
    bool getDefaultParameters();
    bool initalizeStart(const QString &tempDir, const QString &installDir);
    bool createTempDir();
    void readUpdateSettings();
    bool isClientDir(const QString &dir) const;

    // The arguments file that the updater step leaves for the client step, one argument a line,
    // UTF-8.  readArgsFile puts an empty program entry in front; a missing file gives an empty list.
    static QString argsFilePath();
    static QStringList readArgsFile();
    static bool writeArgsFile(const QStringList &arguments);

    // The folder holding update.app, ending in "/": settled once, as settledFolder makes it.
    static QString appDirBase();
    // path as a clean absolute path (a trailing "/" kept) when walking that reaches the very
    // folder (device and inode) that walking path reaches; otherwise path as it is.  Walks
    // then go straight down instead of through "MacOS/../../..".
    static QString settledFolder(const QString &path);
    static QString installDir();   // the same folder, as a clean path
    static QString configDir();    // VX3_CONFIG_DIR or the default, always ending in a separator
    static QString channelIniPath(); // the "update.ini" whose [Channel] counts; empty when none exists
    static QString defaultClientType(bool client);
    static QString clientExecutableName();
    static QString defaultImageBaseUrl();

    // For tests only: replaces QCoreApplication::applicationDirPath() in the folder helpers.
    // The shipped program never calls it.  An empty path restores the real one.
    static void setApplicationDirForTesting(const QString &dir);

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

public slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    void markReady();
};
