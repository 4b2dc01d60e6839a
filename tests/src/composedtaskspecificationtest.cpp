// Composite tasks: bounded parallelism, start order, weighted progress, end
// states, cancel forwarding, sibling notices, reset and download figures.
#include "composedtaskspecification.h"

#include "common/testtasks.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace
{
// Delivers every queued call that is due now (one pass; calls queued while
// running wait for the next pass).
void turn()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

void settle()
{
    for (int i = 0; i < 20; ++i)
        turn();
}

QList<qreal> progressValues(const QSignalSpy& spy)
{
    QList<qreal> values;
    for (const QList<QVariant>& args : spy)
        values.append(args.at(0).toReal());
    return values;
}

QList<ManualTask*> addTasks(ManualComposite* composite, const QStringList& names,
                            QStringList* journal, ManualTask::Counter* counter = nullptr)
{
    QList<ManualTask*> tasks;
    for (const QString& name : names) {
        tasks.append(new ManualTask(name, journal, composite, 1.0 / names.size(), counter));
        composite->addSubTask(tasks.last());
    }
    return tasks;
}
} // namespace

class ComposedTaskSpecificationTest : public QObject
{
    Q_OBJECT

private slots:
    void endsInsideStart_data();
    void endsInsideStart();
    void parallelismIsBounded_data();
    void parallelismIsBounded();
    void failureStopsStartsAndWaitsForSiblings();
    void aggregateState_data();
    void aggregateState();
    void progressAndTextsThroughNestedComposites();
    void cancelRequest_data();
    void cancelRequest();
    void cancelWhenIdleIsNotForwarded();
    void siblingNoticeTravelsDownTheTree();
    void resetAfterFailureRunsAgain();
    void downloadStatsAreSummed();
    void destructorReleasesSubTasks();
    void progressFollowsEverySubTaskAcrossReset();
};

void ComposedTaskSpecificationTest::endsInsideStart_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<int>("subTasks");
    QTest::addColumn<int>("state");
    QTest::newRow("no sub-tasks") << 2 << 0 << 2;
    QTest::newRow("no parallelism") << 0 << 1 << 3;
}

void ComposedTaskSpecificationTest::endsInsideStart()
{
    QFETCH(int, maxParallel);
    QFETCH(int, subTasks);
    QFETCH(int, state);
    QStringList journal;
    ManualComposite composite(maxParallel, nullptr, 0.3);
    for (int i = 0; i < subTasks; ++i)
        composite.addSubTask(new ManualTask("a", &journal, &composite, 1.0));
    QSignalSpy ended(&composite, state == 2 ? &TaskSpecification::finished : &TaskSpecification::canceled);
    composite.execute();
    QCOMPARE(ended.count(), 1); // no event loop needed
    QCOMPARE(composite.m_State, state);
    QCOMPARE(composite.m_Progress, state == 2 ? 0.3 : 0.0);
    settle();
    QVERIFY(journal.isEmpty()); // nothing started
    QCOMPARE(ended.count(), 1);
}

void ComposedTaskSpecificationTest::parallelismIsBounded_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<int>("tasks");
    QTest::addColumn<QList<int>>("finishOrder"); // indices; empty: end inside execute

    QTest::newRow("2 of 5, in order") << 2 << 5 << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("2 of 5, reversed") << 2 << 5 << QList<int>{4, 3, 2, 1, 0};
    QTest::newRow("3 of 7, mixed") << 3 << 7 << QList<int>{2, 0, 6, 1, 5, 3, 4};
    QTest::newRow("4 of 2") << 4 << 2 << QList<int>{1, 0};
    QTest::newRow("2 of 5, synchronous") << 2 << 5 << QList<int>{};
}

void ComposedTaskSpecificationTest::parallelismIsBounded()
{
    QFETCH(int, maxParallel);
    QFETCH(int, tasks);
    QFETCH(QList<int>, finishOrder);

    QStringList journal;
    QStringList names;
    for (int i = 0; i < tasks; ++i)
        names << QString::number(i);
    ManualTask::Counter counter;
    ManualComposite composite(maxParallel, nullptr, 1.0);
    const QList<ManualTask*> subs = addTasks(&composite, names, &journal, &counter);
    const bool synchronous = finishOrder.isEmpty();
    for (ManualTask* t : subs)
        t->m_OnExecute = synchronous ? ManualTask::OnExecute::Finish : ManualTask::OnExecute::Stay;
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    QVERIFY(journal.isEmpty()); // starts go through the event loop
    turn();
    QCOMPARE(counter.running, synchronous ? 0 : qMin(maxParallel, tasks));

    // Each finish frees exactly one start, one turn later.
    QList<int> remaining = finishOrder;
    for (int guard = 0; !remaining.isEmpty() && guard < 100; ++guard) {
        for (int k = 0; k < remaining.size(); ++k) {
            ManualTask* t = subs.at(remaining.at(k));
            if (t->m_State == 1) {
                const int starts = journal.size();
                t->succeed();
                remaining.removeAt(k);
                QCOMPARE(journal.size(), starts);
                break;
            }
        }
        turn();
        QVERIFY(counter.running <= maxParallel);
        QCOMPARE(counter.running, qMin(maxParallel, remaining.size()));
    }
    settle();
    QVERIFY(remaining.isEmpty());
    QCOMPARE(counter.peak, synchronous ? 1 : qMin(maxParallel, tasks));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(composite.m_State, 2);
    QCOMPARE(composite.m_Progress, 1.0);
    QCOMPARE(composite.m_Done.size(), tasks);
    QVERIFY(composite.m_Running.isEmpty());
    QStringList expectedStarts;
    for (const QString& name : names)
        expectedStarts << QStringLiteral("start ") + name;
    QCOMPARE(journal, expectedStarts); // each started once, in order of adding
}

void ComposedTaskSpecificationTest::failureStopsStartsAndWaitsForSiblings()
{
    QStringList journal;
    ManualComposite composite(2, nullptr, 1.0);
    const QList<ManualTask*> t = addTasks(&composite, {"a", "b", "c", "d"}, &journal);
    QSignalSpy notices(&composite, &TaskSpecification::otherTaskCancelled);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    turn();
    t[1]->breakDown();
    QCOMPARE(notices.count(), 1);
    QCOMPARE(notices.at(0).at(0).value<TaskSpecification*>(), static_cast<TaskSpecification*>(t[1]));
    QCOMPARE(t[0]->m_Notices, (QList<TaskSpecification*>{t[1]})); // the running sibling is told
    QVERIFY(t[1]->m_Notices.isEmpty() && t[2]->m_Notices.isEmpty()); // not itself, not pending ones
    QCOMPARE(canceled.count(), 0); // a still runs
    settle();

    t[0]->succeed();
    settle();
    QCOMPARE(journal, (QStringList{"start a", "start b"})); // nothing started after the failure
    QCOMPARE(notices.count(), 1);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(composite.m_State, 3);
    QCOMPARE(t[2]->m_State, 0);
    QCOMPARE(composite.m_Pending, (QList<TaskSpecification*>{t[2], t[3]}));
    QCOMPARE(composite.m_Progress, 0.25); // a's share; b keeps its own (none)
}

void ComposedTaskSpecificationTest::aggregateState_data()
{
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<bool>("cancelRequested");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<int>("expected");

    QTest::newRow("none") << QList<int>{} << false << false << 2;
    QTest::newRow("none, flag") << QList<int>{} << true << true << 2;
    QTest::newRow("all finished") << QList<int>{2, 2, 2} << false << false << 2;
    QTest::newRow("finished, flag") << QList<int>{2, 2} << true << false << 2;
    QTest::newRow("one failed") << QList<int>{2, 3, 2} << false << true << 3;
    QTest::newRow("cancelled then failed") << QList<int>{4, 3} << false << true << 3;
    QTest::newRow("failed then cancelled") << QList<int>{3, 4} << true << true << 3;
    QTest::newRow("one cancelled") << QList<int>{2, 4} << false << true << 4;
    QTest::newRow("cancelled, pending") << QList<int>{4, 0} << false << true << 4;
    QTest::newRow("pending, no flags") << QList<int>{2, 0} << false << false << 1;
    QTest::newRow("pending, cancel flag") << QList<int>{2, 0} << true << false << 4;
    QTest::newRow("pending, failed flag") << QList<int>{2, 0} << false << true << 3;
    QTest::newRow("pending, both flags") << QList<int>{0, 0} << true << true << 4;
    QTest::newRow("running, failed flag") << QList<int>{1, 2} << false << true << 3;
}

void ComposedTaskSpecificationTest::aggregateState()
{
    QFETCH(QList<int>, states);
    QFETCH(bool, cancelRequested);
    QFETCH(bool, failed);
    QFETCH(int, expected);

    ManualComposite composite(1, nullptr, 1.0);
    for (int s : states) {
        auto* t = new ManualTask("t", nullptr, &composite, 0.0);
        t->m_State = s;
        composite.addSubTask(t);
    }
    composite.m_CancelRequested = cancelRequested;
    composite.m_Failed = failed;
    composite.m_State = 1;
    QCOMPARE(composite.aggregateState(), expected);

    // subtasksDone maps 4 to cancelled, 2 to finish, the rest to fail.
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.subtasksDone();
    const int endState = expected == 1 ? 3 : expected;
    QCOMPARE(composite.m_State, endState);
    QCOMPARE(finished.count(), endState == 2 ? 1 : 0);
    QCOMPARE(canceled.count(), endState == 2 ? 0 : 1);
}

void ComposedTaskSpecificationTest::progressAndTextsThroughNestedComposites()
{
    ManualComposite outer(1, nullptr, 0.5);
    auto* a = new ManualTask("a", nullptr, &outer, 0.25);
    auto* inner = new ManualComposite(1, &outer, 0.75);
    auto* leaf = new ManualTask("leaf", nullptr, inner, 1.0);
    inner->addSubTask(leaf);
    QSignalSpy progress(&outer, &TaskSpecification::updateProgress);
    QSignalSpy messages(&outer, &TaskSpecification::message);
    QSignalSpy errors(&outer, &TaskSpecification::error);
    outer.addSubTask(a);
    outer.addSubTask(inner);
    QCOMPARE(progressValues(progress), (QList<qreal>{0.0, 0.0})); // one per addSubTask
    progress.clear();

    outer.execute();
    turn();
    a->setProgress(0.5);    // a 0.125
    a->succeed();           // a 0.25
    settle();
    QCOMPARE(leaf->m_State, 1);
    leaf->setProgress(0.2); // inner 0.15
    leaf->setProgress(2.0); // not clamped: inner 1.5
    leaf->setProgress(1.0); // inner 0.75
    const QList<qreal> values = progressValues(progress);
    const QList<qreal> expected{0.0625, 0.125, 0.2, 0.875, 0.5};
    QCOMPARE(values.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(qAbs(values[i] - expected[i]) < 1e-12,
                 qPrintable(QStringLiteral("%1: %2 != %3").arg(i).arg(values[i]).arg(expected[i])));

    emit leaf->message(QStringLiteral("copied a file"));
    emit leaf->error(QStringLiteral("disk full"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("copied a file"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("disk full"));

    leaf->succeed();
    settle();
    QCOMPARE(outer.m_State, 2);
    QCOMPARE(outer.m_Progress, 0.5);
    QCOMPARE(progressValues(progress).last(), 0.5);
}

void ComposedTaskSpecificationTest::cancelRequest_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<int>("bState");
    QTest::addColumn<int>("state");
    // One download running: it aborts, the pending one never starts.
    QTest::newRow("one running") << 1 << 0 << 4;
    // Two running: the first aborts, its notice fails the second before the
    // second's own request arrives.
    QTest::newRow("two running") << 2 << 3 << 3;
}

void ComposedTaskSpecificationTest::cancelRequest()
{
    QFETCH(int, maxParallel);
    QFETCH(int, bState);
    QFETCH(int, state);
    QStringList journal;
    ManualComposite composite(maxParallel, nullptr, 1.0);
    const QList<ManualTask*> t = addTasks(&composite, {"a", "b"}, &journal);
    t[0]->m_DownloadLike = t[1]->m_DownloadLike = true;
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    QSignalSpy notices(&composite, &TaskSpecification::otherTaskCancelled);
    composite.execute();
    turn();
    composite.requestCancel();
    settle();
    QCOMPARE(t[0]->m_State, 4);
    QCOMPARE(t[1]->m_State, bState);
    QVERIFY(t[1]->m_CancelRequested); // forwarded to every sub-task, pending ones included
    QCOMPARE(journal.filter("cancel"), (QStringList{"cancel a", "cancel b"}));
    QCOMPARE(notices.count(), 1); // only the first cancellation is passed on
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, state);
}

void ComposedTaskSpecificationTest::cancelWhenIdleIsNotForwarded()
{
    QStringList journal;
    ManualComposite composite(1, nullptr, 1.0);
    const QList<ManualTask*> t = addTasks(&composite, {"a"}, &journal);
    composite.requestCancel();
    QVERIFY(composite.m_CancelRequested);
    QVERIFY(!t[0]->m_CancelRequested);

    // With the flag set before the first start nothing runs and the composite is cancelled.
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    settle();
    QVERIFY(journal.isEmpty());
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, 4);
}

void ComposedTaskSpecificationTest::siblingNoticeTravelsDownTheTree()
{
    ManualComposite outer(2, nullptr, 1.0);
    auto* inner = new ManualComposite(1, &outer, 0.5);
    auto* download = new ManualTask("download", nullptr, inner, 1.0);
    download->m_DownloadLike = true;
    inner->addSubTask(download);
    auto* breaker = new ManualTask("breaker", nullptr, &outer, 0.5);
    outer.addSubTask(inner);
    outer.addSubTask(breaker);
    QSignalSpy canceled(&outer, &TaskSpecification::canceled);
    outer.execute();
    settle();
    QCOMPARE(download->m_State, 1);
    breaker->breakDown();
    settle();
    QCOMPARE(download->m_Notices, (QList<TaskSpecification*>{breaker}));
    QCOMPARE(download->m_State, 3);
    QCOMPARE(inner->m_State, 3);
    QCOMPARE(outer.m_State, 3);
    QCOMPARE(canceled.count(), 1);
}

void ComposedTaskSpecificationTest::resetAfterFailureRunsAgain()
{
    QStringList journal;
    ManualComposite composite(1, nullptr, 1.0);
    const QList<ManualTask*> t = addTasks(&composite, {"a", "b"}, &journal);
    t[0]->m_OnExecute = ManualTask::OnExecute::Fail;
    composite.execute();
    settle();
    QCOMPARE(composite.m_State, 3);

    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    composite.reset();
    QCOMPARE(composite.m_State, 0);
    QCOMPARE(t[0]->m_State, 0);
    QCOMPARE(composite.m_Pending, (QList<TaskSpecification*>{t[0], t[1]}));
    QVERIFY(composite.m_Running.isEmpty() && composite.m_Done.isEmpty());
    QVERIFY(!composite.m_Failed && !composite.m_DoneReported && !composite.m_CancelRequested);
    QCOMPARE(composite.m_Progress, 0.0);
    QCOMPARE(progressValues(progress).last(), 0.0);

    t[0]->m_OnExecute = t[1]->m_OnExecute = ManualTask::OnExecute::Finish;
    journal.clear();
    composite.execute();
    settle();
    QCOMPARE(journal, (QStringList{"start a", "start b"}));
    QCOMPARE(composite.m_State, 2);
}

void ComposedTaskSpecificationTest::downloadStatsAreSummed()
{
    ManualComposite outer(1, nullptr, 1.0);
    auto* a = new ManualTask("a", nullptr, &outer, 0.2);
    a->m_Done = 10;
    a->m_Total = 100;
    a->m_Speed = 5;
    auto* b = new ManualTask("b", nullptr, &outer, 0.2); // total 0: only speed and flag
    b->m_Done = 7;
    b->m_Speed = 3;
    b->m_Downloading = true;
    auto* inner = new ManualComposite(1, &outer, 0.6);
    auto* c = new ManualTask("c", nullptr, inner, 1.0);
    c->m_Done = 1;
    c->m_Total = 2;
    c->m_Speed = 1;
    inner->addSubTask(c);
    outer.addSubTask(a);
    outer.addSubTask(b);
    outer.addSubTask(inner);

    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    outer.getDownloadStats(done, total, speed, downloading);
    QCOMPARE(done, 11ULL);
    QCOMPARE(total, 102ULL);
    QCOMPARE(speed, 9ULL);
    QVERIFY(downloading);

    b->m_Downloading = false;
    outer.getDownloadStats(done, total, speed, downloading);
    QVERIFY(!downloading);
}

void ComposedTaskSpecificationTest::destructorReleasesSubTasks()
{
    auto* composite = new ManualComposite(1, nullptr, 1.0);
    // Not parented to the composite: only the destructor's deleteLater releases it.
    QPointer<ManualTask> loose = new ManualTask("loose", nullptr, nullptr, 1.0);
    composite->addSubTask(loose);
    composite->execute();
    turn();
    QCOMPARE(loose->m_State, 1);
    // A Qt child goes at once, with nothing left queued for it.
    QPointer<ManualTask> child = new ManualTask("child", nullptr, composite, 0.0);
    composite->addSubTask(child);
    delete composite;
    QVERIFY(child.isNull());
    QVERIFY(!loose.isNull());
    loose->succeed(); // disconnected: must not reach the deleted composite
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(loose.isNull());
}

// The composite's progress is the sum of its sub-tasks' whatever order they report in, also
// after a sub-task or the whole composite was reset.
void ComposedTaskSpecificationTest::progressFollowsEverySubTaskAcrossReset()
{
    ManualComposite composite(3, nullptr, 0.5);
    QList<ManualTask*> tasks;
    for (int i = 0; i < 200; ++i) {
        tasks << new ManualTask(QString::number(i), nullptr, &composite, 1.0 / 200);
        composite.addSubTask(tasks.last());
    }
    QCOMPARE(composite.m_Progress, 0.0);
    const auto expected = [&tasks] {
        qreal sum = 0.0;
        for (const ManualTask* task : tasks)
            sum += task->m_Progress;
        return sum * 0.5;
    };
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 200; ++i) {
            tasks[(i * 37) % 200]->setProgress(qreal((i + round) % 7) / 6);
            QVERIFY(qAbs(composite.m_Progress - expected()) < 1e-9);
        }
        tasks[round]->reset();
        QVERIFY(qAbs(composite.m_Progress - expected()) < 1e-9);
    }
    composite.reset();
    QCOMPARE(composite.m_Progress, 0.0);
    tasks[5]->setProgress(1.0);
    QVERIFY(qAbs(composite.m_Progress - 0.5 / 200) < 1e-12);
}

QTEST_GUILESS_MAIN(ComposedTaskSpecificationTest)
#include "composedtaskspecificationtest.moc"
