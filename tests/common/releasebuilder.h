#pragma once
// Builds what the image server holds for one client version: the folder <out>/<version> with the
// two signed product lists and every file and patch they name, from the installed trees of the
// previous version N and of the new version N+1.
//
// Served tree, all below <out>/<version>:
//   update_macosx.ini._lzma2_, update_macosx.ini.sig         product list of the updater step
//   vx3_client_macosx.ini._lzma2_, vx3_client_macosx.ini.sig product list of the client step
//   <key>                  files of section "." (both lists)
//   common_client/<key>    files of section "common_client" (client list)
// The ".sig" is the detached RSA-PSS/SHA-1 signature of the unpacked list, made with the
// test-only key; the list itself is served as a plain compressed-file container.
//
// Client list: every file of version N+1 (the client bundle's Contents folder, with the updater
// bundle at "SharedSupport/update.app"); files below "SharedSupport/" go to "common_client" (key
// relative to SharedSupport), all others to "."; files of N missing in N+1 go to "delete" (a
// vanished folder once, code 2, files in remaining folders with code 1). Symbolic links are not
// listed: the updater makes the framework links itself.
// Updater list: the files of the updater bundle and of the shared "Frameworks" and "Plugins"
// folders (which the fresh updater links to), all in section "." under their Contents paths.
//
// How a file is served (key = installed path relative to the section, plus a suffix):
//   executable (Mach-O, or executable bit)  key "._lzma2_", executable-aware container; when N
//                                           holds a different file there, also a patch key
//                                           "._patch_": an ensemble patch from N's file (Mach-O
//                                           slices as elements, else a byte diff)
//   name ending in ".html"                  key ".gz", gzip
//   unchanged or new, below 64 KiB          key as it stands, the file itself (2 fields)
//   anything else                           key "._lzma2_", plain compressed-file container
// A changed file is never served plain: the updater only copies plain files onto free paths.

#include <QList>
#include <QMap>
#include <QString>

class ReleaseBuilder
{
public:
    enum class Kind
    {
        Plain,               // the file as it is installed, 2-field value
        Container,           // compressed-file container, plain directive
        ExecutableContainer, // compressed-file container, executable-aware directive requested
        Gzip,                // gzip file
        Patch,               // ensemble patch from the file of version N
        Delete               // entry of the "delete" section
    };

    struct Options
    {
        QString oldBundle;  // "Voxtrel 3 Client.app" of version N (or its Contents folder, or the
                            // folder holding it)
        QString newBundle;  // the same for version N+1
        QString oldUpdater; // "update.app" of version N; empty: the one inside oldBundle
        QString newUpdater; // "update.app" of version N+1; empty: the one inside newBundle
        int version = 0;    // N+1
        QString outDir;     // the tree is written to <outDir>/<version>
        int jobs = 2;       // files packed at the same time
    };

    // One line of a product list.
    struct Entry
    {
        QString productIni; // "update_macosx.ini" or "vx3_client_macosx.ini"
        QString section;
        QString key;
        QString value;
        Kind kind = Kind::Plain;
        QString relativePath; // installed path relative to the Contents folder
        QString servedFile;   // absolute path in the served tree (empty for Delete)
        QString newFile;      // the file of version N+1 it yields (empty for Delete)
        QString oldFile;      // Patch: the file of version N it applies to
    };

    explicit ReleaseBuilder(const Options& options);

    // Writes the tree; false with error() set on failure. An existing <outDir>/<version> is
    // replaced.
    bool build();

    QString error() const { return m_Error; }
    QString versionDir() const;
    const QList<Entry>& entries() const { return m_Entries; }

    // "vx3_client_macosx.ini" for the client step, "update_macosx.ini" for the updater step.
    static QString productIniName(bool clientStep);
    static QString kindName(Kind kind);

private:
    // One file of the served tree to produce.
    struct Job
    {
        Kind kind;
        QString input;    // the file of version N+1
        QString oldInput; // Patch: the file of version N
        QString output;   // path in the served tree
    };


    bool collect();
    bool addProduct(bool clientStep);
    void addFileEntries(const QString& productIni, const QString& section, const QString& keyBase,
                        const QString& relativePath);
    void addDeleteEntries();
    void addJob(const Entry& entry);
    bool runJobs();
    bool fillValues();
    bool writeProductIni(const QString& productIni);
    bool fail(const QString& text);

    Options m_Options;
    QString m_Error;
    QString m_OldContents;
    QString m_NewContents;
    // Installed path relative to Contents -> absolute file path, for N and N+1.
    QMap<QString, QString> m_OldFiles;
    QMap<QString, QString> m_NewFiles;
    QList<Entry> m_Entries;
    QList<Job> m_Jobs;
};
