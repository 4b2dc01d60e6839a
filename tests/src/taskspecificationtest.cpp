// Leaf task kinds: the base task's progress and end signals, asynchronous
// tasks on the global pool (including a work object that throws), synchronous
// file tasks and slow file tasks with their rollback records, on real files.
#include "asyncfunc.h"
#include "asyncrun.h"
#include "asynctaskspecification.h"
#include "fastfileoptaskspecification.h"
#include "rollbackdatalist.h"
#include "slowfileopfunc.h"
#include "slowfileopspecification.h"
#include "taskspecification.h"

#include <QAtomicInt>
#include <QAtomicPointer>
#include <QCoreApplication>
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
    PlainTask(QObject* parent, qreal weight) : TaskSpecification(parent, weight) {}
    void execute() override { m_State = STATE_RUNNING; }
    void onOtherTaskCancelledHook(TaskSpecification* other) override { m_Hooks.append(other); }
    QList<TaskSpecification*> m_Hooks;
};

// Records every signal of a task, in order, as text.
class SignalLog
{
public:
    explicit SignalLog(TaskSpecification* task)
    {
        QObject::connect(task, &TaskSpecification::updateProgress, [this](qreal v) {
            m_Entries << QStringLiteral("progress %1").arg(v);
        });
        QObject::connect(task, &TaskSpecification::finished,
                         [this](TaskSpecification*) { m_Entries << QStringLiteral("finished"); });
        QObject::connect(task, &TaskSpecification::canceled,
                         [this](TaskSpecification*) { m_Entries << QStringLiteral("canceled"); });
        QObject::connect(task, &TaskSpecification::message,
                         [this](const QString& s) { m_Entries << QStringLiteral("message ") + s; });
        QObject::connect(task, &TaskSpecification::error,
                         [this](const QString& s) { m_Entries << QStringLiteral("error ") + s; });
    }
    QStringList m_Entries;
};

// Shared observations of work objects running on the pool.
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
        if (m_Probe) {
            m_Probe->destroyedIn.storeRelease(QThread::currentThread());
            m_Probe->destroyed.storeRelease(1);
        }
    }
    bool run() override
    {
        if (m_Probe)
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
        const QString target = m_Path + QStringLiteral(".moved");
        if (!QFile::rename(m_Path, target)) {
            emit message(QStringLiteral("cannot move ") + m_Path);
            return false;
        }
        addRollback(RollbackData(RollbackData::FILE_RENAME, m_Path, target));
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
        : SlowFileOpSpecification(QStringLiteral("copy %1 to %2 failed").arg(source, destination),
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
    void progressIsWeighted_data();
    void progressIsWeighted();
    void finishEndsAtWeight();
    void failKeepsProgress();
    void cancelledIsStateFour();
    void resetReturnsToIdle();
    void otherTaskNotice();
    void baseDownloadStatsAreZero();

    void asyncRunsOnThePoolAndReportsInOrder();
    void asyncFailure();
    void asyncThrowingWorkFails_data();
    void asyncThrowingWorkFails();
    void asyncWorkMayOwnChildObjects();
    void asyncResultDroppedWhenNotRunning();
    void asyncResetWaitsForThePool();
    void runAndReportRunsInCallingThread();

    void fastTaskEndsInsideExecute();
    void fastTaskFailureLeavesNoRecord();
    void slowTaskRecordsCreatedFile();
    void slowTaskFailureSendsErrorTextAsMessage();
    void slowTaskLateSuccessStillRecorded();
    void slowTaskWithoutList();

    void cleanupTestCase() { QThreadPool::globalInstance()->waitForDone(-1); }
};

void TaskSpecificationTest::progressIsWeighted_data()
{
    QTest::addColumn<qreal>("weight");
    QTest::addColumn<qreal>("fraction");
    QTest::addColumn<qreal>("expected");
    QTest::newRow("0.4 half") << 0.4 << 0.5 << 0.2;
    QTest::newRow("1.0 quarter") << 1.0 << 0.25 << 0.25;
    QTest::newRow("0.05 full") << 0.05 << 1.0 << 0.05;
    QTest::newRow("not clamped above") << 0.4 << 1.5 << 0.6;
    QTest::newRow("not clamped below") << 0.5 << -0.5 << -0.25;
    QTest::newRow("weight 0") << 0.0 << 0.7 << 0.0;
}

void TaskSpecificationTest::progressIsWeighted()
{
    QFETCH(qreal, weight);
    QFETCH(qreal, fraction);
    QFETCH(qreal, expected);
    PlainTask task(nullptr, weight);
    QSignalSpy spy(&task, &TaskSpecification::updateProgress);
    task.setProgress(fraction);
    QCOMPARE(spy.count(), 1);
    QVERIFY(qAbs(spy.at(0).at(0).toReal() - expected) < 1e-12);
    QVERIFY(qAbs(task.m_Progress - expected) < 1e-12);
}

void TaskSpecificationTest::finishEndsAtWeight()
{
    PlainTask task(nullptr, 0.4);
    SignalLog log(&task);
    task.execute();
    task.setProgress(0.5);
    task.finish();
    QCOMPARE(log.m_Entries,
             (QStringList{"progress 0.2", "progress 0.4", "finished"})); // progress, then finished
    QCOMPARE(task.m_State, 2);
    QCOMPARE(task.m_Progress, 0.4);
}

void TaskSpecificationTest::failKeepsProgress()
{
    PlainTask task(nullptr, 0.4);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.setProgress(0.25);
    task.fail();
    QCOMPARE(task.m_State, 3);
    QCOMPARE(task.m_Progress, 0.1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(canceled.at(0).at(0).value<TaskSpecification*>(),
             static_cast<TaskSpecification*>(&task));
}

void TaskSpecificationTest::cancelledIsStateFour()
{
    PlainTask task(nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.cancelled();
    QCOMPARE(task.m_State, 4);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
}

void TaskSpecificationTest::resetReturnsToIdle()
{
    PlainTask task(nullptr, 0.5);
    task.execute();
    task.setProgress(0.5);
    task.requestCancel();
    QVERIFY(task.m_CancelRequested);
    QCOMPARE(task.m_State, 1); // a plain request changes nothing else
    task.fail();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(task.m_State, 0);
    QCOMPARE(task.m_Progress, 0.0);
    QVERIFY(!task.m_CancelRequested);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toReal(), 0.0);
}

void TaskSpecificationTest::otherTaskNotice()
{
    PlainTask task(nullptr, 1.0);
    PlainTask other(nullptr, 1.0);
    task.onOtherTaskCancelled(&other); // idle: ignored
    task.execute();
    task.onOtherTaskCancelled(&task); // itself: ignored
    QVERIFY(task.m_Hooks.isEmpty());
    task.onOtherTaskCancelled(&other);
    QCOMPARE(task.m_Hooks, (QList<TaskSpecification*>{&other}));
    task.finish();
    task.onOtherTaskCancelled(&other); // no longer running
    QCOMPARE(task.m_Hooks.size(), 1);
}

void TaskSpecificationTest::baseDownloadStatsAreZero()
{
    PlainTask task(nullptr, 1.0);
    qulonglong done = 5, total = 6, speed = 7;
    bool downloading = true;
    task.getDownloadStats(done, total, speed, downloading);
    QCOMPARE(done, 0ULL);
    QCOMPARE(total, 0ULL);
    QCOMPARE(speed, 0ULL);
    QVERIFY(!downloading);
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
            return true;
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

void TaskSpecificationTest::asyncFailure()
{
    ScriptedAsyncTask task(
        [](ASyncFunc* f) {
            emit f->progress(0.5);
            return false;
        },
        nullptr, 0.4);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(5000));
    QCOMPARE(task.m_State, 3);
    QCOMPARE(task.m_Progress, 0.2);
}

void TaskSpecificationTest::asyncThrowingWorkFails_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("mustContain");
    QTest::newRow("std::runtime_error") << 0 << QStringLiteral("disk on fire");
    QTest::newRow("std::bad_alloc") << 1 << QString();
    QTest::newRow("not an exception class") << 2 << QString();
}

void TaskSpecificationTest::asyncThrowingWorkFails()
{
    QFETCH(int, kind);
    QFETCH(QString, mustContain);
    FuncProbe probe;
    ScriptedAsyncTask task(
        [kind](ASyncFunc* f) -> bool {
            emit f->message(QStringLiteral("before"));
            if (kind == 0)
                throw std::runtime_error("disk on fire");
            if (kind == 1)
                throw std::bad_alloc();
            throw 42;
        },
        &probe, 1.0);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(5000));
    QCOMPARE(task.m_State, 3);
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("before"));
    const QString report = messages.at(1).at(0).toString();
    QVERIFY(!report.isEmpty());
    if (!mustContain.isEmpty())
        QVERIFY2(report.contains(mustContain), qPrintable(report));
    QTRY_COMPARE(probe.destroyed.loadAcquire(), 1); // the work object is still released
}

void TaskSpecificationTest::asyncWorkMayOwnChildObjects()
{
    ScriptedAsyncTask task(
        [](ASyncFunc* f) {
            auto* child = new QObject(f); // released with the work object
            return child->parent() == f && child->thread() == QThread::currentThread();
        },
        nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(finished.count(), 1);
}

void TaskSpecificationTest::asyncResultDroppedWhenNotRunning()
{
    ScriptedAsyncTask task([](ASyncFunc*) { return true; }, nullptr, 1.0);
    SignalLog log(&task);
    task.onRunResult(true);
    task.onRunResult(false);
    QCOMPARE(task.m_State, 0);
    QVERIFY(log.m_Entries.isEmpty());

    task.m_State = 2; // a second result after the end changes nothing either
    task.onRunResult(false);
    QCOMPARE(task.m_State, 2);
    QVERIFY(log.m_Entries.isEmpty());
}

void TaskSpecificationTest::asyncResetWaitsForThePool()
{
    QSemaphore started;
    QSemaphore release;
    QAtomicInt workDone{0};
    ScriptedAsyncTask task(
        [&](ASyncFunc*) {
            started.release();
            release.acquire();
            workDone.storeRelease(1);
            return true;
        },
        nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    std::thread releaser([&] {
        started.acquire();
        QThread::msleep(50); // give a reset that does not wait the chance to return early
        release.release();
    });
    task.reset();
    const int doneAtReset = workDone.loadAcquire();
    releaser.join();
    QCOMPARE(doneAtReset, 1);
    QCOMPARE(task.m_State, 0);
    // The queued result arrives after the reset and is dropped.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    QTest::qWait(10);
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
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("libclient.dylib"));
    QVERIFY(writeFile(path, "old"));
    RollbackDataList list;
    MoveAsideTask task(path, &list);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(finished.count(), 1); // before execute returned, no event loop
    QCOMPARE(task.m_State, 2);
    QCOMPARE(task.m_Progress, 0.5);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).m_Op, int(RollbackData::FILE_RENAME));
    QCOMPARE(list.at(0).m_FormerPath, path);
    QCOMPARE(list.at(0).m_Path, path + QStringLiteral(".moved"));

    // Undoing the list brings the file back under its old name.
    QVERIFY(list.rollback(&task));
    QCOMPARE(readFile(path), QByteArray("old"));
    QVERIFY(!QFile::exists(path + QStringLiteral(".moved")));
}

void TaskSpecificationTest::fastTaskFailureLeavesNoRecord()
{
    QTemporaryDir dir;
    RollbackDataList list;
    MoveAsideTask task(dir.filePath(QStringLiteral("missing")), &list);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.m_State, 3);
    QCOMPARE(messages.count(), 1);
    QVERIFY(list.isEmpty());

    // Without a list the operation still works and records nothing.
    const QString path = dir.filePath(QStringLiteral("present"));
    QVERIFY(writeFile(path, "x"));
    MoveAsideTask unrecorded(path, nullptr);
    unrecorded.execute();
    QCOMPARE(unrecorded.m_State, 2);
}

void TaskSpecificationTest::slowTaskRecordsCreatedFile()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("a"));
    const QString destination = dir.filePath(QStringLiteral("b"));
    QVERIFY(writeFile(source, "payload"));
    RollbackDataList list;
    CopyTask task(&list, source, destination);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QVERIFY(finished.wait(5000));
    QCOMPARE(readFile(destination), QByteArray("payload"));
    QCOMPARE(messages.count(), 0);
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).m_Op, int(RollbackData::FILE_CREATE));
    QCOMPARE(list.at(0).m_Path, destination);
    QVERIFY(list.at(0).m_FormerPath.isEmpty());
    QVERIFY(list.rollback(&task));
    QVERIFY(!QFile::exists(destination));
    QVERIFY(QFile::exists(source));
}

void TaskSpecificationTest::slowTaskFailureSendsErrorTextAsMessage()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("missing"));
    const QString destination = dir.filePath(QStringLiteral("b"));
    RollbackDataList list;
    CopyTask task(&list, source, destination);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.execute();
    QVERIFY(canceled.wait(5000));
    QCOMPARE(task.m_State, 3);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("copy %1 to %2 failed").arg(source, destination));
    QCOMPARE(errors.count(), 0);
    QVERIFY(list.isEmpty());
}

void TaskSpecificationTest::slowTaskLateSuccessStillRecorded()
{
    RollbackDataList list;
    CopyTask task(&list, QStringLiteral("/nonexistent/a"), QStringLiteral("/nonexistent/b"));
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.runFinished(true); // idle: state unchanged, record kept
    QCOMPARE(task.m_State, 0);
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).m_Path, QStringLiteral("/nonexistent/b"));
    task.runFinished(false); // the error text goes out even for a dropped result
    QCOMPARE(task.m_State, 0);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(list.size(), 1);
}

void TaskSpecificationTest::slowTaskWithoutList()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("a"));
    QVERIFY(writeFile(source, "x"));
    CopyTask task(nullptr, source, dir.filePath(QStringLiteral("b")));
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(5000));
    QCOMPARE(task.m_State, 2);
}

QTEST_GUILESS_MAIN(TaskSpecificationTest)
#include "taskspecificationtest.moc"
