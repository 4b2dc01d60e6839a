// Rollback records on real folders: each kind undone, whole lists undone last
// first, and failures reported while the rest is still undone.
#include "fileinstalltaskspecification.h"
#include "rollbackdatalist.h"
#include "taskspecification.h"

#include "common/clientbundle.h"
#include "common/namewatcher.h"
#include "common/storageprobe.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

namespace
{
class SinkTask : public TaskSpecification
{
public:
    SinkTask() : TaskSpecification(nullptr, 1.0) {}
    void execute() override {}
};

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}
} // namespace

class RollbackTest : public QObject
{
    Q_OBJECT

private slots:
    void undoList_data();
    void undoList();
    void messageTargets();
    void installUndoneWithoutAMissingName_data();
    void installUndoneWithoutAMissingName();
};

void RollbackTest::undoList_data()
{
    // Paths are relative to a fresh folder.  Before: "d/" a folder, "f" a file
    // holding its own name.  Records in order of adding: "dir p", "file p",
    // "rename from>to" (moved from "from" to "to").  After: "p" must exist,
    // "p:text" must hold text, "!p" must be gone.  Warnings: the texts sent.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("empty") << QStringList{} << QStringList{} << true << QStringList{}
                           << QStringList{};
    QTest::newRow("each kind") << QStringList{"d/", "f", "to"}
                               << QStringList{"dir d", "file f", "rename from>to"} << true
                               << QStringList{} << QStringList{"!d", "!f", "!to", "from:to"};
    QTest::newRow("folder then file in it") << QStringList{"d/", "d/f"}
                                            << QStringList{"dir d", "file d/f"} << true
                                            << QStringList{} << QStringList{"!d/f", "!d"};
    QTest::newRow("file then its folder: folder still full")
        << QStringList{"d/", "d/f"} << QStringList{"file d/f", "dir d"} << false
        << QStringList{"warning: rollback create dir %D/d failed"} << QStringList{"!d/f", "d"};
    QTest::newRow("original moved aside, replacement created")
        << QStringList{"t", "t_old"} << QStringList{"rename t>t_old", "file t"} << true
        << QStringList{} << QStringList{"t:t_old", "!t_old"};
    QTest::newRow("vanished file, rest still undone")
        << QStringList{"to", "d/", "d/a", "d/c"}
        << QStringList{"rename from>to", "dir d", "file d/a", "file d/b", "file d/c"} << false
        << QStringList{"warning: rollback create file %D/d/b failed"}
        << QStringList{"!d", "!to", "from:to"};
    QTest::newRow("folder not empty stays") << QStringList{"d/", "d/user"}
                                            << QStringList{"dir d/"} << false
                                            << QStringList{"warning: rollback create dir %D/d/ failed"}
                                            << QStringList{"d/user:d/user"};
    QTest::newRow("emptied folder, trailing separator")
        << QStringList{"d/"} << QStringList{"dir d/"} << true << QStringList{} << QStringList{"!d"};
    QTest::newRow("all vanished, warned last first")
        << QStringList{} << QStringList{"dir d", "file f", "rename from>to"} << false
        << QStringList{"warning: rollback rename %D/from to %D/to failed",
                       "warning: rollback create file %D/f failed",
                       "warning: rollback create dir %D/d failed"}
        << QStringList{"!from", "!to"};
}

void RollbackTest::undoList()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, records);
    QFETCH(bool, result);
    QFETCH(QStringList, warnings);
    QFETCH(QStringList, after);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto at = [&dir](const QString& p) { return dir.path() + QLatin1Char('/') + p; };
    for (const QString& entry : before) {
        if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkdir(at(entry)));
        } else {
            QFile f(at(entry));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(entry.toUtf8()) == entry.size());
        }
    }
    RollbackDataList list;
    for (const QString& r : records) {
        const QString kind = r.section(QLatin1Char(' '), 0, 0);
        const QString arg = r.section(QLatin1Char(' '), 1);
        if (kind == QLatin1String("rename"))
            list.append(RollbackData(RollbackData::FILE_RENAME, at(arg.section('>', 0, 0)),
                                     at(arg.section('>', 1))));
        else
            list.append(RollbackData(kind == QLatin1String("dir") ? RollbackData::DIR_CREATE
                                                                  : RollbackData::FILE_CREATE,
                                     at(arg)));
    }

    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QCOMPARE(list.rollback(&sink), result);
    QVERIFY(list.isEmpty());
    QCOMPARE(texts(messages), warnings.replaceInStrings(QStringLiteral("%D"), dir.path()));
    for (const QString& expectation : after) {
        if (expectation.startsWith(QLatin1Char('!'))) {
            QVERIFY2(!QFileInfo::exists(at(expectation.mid(1))), qPrintable(expectation));
        } else {
            const QString path = at(expectation.section(QLatin1Char(':'), 0, 0));
            QVERIFY2(QFileInfo::exists(path), qPrintable(expectation));
            if (expectation.contains(QLatin1Char(':'))) {
                QFile f(path);
                QVERIFY(f.open(QIODevice::ReadOnly));
                QCOMPARE(QString::fromUtf8(f.readAll()), expectation.section(QLatin1Char(':'), 1));
            }
        }
    }
}

void RollbackTest::messageTargets()
{
    // No target, or a target without a message method: the undo still runs.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    QVERIFY(QFile(file).open(QIODevice::WriteOnly));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_CREATE, dir.filePath(QStringLiteral("gone"))));
    list.append(RollbackData(RollbackData::FILE_CREATE, file));
    QVERIFY(!list.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(file));
    QObject plain;
    list.append(RollbackData(RollbackData::FILE_CREATE, dir.filePath(QStringLiteral("gone"))));
    QVERIFY(!list.rollback(&plain));

    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    RollbackData::message(&sink, QStringLiteral("hello"));
    RollbackData::message(nullptr, QStringLiteral("nobody"));
    QCOMPARE(texts(messages), QStringList{QStringLiteral("hello")});
}

void RollbackTest::installUndoneWithoutAMissingName_data()
{
    QTest::addColumn<QString>("installed"); // "file", "link" or "none"
    QTest::addColumn<bool>("renameRefused"); // the new file cannot take the name
    QTest::newRow("file") << "file" << false;
    QTest::newRow("link, kept as a link") << "link" << false;
    QTest::newRow("no file before") << "none" << false;
    QTest::newRow("rename over the file refused") << "file" << true;
    QTest::newRow("rename over the link refused") << "link" << true;
}

// An install undone by its records: the installed name holds the original (file or link) or the
// new file at every moment, and afterwards the original again, with no second name left.  A new
// name is removed again.
void RollbackTest::installUndoneWithoutAMissingName()
{
    QFETCH(QString, installed);
    QFETCH(bool, renameRefused);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("Contents/MacOS"));
    const QString path = folder + QStringLiteral("/tool");
    const QString fresh = path + FileInstallTaskSpecification::kNewSuffix;
    QVERIFY(ClientBundle::writeFile(dir.filePath(QStringLiteral("elsewhere")), "the link's target"));
    if (installed == QLatin1String("file")) {
        QVERIFY(ClientBundle::writeFile(path, "old"));
    } else {
        QVERIFY(QDir().mkpath(folder));
        if (installed == QLatin1String("link"))
            QVERIFY(QFile::link(QStringLiteral("../../elsewhere"), path));
    }
    QVERIFY(ClientBundle::writeFile(fresh, "new"));
    const QString targetBefore = QFileInfo(path).symLinkTarget();

    NameWatcher watcher(folder);
    QVERIFY(watcher.isValid());
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_CREATE, fresh)); // as the task that wrote it does
    FileInstallTaskSpecification task(fresh, path, &list, nullptr, 0.0);
    {
        StorageProbe probe;
        if (renameRefused)
            probe.failOn(DurableStorage::Rename, [](const QByteArray& name) { return name == "tool"; }, 1, EROFS, true);
        QCOMPARE(task.doOp(), !renameRefused);
        QCOMPARE(probe.failures(), renameRefused ? 1 : 0);
    }
    if (!renameRefused)
        QCOMPARE(ClientBundle::readFile(path), QByteArray("new"));
    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QVERIFY(list.rollback(&sink));
    QCOMPARE(texts(messages), QStringList{});

    if (installed != QLatin1String("none"))
        QVERIFY2(!watcher.departures().contains(QStringLiteral("tool")), qPrintable(watcher.departures().join(", ")));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             installed == QLatin1String("none") ? QStringList{} : QStringList{QStringLiteral("tool")});
    if (installed == QLatin1String("file"))
        QCOMPARE(ClientBundle::readFile(path), QByteArray("old"));
    if (installed == QLatin1String("link")) {
        QVERIFY(QFileInfo(path).isSymLink());
        QCOMPARE(QFileInfo(path).symLinkTarget(), targetBefore);
        QCOMPARE(ClientBundle::readFile(dir.filePath(QStringLiteral("elsewhere"))), QByteArray("the link's target"));
    }
}

QTEST_GUILESS_MAIN(RollbackTest)
#include "rollbacktest.moc"
