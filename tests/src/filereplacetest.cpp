// The client step's replacement on a real bundle with real patches, containers and gzip files:
// every kind of replacement hash-checked, the folders and weights it builds, and a failure or a
// cancel at every position leaving the bundle byte for byte (and mode for mode) as it was.
#include "configuration.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "fileinstalltaskspecification.h"
#include "updateinidata.h"

#include "common/clientbundle.h"
#include "common/namewatcher.h"
#include "common/otheruser.h"
#include "common/storageprobe.h"
#include "common/taskrunner.h"
#include "common/treesnapshot.h"
#include "common/updatefiles.h"

#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace
{
bool setMode(const QString& path, int mode)
{
    return chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

// One file of the scenario: what is installed (null: nothing), what it becomes, how it comes.
struct FileCase
{
    enum How { Patch, Container, Gzip, Plain } how;
    QString group;
    QString rel;         // installed path below the Contents folder
    QString target;      // the entry's target (empty for a plain file)
    QByteArray before;   // null: not installed
    int modeBefore;
    QByteArray after;
    int modeAfter;
};
} // namespace

class FileReplaceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    std::unique_ptr<ClientBundle> m_Bundle;
    Configuration m_Config;
    QList<FileCase> m_Cases;
    QList<ReplaceEntry> m_Entries;
    QList<DeleteEntry> m_Deletes;

    QString temp(const QString& name) const { return m_Config.m_TempDir + "/" + name; }

    // The bundle, the session folder with the downloads, and the replace list.
    bool makeScenario()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        if (!m_Dir->isValid())
            return false;
        m_Bundle = std::make_unique<ClientBundle>(m_Dir->path());
        m_Config.m_InstallDir = m_Bundle->contentsDir();
        m_Config.m_TempDir = m_Dir->path() + "/session";
        // The step's updater runs from the session folder, whose record the commit marks.
        Configuration::setApplicationDirForTesting(m_Config.m_TempDir + "/SharedSupport/update.app/Contents/MacOS");
        if (!QDir().mkpath(m_Config.m_TempDir + "/SharedSupport/update.app/Contents/MacOS"))
            return false;
        const QByteArray exe1 = UpdateFiles::fixture("macho64_exe_v1");
        const QByteArray exe2 = UpdateFiles::fixture("macho64_exe_v2");
        if (exe1.isEmpty() || exe2.isEmpty())
            return false;
        m_Cases = {
            {FileCase::Patch, ".", "MacOS/vx3client_mac", "MacOS/vx3client_mac", exe1, 0700, exe2, 0755},
            {FileCase::Container, ".", "Frameworks/libvoice.dylib", "Frameworks/libvoice.dylib",
             "old voice library", 0644, QByteArray(70000, 'v') + "new voice library", 0755},
            {FileCase::Gzip, ".", "Frameworks/libfoo.1.dylib", "Frameworks/libfoo.1.dylib",
             "old foo", 0640, "new foo, a little longer", 0640},
            {FileCase::Plain, ".", "Resources/readme.txt", QString(), "damaged locally", 0600,
             "the readme", 0600},
            {FileCase::Container, ".", "Resources/lang/new/inner/extra.txt", "Resources/lang/new/inner/extra.txt",
             QByteArray(), 0, "an extra file", -1},
            {FileCase::Gzip, ".", "Resources/lang/new/other.txt", "Resources/lang/new/other.txt",
             QByteArray(), 0, "another new file", -1},
            {FileCase::Gzip, "common_client", "SharedSupport/update.app/Contents/MacOS/update",
             "update.app/Contents/MacOS/update", "old updater", 0700, "new updater", 0755},
        };
        if (!m_Bundle->addFile("Resources/lang/de.qm", "kept") || !m_Bundle->addFile("Info.plist", "plist"))
            return false;
        m_Entries.clear();
        for (const FileCase& c : m_Cases) {
            if (!c.before.isNull() && (!m_Bundle->addFile(c.rel, c.before) || !setMode(m_Bundle->path(c.rel), c.modeBefore)))
                return false;
            ReplaceEntry e;
            e.group = c.group;
            e.target = c.target;
            const QString base = c.target.isEmpty() ? c.rel : c.target;
            QByteArray download;
            switch (c.how) {
            case FileCase::Patch:
                e.name = base + "._lzma2_";
                e.patch = base + "_patch_";
                download = UpdateFiles::patch(c.before, c.after, true);
                break;
            case FileCase::Container:
                e.name = base + "._lzma2_";
                download = UpdateFiles::container(c.after, false, m_Dir->path());
                break;
            case FileCase::Gzip:
                e.name = base + ".gz";
                download = UpdateFiles::gzip(c.after);
                break;
            case FileCase::Plain:
                e.name = base;
                download = c.after;
                break;
            }
            if (download.isEmpty() || !ClientBundle::writeFile(temp(e.patch.isEmpty() ? e.name : e.patch), download))
                return false;
            if (c.how != FileCase::Plain) {
                e.unpackedHash = ClientBundle::sha512Hex(c.after).toUpper();
                e.unpackedSize = quint64(c.after.size());
            }
            m_Entries << e;
        }
        return true;
    }

    // The download an entry's task reads.
    QString downloadOf(const ReplaceEntry& e) const { return temp(e.hasPatch() ? e.patch : e.name); }

    // The names of the bundle's files that the scenario replaces (they exist before it runs).
    QList<QByteArray> replacedNames() const
    {
        QList<QByteArray> names;
        for (const FileCase& c : m_Cases) {
            if (!c.before.isNull())
                names << QFileInfo(c.rel).fileName().toUtf8();
        }
        return names;
    }

    // The names that went away at some moment and are neither temporary nor new to the bundle.
    static QStringList installedNamesGone(NameWatcher& watcher, const TreeSnapshot& before)
    {
        QStringList gone;
        for (const QString& name : watcher.departures()) {
            const bool temporary = name.contains(FileInstallTaskSpecification::kNewSuffix)
                                   || name.endsWith(FileInstallTaskSpecification::kAsideSuffix);
            if (!temporary && before.contains(name))
                gone << name;
        }
        return gone;
    }

    static QStringList asidesIn(const TreeSnapshot& tree)
    {
        QStringList out;
        for (const QString& name : tree.nodes().keys()) {
            if (name.endsWith(FileInstallTaskSpecification::kAsideSuffix))
                out << name;
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qRegisterMetaType<TaskSpecification*>();
    }

    void init() { QVERIFY(makeScenario()); }
    void cleanup() { Configuration::setApplicationDirForTesting(QString()); }

    void replacesEveryKind()
    {
        const TreeSnapshot before = TreeSnapshot::take(m_Bundle->contentsDir());
        FileReplaceListTaskSpecification task(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(task.m_Progress, 0.4);
        const QStringList texts = spyTexts(messages);
        QCOMPARE(texts.first(), QStringLiteral("Starting file updates"));
        QVERIFY(texts.contains("Patching MacOS/vx3client_mac"));
        QVERIFY(!texts.contains("rolling back file updates"));

        // Two folder tasks for the two missing levels, then one task per file.
        QCOMPARE(task.m_SubTasks.size(), 2 + m_Entries.size());
        QCOMPARE(task.m_SubTasks.at(0)->m_Weight, 0.05);
        QCOMPARE(task.m_SubTasks.at(2)->m_Weight, 0.9 / m_Entries.size());

        const TreeSnapshot after = TreeSnapshot::take(m_Bundle->contentsDir());
        QStringList expected;
        for (const FileCase& c : m_Cases) {
            QCOMPARE(after.node(c.rel).content, c.after);
            if (c.modeAfter >= 0)
                QCOMPARE(after.node(c.rel).mode, c.modeAfter);
            expected << c.rel;
        }
        expected << "Resources/lang/new" << "Resources/lang/new/inner";
        // Nothing else changed and nothing was left behind (no temporary or moved-aside files).
        QStringList diff;
        for (const QString& d : before.differences(after))
            diff << d.section(": ", 0, 0);
        std::sort(diff.begin(), diff.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(diff, expected);
        // The patched file's previous content stays as the old copy; the step is final.
        QCOMPARE(ClientBundle::readFile(temp("MacOS/vx3client_mac_old")), m_Cases.first().before);
        QVERIFY(task.m_RollbackList.isEmpty());
        task.reset();
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).differences(after), QStringList{});
    }

    void failureAtEveryPosition_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("fault");
        const char* faults[] = {"download missing", "wrong hash", "over the limit"};
        for (int i = 0; i < 7; ++i) {
            for (const char* f : faults) {
                if (i == 3 && QByteArray(f) != "download missing")
                    continue; // a plain file has neither hash nor size
                QTest::newRow(qPrintable(QString("%1 at %2").arg(f).arg(i))) << i << QString(f);
            }
        }
    }

    void failureAtEveryPosition()
    {
        QFETCH(int, position);
        QFETCH(QString, fault);
        ReplaceEntry& e = m_Entries[position];
        if (fault == "download missing")
            QVERIFY(QFile::remove(downloadOf(e)));
        else if (fault == "wrong hash")
            e.unpackedHash = ClientBundle::sha512Hex("something else");
        else
            e.unpackedSize -= 1;
        const TreeSnapshot before = TreeSnapshot::take(m_Bundle->contentsDir());
        FileReplaceListTaskSpecification task(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FAILED));
        QVERIFY(spyTexts(messages).contains("rolling back file updates"));
        // The failure names the installed file as the user knows it, not a temporary one.
        const FileCase& c = m_Cases[position];
        QString text;
        if (fault == "wrong hash")
            text = "Signature check failed for " + c.rel;
        else if (c.how == FileCase::Patch)
            text = QString("Could not patch '%1' to '%2'").arg(temp(c.rel + "_old"), c.rel);
        else
            text = QString(c.how == FileCase::Container ? "Could not unpack '%1' to '%2'"
                           : c.how == FileCase::Gzip    ? "Could not unzip '%1' to '%2'"
                                                        : "Could not copy '%1' to '%2'")
                       .arg(temp(e.name), c.rel);
        QVERIFY2(spyTexts(messages).contains(text), qPrintable(spyTexts(messages).join("\n")));
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).differences(before), QStringList{});
        QVERIFY(task.m_RollbackList.isEmpty());
    }

    // Cancel requested at each step of a run (each progress report of the step): the bundle is
    // as before whenever the step ends cancelled, and fully updated when the request came too late.
    void cancelAtEveryPosition()
    {
        const TreeSnapshot before = TreeSnapshot::take(m_Bundle->contentsDir());
        int reports = 0;
        {
            FileReplaceListTaskSpecification probe(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
            connect(&probe, &TaskSpecification::updateProgress, [&] { ++reports; });
            QCOMPARE(runTask(probe), int(TaskSpecification::STATE_FINISHED));
        }
        const TreeSnapshot updated = TreeSnapshot::take(m_Bundle->contentsDir());
        QVERIFY(!updated.differences(before).isEmpty());
        // Back to the old bundle for the cancelled runs.
        QVERIFY(makeScenario());
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).differences(before), QStringList{});
        int cancelled = 0;
        for (int at = 1; at <= reports; ++at) {
            FileReplaceListTaskSpecification task(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
            int seen = 0;
            connect(&task, &TaskSpecification::updateProgress, [&] {
                if (++seen == at)
                    task.requestCancel();
            });
            const int state = runTask(task);
            const TreeSnapshot now = TreeSnapshot::take(m_Bundle->contentsDir());
            if (state == TaskSpecification::STATE_FINISHED) {
                QVERIFY2(now.differences(updated).isEmpty(), qPrintable(QString::number(at)));
                QVERIFY(makeScenario());
                continue;
            }
            QVERIFY2(state == TaskSpecification::STATE_CANCELLED, qPrintable(QString::number(at)));
            ++cancelled;
            QVERIFY2(now.differences(before).isEmpty(),
                     qPrintable(QString::number(at) + ": " + now.differences(before).join(", ")));
        }
        QVERIFY(cancelled >= m_Entries.size());
    }

    // A list that names one installed file twice, with a failing entry after the pair: the
    // second install must not take the moved-aside original, so the rollback can put it back.
    void onePathListedTwiceRolledBack_data()
    {
        QTest::addColumn<QString>("firstGroup");
        QTest::addColumn<QString>("firstTarget");
        QTest::addColumn<QString>("secondGroup");
        QTest::addColumn<QString>("secondTarget");
        QTest::addColumn<bool>("oneDownload");
        QTest::newRow("same key in . and common_client")
            << "." << "SharedSupport/tool" << "common_client" << "tool" << true;
        QTest::newRow("two packed keys, one target") << "." << "Resources/readme.txt" << "." << "Resources/readme.txt"
                                                     << false;
    }

    void onePathListedTwiceRolledBack()
    {
        QFETCH(QString, firstGroup);
        QFETCH(QString, firstTarget);
        QFETCH(QString, secondGroup);
        QFETCH(QString, secondTarget);
        QFETCH(bool, oneDownload);
        const QByteArray next("the new content");
        QList<ReplaceEntry> list;
        for (int i = 0; i < 2; ++i) {
            ReplaceEntry e;
            e.group = i == 0 ? firstGroup : secondGroup;
            e.target = i == 0 ? firstTarget : secondTarget;
            e.name = oneDownload ? QString("shared.gz") : QString("copy%1.gz").arg(i);
            e.unpackedHash = ClientBundle::sha512Hex(next);
            e.unpackedSize = quint64(next.size());
            QVERIFY(ClientBundle::writeFile(temp(e.name), UpdateFiles::gzip(next)));
            list << e;
        }
        QCOMPARE(list[0].relativePath(QString()), list[1].relativePath(QString()));
        QVERIFY(!list[0].relativePath(QString()).startsWith("MacOS/"));
        QVERIFY(m_Bundle->addFile(list[0].relativePath(QString()), "the user's original"));
        // A slower entry between the pair lets the first of them end before the second starts.
        list.insert(1, m_Entries[0]);
        ReplaceEntry failing = m_Entries[5]; // its download is gone
        QVERIFY(QFile::remove(downloadOf(failing)));
        list << failing;

        const TreeSnapshot before = TreeSnapshot::take(m_Bundle->contentsDir());
        FileReplaceListTaskSpecification task(&list, &m_Deletes, &m_Config, nullptr, 0.4);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FAILED));
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).differences(before), QStringList{});
    }

    // The new client binary takes the place of the one that is running.
    void runningExecutableReplaced()
    {
        const QString exe = m_Bundle->path("MacOS/vx3client_mac");
        QVERIFY(QFile::remove(exe));
        QVERIFY(QFile::copy("/bin/sleep", exe));
        QVERIFY(setMode(exe, 0755));
        QProcess running;
        running.start(exe, {"30"});
        QVERIFY(running.waitForStarted());
        const QByteArray next = ClientBundle::readFile("/bin/sleep") + "trailer";
        ReplaceEntry e;
        e.group = ".";
        e.name = "MacOS/vx3client_mac.gz";
        e.target = "MacOS/vx3client_mac";
        e.unpackedHash = ClientBundle::sha512Hex(next);
        e.unpackedSize = quint64(next.size());
        QVERIFY(ClientBundle::writeFile(temp(e.name), UpdateFiles::gzip(next)));
        QList<ReplaceEntry> list{e};
        FileReplaceListTaskSpecification task(&list, &m_Deletes, &m_Config, nullptr, 0.4);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(ClientBundle::readFile(exe), next);
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).node("MacOS/vx3client_mac").mode, 0755);
        QCOMPARE(running.state(), QProcess::Running);
        running.kill();
        running.waitForFinished();
    }

    // The new file takes over every mode bit of the file it replaces, set-id bits included, also
    // when the updater runs as root (to whom every file is readable and writable).
    void modeCarriedOver_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("asUser");
        QTest::addColumn<bool>("otherOwner"); // as root: the installed file is the user's
        for (const int mode : {0444, 0400, 0555, 04755, 02711}) {
            for (const bool asUser : {false, true})
                QTest::newRow(qPrintable(QString("%1 as %2").arg(mode, 0, 8).arg(asUser ? "user" : "root")))
                    << mode << asUser << false;
        }
        QTest::newRow("4755 of the user, as root") << 04755 << false << true;
    }

    void modeCarriedOver()
    {
        QFETCH(int, mode);
        QFETCH(bool, asUser);
        QFETCH(bool, otherOwner);
        QTemporaryDir dir;
        const QString installed = dir.path() + "/Contents/MacOS/tool";
        const QString fresh = installed + FileInstallTaskSpecification::kNewSuffix;
        QVERIFY(ClientBundle::writeFile(installed, "old"));
        if (asUser || otherOwner)
            QVERIFY(OtherUser::giveTree(dir.path()));
        QVERIFY(ClientBundle::writeFile(fresh, "new"));
        QVERIFY(setMode(fresh, 0600));
        if (asUser)
            QVERIFY(OtherUser::giveTree(dir.path()));
        QVERIFY(setMode(installed, mode));
        if (asUser && !OtherUser::unavailableReason(dir.path()).isEmpty())
            QSKIP(qPrintable(OtherUser::unavailableReason(dir.path())));
        struct stat original;
        QCOMPARE(lstat(QFile::encodeName(installed).constData(), &original), 0);
        const auto install = [&] {
            FileInstallTaskSpecification task(fresh, installed, nullptr, nullptr, 0.0);
            return task.doOp() ? 0 : 1;
        };
        QCOMPARE(asUser ? OtherUser::run(install) : install(), 0);
        struct stat now;
        QCOMPARE(lstat(QFile::encodeName(installed).constData(), &now), 0);
        QCOMPARE(ClientBundle::readFile(installed), QByteArray("new"));
        QCOMPARE(QString::number(now.st_mode & 07777, 8), QString::number(mode, 8));
        QCOMPARE(now.st_uid, original.st_uid);
        QCOMPARE(now.st_gid, original.st_gid);
    }

    // What a killed replacement leaves: new files beside the installed ones and installed files
    // moved aside, some already replaced.  Everything goes back to the installed version; a
    // linked folder outside the bundle is not entered.
    void interruptedReplacementRestored()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/Contents";
        const QString outside = dir.path() + "/outside";
        const QString aside = FileInstallTaskSpecification::kAsideSuffix;
        const QString fresh = FileInstallTaskSpecification::kNewSuffix;
        QVERIFY(ClientBundle::writeFile(root + "/MacOS/replaced", "new"));
        QVERIFY(ClientBundle::writeFile(root + "/MacOS/replaced" + aside, "old"));
        QVERIFY(ClientBundle::writeFile(root + "/Resources/moved" + aside, "old moved"));
        QVERIFY(ClientBundle::writeFile(root + "/Resources/pending" + fresh, "half"));
        QVERIFY(ClientBundle::writeFile(root + "/Resources/.pending" + fresh + ".77.3.part", "part"));
        QVERIFY(ClientBundle::writeFile(root + "/Resources/pending" + fresh + ".Ab12Cd", "part"));
        QVERIFY(ClientBundle::writeFile(root + "/Resources/pending", "untouched"));
        QVERIFY(ClientBundle::writeFile(outside + "/kept" + aside, "not ours"));
        QVERIFY(QFile::link(outside, root + "/Resources/link"));
        // Cut short between the second name and the rename: nothing to put back.
        QVERIFY(ClientBundle::writeFile(root + "/Resources/kept", "original"));
        QCOMPARE(::link(QFile::encodeName(root + "/Resources/kept").constData(),
                        QFile::encodeName(root + "/Resources/kept" + aside).constData()), 0);

        QCOMPARE(FileInstallTaskSpecification::restoreInterrupted(root), 2);
        QCOMPARE(TreeSnapshot::take(root).nodes().keys(),
                 (QStringList{"MacOS", "MacOS/replaced", "Resources", "Resources/kept", "Resources/link",
                              "Resources/moved", "Resources/pending"}));
        QCOMPARE(ClientBundle::readFile(root + "/Resources/kept"), QByteArray("original"));
        QCOMPARE(ClientBundle::readFile(root + "/MacOS/replaced"), QByteArray("old"));
        QCOMPARE(ClientBundle::readFile(root + "/Resources/moved"), QByteArray("old moved"));
        QCOMPARE(ClientBundle::readFile(root + "/Resources/pending"), QByteArray("untouched"));
        QCOMPARE(ClientBundle::readFile(outside + "/kept" + aside), QByteArray("not ours"));
        QCOMPARE(FileInstallTaskSpecification::restoreInterrupted(root), 0);
    }

    // No installed name is ever missing, neither while the files are replaced nor while a
    // failed step is undone: the original keeps its name until the new file is renamed over it,
    // and is renamed back over it.
    void replacedNamesNeverMissing_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::newRow("finished") << false;
        QTest::newRow("rolled back") << true;
    }

    void replacedNamesNeverMissing()
    {
        QFETCH(bool, fails);
        if (fails)
            QVERIFY(QFile::remove(downloadOf(m_Entries.last())));
        const TreeSnapshot before = TreeSnapshot::take(m_Bundle->contentsDir());
        NameWatcher watcher(m_Bundle->contentsDir());
        QVERIFY(watcher.isValid());
        FileReplaceListTaskSpecification task(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
        QCOMPARE(runTask(task), int(fails ? TaskSpecification::STATE_FAILED : TaskSpecification::STATE_FINISHED));
        QCOMPARE(installedNamesGone(watcher, before), QStringList{});
        const TreeSnapshot after = TreeSnapshot::take(m_Bundle->contentsDir());
        if (fails)
            QCOMPARE(after.differences(before), QStringList{});
        QCOMPARE(asidesIn(after), QStringList{});
    }

    // The file system refuses one call of the replacement, once or from then on: every installed
    // name keeps the old or the new file throughout.  A refusal before the commit fails the step
    // and leaves the old bundle (for good: the originals wait beside the new files until a start
    // restores them); after the commit the step has succeeded, and originals whose removal was
    // refused are left to the next start, which removes them.
    void refusedCallsLeaveOldOrNew_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("which"); // the names it applies to
        QTest::addColumn<int>("nth");
        QTest::addColumn<bool>("forGood");
        QTest::addColumn<bool>("finished");
        using D = DurableStorage;
        QTest::newRow("second name refused") << int(D::Link) << "any" << 1 << false << false;
        QTest::newRow("second name refused from the third on") << int(D::Link) << "any" << 3 << true << false;
        QTest::newRow("rename over an installed file refused") << int(D::Rename) << "installed" << 1 << false << false;
        QTest::newRow("rename over the second installed file refused") << int(D::Rename) << "installed" << 2 << false << false;
        QTest::newRow("renames over installed files refused for good") << int(D::Rename) << "installed" << 2 << true << false;
        QTest::newRow("sync of a new file refused") << int(D::SyncEntry) << "new" << 3 << false << false;
        QTest::newRow("sync of an installed file refused") << int(D::SyncEntry) << "installed" << 2 << false << false;
        QTest::newRow("sync of a folder refused") << int(D::SyncFolder) << "Frameworks" << 1 << false << false;
        QTest::newRow("committed mark refused") << int(D::Rename) << "record" << 1 << false << false;
        QTest::newRow("sync of the committed mark refused") << int(D::SyncEntry) << "record" << 1 << false << false;
        QTest::newRow("removal of an original refused once") << int(D::Remove) << "aside" << 1 << false << true;
        QTest::newRow("removal of the originals refused for good") << int(D::Remove) << "aside" << 1 << true << true;
    }

    void refusedCallsLeaveOldOrNew()
    {
        QFETCH(int, call);
        QFETCH(QString, which);
        QFETCH(int, nth);
        QFETCH(bool, forGood);
        QFETCH(bool, finished);
        const QList<QByteArray> installed = replacedNames();
        StorageProbe::Match match = [](const QByteArray&) { return true; };
        if (which == "installed")
            match = [installed](const QByteArray& name) { return installed.contains(name); };
        else if (which == "new")
            match = [](const QByteArray& name) { return name.contains("._vxnew_"); };
        else if (which == "aside")
            match = [](const QByteArray& name) { return name.endsWith("._vxold_"); };
        else if (which == "record")
            match = [](const QByteArray& name) { return name == "update.ini"; };
        else if (which != "any")
            match = [which](const QByteArray& name) { return name == which.toUtf8(); };
        const TreeSnapshot before = TreeSnapshot::take(m_Bundle->contentsDir());
        NameWatcher watcher(m_Bundle->contentsDir());
        QVERIFY(watcher.isValid());
        StorageProbe probe;
        probe.failOn(DurableStorage::Call(call), match, nth, EIO, forGood);
        FileReplaceListTaskSpecification task(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
        const int state = runTask(task);
        probe.stopFailing();
        QVERIFY(probe.failures() >= 1);
        QCOMPARE(state, int(finished ? TaskSpecification::STATE_FINISHED : TaskSpecification::STATE_FAILED));
        QCOMPARE(installedNamesGone(watcher, before), QStringList{});
        QCOMPARE(UpdateIniData::isCommitted(UpdateIniData::iniPath()), finished);
        const TreeSnapshot after = TreeSnapshot::take(m_Bundle->contentsDir());
        for (const FileCase& c : m_Cases) {
            const TreeSnapshot::Node node = after.node(c.rel);
            if (finished)
                QCOMPARE(node.content, c.after);
            else if (!c.before.isNull())
                QVERIFY2(node.content == c.before || node.content == c.after, qPrintable(c.rel));
        }
        if (finished) {
            QCOMPARE(asidesIn(after).isEmpty(), !forGood);
            // What the commit could not remove goes by the next start, never back.
            int removed = 0;
            QVERIFY(FileInstallTaskSpecification::removeLeftovers(m_Bundle->contentsDir(), &removed));
            QCOMPARE(removed, asidesIn(after).size());
            for (const FileCase& c : m_Cases)
                QCOMPARE(ClientBundle::readFile(m_Bundle->path(c.rel)), c.after);
            QCOMPARE(asidesIn(TreeSnapshot::take(m_Bundle->contentsDir())), QStringList{});
            return;
        }
        if (call == DurableStorage::Rename && forGood) {
            // Not even the rollback could rename: the start-up restore of the next run does.
            QVERIFY(!asidesIn(after).isEmpty());
            QVERIFY(FileInstallTaskSpecification::restoreInterrupted(m_Bundle->contentsDir()) > 0);
        }
        QCOMPARE(TreeSnapshot::take(m_Bundle->contentsDir()).differences(before), QStringList{});
    }

    // A clean replacement makes what it relies on durable first: every new file's content before
    // the first of them takes an installed name, the installed files and their folders' entries before the session record
    // says committed, and that record before the first original kept aside is removed.
    void durableOrder()
    {
        StorageProbe probe;
        FileReplaceListTaskSpecification task(&m_Entries, &m_Deletes, &m_Config, nullptr, 0.4);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        const auto named = [](const QByteArray& n) { return [n](const QByteArray& name) { return name == n; }; };
        const int mark = probe.firstOf(DurableStorage::Rename, named("update.ini"));
        const int markSynced = probe.firstOf(DurableStorage::SyncEntry, named("update.ini"));
        const int firstRemoval = probe.firstOf(DurableStorage::Remove, [](const QByteArray& name) {
            return name.endsWith("._vxold_");
        });
        QVERIFY(mark >= 0);
        QVERIFY(markSynced > mark);
        QVERIFY(firstRemoval > markSynced);
        const int firstLink = probe.firstOf(DurableStorage::Link, [](const QByteArray&) { return true; });
        QVERIFY(firstLink >= 0);
        for (const FileCase& c : m_Cases) {
            const QByteArray name = QFileInfo(c.rel).fileName().toUtf8();
            const int dataSynced = probe.firstOf(DurableStorage::SyncEntry, named(name + "._vxnew_"));
            const int renamed = probe.firstOf(DurableStorage::Rename, named(name));
            const int synced = probe.lastOf(DurableStorage::SyncEntry, named(name));
            const QByteArray folder = QFileInfo(m_Bundle->path(c.rel)).dir().dirName().toUtf8();
            const int folderSynced = probe.firstOf(DurableStorage::SyncFolder, named(folder), synced);
            QVERIFY2(dataSynced >= 0 && dataSynced < firstLink && dataSynced < renamed, qPrintable(c.rel));
            QVERIFY2(renamed < synced && synced < mark, qPrintable(c.rel));
            QVERIFY2(synced < folderSynced && folderSynced < mark, qPrintable(c.rel));
        }
        // The created folders' entries too.
        QVERIFY(probe.lastOf(DurableStorage::SyncFolder, named("lang")) < mark);
        QVERIFY(probe.firstOf(DurableStorage::SyncFolder, named("lang")) >= 0);
    }

    // The file system refuses the rename of the new file over the installed one (here: the new
    // file lies on another file system): the installed file keeps its name and content, and no
    // second name is left.
    void refusedRenameKeepsTheInstalledFile()
    {
        QTemporaryDir other(QStringLiteral("/dev/shm/filereplacetest-XXXXXX"));
        struct stat here {};
        struct stat there {};
        if (!other.isValid() || stat(QFile::encodeName(m_Bundle->contentsDir()).constData(), &here) != 0
            || stat(QFile::encodeName(other.path()).constData(), &there) != 0 || here.st_dev == there.st_dev)
            QSKIP("no second file system at /dev/shm");
        const QString installed = m_Bundle->path("Resources/readme.txt");
        const QString fresh = other.filePath("readme.txt") + FileInstallTaskSpecification::kNewSuffix;
        QVERIFY(ClientBundle::writeFile(fresh, "new"));
        RollbackDataList list;
        FileInstallTaskSpecification task(fresh, installed, &list, nullptr, 0.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QVERIFY(!task.doOp());
        QCOMPARE(spyTexts(messages), QStringList{QString("Could not rename '%1' to '%2'").arg(fresh, installed)});
        QCOMPARE(ClientBundle::readFile(installed), QByteArray("damaged locally"));
        QVERIFY(!QFileInfo::exists(installed + FileInstallTaskSpecification::kAsideSuffix));
        QVERIFY(list.rollback(nullptr));
        QCOMPARE(ClientBundle::readFile(installed), QByteArray("damaged locally"));
    }

    // A file task reaches the installed file's folder once: when that folder is moved away and
    // another takes its name while the task runs, the new file is still made and checked in
    // the folder it first reached, and nothing is written into the other one.
    void keepsToTheFolderItFirstReached()
    {
        const ReplaceEntry entry = m_Entries.at(1); // a container: Frameworks/libvoice.dylib
        RollbackDataList shared;
        FileReplaceTaskSpecification task(entry, &m_Deletes, &shared, &m_Config, nullptr, 1.0);
        QEventLoop loop;
        connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
        connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        // The unpack starts on a later turn of the event loop, after the swap below.
        task.execute();
        const QString frameworks = m_Bundle->path("Frameworks");
        QVERIFY(QDir().rename(frameworks, frameworks + ".moved"));
        QVERIFY(QDir().mkdir(frameworks));
        QVERIFY(ClientBundle::writeFile(frameworks + "/libvoice.dylib", "another folder's file"));
        loop.exec();
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FINISHED));
        const QString newName = "/libvoice.dylib" + FileInstallTaskSpecification::kNewSuffix;
        QCOMPARE(ClientBundle::readFile(frameworks + ".moved" + newName), m_Cases.at(1).after);
        QCOMPARE(QDir(frameworks).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"libvoice.dylib"});
        QCOMPARE(ClientBundle::readFile(frameworks + "/libvoice.dylib"), QByteArray("another folder's file"));
    }

    void emptyList()
    {
        QList<ReplaceEntry> none;
        FileReplaceListTaskSpecification task(&none, &m_Deletes, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(spyTexts(messages), QStringList{"Starting file updates"});
        QCOMPARE(task.m_Progress, 0.4);
    }
};

QTEST_MAIN(FileReplaceTest)
#include "filereplacetest.moc"
