// Removing folders with their content, by every part of the updater that does it: links are
// removed as entries and never followed, and nothing has its permissions changed, also when a
// folder cannot be emptied.
#include "configuration.h"
#include "filedeletetaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "rollbackdatalist.h"
#include "treeremover.h"
#include "updateengine.h"

#include "common/clientbundle.h"
#include "common/otheruser.h"
#include "common/treesnapshot.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace
{
bool setMode(const QString& path, int mode)
{
    return chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

// Removes the folder at the given path with its content; true when it reports success.
using Removal = std::function<bool(const QString&)>;
} // namespace
Q_DECLARE_METATYPE(Removal)

class TreeRemoverTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    QString at(const QString& rel) const { return m_Dir->path() + "/" + rel; }

    static void addRemovals()
    {
        QTest::addColumn<QString>("folder"); // below the test folder
        QTest::addColumn<Removal>("removal");
        QTest::newRow("remover") << "Contents/Resources/old" << Removal([](const QString& path) {
            return TreeRemover::removeTree(path);
        });
        QTest::newRow("delete list entry") << "Contents/Resources/old" << Removal([](const QString& path) {
            FileDeleteTaskSpecification task(true, path, true, nullptr, 1.0);
            return task.doOp();
        });
        QTest::newRow("commit of a moved-aside folder") << "Contents/Resources/old._vxold_" << Removal([](const QString& path) {
            // The commit marks the session record of the updater it runs in: one of the test's.
            static QTemporaryDir session;
            Configuration::setApplicationDirForTesting(session.path() + "/SharedSupport/update.app/Contents/MacOS");
            QDir().mkpath(session.path() + "/SharedSupport");
            QList<ReplaceEntry> none;
            FileReplaceListTaskSpecification task(&none, nullptr, nullptr, nullptr, 0.4);
            task.m_RollbackList.append(RollbackData(RollbackData::FILE_RENAME, path.left(path.size() - 8), path));
            task.commit();
            Configuration::setApplicationDirForTesting(QString());
            return !QFileInfo(path).isDir();
        });
        QTest::newRow("Qt 4 framework") << "Contents/Frameworks/QtCore.framework" << Removal([](const QString& path) {
            UpdateEngine::removeQt4Files(QFileInfo(path).path() + "/../SharedSupport");
            return !QFileInfo(path).isDir();
        });
        QTest::newRow("session folder contents") << "tmp/voxtrel_temp_3" << Removal([](const QString& path) {
            UpdateEngine::removeDirContents(path);
            return QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        });
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")); }

    void init()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
    }

    // Everything below the folder goes, read-only files and folders included; what links point
    // to stays as it was.
    void removesEverythingBelow_data() { addRemovals(); }
    void removesEverythingBelow()
    {
        QFETCH(QString, folder);
        QFETCH(Removal, removal);
        const QString root = at(folder);
        QVERIFY(ClientBundle::writeFile(at("outside/dir/kept.txt"), "kept"));
        QVERIFY(ClientBundle::writeFile(at("outside/file.txt"), "kept too"));
        QVERIFY(ClientBundle::writeFile(root + "/a/b/c/deep.txt", "x"));
        QVERIFY(ClientBundle::writeFile(root + "/.hidden", "x"));
        QVERIFY(ClientBundle::writeFile(root + "/readonly.txt", "x"));
        QVERIFY(setMode(root + "/readonly.txt", 0444));
        QVERIFY(QDir().mkpath(root + "/empty-readonly"));
        QVERIFY(setMode(root + "/empty-readonly", 0555));
        QVERIFY(QFile::link(at("outside/dir"), root + "/a/linkToDir"));
        QVERIFY(QFile::link(at("outside/file.txt"), root + "/linkToFile"));
        QVERIFY(QFile::link(root + "/nowhere", root + "/dangling"));
        QVERIFY(setMode(at("outside/file.txt"), 0444));
        const TreeSnapshot outside = TreeSnapshot::take(at("outside"));

        QVERIFY(removal(root));
        QCOMPARE(TreeSnapshot::take(at("outside")).differences(outside), QStringList{});
        QVERIFY(TreeSnapshot::take(root).nodes().isEmpty());
    }

    // As a user, a read-only folder cannot be emptied: it is left exactly as it was, and so is a
    // read-only file outside that a link in it points to.
    void readOnlyFolderLeftAsItIs_data() { addRemovals(); }
    void readOnlyFolderLeftAsItIs()
    {
        QFETCH(QString, folder);
        QFETCH(Removal, removal);
        const QString root = at(folder);
        QVERIFY(ClientBundle::writeFile(at("outside/target.txt"), "not ours"));
        QVERIFY(setMode(at("outside/target.txt"), 0444));
        QVERIFY(ClientBundle::writeFile(root + "/locked/file.txt", "x"));
        QVERIFY(setMode(root + "/locked/file.txt", 0444));
        QVERIFY(QFile::link(at("outside/target.txt"), root + "/locked/link"));
        QVERIFY(setMode(root + "/locked", 0555));
        QVERIFY(OtherUser::giveTree(m_Dir->path()));
        const QString reason = OtherUser::unavailableReason(m_Dir->path());
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        const TreeSnapshot before = TreeSnapshot::take(m_Dir->path());

        QCOMPARE(OtherUser::run([&] { return removal(root) ? 1 : 0; }), 0);
        const TreeSnapshot after = TreeSnapshot::take(m_Dir->path());
        QCOMPARE(after.node("outside/target.txt").mode, 0444);
        QCOMPARE(after.node(folder + "/locked/file.txt").mode, 0444);
        QCOMPARE(after.node(folder + "/locked").mode, 0555);
        QCOMPARE(after.differences(before), QStringList{});
    }

    // A bind mount of root's folder inside the tree (same file system, so the same device): the
    // remover does not enter it and names it among what it could not remove.  In a private mount
    // namespace of a child, so that nothing outside the test sees the mount.
    void bindMountInsideIsNotEntered()
    {
        QVERIFY(ClientBundle::writeFile(at("outside/kept.txt"), "kept"));
        QVERIFY(ClientBundle::writeFile(at("tree/plain.txt"), "x"));
        QVERIFY(QDir().mkpath(at("tree/sub/mounted")));
        const TreeSnapshot outside = TreeSnapshot::take(at("outside"));
        const QByteArray source = QFile::encodeName(at("outside"));
        const QByteArray mountPoint = QFile::encodeName(at("tree/sub/mounted"));
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || mount(source.constData(), mountPoint.constData(), nullptr, MS_BIND, nullptr) != 0)
                _exit(77);
            QStringList failed;
            const bool removed = TreeRemover::removeTree(at("tree"), &failed);
            const bool named = failed.contains(at("tree/sub/mounted"));
            const bool plainGone = !QFileInfo::exists(at("tree/plain.txt"));
            _exit(!removed && named && plainGone ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        if (WEXITSTATUS(status) == 77)
            QSKIP("no private mount namespace here (needs root and unshare(CLONE_NEWNS))");
        QCOMPARE(TreeSnapshot::take(at("outside")).differences(outside), QStringList{});
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    void missingPathAndPlainEntries()
    {
        QVERIFY(TreeRemover::removeTree(at("missing")));
        QVERIFY(ClientBundle::writeFile(at("file.txt"), "x"));
        QVERIFY(QFile::link(at("file.txt"), at("link")));
        QVERIFY(TreeRemover::removeTree(at("link")));
        QVERIFY(QFileInfo::exists(at("file.txt")));
        QVERIFY(TreeRemover::removeTree(at("file.txt")));
        QVERIFY(!QFileInfo::exists(at("file.txt")));
    }
};

QTEST_GUILESS_MAIN(TreeRemoverTest)
#include "treeremovertest.moc"
