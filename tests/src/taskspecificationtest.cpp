// Leaf task kinds: the base task's progress and end signals, asynchronous
// tasks on the global pool (including a work object that throws), synchronous
// file tasks and slow file tasks with their rollback records, on real files.
#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "fastfileoptaskspecification.h"
#include "rollbackdatalist.h"
#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

#include <QAtomicInt>
#include <QAtomicPointer>
#include <QFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <functional>
#include <stdexcept>
#include <thread>

namespace
{
class PlainTask : public TaskSpecification
{
public:
    PlainTask(qreal weight) : TaskSpecification(nullptr, weight) {}
    void execute() override { m_State = STATE_RUNNING; }
    void onOtherTaskCancelledHook(TaskSpecification* other) override { m_Hooks.append(other); }
    QList<TaskSpecification*> m_Hooks;
};

// Records every signal of a task, in order, as text.
struct SignalLog
{
    explicit SignalLog(TaskSpecification* t)
    {
        QObject::connect(t, &TaskSpecification::updateProgress,
                         [this](qreal v) { m_Entries << QStringLiteral("progress %1").arg(v); });
        QObject::connect(t, &TaskSpecification::finished,
                         [this](TaskSpecification*) { m_Entries << QStringLiteral("finished"); });
        QObject::connect(t, &TaskSpecification::canceled,
                         [this](TaskSpecification*) { m_Entries << QStringLiteral("canceled"); });
        QObject::connect(t, &TaskSpecification::message,
                         [this](const QString& s) { m_Entries << QStringLiteral("message ") + s; });
        QObject::connect(t, &TaskSpecification::error,
                         [this](const QString& s) { m_Entries << QStringLiteral("error ") + s; });
    }
    QStringList m_Entries;
};

// Where and whether a work object ran and was released.
struct FuncProbe
{
    QAtomicInt destroyed{0};
    QAtomicPointer<QThread> destroyedIn{nullptr};
    QAtomicPointer<QThread> ranIn{nullptr};
};

class ScriptedFunc : public ASyncFunc
{
public:
    ScriptedFunc(std::function<bool(ASyncFunc*)> body, FuncProbe* probe)
        : m_Body(std::move(body)), m_Probe(probe)
    {
    }
    ~ScriptedFunc() override
    {
        m_Probe->destroyedIn.storeRelease(QThread::currentThread());
        m_Probe->destroyed.storeRelease(1);
    }
    bool run() override
    {
        m_Probe->ranIn.storeRelease(QThread::currentThread());
        return m_Body(this);
    }

private:
    std::function<bool(ASyncFunc*)> m_Body;
    FuncProbe* m_Probe;
};

class ScriptedAsyncTask : public ASyncTaskSpecification
{
public:
    ScriptedAsyncTask(std::function<bool(ASyncFunc*)> body, FuncProbe* probe, qreal weight)
        : ASyncTaskSpecification(nullptr, weight), m_Body(std::move(body)), m_Probe(probe)
    {
    }
    ASyncFunc* createFunc() override { return new ScriptedFunc(m_Body, m_Probe); }

private:
    std::function<bool(ASyncFunc*)> m_Body;
    FuncProbe* m_Probe;
};

// Moves m_Path to m_Path + ".moved" and records the rename.
class MoveAsideTask : public FastFileOpTaskSpecification
{
public:
    MoveAsideTask(const QString& path, RollbackDataList* list)
        : FastFileOpTaskSpecification(path, list, nullptr, 0.5)
    {
    }
    bool doOp() override
    {
        if (!QFile::rename(m_Path, m_Path + QStringLiteral(".moved")))
            return false;
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Path, m_Path + QStringLiteral(".moved")));
        return true;
    }
};

class CopyFunc : public SlowFileOpFunc
{
public:
    using SlowFileOpFunc::SlowFileOpFunc;
    bool run() override { return QFile::copy(m_Source, m_Destination); }
};

class CopyTask : public SlowFileOpSpecification
{
public:
    CopyTask(RollbackDataList* list, const QString& source, const QString& destination)
        : SlowFileOpSpecification(QStringLiteral("copy %1 to %2 failed"),
                                  list, source, destination, nullptr, 0.25)
    {
    }
    ASyncFunc* createFunc() override { return new CopyFunc(m_Source, m_Destination); }
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
} // namespace

class TaskSpecificationTest : public QObject
{
    Q_OBJECT

private slots:
    void endStatesAndReset_data();
    void endStatesAndReset();
    void otherTaskNotice();
    void asyncRunsOnThePoolAndReportsInOrder();
    void asyncFailureAndThrowingWork_data();
    void asyncFailureAndThrowingWork();
    void asyncResetWaitsForThePool();
    void runAndReportRunsInCallingThread();
    void fastTaskEndsInsideExecute();
    void slowTask_data();
    void slowTask();
    void slowTaskResultWhenNotRunning();

    void cleanupTestCase() { QThreadPool::globalInstance()->waitForDone(-1); }
};

void TaskSpecificationTest::endStatesAndReset_data()
{
    QTest::addColumn<int>("end"); // the state reached
    QTest::addColumn<QStringList>("emitted");
    // Progress is weighted and not clamped.
    QTest::newRow("finish") << 2
                            << QStringList{"progress 0.6", "progress 0.2", "progress 0.4", "finished"};
    QTest::newRow("fail") << 3 << QStringList{"progress 0.6", "progress 0.2", "canceled"};
    QTest::newRow("cancelled") << 4 << QStringList{"progress 0.6", "progress 0.2", "canceled"};
}

void TaskSpecificationTest::endStatesAndReset()
{
    QFETCH(int, end);
    QFETCH(QStringList, emitted);
    PlainTask task(0.4);
    SignalLog log(&task);
    task.execute();
    task.setProgress(1.5);
    task.setProgress(0.5);
    task.requestCancel();
    QCOMPARE(task.m_State, 1); // a plain request only notes the flag
    if (end == 2)
        task.finish();
    else if (end == 3)
        task.fail();
    else
        task.cancelled();
    QCOMPARE(log.m_Entries, emitted);
    QCOMPARE(task.m_State, end);
    QCOMPARE(task.m_Progress, end == 2 ? 0.4 : 0.2); // only finish moves to the weight

    log.m_Entries.clear();
    task.reset();
    QCOMPARE(log.m_Entries, QStringList{"progress 0"});
    QCOMPARE(task.m_State, 0);
    QCOMPARE(task.m_Progress, 0.0);
    QVERIFY(!task.m_CancelRequested);

    qulonglong done = 5, total = 6, speed = 7;
    bool downloading = true;
    task.getDownloadStats(done, total, speed, downloading);
    QVERIFY(done == 0 && total == 0 && speed == 0 && !downloading);
}

void TaskSpecificationTest::otherTaskNotice()
{
    PlainTask task(1.0);
    PlainTask other(1.0);
    task.onOtherTaskCancelled(&other); // idle: ignored
    task.execute();
    task.onOtherTaskCancelled(&task); // itself: ignored
    task.onOtherTaskCancelled(&other);
    task.finish();
    task.onOtherTaskCancelled(&other); // no longer running
    QCOMPARE(task.m_Hooks, (QList<TaskSpecification*>{&other}));
}

void TaskSpecificationTest::asyncRunsOnThePoolAndReportsInOrder()
{
    FuncProbe probe;
    ScriptedAsyncTask task(
        [](ASyncFunc* f) {
            emit f->progress(0.25);
            emit f->message(QStringLiteral("working"));
            emit f->error(QStringLiteral("odd"));
            emit f->progress(0.5);
            // The work object may own objects it creates while running.
            auto* child = new QObject(f);
            return child->parent() == f && child->thread() == QThread::currentThread();
        },
        &probe, 0.4);
    SignalLog log(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(task.m_State, 1);
    QVERIFY(log.m_Entries.isEmpty()); // everything arrives queued
    QVERIFY(finished.wait(5000));
    QCOMPARE(log.m_Entries, (QStringList{"progress 0.1", "message working", "error odd",
                                         "progress 0.2", "progress 0.4", "finished"}));
    QCOMPARE(task.m_State, 2);
    QTRY_COMPARE(probe.destroyed.loadAcquire(), 1);
    QVERIFY(probe.ranIn.loadAcquire() != QThread::currentThread());
    QCOMPARE(probe.destroyedIn.loadAcquire(), probe.ranIn.loadAcquire());
}

void TaskSpecificationTest::asyncFailureAndThrowingWork_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("mustContain"); // in the report of the exception
    QTest::newRow("returns false") << 0 << QString();
    QTest::newRow("std::runtime_error") << 1 << QStringLiteral("disk on fire");
    QTest::newRow("std::bad_alloc") << 2 << QString();
    QTest::newRow("not an exception class") << 3 << QString();
}

void TaskSpecificationTest::asyncFailureAndThrowingWork()
{
    QFETCH(int, kind);
    QFETCH(QString, mustContain);
    FuncProbe probe;
    ScriptedAsyncTask task(
        [kind](ASyncFunc* f) -> bool {
            emit f->progress(0.5);
            emit f->message(QStringLiteral("before"));
            if (kind == 1)
                throw std::runtime_error("disk on fire");
            if (kind == 2)
                throw std::bad_alloc();
            if (kind == 3)
                throw 42;
            return false;
        },
        &probe, 0.4);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(5000));
    QCOMPARE(task.m_State, 3);
    QCOMPARE(task.m_Progress, 0.2); // a failed task keeps its progress
    QCOMPARE(messages.count(), kind == 0 ? 1 : 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("before"));
    if (kind != 0) {
        const QString report = messages.at(1).at(0).toString();
        QVERIFY(!report.isEmpty());
        QVERIFY2(report.contains(mustContain), qPrintable(report));
    }
    QTRY_COMPARE(probe.destroyed.loadAcquire(), 1); // the work object is still released
}

void TaskSpecificationTest::asyncResetWaitsForThePool()
{
    QSemaphore started;
    QSemaphore release;
    QAtomicInt workDone{0};
    FuncProbe probe;
    ScriptedAsyncTask task(
        [&](ASyncFunc*) {
            started.release();
            release.acquire();
            workDone.storeRelease(1);
            return true;
        },
        &probe, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    std::thread releaser([&] {
        started.acquire();
        QThread::msleep(50); // gives a reset that does not wait the chance to return early
        release.release();
    });
    task.reset();
    const int doneAtReset = workDone.loadAcquire();
    releaser.join();
    QCOMPARE(doneAtReset, 1);
    // The queued result arrives after the reset and is dropped.
    QTest::qWait(20);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(task.m_State, 0);
}

void TaskSpecificationTest::runAndReportRunsInCallingThread()
{
    FuncProbe probe;
    ScriptedFunc func([](ASyncFunc*) { return true; }, &probe);
    QSignalSpy result(&func, &ASyncFunc::runResult);
    func.runAndReport();
    QCOMPARE(result.count(), 1);
    QCOMPARE(result.at(0).at(0).toBool(), true);
    QCOMPARE(probe.ranIn.loadAcquire(), QThread::currentThread());
}

void TaskSpecificationTest::fastTaskEndsInsideExecute()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("libclient.dylib"));
    QVERIFY(writeFile(path, "old"));
    RollbackDataList list;
    MoveAsideTask task(path, &list);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(finished.count(), 1); // before execute returned, no event loop
    QCOMPARE(task.m_State, 2);
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).m_Op, int(RollbackData::FILE_RENAME));
    QVERIFY(list.rollback(&task)); // brings the file back under its old name
    QCOMPARE(readFile(path), QByteArray("old"));

    // A failure ends the task inside execute too and records nothing; without
    // a list nothing is recorded either.
    MoveAsideTask failing(dir.filePath(QStringLiteral("missing")), &list);
    QSignalSpy canceled(&failing, &TaskSpecification::canceled);
    failing.execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(failing.m_State, 3);
    QVERIFY(list.isEmpty());
    MoveAsideTask unrecorded(path, nullptr);
    unrecorded.execute();
    QCOMPARE(unrecorded.m_State, 2);
}

void TaskSpecificationTest::slowTask_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("withList");
    QTest::newRow("copied, recorded") << true << true;
    QTest::newRow("copied, no list") << true << false;
    QTest::newRow("failed") << false << true;
}

void TaskSpecificationTest::slowTask()
{
    QFETCH(bool, sourceExists);
    QFETCH(bool, withList);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("a"));
    const QString destination = dir.filePath(QStringLiteral("b"));
    if (sourceExists)
        QVERIFY(writeFile(source, "payload"));
    RollbackDataList list;
    CopyTask task(withList ? &list : nullptr, source, destination);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QSignalSpy ended(&task, sourceExists ? &TaskSpecification::finished : &TaskSpecification::canceled);
    task.execute();
    QVERIFY(ended.wait(5000));
    QCOMPARE(task.m_State, sourceExists ? 2 : 3);
    QCOMPARE(errors.count(), 0); // the error text goes out as message
    if (!sourceExists) {
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QStringLiteral("copy %1 to %2 failed").arg(source, destination));
        QVERIFY(list.isEmpty());
        return;
    }
    QCOMPARE(messages.count(), 0);
    QCOMPARE(readFile(destination), QByteArray("payload"));
    QCOMPARE(list.size(), withList ? 1 : 0);
    if (withList) {
        QCOMPARE(list.at(0).m_Op, int(RollbackData::FILE_CREATE));
        QCOMPARE(list.at(0).m_Path, destination);
        QVERIFY(list.rollback(&task));
        QVERIFY(!QFile::exists(destination));
    }
}

void TaskSpecificationTest::slowTaskResultWhenNotRunning()
{
    RollbackDataList list;
    CopyTask task(&list, QStringLiteral("/nonexistent/a"), QStringLiteral("/nonexistent/b"));
    SignalLog log(&task);
    task.onRunResult(true); // idle: dropped, but the created file is recorded
    QCOMPARE(task.m_State, 0);
    QCOMPARE(list.size(), 1);
    QVERIFY(log.m_Entries.isEmpty());

    task.m_State = 2; // a late failure after the end: only the error text
    task.onRunResult(false);
    QCOMPARE(task.m_State, 2);
    QCOMPARE(log.m_Entries,
             QStringList{"message copy /nonexistent/a to /nonexistent/b failed"});
    QCOMPARE(list.size(), 1);
}

QTEST_GUILESS_MAIN(TaskSpecificationTest)
#include "taskspecificationtest.moc"
