// Composite tasks: bounded parallelism, start order, weighted progress, end
// states, cancel forwarding, sibling notices, reset and download figures.
#include "composedtaskspecification.h"

#include "common/testtasks.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

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
} // namespace

class ComposedTaskSpecificationTest : public QObject
{
    Q_OBJECT

private slots:
    void emptyCompositeFinishesInsideStart();
    void zeroParallelFailsWithoutStarting();
    void parallelismIsBounded_data();
    void parallelismIsBounded();
    void startsOneTurnAfterAFinish();
    void synchronousSubTasksComplete();
    void nothingStartsAfterAFailure();
    void failureWaitsForRunningSiblings();
    void aggregateState_data();
    void aggregateState();
    void weightedProgress();
    void nestedProgressMultiplies();
    void textsAreRelayed();
    void cancelWithOneDownloadEndsCancelled();
    void cancelWithTwoDownloadsEndsFailed();
    void cancelWhenIdleIsNotForwarded();
    void allFinishedOutranksCancelFlag();
    void siblingNoticeTravelsDownTheTree();
    void resetAfterFailureRunsAgain();
    void downloadStatsAreSummed();
    void destructorReleasesSubTasks();
};

void ComposedTaskSpecificationTest::emptyCompositeFinishesInsideStart()
{
    ManualComposite composite(2, nullptr, 0.3);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    composite.execute();
    QCOMPARE(finished.count(), 1); // no event loop needed
    QCOMPARE(composite.m_State, 2);
    QCOMPARE(composite.m_Progress, 0.3);
    QCOMPARE(progressValues(progress).last(), 0.3);
}

void ComposedTaskSpecificationTest::zeroParallelFailsWithoutStarting()
{
    QStringList journal;
    ManualComposite composite(0, nullptr, 1.0);
    auto* a = new ManualTask("a", &journal, &composite, 1.0);
    composite.addSubTask(a);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, 3);
    settle();
    QCOMPARE(a->m_Executions, 0);
    QVERIFY(journal.isEmpty());
}

void ComposedTaskSpecificationTest::parallelismIsBounded_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<int>("tasks");
    QTest::addColumn<QList<int>>("finishOrder"); // indices, finished one per turn when running

    QTest::newRow("2 of 5, in order") << 2 << 5 << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("2 of 5, reversed") << 2 << 5 << QList<int>{4, 3, 2, 1, 0};
    QTest::newRow("1 of 4") << 1 << 4 << QList<int>{0, 1, 2, 3};
    QTest::newRow("3 of 7, mixed") << 3 << 7 << QList<int>{2, 0, 6, 1, 5, 3, 4};
    QTest::newRow("4 of 2") << 4 << 2 << QList<int>{1, 0};
}

void ComposedTaskSpecificationTest::parallelismIsBounded()
{
    QFETCH(int, maxParallel);
    QFETCH(int, tasks);
    QFETCH(QList<int>, finishOrder);

    QStringList journal;
    ManualTask::Counter counter;
    ManualComposite composite(maxParallel, nullptr, 1.0);
    QList<ManualTask*> subs;
    for (int i = 0; i < tasks; ++i) {
        subs.append(new ManualTask(QString::number(i), &journal, &composite, 1.0 / tasks,
                                   &counter));
        composite.addSubTask(subs.last());
    }
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    QCOMPARE(counter.running, 0); // starts go through the event loop

    QList<int> remaining = finishOrder;
    int guard = 0;
    while (!remaining.isEmpty() && guard++ < 1000) {
        turn();
        QVERIFY(counter.running <= maxParallel);
        // Finish the first task of the order that is running now.
        for (int k = 0; k < remaining.size(); ++k) {
            ManualTask* t = subs.at(remaining.at(k));
            if (t->m_State == 1) {
                t->succeed();
                remaining.removeAt(k);
                break;
            }
        }
    }
    settle();
    QVERIFY(remaining.isEmpty());
    QCOMPARE(counter.peak, qMin(maxParallel, tasks));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(composite.m_State, 2);
    QCOMPARE(composite.m_Progress, 1.0);
    QStringList expectedStarts;
    for (int i = 0; i < tasks; ++i)
        expectedStarts << QStringLiteral("start %1").arg(i);
    QCOMPARE(journal, expectedStarts); // started in order of adding
    for (ManualTask* t : subs)
        QCOMPARE(t->m_Executions, 1);
}

void ComposedTaskSpecificationTest::startsOneTurnAfterAFinish()
{
    QStringList journal;
    ManualComposite composite(2, nullptr, 1.0);
    QList<ManualTask*> subs;
    for (int i = 0; i < 5; ++i) {
        subs.append(new ManualTask(QString::number(i), &journal, &composite, 0.2));
        composite.addSubTask(subs.last());
    }
    composite.execute();
    QVERIFY(journal.isEmpty());
    turn();
    QCOMPARE(journal, (QStringList{"start 0", "start 1"}));
    QCOMPARE(composite.m_Running.size(), 2);
    QCOMPARE(composite.m_Pending.size(), 3);

    subs[1]->succeed();
    QCOMPARE(journal.size(), 2); // not synchronously
    QCOMPARE(composite.m_Done, (QList<TaskSpecification*>{subs[1]}));
    turn();
    QCOMPARE(journal.last(), QStringLiteral("start 2"));
    turn();
    QCOMPARE(journal.size(), 3); // nothing more without another finish
}

void ComposedTaskSpecificationTest::synchronousSubTasksComplete()
{
    // Sub-tasks that end inside their own execute must already be listed as running.
    QStringList journal;
    ManualTask::Counter counter;
    ManualComposite composite(2, nullptr, 1.0);
    for (int i = 0; i < 5; ++i) {
        auto* t = new ManualTask(QString::number(i), &journal, &composite, 0.2, &counter);
        t->m_OnExecute = ManualTask::OnExecute::Finish;
        composite.addSubTask(t);
    }
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    settle();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(composite.m_State, 2);
    QVERIFY(composite.m_Running.isEmpty());
    QCOMPARE(composite.m_Done.size(), 5);
    QCOMPARE(journal.size(), 5);
}

void ComposedTaskSpecificationTest::nothingStartsAfterAFailure()
{
    QStringList journal;
    ManualComposite composite(1, nullptr, 1.0);
    auto* a = new ManualTask("a", &journal, &composite, 0.3);
    auto* b = new ManualTask("b", &journal, &composite, 0.3);
    auto* c = new ManualTask("c", &journal, &composite, 0.4);
    a->m_OnExecute = ManualTask::OnExecute::Finish;
    b->m_OnExecute = ManualTask::OnExecute::Fail;
    for (ManualTask* t : {a, b, c})
        composite.addSubTask(t);
    QSignalSpy notices(&composite, &TaskSpecification::otherTaskCancelled);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    settle();
    QCOMPARE(journal, (QStringList{"start a", "start b"}));
    QCOMPARE(c->m_Executions, 0);
    QCOMPARE(c->m_State, 0);
    QCOMPARE(notices.count(), 1);
    QCOMPARE(notices.at(0).at(0).value<TaskSpecification*>(), static_cast<TaskSpecification*>(b));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(composite.m_State, 3);
    QCOMPARE(composite.m_Pending, (QList<TaskSpecification*>{c}));
    // The failed task keeps its progress; the composite holds a's share.
    QCOMPARE(composite.m_Progress, 0.3);
}

void ComposedTaskSpecificationTest::failureWaitsForRunningSiblings()
{
    QStringList journal;
    ManualComposite composite(2, nullptr, 1.0);
    auto* a = new ManualTask("a", &journal, &composite, 0.25);
    auto* b = new ManualTask("b", &journal, &composite, 0.25);
    auto* c = new ManualTask("c", &journal, &composite, 0.25);
    auto* d = new ManualTask("d", &journal, &composite, 0.25);
    for (ManualTask* t : {a, b, c, d})
        composite.addSubTask(t);
    QSignalSpy notices(&composite, &TaskSpecification::otherTaskCancelled);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    turn();
    QCOMPARE(journal, (QStringList{"start a", "start b"}));

    b->breakDown();
    QCOMPARE(notices.count(), 1);
    QCOMPARE(a->m_Notices, (QList<TaskSpecification*>{b})); // the running sibling is told
    QVERIFY(b->m_Notices.isEmpty());                           // not the failed one itself
    QVERIFY(c->m_Notices.isEmpty());                           // nor the pending ones
    QCOMPARE(canceled.count(), 0);                             // a still runs
    QCOMPARE(composite.m_State, 1);
    settle();
    QCOMPARE(journal.size(), 2);

    a->succeed();
    settle();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, 3);
    QCOMPARE(journal, (QStringList{"start a", "start b"}));
    QCOMPARE(notices.count(), 1);
    QCOMPARE(c->m_State, 0);
    QCOMPARE(d->m_State, 0);
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

void ComposedTaskSpecificationTest::weightedProgress()
{
    ManualComposite composite(2, nullptr, 0.5);
    auto* a = new ManualTask("a", nullptr, &composite, 0.25);
    auto* b = new ManualTask("b", nullptr, &composite, 0.75);
    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    composite.addSubTask(a);
    composite.addSubTask(b);
    QCOMPARE(progressValues(progress), (QList<qreal>{0.0, 0.0})); // one per addSubTask
    progress.clear();

    composite.execute();
    turn();
    a->setProgress(0.5);     // a: 0.125
    b->setProgress(0.2);     // b: 0.15
    a->succeed();            // a: 0.25
    b->setProgress(2.0);     // not clamped: 1.5
    b->setProgress(1.0);     // b: 0.75
    const QList<qreal> values = progressValues(progress);
    const QList<qreal> expected{0.0625, 0.1375, 0.2, 0.875, 0.5};
    QCOMPARE(values.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(qAbs(values[i] - expected[i]) < 1e-12,
                 qPrintable(QStringLiteral("%1: %2 != %3").arg(i).arg(values[i]).arg(expected[i])));
    b->succeed();
    settle();
    QCOMPARE(composite.m_State, 2);
    QCOMPARE(composite.m_Progress, 0.5);
    QCOMPARE(progressValues(progress).last(), 0.5);
}

void ComposedTaskSpecificationTest::nestedProgressMultiplies()
{
    ManualComposite outer(1, nullptr, 1.0);
    auto* first = new ManualTask("first", nullptr, &outer, 0.6);
    auto* inner = new ManualComposite(1, &outer, 0.4);
    auto* leaf = new ManualTask("leaf", nullptr, inner, 1.0);
    inner->addSubTask(leaf);
    outer.addSubTask(first);
    outer.addSubTask(inner);
    QSignalSpy progress(&outer, &TaskSpecification::updateProgress);
    outer.execute();
    turn();
    first->succeed();
    settle();
    QCOMPARE(leaf->m_State, 1);
    leaf->setProgress(0.5);
    QVERIFY(qAbs(inner->m_Progress - 0.2) < 1e-12);
    QVERIFY(qAbs(outer.m_Progress - 0.8) < 1e-12);
    QVERIFY(qAbs(progressValues(progress).last() - 0.8) < 1e-12);
    leaf->succeed();
    settle();
    QCOMPARE(outer.m_State, 2);
    QCOMPARE(outer.m_Progress, 1.0);
}

void ComposedTaskSpecificationTest::textsAreRelayed()
{
    ManualComposite outer(1, nullptr, 1.0);
    auto* inner = new ManualComposite(1, &outer, 1.0);
    auto* leaf = new ManualTask("leaf", nullptr, inner, 1.0);
    inner->addSubTask(leaf);
    outer.addSubTask(inner);
    QSignalSpy messages(&outer, &TaskSpecification::message);
    QSignalSpy errors(&outer, &TaskSpecification::error);
    emit leaf->message(QStringLiteral("copied a file"));
    emit leaf->error(QStringLiteral("disk full"));
    emit leaf->message(QStringLiteral("second"));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("copied a file"));
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("second"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("disk full"));
}

void ComposedTaskSpecificationTest::cancelWithOneDownloadEndsCancelled()
{
    QStringList journal;
    ManualComposite composite(1, nullptr, 1.0);
    auto* a = new ManualTask("a", &journal, &composite, 0.5);
    auto* b = new ManualTask("b", &journal, &composite, 0.5);
    a->m_DownloadLike = b->m_DownloadLike = true;
    composite.addSubTask(a);
    composite.addSubTask(b);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    turn();
    composite.requestCancel();
    settle();
    // Forwarded to every sub-task in order of adding, the pending one included.
    QCOMPARE(journal, (QStringList{"start a", "cancel a", "cancel b"}));
    QCOMPARE(a->m_State, 4);
    QCOMPARE(b->m_State, 0);
    QVERIFY(b->m_CancelRequested);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, 4);
}

void ComposedTaskSpecificationTest::cancelWithTwoDownloadsEndsFailed()
{
    QStringList journal;
    ManualComposite composite(2, nullptr, 1.0);
    auto* a = new ManualTask("a", &journal, &composite, 0.5);
    auto* b = new ManualTask("b", &journal, &composite, 0.5);
    a->m_DownloadLike = b->m_DownloadLike = true;
    composite.addSubTask(a);
    composite.addSubTask(b);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    turn();
    composite.requestCancel();
    settle();
    QCOMPARE(a->m_State, 4);
    QCOMPARE(b->m_State, 3); // failed on the notice before its own request arrived
    QCOMPARE(b->m_Notices, (QList<TaskSpecification*>{a}));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, 3);
}

void ComposedTaskSpecificationTest::cancelWhenIdleIsNotForwarded()
{
    QStringList journal;
    ManualComposite composite(1, nullptr, 1.0);
    auto* a = new ManualTask("a", &journal, &composite, 1.0);
    composite.addSubTask(a);
    composite.requestCancel();
    QVERIFY(composite.m_CancelRequested);
    QVERIFY(!a->m_CancelRequested);
    QVERIFY(journal.isEmpty());

    // With the flag set before the first start nothing runs and the composite is cancelled.
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    settle();
    QCOMPARE(a->m_Executions, 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composite.m_State, 4);
}

void ComposedTaskSpecificationTest::allFinishedOutranksCancelFlag()
{
    ManualComposite composite(1, nullptr, 1.0);
    auto* a = new ManualTask("a", nullptr, &composite, 1.0);
    composite.addSubTask(a);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    turn();
    composite.requestCancel(); // a is not a download: it only notes the request
    QCOMPARE(a->m_State, 1);
    a->succeed();
    settle();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(composite.m_State, 2);
}

void ComposedTaskSpecificationTest::siblingNoticeTravelsDownTheTree()
{
    QStringList journal;
    ManualComposite outer(2, nullptr, 1.0);
    auto* inner = new ManualComposite(1, &outer, 0.5);
    auto* download = new ManualTask("download", &journal, inner, 1.0);
    download->m_DownloadLike = true;
    inner->addSubTask(download);
    auto* breaker = new ManualTask("breaker", &journal, &outer, 0.5);
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
    auto* a = new ManualTask("a", &journal, &composite, 0.5);
    auto* b = new ManualTask("b", &journal, &composite, 0.5);
    a->m_OnExecute = ManualTask::OnExecute::Fail;
    composite.addSubTask(a);
    composite.addSubTask(b);
    composite.execute();
    settle();
    QCOMPARE(composite.m_State, 3);
    QVERIFY(composite.m_Failed);

    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    composite.reset();
    QCOMPARE(composite.m_State, 0);
    QCOMPARE(a->m_State, 0);
    QCOMPARE(composite.m_Pending, (QList<TaskSpecification*>{a, b}));
    QVERIFY(composite.m_Running.isEmpty());
    QVERIFY(composite.m_Done.isEmpty());
    QVERIFY(!composite.m_Failed);
    QVERIFY(!composite.m_DoneReported);
    QVERIFY(!composite.m_CancelRequested);
    QCOMPARE(composite.m_Progress, 0.0);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progressValues(progress).last(), 0.0);

    a->m_OnExecute = ManualTask::OnExecute::Finish;
    b->m_OnExecute = ManualTask::OnExecute::Finish;
    journal.clear();
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    settle();
    QCOMPARE(journal, (QStringList{"start a", "start b"}));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(composite.m_State, 2);
}

void ComposedTaskSpecificationTest::downloadStatsAreSummed()
{
    ManualComposite outer(1, nullptr, 1.0);
    auto* a = new ManualTask("a", nullptr, &outer, 0.2);
    a->m_Done = 10;
    a->m_Total = 100;
    a->m_Speed = 5;
    a->m_Downloading = false;
    auto* b = new ManualTask("b", nullptr, &outer, 0.2); // total 0: only speed and flag
    b->m_Done = 7;
    b->m_Total = 0;
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
    downloading = true;
    done = total = speed = 0;
    outer.getDownloadStats(done, total, speed, downloading);
    QVERIFY(!downloading);

    // A plain task reports nothing, whatever the caller passed in.
    ManualComposite empty(1, nullptr, 1.0);
    TaskSpecification& plain = *new ManualTask("p", nullptr, &empty, 1.0);
    done = total = speed = 9;
    downloading = true;
    plain.TaskSpecification::getDownloadStats(done, total, speed, downloading);
    QCOMPARE(done, 0ULL);
    QCOMPARE(total, 0ULL);
    QCOMPARE(speed, 0ULL);
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
    delete composite;
    QVERIFY(!loose.isNull());
    loose->succeed(); // disconnected: must not reach the deleted composite
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(loose.isNull());
}

QTEST_GUILESS_MAIN(ComposedTaskSpecificationTest)
#include "composedtaskspecificationtest.moc"
