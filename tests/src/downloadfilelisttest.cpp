// Downloading the whole download list: folders, parallelism bounded by the configured streams,
// SHA-512 checks that fail the file (and the step), aborts of the siblings and cancel.
#include "configuration.h"
#include "cryptwrapper.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "downloadtaskspecification.h"

#include "common/clientbundle.h"
#include "common/downloadentryfor.h"
#include "common/httptestserver.h"
#include "common/imageservertest.h"
#include "common/testsigner.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QtTest>

using Response = HttpTestServer::Response;

namespace
{
QByteArray contentOf(const QString& name)
{
    QByteArray b = name.toUtf8();
    while (b.size() < 6000)
        b += b;
    return b;
}

const QByteArray kPrefix = "/updater-images/client/23/";
} // namespace

class DownloadFileListTest : public ImageServerTest
{
    Q_OBJECT

    QList<DownloadEntry> m_List;
    QHash<QString, QByteArray> m_Content;

    // Adds an entry and has the server hold its content at the entry's address.
    void serve(const QString& group, const QString& name, const QByteArray& content,
               Response::Mode mode = Response::Mode::Complete)
    {
        m_List << downloadEntryFor(group, name, content);
        m_Content.insert(name, content);
        Response r = Response::ok(content);
        r.mode = mode;
        // Qt drops the root section's "." segment from the address on the wire.
        const QByteArray path = kPrefix + QUrl::toPercentEncoding(group, "/") + "/" + QUrl::toPercentEncoding(name, "/");
        m_Server->setResponse(QUrl::fromEncoded(path).adjusted(QUrl::NormalizePathSegments).toEncoded(), r);
    }

    QString writeTemp(const QString& name, const QByteArray& content) const
    {
        return ClientBundle::writeFile(temp(name), content) ? temp(name) : QString();
    }

    // Starts the step and waits until it gives up; false when it was not cancelled within 20 s.
    // `messages` gets what the step said until then.
    static bool cancelledInTime(DownloadFileListTaskSpecification& task, QStringList& messages)
    {
        QSignalSpy said(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        const bool ended = canceled.wait(20000);
        messages = texts(said);
        return ended;
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qRegisterMetaType<TaskSpecification*>();
        initCrypt();
    }

    void init()
    {
        QVERIFY(startSession(23));
        m_Config.m_Streams = 6;
        m_List.clear();
        m_Content.clear();
    }

    void cleanup() { stopServer(); }

    void emptyListNeedsNothing()
    {
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(task.m_Progress, 0.4);
        QCOMPARE(texts(messages), QStringList({"No downloads needed"}));
        QCOMPARE(m_Server->requestCount(), 0);
    }

    void downloadsEveryFileIntoItsFolder()
    {
        serve(".", "MacOS/vx3client_mac", contentOf("exe"));
        serve("Frameworks", "Frameworks/a/b/libx.dylib._lzma2_", contentOf("libx"));
        serve("Frameworks", "Frameworks/a/liby.dylib_patch_", contentOf("liby"));
        serve("res", "top #1.dat", contentOf("top"));
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QCOMPARE(task.m_SubTasks.size(), 4);
        for (TaskSpecification* sub : qAsConst(task.m_SubTasks))
            QCOMPARE(sub->m_Weight, 0.25);
        // Folders exist before any transfer.
        QVERIFY(QFileInfo(temp("Frameworks/a/b")).isDir());
        QVERIFY(QFileInfo(temp("MacOS")).isDir());
        QVERIFY(finished.wait(20000));
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(task.m_Progress, 0.4);
        for (const DownloadEntry& e : qAsConst(m_List))
            QCOMPARE(ClientBundle::readFile(temp(e.name)), m_Content.value(e.name));
        QCOMPARE(texts(messages).first(), QStringLiteral("Downloading files"));
        QCOMPARE(m_Server->requestCount(kPrefix + "MacOS/vx3client_mac"), 1);
        QCOMPARE(m_Server->requestCount(kPrefix + "res/top%20%231.dat"), 1);
    }

    void perFileWeights()
    {
        serve("g", "one", contentOf("one"));
        DownloadFileTaskSpecification task(m_List.first(), m_Nam.get(), &m_Config, nullptr, 0.1);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QCOMPARE(task.m_SubTasks.size(), 2);
        QCOMPARE(task.m_SubTasks.at(0)->m_Weight, 0.8);
        QCOMPARE(task.m_SubTasks.at(1)->m_Weight, 0.2);
        QVERIFY(task.m_Download == task.m_SubTasks.at(0));
        QCOMPARE(task.m_Download->m_RemotePath, QStringLiteral("g/one"));
        QCOMPARE(task.m_Download->m_File.fileName(), temp("one"));
        QCOMPARE(task.m_Download->m_InitialExpectedSize, qint64(contentOf("one").size()));
        QVERIFY(finished.wait(10000));
        QCOMPARE(task.m_Progress, 0.1);
    }

    // A file whose content does not match its SHA-512 is never kept: the file fails, the step
    // fails and the file is gone, so the next run fetches it again. An entry without a hash is
    // never taken for a signature check, even with a valid signature lying beside it.
    void hashMismatchFailsTheFile_data()
    {
        QTest::addColumn<QString>("listedHash");
        QTest::addColumn<QByteArray>("served");
        QByteArray substitute = contentOf("expected");
        substitute[100] = 'X'; // same size, other content
        QTest::newRow("substituted") << ClientBundle::sha512Hex(contentOf("expected")) << substitute;
        QTest::newRow("short") << ClientBundle::sha512Hex(contentOf("expected")) << contentOf("expected").left(100);
        QTest::newRow("no hash listed") << QString() << contentOf("expected");
    }

    void hashMismatchFailsTheFile()
    {
        QFETCH(QString, listedHash);
        QFETCH(QByteArray, served);
        m_Config.m_Streams = 1;
        serve("g", "good", contentOf("good"));
        DownloadEntry bad = downloadEntryFor("g", "bad", contentOf("expected"));
        bad.hash = listedHash;
        m_List << bad;
        m_Server->setResponse(kPrefix + "g/bad", Response::ok(served));
        QVERIFY(TestSigner::signFile(writeTemp("bad", served)));
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QStringList messages;
        QVERIFY(cancelledInTime(task, messages));
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FAILED));
        QVERIFY(!QFileInfo::exists(temp("bad")));
        QCOMPARE(ClientBundle::readFile(temp("good")), contentOf("good"));
        QVERIFY(messages.contains(QStringLiteral("Signature check failed for %1").arg(temp("bad"))));
        QCOMPARE(task.m_SubTasks.at(1)->m_State, int(TaskSpecification::STATE_FAILED));
    }

    void parallelismEqualsStreams_data()
    {
        QTest::addColumn<int>("streams");
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("6") << 6;
    }

    void parallelismEqualsStreams()
    {
        QFETCH(int, streams);
        m_Config.m_Streams = streams;
        for (int i = 0; i < 10; ++i)
            serve("p", QStringLiteral("file%1").arg(i), contentOf(QString::number(i)), Response::Mode::StallAfter);
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QVERIFY(m_Server->waitForRequests(streams));
        // Give the event loop time to (wrongly) start more.
        QTest::qWait(200);
        QCOMPARE(m_Server->requestCount(), streams);
        QCOMPARE(m_Server->activeRequests(), streams);
        QCOMPARE(task.m_Running.size(), streams);
        // Let the stalled ones finish one batch at a time; never more than `streams` at once.
        while (finished.isEmpty()) {
            m_Server->releaseStalled();
            QTest::qWait(20);
            QVERIFY(m_Server->activeRequests() <= streams);
            QVERIFY(task.m_Running.size() <= streams);
            if (task.m_State != TaskSpecification::STATE_RUNNING)
                break;
        }
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(m_Server->requestCount(), 10);
        QCOMPARE(m_Server->maxActiveRequests(), streams);
    }

    void totalKnownFromTheStart()
    {
        serve("t", "a", contentOf("aaaa"), Response::Mode::Silent);
        serve("t", "b", contentOf("bbbbbbbbbb"), Response::Mode::Silent);
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        task.execute();
        qulonglong done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadStats(done, total, speed, downloading);
        QCOMPARE(total, m_List.at(0).size + m_List.at(1).size);
        QCOMPARE(task.m_TotalSize, total);
        QVERIFY(m_Server->waitForRequests(2));
        done = total = speed = 0;
        task.getDownloadStats(done, total, speed, downloading);
        QVERIFY(downloading);
        QCOMPARE(done, 0ull);
        QCOMPARE(total, m_List.at(0).size + m_List.at(1).size);
        task.requestCancel();
        task.reset();
        QCOMPARE(task.m_TotalSize, 0ull);
        QVERIFY(task.m_SubTasks.isEmpty());
    }

    void failureAbortsRunningSiblings()
    {
        serve("s", "slow1", contentOf("slow1"), Response::Mode::StallAfter);
        serve("s", "slow2", contentOf("slow2"), Response::Mode::StallAfter);
        m_List << downloadEntryFor("s", "missing", contentOf("missing"));
        m_Server->setResponse(kPrefix + "s/missing", Response::withStatus(404));
        serve("s", "never", contentOf("never"));
        m_Config.m_Streams = 3;
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QStringList t;
        QVERIFY(cancelledInTime(task, t));
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FAILED));
        QVERIFY(t.contains("Unable to download s/missing"));
        QVERIFY(t.contains("Abort downloading s/slow1"));
        QVERIFY(t.contains("Abort downloading s/slow2"));
        QVERIFY(!QFileInfo::exists(temp("slow1")));
        QVERIFY(!QFileInfo::exists(temp("slow2")));
        // The fourth file was never started.
        QCOMPARE(m_Server->requestCount(kPrefix + "s/never"), 0);
        QCOMPARE(task.m_SubTasks.at(3)->m_State, int(TaskSpecification::STATE_IDLE));
        QVERIFY(QTest::qWaitFor([&] { return m_Server->activeRequests() == 0; }, 10000));
    }

    void cancelStopsEveryDownloadAtOnce()
    {
        for (int i = 0; i < 4; ++i)
            serve("c", QStringLiteral("f%1").arg(i), contentOf(QString::number(i)), Response::Mode::StallAfter);
        m_Config.m_Streams = 2;
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QVERIFY(m_Server->waitForRequests(2));
        QVERIFY(QTest::qWaitFor([&] { return m_Server->activeRequests() == 2; }, 10000));
        QVERIFY(QFileInfo::exists(temp("f0")));
        QVERIFY(QFileInfo::exists(temp("f1")));
        task.requestCancel();
        // Both running downloads ended inside the call; with two running the step fails (the
        // first cancellation aborts the sibling).
        QCOMPARE(canceled.count(), 1);
        QVERIFY(task.m_State == TaskSpecification::STATE_FAILED || task.m_State == TaskSpecification::STATE_CANCELLED);
        QVERIFY(!QFileInfo::exists(temp("f0")));
        QVERIFY(!QFileInfo::exists(temp("f1")));
        QVERIFY(QTest::qWaitFor([&] { return m_Server->activeRequests() == 0; }, 10000));
        QCOMPARE(m_Server->requestCount(), 2);
    }

    void folderThatCannotBeCreated()
    {
        QVERIFY(ClientBundle::writeFile(temp("blocked"), "a file where a folder should go"));
        serve("g", "fine/x", contentOf("x"));
        serve("g", "blocked/y", contentOf("y"));
        DownloadFileListTaskSpecification task(&m_List, m_Nam.get(), &m_Config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(texts(messages), QStringList({QStringLiteral("Could not create dir %1/blocked")
                                                   .arg(QFileInfo(m_Config.m_TempDir).canonicalFilePath())}));
        QVERIFY(task.m_SubTasks.isEmpty());
        QTest::qWait(50);
        QCOMPARE(m_Server->requestCount(), 0);
    }
};

QTEST_MAIN(DownloadFileListTest)
#include "downloadfilelisttest.moc"
