// Rollback records on real folders: each kind undone, whole lists undone last
// first, and failures reported while the rest is still undone.
#include "rollback.h"
#include "rollbackdatalist.h"
#include "taskspecification.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
class SinkTask : public TaskSpecification
{
public:
    SinkTask() : TaskSpecification(nullptr, 1.0) {}
    void execute() override {}
};

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    void init()
    {
        m_Dir.reset(new QTemporaryDir);
        QVERIFY(m_Dir->isValid());
    }

    void emptyListUndoesToTrue();
    void singleRecords_data();
    void singleRecords();
    void folderAndFileUndoneFileFirst();
    void wrongOrderLeavesTheFolder();
    void replacementRestoresTheOriginal();
    void vanishedFileReportedRestStillUndone();
    void nonEmptyFolderStays();
    void warningsComeLastFirst();
    void messageTargets();

private:
    QString path(const QString& name) const { return m_Dir->filePath(name); }
    QScopedPointer<QTemporaryDir> m_Dir;
};

void RollbackTest::emptyListUndoesToTrue()
{
    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    RollbackDataList list;
    QVERIFY(list.rollback(&sink));
    QCOMPARE(messages.count(), 0);
}

void RollbackTest::singleRecords_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<bool>("prepared"); // the change really happened
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("warning"); // %D stands for the temp folder

    QTest::newRow("create file") << 1 << true << true << QString();
    QTest::newRow("create file, vanished")
        << 1 << false << false << QStringLiteral("warning: rollback create file %D/x failed");
    QTest::newRow("create dir") << 2 << true << true << QString();
    QTest::newRow("create dir, vanished")
        << 2 << false << false << QStringLiteral("warning: rollback create dir %D/x failed");
    QTest::newRow("rename") << 0 << true << true << QString();
    QTest::newRow("rename, vanished")
        << 0 << false << false << QStringLiteral("warning: rollback rename %D/orig to %D/x failed");
}

void RollbackTest::singleRecords()
{
    QFETCH(int, op);
    QFETCH(bool, prepared);
    QFETCH(bool, expected);
    QFETCH(QString, warning);

    const QString x = path(QStringLiteral("x"));
    const QString orig = path(QStringLiteral("orig"));
    if (prepared) {
        if (op == RollbackData::DIR_CREATE)
            QVERIFY(QDir().mkdir(x));
        else
            QVERIFY(writeFile(x, "content"));
    }
    const RollbackData record = op == RollbackData::FILE_RENAME
        ? RollbackData(op, orig, x)
        : RollbackData(op, x);

    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QCOMPARE(record.rollback(&sink), expected);
    QVERIFY(!QFileInfo::exists(x));
    if (warning.isEmpty()) {
        QCOMPARE(messages.count(), 0);
    } else {
        QCOMPARE(texts(messages), QStringList{QString(warning).replace(
                                      QStringLiteral("%D"), m_Dir->path())});
    }
    if (op == RollbackData::FILE_RENAME && prepared)
        QCOMPARE(readFile(orig), QByteArray("content"));
}

void RollbackTest::folderAndFileUndoneFileFirst()
{
    const QString folder = path(QStringLiteral("Frameworks"));
    const QString file = folder + QStringLiteral("/libvx.dylib");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(writeFile(file, "lib"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::DIR_CREATE, folder));
    list.append(RollbackData(RollbackData::FILE_CREATE, file));
    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QVERIFY(list.rollback(&sink));
    QVERIFY(list.isEmpty());
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(messages.count(), 0);
}

void RollbackTest::wrongOrderLeavesTheFolder()
{
    // Recorded the other way round, the folder is tried while still full.
    const QString folder = path(QStringLiteral("Frameworks"));
    const QString file = folder + QStringLiteral("/libvx.dylib");
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(writeFile(file, "lib"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_CREATE, file));
    list.append(RollbackData(RollbackData::DIR_CREATE, folder));
    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QVERIFY(!list.rollback(&sink));
    QVERIFY(list.isEmpty());
    QVERIFY(!QFileInfo::exists(file)); // still tried after the failure
    QVERIFY(QFileInfo::exists(folder));
    QCOMPARE(texts(messages),
             QStringList{QStringLiteral("warning: rollback create dir %1 failed").arg(folder)});
}

void RollbackTest::replacementRestoresTheOriginal()
{
    // The original is moved aside, the replacement created in its place.
    const QString target = path(QStringLiteral("Voxtrel"));
    const QString aside = path(QStringLiteral("Voxtrel_old"));
    QVERIFY(writeFile(target, "original"));
    RollbackDataList list;
    QVERIFY(QFile::rename(target, aside));
    list.append(RollbackData(RollbackData::FILE_RENAME, target, aside));
    QVERIFY(writeFile(target, "replacement"));
    list.append(RollbackData(RollbackData::FILE_CREATE, target));

    SinkTask sink;
    QVERIFY(list.rollback(&sink));
    QCOMPARE(readFile(target), QByteArray("original"));
    QVERIFY(!QFileInfo::exists(aside));
}

void RollbackTest::vanishedFileReportedRestStillUndone()
{
    const QString folder = path(QStringLiteral("Resources"));
    const QString a = folder + QStringLiteral("/a.png");
    const QString b = folder + QStringLiteral("/b.png");
    const QString c = folder + QStringLiteral("/c.png");
    const QString moved = path(QStringLiteral("moved"));
    const QString movedFrom = path(QStringLiteral("movedFrom"));
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(writeFile(a, "a"));
    QVERIFY(writeFile(c, "c"));
    QVERIFY(writeFile(moved, "m"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_RENAME, movedFrom, moved));
    list.append(RollbackData(RollbackData::DIR_CREATE, folder));
    list.append(RollbackData(RollbackData::FILE_CREATE, a));
    list.append(RollbackData(RollbackData::FILE_CREATE, b)); // never there / already gone
    list.append(RollbackData(RollbackData::FILE_CREATE, c));

    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QVERIFY(!list.rollback(&sink));
    QVERIFY(list.isEmpty());
    QCOMPARE(texts(messages),
             QStringList{QStringLiteral("warning: rollback create file %1 failed").arg(b)});
    QVERIFY(!QFileInfo::exists(a));
    QVERIFY(!QFileInfo::exists(c));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(readFile(movedFrom), QByteArray("m"));
}

void RollbackTest::nonEmptyFolderStays()
{
    const QString folder = path(QStringLiteral("d"));
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(writeFile(folder + QStringLiteral("/user-file"), "keep"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::DIR_CREATE, folder + QStringLiteral("/")));
    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QVERIFY(!list.rollback(&sink));
    QCOMPARE(readFile(folder + QStringLiteral("/user-file")), QByteArray("keep"));
    QCOMPARE(messages.count(), 1);
    QVERIFY(messages.at(0).at(0).toString().startsWith(
        QStringLiteral("warning: rollback create dir ")));

    // With the trailing separator the emptied folder is still removed.
    QVERIFY(QFile::remove(folder + QStringLiteral("/user-file")));
    list.append(RollbackData(RollbackData::DIR_CREATE, folder + QStringLiteral("/")));
    QVERIFY(list.rollback(&sink));
    QVERIFY(!QFileInfo::exists(folder));
}

void RollbackTest::warningsComeLastFirst()
{
    RollbackDataList list;
    for (const char* name : {"one", "two", "three"})
        list.append(RollbackData(RollbackData::FILE_CREATE, path(QLatin1String(name))));
    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    QVERIFY(!list.rollback(&sink));
    QCOMPARE(texts(messages),
             (QStringList{QStringLiteral("warning: rollback create file %1 failed")
                              .arg(path(QStringLiteral("three"))),
                          QStringLiteral("warning: rollback create file %1 failed")
                              .arg(path(QStringLiteral("two"))),
                          QStringLiteral("warning: rollback create file %1 failed")
                              .arg(path(QStringLiteral("one")))}));
}

void RollbackTest::messageTargets()
{
    // No target, or a target without a message method: the undo still runs.
    const QString file = path(QStringLiteral("f"));
    QVERIFY(writeFile(file, "x"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_CREATE, path(QStringLiteral("gone"))));
    list.append(RollbackData(RollbackData::FILE_CREATE, file));
    QVERIFY(!list.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(file));

    QObject plain;
    list.append(RollbackData(RollbackData::FILE_CREATE, path(QStringLiteral("gone"))));
    QVERIFY(!list.rollback(&plain));

    SinkTask sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);
    RollbackData::message(&sink, QStringLiteral("hello"));
    RollbackData::message(nullptr, QStringLiteral("nobody"));
    QCOMPARE(texts(messages), QStringList{QStringLiteral("hello")});
}

QTEST_GUILESS_MAIN(RollbackTest)
#include "rollbacktest.moc"
