#pragma once
// Writes two versions of an installed client for the end-to-end runs: "Voxtrel 3 Client.app" of
// version N and of version N+1, each with the updater bundle at "SharedSupport/update.app".
//
// Between the two versions there are Mach-O programs and libraries that change (patchable),
// stay the same or are added and removed, text and resource files that change, stay, are added
// and are removed, a nested folder that disappears, a new nested folder, a path with a blank,
// and the tool applications' framework links into the client's "Frameworks" folder. The client
// program is a stand-in shell script at "Contents/MacOS/vx3client_mac" that appends one line
// ("<UTC time> version=<n> args=<arguments>") to the file named by VX_E2E_CLIENT_LOG whenever it
// is started; the updater program is whatever executable the caller names.

#include <QByteArray>
#include <QString>

class BundleGenerator
{
public:
    struct Options
    {
        // Copied to "SharedSupport/update.app/Contents/MacOS/update" of both versions; any
        // executable file will do.
        QString updaterBinary;
        // The updater of version N+1 when it differs; empty: updaterBinary.
        QString newUpdaterBinary;
        // Version N; the second bundle is N+1.
        int oldVersion = 1;
        // Above 0: a few large compressible files of about this many MiB in all are added, most
        // of them changed in N+1 (for benchmarks).
        int bigMegabytes = 0;
    };

    // Writes <oldRoot>/Voxtrel 3 Client.app and <newRoot>/Voxtrel 3 Client.app (either may exist
    // already: it is replaced). False with error set on failure.
    static bool generate(const Options& options, const QString& oldRoot, const QString& newRoot,
                         QString* error);

    static QString bundleName() { return QStringLiteral("Voxtrel 3 Client.app"); }
    // Paths relative to the bundle's Contents folder.
    static QString clientExecutable() { return QStringLiteral("MacOS/vx3client_mac"); }
    static QString updaterBundle() { return QStringLiteral("SharedSupport/update.app"); }
    static QString updaterExecutable()
    {
        return QStringLiteral("SharedSupport/update.app/Contents/MacOS/update");
    }
    // The environment variable the stand-in client writes its start record to.
    static QString clientLogVariable() { return QStringLiteral("VX_E2E_CLIENT_LOG"); }

    // The committed Mach-O fixtures of the patch-engine tests.
    static QString fixturesDir();
    // Deterministic data of the given size that compresses well (text-like words with some noise).
    static QByteArray compressibleBytes(qint64 size, quint32 seed);
    // Deterministic data that does not compress.
    static QByteArray randomBytes(qint64 size, quint32 seed);

private:
    static bool writeVersion(const Options& options, const QString& root, bool newVersion,
                             QString* error);
};
