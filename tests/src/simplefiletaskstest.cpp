// Folder, copy, delete and rename tasks and the delete list on real folders.
#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "rollbackdatalist.h"

#include "common/clientbundle.h"
#include "common/taskrunner.h"
#include "common/treesnapshot.h"

#include <QDir>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class SimpleFileTasksTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_Dir;
    QString at(const QString& rel) const { return m_Dir.path() + "/" + rel; }
    // "name/" makes a folder, "link name target" a symbolic link, any other name a file.
    bool makeTree(const QStringList& paths) const
    {
        for (const QString& p : paths) {
            const QStringList link = p.split(' ');
            if (link.size() == 3 ? !QFile::link(at(link[2]), at(link[1]))
                                 : !(p.endsWith('/') ? QDir().mkpath(at(p)) : ClientBundle::writeFile(at(p), "x")))
                return false;
        }
        return true;
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")); }

    void init()
    {
        QVERIFY(m_Dir.isValid());
        QDir(m_Dir.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_Dir.path()));
    }

    void dirCreate_data()
    {
        // Before: "name/" a folder, "name" a file.  Records: the folders created, in order.
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QString>("text");
        QTest::newRow("two levels missing") << QStringList{"top/"} << "top/mid/leaf" << true
                                            << QStringList{"top/mid", "top/mid/leaf"} << QString();
        QTest::newRow("already there") << QStringList{"top/mid/leaf/"} << "top/mid/leaf" << true
                                       << QStringList{} << QString();
        QTest::newRow("file in the way") << QStringList{"top/mid"} << "top/mid/leaf" << false
                                         << QStringList{}
                                         << "Could not create dir '%1/top/mid' because it already exists and is not a dir";
        QTest::newRow("no folder part") << QStringList{} << "=lonely" << false << QStringList{}
                                        << "Could not create dir lonely";
    }

    void dirCreate()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, path);
        QFETCH(bool, ok);
        QFETCH(QStringList, records);
        QFETCH(QString, text);
        QVERIFY(makeTree(before));
        RollbackDataList list;
        const QString full = path.startsWith('=') ? path.mid(1) : at(path);
        DirCreateTaskSpecification task(full, &list, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.m_State, int(ok ? TaskSpecification::STATE_FINISHED : TaskSpecification::STATE_FAILED));
        QCOMPARE(QFileInfo(full).isDir(), ok);
        QStringList got;
        for (const RollbackData& r : list) {
            QCOMPARE(r.m_Op, int(RollbackData::DIR_CREATE));
            got << QDir(m_Dir.path()).relativeFilePath(r.m_Path);
        }
        QCOMPARE(got, records);
        QCOMPARE(spyTexts(messages), text.isEmpty() ? QStringList{} : QStringList{text.arg(m_Dir.path())});
    }

    void copy()
    {
        QVERIFY(ClientBundle::writeFile(at("src"), "new"));
        QVERIFY(ClientBundle::writeFile(at("taken"), "old"));
        RollbackDataList list;
        FileCopyTaskSpecification good(&list, at("src"), at("dst"), nullptr, 1.0);
        QCOMPARE(runTask(good), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(ClientBundle::readFile(at("dst")), QByteArray("new"));
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().m_Op, int(RollbackData::FILE_CREATE));
        QCOMPARE(list.first().m_Path, at("dst"));

        // A copy never overwrites.
        FileCopyTaskSpecification onto(&list, at("src"), at("taken"), nullptr, 1.0);
        QSignalSpy messages(&onto, &TaskSpecification::message);
        QCOMPARE(runTask(onto), int(TaskSpecification::STATE_FAILED));
        QCOMPARE(spyTexts(messages), QStringList{QString("Could not copy '%1' to '%2'").arg(at("src"), at("taken"))});
        QCOMPARE(ClientBundle::readFile(at("taken")), QByteArray("old"));
        QCOMPARE(list.size(), 1);
    }

    void deletion_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<bool>("failOnError");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("file") << QStringList{"a/f", "a/g"} << "a/f" << false << true << true
                              << QStringList{"a", "a/g"};
        QTest::newRow("missing, silent") << QStringList{"a/g"} << "a/f" << false << false << true
                                         << QStringList{"a", "a/g"};
        QTest::newRow("missing, reported") << QStringList{"a/g"} << "a/f" << false << true << false
                                           << QStringList{"a", "a/g"};
        QTest::newRow("full folder, not recursive")
            << QStringList{"a/b/f"} << "a/b" << false << false << true << QStringList{"a", "a/b", "a/b/f"};
        QTest::newRow("full folder, recursive") << QStringList{"a/b/f", "a/g"} << "a/b" << true << true
                                                << true << QStringList{"a", "a/g"};
        // A link is removed itself; the folder it points at is not emptied.
        QTest::newRow("link to a folder, recursive") << QStringList{"a/", "x/f", "link a/l x"} << "a/l" << true
                                                     << true << true << QStringList{"a", "x", "x/f"};
        // Only the folder itself goes: empty parents may lie outside the installation.
        QTest::newRow("empty folder, its empty parents stay")
            << QStringList{"x/", "a/b/c/"} << "a/b/c" << false << true << true << QStringList{"a", "a/b", "x"};
    }

    void deletion()
    {
        QFETCH(QStringList, before);
        QFETCH(QString, path);
        QFETCH(bool, recursive);
        QFETCH(bool, failOnError);
        QFETCH(bool, ok);
        QFETCH(QStringList, left);
        QVERIFY(makeTree(before));
        FileDeleteTaskSpecification task(failOnError, at(path), recursive, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.m_State, int(ok ? TaskSpecification::STATE_FINISHED : TaskSpecification::STATE_FAILED));
        QCOMPARE(spyTexts(messages), ok ? QStringList{} : QStringList{"Could not delete '" + at(path) + "'"});
        QCOMPARE(TreeSnapshot::take(m_Dir.path()).nodes().keys(), left);
    }

    void renameAndUndo()
    {
        QVERIFY(ClientBundle::writeFile(at("a/f"), "content"));
        const TreeSnapshot before = TreeSnapshot::take(m_Dir.path());
        RollbackDataList list;
        FileRenameTaskSpecification task(at("a/f"), at("b/g"), &list, nullptr, 1.0);
        task.execute();
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(ClientBundle::readFile(at("b/g")), QByteArray("content"));
        QCOMPARE(list.size(), 1);
        QVERIFY(list.rollback(nullptr));
        QVERIFY(QDir().rmdir(at("b"))); // made without a record
        QCOMPARE(TreeSnapshot::take(m_Dir.path()).differences(before), QStringList{});
    }

    // The delete list removes exactly its entries below the installation folder.
    void deleteList()
    {
        ClientBundle bundle(m_Dir.path());
        QVERIFY(bundle.addFile("MacOS/old", "1"));
        QVERIFY(bundle.addFile("MacOS/keep", "2"));
        QVERIFY(bundle.addFile("Plugins/gone/a", "3"));
        QVERIFY(bundle.addFile("Plugins/gone/sub/b", "4"));
        QVERIFY(bundle.addFile("Plugins/kept/c", "5"));
        QVERIFY(bundle.addFile("Resources/full/d", "6"));
        const TreeSnapshot before = TreeSnapshot::take(bundle.contentsDir());
        Configuration config;
        config.m_InstallDir = bundle.contentsDir();
        QList<DeleteEntry> entries{{"MacOS/old", false}, {"Plugins/gone", true}, {"missing", false},
                                   {"Resources/full", false}};
        FileDeleteListTaskSpecification task(&entries, &config, nullptr, 0.05);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(spyTexts(messages), QStringList{"Starting deleting files"});
        QCOMPARE(task.m_Progress, 0.05);
        QCOMPARE(before.differences(TreeSnapshot::take(bundle.contentsDir())),
                 (QStringList{"MacOS/old: only in the first tree", "Plugins/gone: only in the first tree",
                              "Plugins/gone/a: only in the first tree", "Plugins/gone/sub: only in the first tree",
                              "Plugins/gone/sub/b: only in the first tree"}));

        QList<DeleteEntry> none;
        FileDeleteListTaskSpecification empty(&none, &config, nullptr, 0.05);
        QCOMPARE(runTask(empty), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(empty.m_Progress, 0.05);
        QVERIFY(empty.m_SubTasks.isEmpty());
    }
};

QTEST_MAIN(SimpleFileTasksTest)
#include "simplefiletaskstest.moc"
