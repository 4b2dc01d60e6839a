// The pipeline of one run: which steps each update step builds, in which order and with which
// weights, that a failed first step leaves the later ones unstarted and the lists empty, and that
// a reset task runs the whole pipeline again.
#include "maintaskspecification.h"

#include "common/imageservertest.h"
#include "common/taskrunner.h"

#include <QLoggingCategory>
#include <QtTest>

class MainTaskSpecificationTest : public ImageServerTest
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")); }
    void init() { QVERIFY(startSession(31)); }
    void cleanup() { stopServer(); }

    void stepsOfEachRun_data()
    {
        QTest::addColumn<int>("clientStep");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QList<qreal>>("weights");
        QTest::addColumn<QString>("startText");
        QTest::newRow("client step")
            << 1
            << QStringList{"IniDownloadTaskSpecification", "MakeDownloadReplaceListTaskSpecification",
                           "DownloadFileListTaskSpecification", "FileReplaceListTaskSpecification",
                           "FileDeleteListTaskSpecification"}
            << QList<qreal>{0.1, 0.05, 0.4, 0.4, 0.05} << QString("Starting update process for client");
        QTest::newRow("updater step")
            << 0
            << QStringList{"IniDownloadTaskSpecification", "MakeDownloadReplaceListTaskSpecification",
                           "DownloadFileListTaskSpecification", "UpdateSelfUnzipTaskSpecification"}
            << QList<qreal>{0.1, 0.05, 0.4, 0.4} << QString("Starting update process for updater");
    }

    // The image server knows nothing: the product list cannot be fetched, so the run fails in
    // its first step and no later step ever starts.
    void stepsOfEachRun()
    {
        QFETCH(int, clientStep);
        QFETCH(QStringList, steps);
        QFETCH(QList<qreal>, weights);
        QFETCH(QString, startText);
        m_Config.m_ClientUpdate = clientStep;
        m_Config.m_ClientType = Configuration::defaultClientType(clientStep == 1);
        MainTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(runTask(task), int(TaskSpecification::STATE_FAILED));
        QCOMPARE(spyTexts(messages).value(0), startText);

        QStringList built;
        QList<qreal> builtWeights;
        for (TaskSpecification *step : qAsConst(task.m_SubTasks)) {
            built << QString::fromLatin1(step->metaObject()->className());
            builtWeights << step->m_Weight;
        }
        QCOMPARE(built, steps);
        QCOMPARE(builtWeights, weights);
        QCOMPARE(task.m_SubTasks.first()->m_State, int(TaskSpecification::STATE_FAILED));
        for (int i = 1; i < task.m_SubTasks.size(); ++i)
            QCOMPARE(task.m_SubTasks.at(i)->m_State, int(TaskSpecification::STATE_IDLE));
        QVERIFY(task.m_Lists.downloadList.isEmpty());
        QVERIFY(task.m_Lists.replaceList.isEmpty());
        QVERIFY(task.m_Lists.deleteList.isEmpty());

        // A reset discards the steps; the next run builds them anew.
        task.reset();
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_IDLE));
        QVERIFY(task.m_SubTasks.isEmpty());
        messages.clear();
        QCOMPARE(runTask(task, 10000), int(TaskSpecification::STATE_FAILED));
        QCOMPARE(spyTexts(messages).value(0), startText);
        QCOMPARE(task.m_SubTasks.size(), steps.size());
        QCOMPARE(task.m_SubTasks.first()->m_State, int(TaskSpecification::STATE_FAILED));
    }
};

QTEST_GUILESS_MAIN(MainTaskSpecificationTest)
#include "maintaskspecificationtest.moc"
