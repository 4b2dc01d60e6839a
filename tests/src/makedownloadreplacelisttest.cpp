// Building the download, replace and delete lists from real product lists (written by hand and
// with QSettings) against a real temporary client bundle.
#include "configuration.h"
#include "makedownloadreplacelistfunc.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "replaceentry.h"

#include "common/clientbundle.h"
#include "common/downloadentryfor.h"
#include "common/productiniwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{
const QString kWarning = QStringLiteral("Warning: product ini contains invalid line in section %1");

QString dl(const DownloadEntry& e)
{
    return e.group + "|" + e.name + "|" + e.hash + "|" + QString::number(e.size);
}

QString rp(const ReplaceEntry& e)
{
    return e.group + "|" + e.name + "|" + e.unpackedHash + "|" + QString::number(e.unpackedSize) + "|"
           + e.target + "|" + e.patch;
}

QString del(const DeleteEntry& e)
{
    return e.path + (e.isDir ? "|dir" : "|file");
}

// Every file below a folder, relative, sorted.
QStringList filesBelow(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}
} // namespace

class MakeDownloadReplaceListTest : public QObject
{
    Q_OBJECT

    struct Result
    {
        bool ok = false;
        QStringList downloads;
        QStringList replaces;
        QStringList deletes;
        QStringList messages;
        QList<qreal> progress;
    };

    std::unique_ptr<QTemporaryDir> m_Root;
    std::unique_ptr<ClientBundle> m_Bundle;
    Configuration m_Config;

    QString iniPath() const
    {
        return m_Config.m_TempDir + "/" + MakeDownloadReplaceListFunc::productIniName(m_Config.m_ClientUpdate != 0);
    }

    bool write(const ProductIniWriter& w, bool byHand)
    {
        return byHand ? w.writeByHand(iniPath()) : w.writeWithQSettings(iniPath());
    }

    Result build()
    {
        Result r;
        auto lists = std::make_shared<UpdateLists>();
        MakeDownloadReplaceListFunc func(&m_Config, lists);
        QSignalSpy messages(&func, &ASyncFunc::message);
        QSignalSpy progress(&func, &ASyncFunc::progress);
        r.ok = func.run();
        for (const auto& e : lists->downloadList)
            r.downloads << dl(e);
        for (const auto& e : lists->replaceList)
            r.replaces << rp(e);
        for (const auto& e : lists->deleteList)
            r.deletes << del(e);
        for (const auto& m : messages)
            r.messages << m.at(0).toString();
        for (const auto& p : progress)
            r.progress << p.at(0).toReal();
        return r;
    }

    Result writeAndBuild(const ProductIniWriter& w, bool byHand)
    {
        if (!write(w, byHand))
            return Result();
        return build();
    }

    static void addWriteModes()
    {
        QTest::addColumn<bool>("byHand");
        QTest::newRow("hand-written") << true;
        QTest::newRow("QSettings") << false;
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    }

    void init()
    {
        m_Root.reset(new QTemporaryDir);
        QVERIFY(m_Root->isValid());
        m_Bundle.reset(new ClientBundle(m_Root->path() + "/install"));
        QVERIFY(m_Bundle->isValid());
        m_Config.m_InstallDir = m_Bundle->contentsDir();
        m_Config.m_TempDir = m_Root->path() + "/session";
        QVERIFY(QDir().mkpath(m_Config.m_TempDir));
        m_Config.m_ClientUpdate = 1;
    }

    void relativePath_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("expected");
        QTest::newRow("root, name") << "." << "MacOS/vx3client_mac" << "" << "" << "MacOS/vx3client_mac";
        QTest::newRow("root, prefix") << "." << "MacOS/vx3client_mac" << "" << "_old_" << "MacOS/_old_vx3client_mac";
        QTest::newRow("bare name, prefix") << "x" << "Info.plist" << "" << "_old_" << "_old_Info.plist";
        QTest::newRow("target wins") << "Frameworks" << "a.dylib._lzma2_" << "Frameworks/a.dylib" << "" << "Frameworks/a.dylib";
        QTest::newRow("target, prefix") << "Frameworks" << "a.dylib._lzma2_" << "Frameworks/b/a.dylib" << "_old_" << "Frameworks/b/_old_a.dylib";
        QTest::newRow("common_client") << "common_client" << "Resources/x.dat" << "" << "" << "SharedSupport/Resources/x.dat";
        QTest::newRow("common_client, prefix") << "common_client" << "x.dat" << "" << "_old_" << "SharedSupport/_old_x.dat";
    }

    void relativePath()
    {
        QFETCH(QString, group);
        QFETCH(QString, name);
        QFETCH(QString, target);
        QFETCH(QString, prefix);
        QFETCH(QString, expected);
        ReplaceEntry e;
        e.group = group;
        e.name = name;
        e.target = target;
        QCOMPARE(e.relativePath(prefix), expected);
        QCOMPARE(e.hasTarget(), !target.isEmpty());
        QCOMPARE(e.targetOrName(), target.isEmpty() ? name : target);
        QVERIFY(!e.hasPatch());
    }

    void plainFiles_data() { addWriteModes(); }
    void plainFiles()
    {
        QFETCH(bool, byHand);
        const QByteArray fresh("new executable");
        const QByteArray stale("old executable");
        QVERIFY(m_Bundle->addFile("MacOS/uptodate", fresh));
        QVERIFY(m_Bundle->addFile("MacOS/outdated", stale));
        ProductIniWriter w;
        w.add(".", "MacOS/missing", ProductIniWriter::fileValue(fresh));
        w.add(".", "MacOS/uptodate", ProductIniWriter::fileValue(fresh).toUpper()); // case of the hex does not matter
        w.add(".", "MacOS/outdated", ProductIniWriter::fileValue(fresh));
        const Result r = writeAndBuild(w, byHand);
        QVERIFY(r.ok);
        QCOMPARE(r.downloads, QStringList({dl(downloadEntryFor(".", "MacOS/missing", fresh)), dl(downloadEntryFor(".", "MacOS/outdated", fresh))}));
        ReplaceEntry a;
        a.group = ".";
        a.name = "MacOS/missing";
        ReplaceEntry b = a;
        b.name = "MacOS/outdated";
        QCOMPARE(r.replaces, QStringList({rp(a), rp(b)}));
        QVERIFY(r.deletes.isEmpty());
        QCOMPARE(r.messages.first(), QStringLiteral("Compiling download and replace list for client"));
        QCOMPARE(r.progress, QList<qreal>({1.0 / 3, 2.0 / 3, 1.0}));
        QCOMPARE(filesBelow(m_Config.m_TempDir), QStringList({"vx3_client_macosx.ini"}));
    }

    void packedFileUpToDate_data()
    {
        QTest::addColumn<bool>("byHand");
        QTest::addColumn<int>("clientStep");
        QTest::newRow("client step, hand-written") << true << 1;
        QTest::newRow("client step, QSettings") << false << 1;
        QTest::newRow("updater step, hand-written") << true << 0;
        QTest::newRow("updater step, QSettings") << false << 0;
    }

    void packedFileUpToDate()
    {
        QFETCH(bool, byHand);
        QFETCH(int, clientStep);
        m_Config.m_ClientUpdate = clientStep;
        const QByteArray installed("libfoo version 9");
        QVERIFY(m_Bundle->addFile("Frameworks/libfoo.dylib", installed));
        QVERIFY(m_Bundle->addFile("SharedSupport/tool", "tool 3"));
        ProductIniWriter w;
        w.add("Frameworks", "Frameworks/libfoo.dylib._lzma2_",
              ProductIniWriter::packedValue("packed bytes", installed, "Frameworks/libfoo.dylib"));
        w.add("common_client", "tool", ProductIniWriter::fileValue("tool 3"));
        const Result r = writeAndBuild(w, byHand);
        QVERIFY(r.ok);
        QVERIFY(r.downloads.isEmpty());
        QVERIFY(r.replaces.isEmpty());
        QCOMPARE(r.messages.first(), QStringLiteral("Compiling download and replace list for ")
                                         + (clientStep ? "client" : "updater"));
        if (clientStep) {
            QCOMPARE(filesBelow(m_Config.m_TempDir), QStringList({"vx3_client_macosx.ini"}));
        } else {
            // The unchanged files go into the new updater built in the temp folder.
            QCOMPARE(filesBelow(m_Config.m_TempDir),
                     QStringList({"Frameworks/libfoo.dylib", "SharedSupport/tool", "update_macosx.ini"}));
            QCOMPARE(ClientBundle::readFile(m_Config.m_TempDir + "/Frameworks/libfoo.dylib"), installed);
            QCOMPARE(ClientBundle::readFile(m_Config.m_TempDir + "/SharedSupport/tool"), QByteArray("tool 3"));
        }
    }

    void updaterCopies_data()
    {
        QTest::addColumn<QString>("inTheWay"); // what stands under the copy's name beforehand
        QTest::addColumn<bool>("ok");
        QTest::newRow("stale copy of an earlier run") << "stale" << true;
        QTest::newRow("link to a file outside") << "link" << true;
        QTest::newRow("folder that cannot be replaced") << "folder" << false;
    }

    // The up-to-date files of the new updater are copied into the session folder; the copy
    // replaces what stands there, never writes through a link, and a copy that cannot be made
    // ends the list building.
    void updaterCopies()
    {
        QFETCH(QString, inTheWay);
        QFETCH(bool, ok);
        m_Config.m_ClientUpdate = 0;
        QVERIFY(m_Bundle->addFile("SharedSupport/tool", "tool 3"));
        const QString copy = m_Config.m_TempDir + "/SharedSupport/tool";
        const QString outside = m_Root->path() + "/outside";
        QVERIFY(ClientBundle::writeFile(outside, "not the updater's"));
        QVERIFY(QDir().mkpath(m_Config.m_TempDir + "/SharedSupport"));
        if (inTheWay == "stale")
            QVERIFY(ClientBundle::writeFile(copy, "tool 2"));
        else if (inTheWay == "link")
            QVERIFY(QFile::link(outside, copy));
        else
            QVERIFY(ClientBundle::writeFile(copy + "/keep", "x"));
        ProductIniWriter w;
        w.add("common_client", "tool", ProductIniWriter::fileValue("tool 3"));
        const Result r = writeAndBuild(w, true);
        QCOMPARE(r.ok, ok);
        QCOMPARE(ClientBundle::readFile(outside), QByteArray("not the updater's"));
        if (ok) {
            QVERIFY(!QFileInfo(copy).isSymLink());
            QCOMPARE(ClientBundle::readFile(copy), QByteArray("tool 3"));
        } else {
            QCOMPARE(r.messages.last(), QStringLiteral("Could not copy '%1' to '%2'")
                                            .arg(m_Config.m_InstallDir + "/SharedSupport/tool", copy));
        }
    }

    void patches_data()
    {
        QTest::addColumn<bool>("byHand");
        QTest::addColumn<bool>("sourceMatches");
        QTest::newRow("patch used, hand-written") << true << true;
        QTest::newRow("patch used, QSettings") << false << true;
        QTest::newRow("source differs, hand-written") << true << false;
        QTest::newRow("source differs, QSettings") << false << false;
    }

    void patches()
    {
        QFETCH(bool, byHand);
        QFETCH(bool, sourceMatches);
        const QByteArray oldLib("libfoo version 8");
        const QByteArray newLib("libfoo version 9");
        const QByteArray packed("packed libfoo 9");
        const QByteArray patch("patch 8 to 9");
        QVERIFY(m_Bundle->addFile("Frameworks/libfoo.dylib", sourceMatches ? oldLib : QByteArray("tampered")));
        ProductIniWriter w;
        w.add("Frameworks", "libfoo.dylib._lzma2_", ProductIniWriter::packedValue(packed, newLib, "Frameworks/libfoo.dylib"));
        w.add("Frameworks", "libfoo.dylib_8_patch_", ProductIniWriter::patchValue(patch, oldLib, "Frameworks/libfoo.dylib"));
        const Result r = writeAndBuild(w, byHand);
        QVERIFY(r.ok);
        ReplaceEntry e;
        e.group = "Frameworks";
        e.name = "libfoo.dylib._lzma2_";
        e.unpackedHash = ClientBundle::sha512Hex(newLib);
        e.unpackedSize = quint64(newLib.size());
        e.target = "Frameworks/libfoo.dylib";
        if (sourceMatches) {
            e.patch = "libfoo.dylib_8_patch_";
            QCOMPARE(r.downloads, QStringList({dl(downloadEntryFor("Frameworks", "libfoo.dylib_8_patch_", patch))}));
        } else {
            QCOMPARE(r.downloads, QStringList({dl(downloadEntryFor("Frameworks", "libfoo.dylib._lzma2_", packed))}));
        }
        QCOMPARE(r.replaces, QStringList({rp(e)}));
        // Patch keys count in the total but do not advance the progress.
        QCOMPARE(r.progress, QList<qreal>({0.5}));
    }

    void laterPatchForSameTargetWins_data() { addWriteModes(); }
    void laterPatchForSameTargetWins()
    {
        QFETCH(bool, byHand);
        const QByteArray oldLib("old");
        QVERIFY(m_Bundle->addFile("lib.dylib", oldLib));
        ProductIniWriter w;
        // The reader lists keys in sorted order: "b_patch_" comes after "a_patch_".
        w.add("L", "b_patch_", ProductIniWriter::patchValue("patch b", oldLib, "lib.dylib"));
        w.add("L", "a_patch_", ProductIniWriter::patchValue("patch a", oldLib, "lib.dylib"));
        w.add("L", "lib.dylib._lzma2_", ProductIniWriter::packedValue("packed", "new", "lib.dylib"));
        const Result r = writeAndBuild(w, byHand);
        QVERIFY(r.ok);
        QCOMPARE(r.downloads, QStringList({dl(downloadEntryFor("L", "b_patch_", "patch b"))}));
    }

    void patchNeverCrossesSections()
    {
        const QByteArray oldLib("old");
        QVERIFY(m_Bundle->addFile("lib.dylib", oldLib));
        ProductIniWriter w;
        w.add("A", "lib_patch_", ProductIniWriter::patchValue("patch", oldLib, "lib.dylib"));
        w.add("B", "lib.dylib._lzma2_", ProductIniWriter::packedValue("packed", "new", "lib.dylib"));
        const Result r = writeAndBuild(w, true);
        QVERIFY(r.ok);
        QCOMPARE(r.downloads, QStringList({dl(downloadEntryFor("B", "lib.dylib._lzma2_", "packed"))}));
        QCOMPARE(r.replaces.size(), 1);
        QVERIFY(r.replaces.first().endsWith("|lib.dylib|"));
    }

    void sameNameInTwoSections_data()
    {
        QTest::addColumn<QString>("firstKey");
        QTest::addColumn<QString>("firstValue");
        QTest::addColumn<QString>("secondKey");
        QTest::addColumn<QString>("secondValue");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("downloads");
        const QString same = ProductIniWriter::fileValue("same content");
        QTest::newRow("same file") << "Resources/x.dat" << same << "Resources/x.dat" << same << true << 1;
        QTest::newRow("same file, hash in other case")
            << "Resources/x.dat" << same << "Resources/x.dat" << same.toUpper() << true << 1;
        QTest::newRow("different files")
            << "Resources/x.dat" << same << "Resources/x.dat" << ProductIniWriter::fileValue("other") << false << -1;
        QTest::newRow("different packed files")
            << "x.dylib._lzma2_" << ProductIniWriter::packedValue("p1", "u1", "Frameworks/x.dylib")
            << "x.dylib._lzma2_" << ProductIniWriter::packedValue("p2", "u2", "lib/x.dylib") << false << -1;
        QTest::newRow("different names") << "Resources/x.dat" << same << "Resources/y.dat"
                                         << ProductIniWriter::fileValue("other") << true << 2;
    }

    void sameNameInTwoSections()
    {
        QFETCH(QString, firstKey);
        QFETCH(QString, firstValue);
        QFETCH(QString, secondKey);
        QFETCH(QString, secondValue);
        QFETCH(bool, ok);
        QFETCH(int, downloads);
        ProductIniWriter w;
        w.add("A", firstKey, firstValue);
        w.add("common_client", secondKey, secondValue);
        const Result r = writeAndBuild(w, true);
        QCOMPARE(r.ok, ok);
        if (ok) {
            // Both files are put in place, from one download when they share it.
            QCOMPARE(r.downloads.size(), downloads);
            QCOMPARE(r.replaces.size(), 2);
        } else {
            QCOMPARE(r.messages.last(),
                     QStringLiteral("Product ini lists different files named %1 in sections A and "
                                    "common_client; they cannot share one download")
                         .arg(firstKey));
        }
    }

    // Two entries that would be put in place at one installed path (macOS compares names without
    // regard to case) would undo each other's replacement; the list is refused, naming both.
    void onePathListedTwice_data()
    {
        QTest::addColumn<QStringList>("lines"); // section, key, value, ... in the order written
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("text"); // empty: the list is accepted
        const QString upd = "SharedSupport/update.app/Contents/MacOS/update";
        const QString lib = "Frameworks/libvoice.dylib";
        const QString twice = "Product ini lists two files for %1: %2 in section %3 and %4 in section %5";
        QTest::newRow("same key in . and common_client")
            << QStringList{".", "update._lzma2_", ProductIniWriter::packedValue("packed", "new updater", upd),
                           "common_client", "update._lzma2_",
                           ProductIniWriter::packedValue("packed", "new updater", "update.app/Contents/MacOS/update")}
            << upd << twice.arg(upd, "update._lzma2_", ".", "update._lzma2_", "common_client");
        QTest::newRow("two packed keys, one target")
            << QStringList{".", lib + ".gz", ProductIniWriter::packedValue("gz", "new voice", lib),
                           ".", lib + "._lzma2_", ProductIniWriter::packedValue("lzma", "new voice", lib)}
            << lib << twice.arg(lib, lib + "._lzma2_", ".", lib + ".gz", ".");
        QTest::newRow("names differing in case")
            << QStringList{".", "Resources/Readme.txt", ProductIniWriter::fileValue("readme"),
                           "res", "resources/README.TXT", ProductIniWriter::fileValue("README")}
            << "Resources/Readme.txt"
            << twice.arg("Resources/Readme.txt", "Resources/Readme.txt", ".", "resources/README.TXT", "res");
        QTest::newRow("different paths") << QStringList{".", "Resources/a.txt", ProductIniWriter::fileValue("a"),
                                                        ".", "Resources/a.txt.bak", ProductIniWriter::fileValue("b")}
                                         << "Resources/a.txt" << QString();
        // Nothing is put in place when the installed file is already right.
        QTest::newRow("listed twice, up to date")
            << QStringList{".", lib + ".gz", ProductIniWriter::packedValue("gz", "old voice", lib),
                           ".", lib + "._lzma2_", ProductIniWriter::packedValue("lzma", "old voice", lib)}
            << lib << QString();
    }

    void onePathListedTwice()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, installed);
        QFETCH(QString, text);
        QVERIFY(m_Bundle->addFile(installed, "old voice"));
        ProductIniWriter w;
        for (int i = 0; i + 2 < lines.size(); i += 3)
            w.add(lines[i], lines[i + 1], lines[i + 2]);
        // A later entry that is fine on its own.
        w.add("res", "Resources/zz.txt", ProductIniWriter::fileValue("zz"));
        const Result r = writeAndBuild(w, true);
        QCOMPARE(r.ok, text.isEmpty());
        if (!text.isEmpty())
            QCOMPARE(r.messages.last(), text);
    }

    void alreadyFetchedFileIsReused_data() { addWriteModes(); }
    void alreadyFetchedFileIsReused()
    {
        QFETCH(bool, byHand);
        QVERIFY(ClientBundle::writeFile(m_Config.m_TempDir + "/Resources/good.dat", "good"));
        QVERIFY(ClientBundle::writeFile(m_Config.m_TempDir + "/Resources/bad.dat", "corrupt"));
        ProductIniWriter w;
        w.add("res", "Resources/good.dat", ProductIniWriter::fileValue("good"));
        w.add("res", "Resources/bad.dat", ProductIniWriter::fileValue("fine"));
        const Result r = writeAndBuild(w, byHand);
        QVERIFY(r.ok);
        QCOMPARE(r.replaces.size(), 2);
        QCOMPARE(r.downloads, QStringList({dl(downloadEntryFor("res", "Resources/bad.dat", "fine"))}));
    }

    void manyFilesKeepTheirOrder_data()
    {
        QTest::addColumn<int>("clientStep");
        QTest::newRow("client step") << 1;
        QTest::newRow("updater step") << 0;
    }

    // Enough files of very different sizes that they are hashed out of order: each file still
    // gets the decision for its own content, and the lists follow the product list.
    void manyFilesKeepTheirOrder()
    {
        QFETCH(int, clientStep);
        m_Config.m_ClientUpdate = clientStep;
        enum Kind { UpToDate, Outdated, Patched, Missing, FetchedBefore, KindCount };
        const int count = 40;
        ProductIniWriter w;
        QStringList downloads, replaces, copied;
        for (int i = 0; i < count; ++i) {
            const QString section = QStringLiteral("S%1").arg(i / 10);
            const QString name = QStringLiteral("f%1").arg(i, 2, 10, QLatin1Char('0'));
            const QString target = section + "/" + name + ".dat";
            const QString key = name + ".dat._lzma2_";
            // The first files are large, so later ones are done first.
            const QByteArray installed = QByteArray(i < 4 ? (4 << 20) : 100 + i, 'a' + i % 26) + name.toLatin1();
            const QByteArray wanted = "new " + name.toLatin1();
            const QByteArray packed = "packed " + name.toLatin1();
            ReplaceEntry e;
            e.group = section;
            e.name = key;
            e.unpackedHash = ClientBundle::sha512Hex(wanted);
            e.unpackedSize = quint64(wanted.size());
            e.target = target;
            const Kind kind = Kind(i % KindCount);
            if (kind != Missing)
                QVERIFY(m_Bundle->addFile(target, kind == UpToDate ? wanted : installed));
            w.add(section, key, ProductIniWriter::packedValue(packed, wanted, target));
            switch (kind) {
            case UpToDate:
                copied << target;
                continue;
            case Patched: {
                e.patch = name + "_patch_";
                const QByteArray patch = "patch " + name.toLatin1();
                w.add(section, e.patch, ProductIniWriter::patchValue(patch, installed, target));
                downloads << dl(downloadEntryFor(section, e.patch, patch));
                break;
            }
            case FetchedBefore:
                QVERIFY(ClientBundle::writeFile(m_Config.m_TempDir + "/" + key, packed));
                break;
            case Outdated:
            case Missing:
            case KindCount:
                downloads << dl(downloadEntryFor(section, key, packed));
                break;
            }
            replaces << rp(e);
        }
        const Result r = writeAndBuild(w, true);
        QVERIFY(r.ok);
        QCOMPARE(r.downloads, downloads);
        QCOMPARE(r.replaces, replaces);
        QCOMPARE(r.progress.size(), count);
        QCOMPARE(r.progress.last(), qreal(count) / (count + count / KindCount));
        // In the updater step the unchanged files go into the new updater, each with its content.
        for (const QString& target : copied) {
            const QString copy = m_Config.m_TempDir + "/" + target;
            QCOMPARE(QFileInfo::exists(copy), clientStep == 0);
            if (clientStep == 0)
                QCOMPARE(ClientBundle::readFile(copy), m_Bundle->read(target));
        }
    }

    void deleteSection_data() { addWriteModes(); }
    void deleteSection()
    {
        QFETCH(bool, byHand);
        for (const char* f : {"old/a", "old/b", "old/c", "old/d", "old/e", "old/f"})
            QVERIFY(m_Bundle->addFile(f, "x"));
        QVERIFY(m_Bundle->addDir("old/dir"));
        ProductIniWriter w;
        w.add("delete", "old/a", "0");
        w.add("delete", "old/b", "11");
        w.add("delete", "old/c", "10");
        w.add("delete", "old/d", "12");
        w.add("delete", "old/dir", "2");
        w.add("delete", "old/e", "nonsense");
        w.add("delete", "old/f", "");
        w.add("delete", "old/missing", "1");
        w.add(".", "keep", ProductIniWriter::fileValue("k"));
        const Result r = writeAndBuild(w, byHand);
        QVERIFY(r.ok);
        QStringList deletes = r.deletes;
        deletes.sort();
        QCOMPARE(deletes, QStringList({"old/a|file", "old/b|file", "old/dir|dir", "old/e|file", "old/f|file"}));
        // Listing deletes nothing.
        QVERIFY(m_Bundle->exists("old/a"));
    }

    void invalidLines_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const QString h = ClientBundle::sha512Hex("x");
        QTest::newRow("file with 3 fields") << "." << "a" << (h + "::1::" + h);
        QTest::newRow("file with 1 field") << "grp" << "a" << h;
        QTest::newRow("file with 6 fields") << "grp" << "a" << (h + "::1::" + h + "::1::a::b");
        QTest::newRow("patch with 2 fields") << "grp" << "a_patch_" << (h + "::1");
        QTest::newRow("patch with 4 fields") << "grp" << "a_patch_" << (h + "::1::" + h + "::1");
    }

    void invalidLines()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        ProductIniWriter w;
        w.add(section, key, value);
        w.add(section, "zzz_fine", ProductIniWriter::fileValue("fine"));
        for (bool byHand : {true, false}) {
            const Result r = writeAndBuild(w, byHand);
            QVERIFY(!r.ok);
            QCOMPARE(r.messages.last(), kWarning.arg(section));
        }
    }

    void noFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("present");
        QTest::newRow("missing file") << QByteArray() << false;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("sections without keys") << QByteArray("[.]\n[delete]\n[Frameworks]\n") << true;
        QTest::newRow("keys outside sections only") << QByteArray("a=1::2\n") << true;
    }

    void noFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, present);
        if (present)
            QVERIFY(ClientBundle::writeFile(iniPath(), text));
        const Result r = build();
        QVERIFY(!r.ok);
        QCOMPARE(r.messages.last(), QStringLiteral("No files in product ini"));
    }

    // Paths from the list are joined to the install and temp folders: anything that could
    // leave them fails the whole list. Checked on the names as the reader decodes them, so
    // encodings that only the hand-written form can hold are checked that way alone.
    void unsafePaths_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("handOnly");
        QTest::addColumn<QString>("reported"); // the section as the reader names it
        const QString plain = ProductIniWriter::fileValue("x");
        auto packed = [](const QString& target) { return ProductIniWriter::packedValue("p", "x", target); };
        auto patch = [](const QString& target) { return ProductIniWriter::patchValue("p", "x", target); };
        auto row = [](const char* name, const QString& section, const QString& key, const QString& value,
                      bool handOnly = false, const QString& reported = QString()) {
            QTest::newRow(name) << section << key << value << handOnly << (reported.isEmpty() ? section : reported);
        };
        row("file key with ..", ".", "../evil", plain);
        row("file key with inner ..", ".", "MacOS/../../evil", plain);
        row("target with ..", "F", "f._lzma2_", packed("../../Library/evil"));
        row("absolute target", "F", "f._lzma2_", packed("/etc/evil"));
        // Doubled so that the hand-written line still holds a backslash after the reader's unescaping.
        row("target with backslash", "F", "f._lzma2_", packed("a\\\\..\\\\b"));
        row("target with empty component", "F", "f._lzma2_", packed("a//b"));
        row("target .", "F", "f._lzma2_", packed("."));
        row("empty target", "F", "f._lzma2_", packed(""));
        row("target with ./", "F", "f._lzma2_", packed("./a"));
        row("target with trailing /", "F", "f._lzma2_", packed("a/"));
        row("patch key with ..", "F", "../p_patch_", patch("a"));
        row("patch target with ..", "F", "p_patch_", patch("../a"));
        row("delete ..", "delete", "..", "2");
        row("delete .", "delete", ".", "2");
        row("delete outside", "delete", "../../victim", "1");
        row("delete via inner ..", "delete", "Frameworks/../../victim", "1");
        row("delete via zero-width joiner", "delete", QString::fromUtf8(".\xe2\x80\x8c./victim"), "1");
        row("section ..", "..", "a", plain);
        row("percent-encoded delete key", "delete", "%2E%2E/victim", "1", true);
        row("percent-encoded section", "%2E%2E", "a", plain, true, "..");
        row("key with backslashes", ".", "a\\..\\..\\victim", plain, true);
        row("key with NUL", "delete", "..%U0000/victim", "1", true);
    }

    void unsafePaths()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, handOnly);
        QFETCH(QString, reported);
        // Something the entries would point at, if they were followed.
        QVERIFY(ClientBundle::writeFile(m_Root->path() + "/victim", "keep me"));
        QVERIFY(ClientBundle::writeFile(m_Root->path() + "/install/Voxtrel 3 Client.app/victim", "keep me"));
        QVERIFY(m_Bundle->addFile("a", "x"));
        m_Config.m_ClientUpdate = 0; // the updater step copies files: nothing may be copied either
        ProductIniWriter w;
        w.add(section, key, value);
        for (bool byHand : {true, false}) {
            if (handOnly && !byHand)
                continue;
            const Result r = writeAndBuild(w, byHand);
            QVERIFY2(!r.ok, qPrintable(QString::fromUtf8(w.handWritten())));
            QCOMPARE(r.messages.last(), kWarning.arg(reported));
            QVERIFY(r.deletes.isEmpty());
            QCOMPARE(filesBelow(m_Config.m_TempDir), QStringList({"update_macosx.ini"}));
        }
    }

    void safePathRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "a" << true;
        QTest::newRow("nested") << "Frameworks/QtCore.framework/Versions/5/QtCore" << true;
        QTest::newRow("dots in names") << "..a/b..c/...d" << true;
        QTest::newRow("odd but harmless") << QString::fromUtf8("Frameworks/a b/c#1%..d\xc3\xa9ylib") << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("absolute") << "/a" << false;
        QTest::newRow("double slash") << "a//b" << false;
        QTest::newRow("dotdot at end") << "a/.." << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("NUL") << (QStringLiteral("..") + QChar(0) + QStringLiteral("/b")) << false;
        QTest::newRow("control character") << "a\tb" << false;
        QTest::newRow("byte order mark") << (QStringLiteral("a/") + QChar(0xFEFF) + QStringLiteral("..")) << false;
    }

    void safePathRules()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(MakeDownloadReplaceListFunc::isSafeRelativePath(path), safe);
    }

    // Through the task: the pipeline's lists change only when the whole list was read.
    void pipelineListsReplacedOnlyOnSuccess()
    {
        qRegisterMetaType<TaskSpecification*>();
        UpdateLists pipeline;
        DownloadEntry stale;
        stale.name = "stale";
        pipeline.downloadList << stale;
        DeleteEntry staleDelete;
        staleDelete.path = "stale";
        pipeline.deleteList << staleDelete;

        ProductIniWriter bad;
        bad.add(".", "a", ProductIniWriter::fileValue("a"));
        bad.add(".", "b", "only-one-field");
        QVERIFY(bad.writeByHand(iniPath()));
        {
            MakeDownloadReplaceListTaskSpecification task(&m_Config, &pipeline, nullptr, 0.05);
            QSignalSpy canceled(&task, &TaskSpecification::canceled);
            QSignalSpy messages(&task, &TaskSpecification::message);
            task.execute();
            QVERIFY(canceled.wait(10000));
            QCOMPARE(task.m_State, int(TaskSpecification::STATE_FAILED));
            QCOMPARE(messages.last().at(0).toString(), kWarning.arg("."));
            QCOMPARE(pipeline.downloadList.size(), 1);
            QCOMPARE(pipeline.downloadList.first().name, QStringLiteral("stale"));
            QCOMPARE(pipeline.deleteList.size(), 1);
        }

        ProductIniWriter good;
        good.add(".", "a", ProductIniWriter::fileValue("a"));
        QVERIFY(good.writeWithQSettings(iniPath()));
        MakeDownloadReplaceListTaskSpecification task(&m_Config, &pipeline, nullptr, 0.05);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(task.m_Progress, 0.05);
        QCOMPARE(pipeline.downloadList.size(), 1);
        QCOMPARE(dl(pipeline.downloadList.first()), dl(downloadEntryFor(".", "a", "a")));
        QCOMPARE(pipeline.replaceList.size(), 1);
        QVERIFY(pipeline.deleteList.isEmpty());
    }
};

QTEST_MAIN(MakeDownloadReplaceListTest)
#include "makedownloadreplacelisttest.moc"
