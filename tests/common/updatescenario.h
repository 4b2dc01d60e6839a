#pragma once
// End-to-end update runs on generated bundles.
//
// UpdateRelease: the two client versions N and N+1 (BundleGenerator, with a real updater program)
// and the image server's tree for N+1 (ReleaseBuilder), made once per test program, with a
// snapshot of each bundle.
//
// UpdateImageServer: an HttpTestServer on 127.0.0.1 that serves a release tree (or any folder
// laid out like one) and injects faults into chosen files: a status, a stall, a dropped
// connection, a truncated or a corrupted body, for the first few requests or for all of them.
//
// UpdateScenario: one scenario folder with a copy of bundle N, its own temp, home and config
// folders and an "update.ini" whose alpha channel points at the image server.  It runs the
// updater step and the client step in-process (UpdateEngine, as the window drives it) or starts
// the real updater program, and compares the bundle with either version.

#include "common/httptestserver.h"
#include "common/releasebuilder.h"
#include "common/treesnapshot.h"

#include <QHash>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QProcess;
class UpdateEngine;

class UpdateRelease
{
public:
    // Writes <root>/old, <root>/new (the bundles) and <root>/served/<N+1> (the image server's
    // tree), replacing what is there, and marks the folder complete.  False with error set on
    // failure.
    bool build(const QString& root, const QString& updaterBinary, int oldVersion, QString* error);
    // Takes up a release that build() completed earlier (possibly in another process), reading
    // the entries back from its product lists.  False with error set when there is none.
    bool open(const QString& root, int oldVersion, QString* error);

    int oldVersion() const { return m_OldVersion; }
    int newVersion() const { return m_OldVersion + 1; }
    QString oldBundle() const;   // ".../old/Voxtrel 3 Client.app"
    QString newBundle() const;
    QString servedRoot() const;  // holds the folder "<N+1>"
    QString versionDir() const;  // servedRoot()/<N+1>
    const TreeSnapshot& oldTree() const { return m_OldTree; }
    const TreeSnapshot& newTree() const { return m_NewTree; }
    // Every line of both product lists, with its kind and served file.
    const QList<ReleaseBuilder::Entry>& entries() const { return m_Entries; }

    // The first entry of a product list ("update_macosx.ini" or "vx3_client_macosx.ini") of the
    // given kind; null when there is none.
    const ReleaseBuilder::Entry* firstEntry(const QString& productIni, ReleaseBuilder::Kind kind) const;

private:
    bool readEntries(QString* error);
    bool takeSnapshots(QString* error);

    QString m_Root;
    int m_OldVersion = 0;
    TreeSnapshot m_OldTree;
    TreeSnapshot m_NewTree;
    QList<ReleaseBuilder::Entry> m_Entries;
};

class UpdateImageServer
{
public:
    enum class Fault
    {
        NotFound,    // status 404
        ServerError, // status 500
        Stall,       // half the body, then silence (the connection stays open)
        Drop,        // half the body, then the connection is closed
        Truncated,   // the first half of the body, sent as a complete answer
        Corrupted,   // the whole body with bytes in its middle changed
        GzipBomb,    // a gzip body of 1 GiB of zeros sent as Content-Encoding gzip
        Endless,     // a Content-Length of 1 TiB and a body that never ends
        SlowDrip,    // the body one byte every 2 s
        HeaderFlood  // the status line and one header line that never ends, as fast as taken
    };

    // Serves the files below root: a request for /<path> gets root/<path> (percent-decoded, dot
    // segments resolved; nothing outside root).
    explicit UpdateImageServer(const QString& root);

    QString baseUrl() const { return m_Http.baseUrl() + QLatin1Char('/'); }
    HttpTestServer& http() { return m_Http; }

    // Answers the next `times` requests for the file (absolute path below root) with the fault;
    // times < 0: every request.
    void addFault(const QString& file, Fault fault, int times);
    // Serves other bytes for a file (absolute path below root; it need not exist).
    void overrideFile(const QString& file, const QByteArray& content);
    void clearFaults();

    // Requests for the file so far (absolute path below root).
    int requestCount(const QString& file) const { return m_Counts.value(file); }
    // Files whose requests were answered with a fault.
    int faultsServed() const { return m_FaultsServed; }

    static QString faultName(Fault fault);
    // The answer a fault gives in place of the body.
    static HttpTestServer::Response faultResponse(Fault fault, const QByteArray& body);

private:
    HttpTestServer::Response answer(const HttpTestServer::Request& request);

    struct Planned
    {
        Fault fault;
        int remaining; // < 0: for ever
    };
    HttpTestServer m_Http;
    QString m_Root;
    QHash<QString, Planned> m_Faults;
    QHash<QString, QByteArray> m_Overrides;
    QHash<QString, int> m_Counts;
    int m_FaultsServed = 0;
};

class UpdateScenario
{
public:
    enum class Outcome
    {
        Finished,    // updateFinished
        Canceled,    // updateCanceled
        NotStarted,  // the command line or initialize failed
        TimedOut     // neither signal in time
    };

    struct Run
    {
        Outcome outcome = Outcome::NotStarted;
        QStringList messages; // message and error texts in order
        QStringList fatal;    // fatalError texts of the engine and the configuration
        int exitCode = -1;    // real program only
    };

    // Called for every message of an in-process run; it may act on the engine (queue a cancel).
    using Watcher = std::function<void(UpdateEngine* engine, const QString& message)>;

    // The scenario's folder is <root>; bundle N is copied to <root>/install.
    UpdateScenario(const UpdateRelease& release, const QString& root);
    // Ends every updater program of the scenario that is still running.
    ~UpdateScenario();

    // Creates the folders, copies bundle N, writes the config "update.ini" with the alpha URL
    // and sets TMPDIR, HOME and VX3_CONFIG_DIR.  False with error set on failure.
    bool setUp(const QString& imageBaseUrl, QString* error);
    // Sets the scenario's TMPDIR, HOME and VX3_CONFIG_DIR in this process (again).
    void applyEnvironment() const;
    // The same variables for a child process, with QT_QPA_PLATFORM=offscreen.
    QProcessEnvironment processEnvironment() const;

    QString root() const { return m_Root; }
    QString bundle() const;   // <root>/install/Voxtrel 3 Client.app
    QString contents() const; // its Contents folder
    QString tmp() const;      // the scenario's TMPDIR
    // The session folder of the last updater step run in-process (empty before).
    QString sessionDir() const { return m_SessionDir; }
    void setSessionDir(const QString& dir) { m_SessionDir = dir; }

    // Step one in-process: the installed updater with "--nouser update_macosx <N+1>".
    Run runUpdaterStep(const Watcher& watcher = Watcher(), int timeoutMs = 120000);
    // Step two in-process: the session's fresh updater with "--clientupdate client_macosx <N+1> #".
    Run runClientStep(const Watcher& watcher = Watcher(), int timeoutMs = 120000);
    // Step one, and step two when step one finished; the outcome of the last step run.
    Run runBothSteps(const Watcher& watcher = Watcher(), int timeoutMs = 120000);

    // The arguments of either step (without the program).
    QStringList stepArguments(bool clientStep) const;
    // The updater program of either step: the installed one, or the session's fresh one.
    QString updaterProgram(bool clientStep) const;

    // Starts the real updater program of either step as a child process with the scenario's
    // environment (offscreen), after seeding the banner cache in TMPDIR so that the program never
    // asks the banner service.  False with error set when it does not start.
    // extraEnvironment: further "NAME=value" entries for the program.
    bool startProgram(QProcess* process, bool clientStep, QString* error,
                      const QStringList& extraEnvironment = QStringList()) const;

    // The stand-in client's start records (one line per start) and their number.
    QString clientLog() const { return m_Root + QStringLiteral("/client.log"); }
    int clientStarts() const;
    // Running processes whose program lies in the scenario's folder (the updaters of either
    // step, also those started detached by a hand-over): "<pid> <program>".
    QStringList updaterProcesses() const;
    // Kills what updaterProcesses() finds and waits (bounded) for them to go; what was running.
    QStringList endLeftoverUpdaters() const;
    // A session folder in TMPDIR holding the path (relative to the session folder); empty when
    // none does.
    QString sessionHolding(const QString& relative) const;

    // Differences between the bundle and a snapshot; the installed updater's own session record
    // ("SharedSupport/update.ini") is left out when ignoreSessionRecord is set.
    QStringList differencesFrom(const TreeSnapshot& expected, bool ignoreSessionRecord) const;
    // Entries of the bundle's tree whose names show an unfinished file operation.
    QStringList bundleLeftovers() const;
    // What an update session left in TMPDIR: session folders and the arguments file.
    QStringList tmpLeftovers() const;

    // A watcher that queues one cancel when a message starts with the text.
    static Watcher cancelOn(const QString& messagePrefix);
    static QString outcomeName(Outcome outcome);

private:
    Run runStep(bool clientStep, const Watcher& watcher, int timeoutMs);

    const UpdateRelease& m_Release;
    QString m_Root;
    QString m_SessionDir;
};
