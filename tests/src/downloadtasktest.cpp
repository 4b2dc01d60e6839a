// The HTTP download task against a local server: addresses, status and size checks, five
// attempts, stall detection by the statistics polls, cancel and sibling aborts.
#include "configuration.h"
#include "downloadtaskspecification.h"

#include "common/clientbundle.h"
#include "common/httptestserver.h"
#include "common/imageservertest.h"
#include "common/peakmemory.h"
#include "common/updatefiles.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Response = HttpTestServer::Response;

namespace
{
QByteArray pattern(int size)
{
    QByteArray b;
    b.reserve(size);
    for (int i = 0; i < size; ++i)
        b.append(char((i * 131) ^ (i >> 7)));
    return b;
}

QList<bool> repeated(int n, bool value)
{
    QList<bool> out;
    for (int i = 0; i < n; ++i)
        out << value;
    return out;
}

const int kVersion = 17;
const QByteArray kPrefix = "/updater-images/client/17/";
} // namespace

class DownloadTaskTest : public ImageServerTest
{
    Q_OBJECT

    struct Watch
    {
        explicit Watch(DownloadTaskSpecification* t)
            : finished(t, &TaskSpecification::finished)
            , canceled(t, &TaskSpecification::canceled)
            , messages(t, &TaskSpecification::message)
            , errors(t, &TaskSpecification::error)
        {
        }
        QStringList texts() const { return ImageServerTest::texts(messages); }
        int ends() const { return finished.count() + canceled.count(); }
        QSignalSpy finished;
        QSignalSpy canceled;
        QSignalSpy messages;
        QSignalSpy errors;
    };

    std::unique_ptr<DownloadTaskSpecification> makeTask(const QString& remote, qint64 expected,
                                                        qreal weight = 0.8)
    {
        return std::make_unique<DownloadTaskSpecification>(m_Nam.get(), remote, kVersion, local(remote),
                                                           expected, weight, nullptr);
    }

    // Whether this process holds a descriptor open on the file at path.
    static bool descriptorOpenOn(const QString& path)
    {
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString& fd : fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)) {
            const QString target = QFile::symLinkTarget(fds.filePath(fd));
            if (target == path || target == path + QStringLiteral(" (deleted)"))
                return true;
        }
        return false;
    }

    QString local(const QString& remote) const
    {
        return m_Dir->path() + "/" + QFileInfo(remote).fileName();
    }

    // Polls the statistics like the engine's timer; returns the downloading flags.
    QList<bool> poll(DownloadTaskSpecification* task, int times)
    {
        QList<bool> flags;
        for (int i = 0; i < times; ++i) {
            qulonglong done = 0, total = 0, speed = 0;
            bool downloading = false;
            task->getDownloadStats(done, total, speed, downloading);
            flags << downloading;
        }
        return flags;
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qRegisterMetaType<TaskSpecification*>();
    }

    void init()
    {
        QVERIFY(startServer());
    }

    void cleanup() { stopServer(); }

    void fileUrl_data()
    {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("plain") << "Frameworks/libfoo.dylib" << QByteArray("/base/3/Frameworks/libfoo.dylib");
        QTest::newRow("root section") << "./Info.plist" << QByteArray("/base/3/./Info.plist");
        QTest::newRow("hash") << "res/a#b.txt" << QByteArray("/base/3/res/a%23b.txt");
        QTest::newRow("question mark") << "res/a?b=c" << QByteArray("/base/3/res/a%3Fb%3Dc");
        QTest::newRow("percent") << "res/100%25.txt" << QByteArray("/base/3/res/100%2525.txt");
        QTest::newRow("space") << "Voxtrel 3 Client/x" << QByteArray("/base/3/Voxtrel%203%20Client/x");
        QTest::newRow("utf-8") << QString::fromUtf8("res/\xc3\xa9t\xc3\xa9") << QByteArray("/base/3/res/%C3%A9t%C3%A9");
    }

    void fileUrl()
    {
        QFETCH(QString, remote);
        QFETCH(QByteArray, path);
        const QUrl url = DownloadTaskSpecification::fileUrl("http://127.0.0.1:8080/base/", 3, remote);
        QVERIFY(url.isValid());
        QCOMPARE(url.toEncoded(), "http://127.0.0.1:8080" + path);
        QVERIFY(!url.hasQuery());
        QVERIFY(!url.hasFragment());
    }

    void completeDownload()
    {
        const QByteArray body = pattern(100000);
        m_Server->setResponse(kPrefix + "Frameworks/libfoo.dylib", Response::ok(body));
        auto task = makeTask("Frameworks/libfoo.dylib", body.size(), 0.8);
        QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
        Watch w(task.get());
        task->execute();
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_RUNNING));
        QVERIFY(w.finished.wait(10000));
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(task->m_Progress, 0.8);
        QCOMPARE(ClientBundle::readFile(local("libfoo.dylib")), body);
        QCOMPARE(w.texts(), QStringList({"Downloading Frameworks/libfoo.dylib",
                                         "Downloading Frameworks/libfoo.dylib finished"}));
        QCOMPARE(m_Server->requestCount(), 1);
        QCOMPARE(m_Server->requests().first().method, QByteArray("GET"));
        // Progress rose through the transfer and never passed the weight.
        QVERIFY(progress.count() >= 2);
        qreal last = 0;
        for (const auto& p : progress) {
            const qreal v = p.at(0).toReal();
            QVERIFY(v <= 0.8 + 1e-9);
            QVERIFY(v >= last - 1e-9);
            last = v;
        }
        QCOMPARE(w.errors.count(), 0);
    }

    void failedAttemptsAreBoundedAtFive_data()
    {
        QTest::addColumn<QList<Response>>("responses");
        QTest::addColumn<QString>("perAttempt");
        QTest::addColumn<bool>("exactRequests"); // Qt itself resends once on a connection closed unanswered
        QTest::newRow("404") << QList<Response>{Response::withStatus(404, "nope")} << "x.bin returned 404" << true;
        QTest::newRow("500") << QList<Response>{Response::withStatus(500)} << "x.bin returned 500" << true;
        QTest::newRow("dropped connection") << QList<Response>{Response::dropAfter(100, pattern(1000))} << "" << true;
        QTest::newRow("closed at once") << QList<Response>{Response::closeAtOnce()} << "" << false;
        QTest::newRow("more bytes than listed")
            << QList<Response>{Response::ok(pattern(1001))} << "x.bin is larger than the expected 1000 bytes" << true;
        QTest::newRow("content length above the listed size")
            << QList<Response>{[] { Response r = Response::ok(pattern(3000)); r.contentLength = 3000; return r; }()}
            << "x.bin is larger than the expected 1000 bytes" << true;
    }

    void failedAttemptsAreBoundedAtFive()
    {
        QFETCH(QList<Response>, responses);
        QFETCH(QString, perAttempt);
        QFETCH(bool, exactRequests);
        m_Server->setResponses(kPrefix + "x.bin", responses);
        auto task = makeTask("x.bin", 1000);
        Watch w(task.get());
        task->execute();
        QVERIFY(w.canceled.wait(20000));
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FAILED));
        const int requests = m_Server->requestCount(kPrefix + "x.bin");
        if (exactRequests)
            QCOMPARE(requests, 5);
        else
            QVERIFY(requests >= 5 && requests <= 10);
        QCOMPARE(w.finished.count(), 0);
        const QStringList texts = w.texts();
        QCOMPARE(texts.first(), QStringLiteral("Downloading x.bin"));
        QCOMPARE(texts.last(), QStringLiteral("Unable to download x.bin"));
        QCOMPARE(texts.size(), 1 + 5 + 1); // one line per failed attempt
        if (!perAttempt.isEmpty())
            QCOMPARE(texts.count(perAttempt), 5);
        QVERIFY(!QFileInfo::exists(local("x.bin")));
        QCOMPARE(task->m_BytesReceived, qint64(0));
        QCOMPARE(task->m_Attempts, 4);
        // A reset task gets all five attempts again.
        task->reset();
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_IDLE));
        QCOMPARE(task->m_Attempts, 0);
        task->execute();
        QVERIFY(w.canceled.wait(20000));
        QCOMPARE(w.texts().count("Unable to download x.bin"), 2);
        if (exactRequests)
            QCOMPARE(m_Server->requestCount(kPrefix + "x.bin"), 10);
    }

    void recoversWithinFiveAttempts()
    {
        const QByteArray body = pattern(20000);
        m_Server->setResponses(kPrefix + "y.bin",
                               {Response::withStatus(503), Response::dropAfter(5000, body),
                                Response::withStatus(404), Response::ok(pattern(20001)), Response::ok(body)});
        auto task = makeTask("y.bin", body.size());
        Watch w(task.get());
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return w.ends() > 0; }, 20000));
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(m_Server->requestCount(kPrefix + "y.bin"), 5);
        QCOMPARE(ClientBundle::readFile(local("y.bin")), body);
    }

    void unknownSizeWithoutContentLength()
    {
        Response r = Response::stallAfter(1000, pattern(5000));
        r.sendContentLength = false;
        m_Server->setResponse(kPrefix + "z.bin", r);
        auto task = makeTask("z.bin", -1, 0.5);
        QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
        Watch w(task.get());
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 1000; }, 10000));
        qulonglong done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadStats(done, total, speed, downloading);
        QCOMPARE(total, 0ull);
        QCOMPARE(done, 1000ull);
        QVERIFY(downloading);
        m_Server->releaseStalled();
        QVERIFY(w.finished.wait(10000));
        QCOMPARE(ClientBundle::readFile(local("z.bin")), pattern(5000));
        // No progress until the end, then the whole weight.
        for (int i = 0; i < progress.count() - 1; ++i)
            QCOMPARE(progress.at(i).at(0).toReal(), 0.0);
        QCOMPARE(progress.last().at(0).toReal(), 0.5);
    }

    void sizeLearnedOnlyWhenUnknown_data()
    {
        QTest::addColumn<qint64>("constructed");
        QTest::addColumn<qint64>("reported");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("unknown, learned") << qint64(-1) << qint64(1200) << qint64(1200);
        QTest::newRow("unknown, server does not know") << qint64(-1) << qint64(-1) << qint64(-1);
        QTest::newRow("unknown, zero") << qint64(-1) << qint64(0) << qint64(-1);
        QTest::newRow("listed size kept") << qint64(1000) << qint64(1200) << qint64(1000);
    }

    void sizeLearnedOnlyWhenUnknown()
    {
        QFETCH(qint64, constructed);
        QFETCH(qint64, reported);
        QFETCH(qint64, expected);
        auto task = makeTask("l.bin", constructed);
        task->onDownloadProgress(10, reported);
        QCOMPARE(task->m_ExpectedSize, expected);
        task->onDownloadProgress(20, 999);
        QCOMPARE(task->m_ExpectedSize, expected == -1 ? qint64(999) : expected);
    }

    // A size limit for files of unknown size (product list, signature).
    void maximumSizeForUnknownSize()
    {
        m_Server->setResponse(kPrefix + "sig", Response::ok(pattern(5000)));
        auto task = makeTask("sig", -1);
        task->setMaximumSize(4096);
        Watch w(task.get());
        task->execute();
        QVERIFY(w.canceled.wait(20000));
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(w.texts().count("sig is larger than the expected 4096 bytes"), 5);
        QVERIFY(!QFileInfo::exists(local("sig")));
    }

    void statisticsAndSizeFromConstruction()
    {
        // The server claims another length; the listed size stays the total.
        Response r = Response::stallAfter(250, pattern(500));
        m_Server->setResponse(kPrefix + "s.bin", r);
        auto task = makeTask("s.bin", 1000);
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 250; }, 10000));
        qulonglong done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadStats(done, total, speed, downloading);
        QCOMPARE(done, 250ull);
        QCOMPARE(total, 1000ull);
        QCOMPARE(speed, 250ull);
        QVERIFY(downloading);
        QCOMPARE(task->m_ExpectedSize, qint64(1000));
        QCOMPARE(task->m_Progress, 0.8 * 0.25);
        // Nothing new since the last poll.
        done = total = speed = 0;
        task->getDownloadStats(done, total, speed, downloading);
        QCOMPARE(speed, 0ull);
        QCOMPARE(done, 250ull);
    }

    // The stall detector counts the engine's statistics polls, driven here by hand.
    void stallDetectedOnTheSixteenthPoll()
    {
        const QByteArray body = pattern(4000);
        m_Server->setResponses(kPrefix + "st.bin", {Response::stallAfter(1000, body), Response::ok(body)});
        auto task = makeTask("st.bin", body.size());
        Watch w(task.get());
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 1000; }, 10000));
        const QList<bool> flags = poll(task.get(), 15);
        QCOMPARE(flags, repeated(15, true));
        QVERIFY(!w.texts().contains("file st.bin timed out"));
        QCOMPARE(m_Server->requestCount(), 1);
        QVERIFY(QFileInfo::exists(local("st.bin")));

        // The sixteenth poll restarts from byte 0.
        poll(task.get(), 1);
        QVERIFY(w.texts().contains("file st.bin timed out"));
        QCOMPARE(task->m_BytesReceived, qint64(0));
        QCOMPARE(task->m_Progress, 0.0);
        QCOMPARE(task->m_Attempts, 1);
        QVERIFY(w.finished.wait(10000));
        QCOMPARE(m_Server->requestCount(), 2);
        QCOMPARE(ClientBundle::readFile(local("st.bin")), body);
    }

    void arrivingDataResetsTheStallCount()
    {
        const QByteArray body = pattern(3000);
        m_Server->setResponse(kPrefix + "r.bin", Response::stallAfter(1000, body));
        auto task = makeTask("r.bin", body.size());
        Watch w(task.get());
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 1000; }, 10000));
        poll(task.get(), 15);
        QCOMPARE(task->m_StallPolls, 15);
        m_Server->releaseStalled();
        QVERIFY(w.finished.wait(10000));
        QVERIFY(!w.texts().contains("file r.bin timed out"));
        QCOMPARE(m_Server->requestCount(), 1);
    }

    void silentServerGivesUpAfterFiveStalls()
    {
        m_Server->setResponse(kPrefix + "q.bin", Response::silent());
        auto task = makeTask("q.bin", 10);
        Watch w(task.get());
        task->execute();
        for (int attempt = 1; attempt <= 5; ++attempt) {
            QVERIFY(m_Server->waitForRequests(attempt));
            QCOMPARE(poll(task.get(), 15), repeated(15, true));
            poll(task.get(), 1);
        }
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(w.canceled.count(), 1);
        QCOMPARE(w.texts().count("file q.bin timed out"), 5);
        QCOMPARE(w.texts().last(), QStringLiteral("Unable to download q.bin"));
        QVERIFY(!QFileInfo::exists(local("q.bin")));
        // A finished or failed task is no longer a download in progress.
        QCOMPARE(poll(task.get(), 20), repeated(20, false));
    }

    // Replies that would take memory without bound or never end their header block: the attempt
    // fails, its connection is closed, and the retry on a fresh connection fetches the file.
    void hostileReplyFailsItsAttempt_data()
    {
        QTest::addColumn<HttpTestServer::Response>("hostile");
        QTest::addColumn<qint64>("expected");
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("stalls");
        const QString refused = QStringLiteral("h.bin: content encoding gzip refused");
        Response bomb = Response::ok(UpdateFiles::gzipBomb(qint64(1) << 30));
        bomb.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
        const qint64 listCap = 64 << 20;
        QTest::newRow("gzip bomb, listed size") << bomb << qint64(34) << qint64(-1) << refused << false;
        QTest::newRow("gzip bomb, list") << bomb << qint64(-1) << listCap << refused << false;
        QTest::newRow("endless body, huge length") << Response::endless(pattern(4096), qint64(1) << 40) << qint64(-1)
                                                   << listCap << "h.bin is larger than the expected 67108864 bytes"
                                                   << false;
        QTest::newRow("endless header line") << Response::headerFlood() << qint64(34) << qint64(-1)
                                             << "Header block longer than 65536 bytes" << false;
        QTest::newRow("header line drips") << Response::headerTrickle(20) << qint64(34) << qint64(-1)
                                           << "file h.bin timed out" << true;
    }

    void hostileReplyFailsItsAttempt()
    {
        QFETCH(HttpTestServer::Response, hostile);
        QFETCH(qint64, expected);
        QFETCH(qint64, maxSize);
        QFETCH(QString, text);
        QFETCH(bool, stalls);
        const QByteArray body = pattern(34);
        m_Server->setResponses(kPrefix + "h.bin", {hostile, Response::ok(body)});
        PeakMemory memory;
        QVERIFY(memory.start());
        auto task = makeTask("h.bin", expected);
        task->setMaximumSize(maxSize);
        Watch w(task.get());
        task->execute();
        QVERIFY(m_Server->waitForRequests(1));
        if (stalls) {
            // The header block has not ended within the stall time.
            for (int i = 0; i < DownloadTaskSpecification::kStallPolls; ++i) {
                QTest::qWait(100);
                poll(task.get(), 1);
            }
            QCOMPARE(w.texts().count(text), 1);
            QVERIFY(m_Server->waitForRequests(2, 3000));
        }
        QVERIFY(w.finished.wait(20000));
        QCOMPARE(ClientBundle::readFile(local("h.bin")), body);
        QCOMPARE(w.texts().count(text), 1);
        const QList<HttpTestServer::Request> requests = m_Server->requests();
        QCOMPARE(requests.size(), 2);
        QVERIFY(requests.at(1).connection != requests.at(0).connection);
        for (const HttpTestServer::Request& r : requests)
            QCOMPARE(r.header("Accept-Encoding"), QByteArray("identity"));
        // The hostile connection is closed by the client: nothing more is read from it.
        QTRY_VERIFY_WITH_TIMEOUT(m_Server->totalConnections() - m_Server->openConnections() >= 1, 5000);
        QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QString::number(memory.growth())));
    }

    // A byte now and then keeps an attempt no more alive than silence: fewer than
    // kMinWindowBytes in 16 polls is a stall.
    void slowDripIsAStall()
    {
        const QByteArray body = pattern(3000);
        m_Server->setResponses(kPrefix + "d.bin", {Response::trickle(100, body), Response::ok(body)});
        auto task = makeTask("d.bin", body.size());
        Watch w(task.get());
        task->execute();
        QVERIFY(m_Server->waitForRequests(1));
        QList<bool> flags;
        for (int i = 0; i < DownloadTaskSpecification::kStallPolls; ++i) {
            QTest::qWait(150);
            flags += poll(task.get(), 1);
        }
        QCOMPARE(flags, repeated(15, true) << false);
        QCOMPARE(w.texts().count("file d.bin timed out"), 1);
        QVERIFY(w.finished.wait(10000));
        QCOMPARE(ClientBundle::readFile(local("d.bin")), body);
        QCOMPARE(m_Server->requestCount(), 2);
    }

    // 64 KiB a second, polled once a second like the engine does: slow, but no stall.
    void honestSlowLinkCompletes()
    {
        const QByteArray body = pattern(256 * 1024);
        m_Server->setResponse(kPrefix + "slow.bin", Response::trickle(250, body, 16 * 1024));
        auto task = makeTask("slow.bin", body.size());
        Watch w(task.get());
        task->execute();
        for (int i = 0; i < 30 && w.ends() == 0; ++i) {
            w.finished.wait(1000);
            poll(task.get(), 1);
        }
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(task->m_Attempts, 0);
        QCOMPARE(ClientBundle::readFile(local("slow.bin")), body);
    }

    void cancelAbortsAtOnce()
    {
        m_Server->setResponse(kPrefix + "c.bin", Response::stallAfter(2000, pattern(8000)));
        auto task = makeTask("c.bin", 8000);
        Watch w(task.get());
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 2000; }, 10000));
        QCOMPARE(m_Server->openConnections(), 1);
        task->requestCancel();
        // Synchronously: cancelled, partial file gone, no transfer left.
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_CANCELLED));
        QCOMPARE(w.canceled.count(), 1);
        QVERIFY(task->m_CancelRequested);
        QVERIFY(!QFileInfo::exists(local("c.bin")));
        QVERIFY(task->m_Reply == nullptr);
        QVERIFY(QTest::qWaitFor([&] { return m_Server->openConnections() == 0; }, 10000));
        QCOMPARE(m_Server->requestCount(), 1);
    }

    void droppedTaskLeavesNoPartialFile()
    {
        m_Server->setResponse(kPrefix + "d.bin", Response::stallAfter(500, pattern(5000)));
        auto task = makeTask("d.bin", 5000);
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 500; }, 10000));
        QVERIFY(QFileInfo::exists(local("d.bin")));
        task.reset();
        QVERIFY(!QFileInfo::exists(local("d.bin")));
        QVERIFY(QTest::qWaitFor([&] { return m_Server->activeRequests() == 0; }, 10000));
    }

    void cancelOnIdleOnlyNotes()
    {
        auto task = makeTask("i.bin", 10);
        Watch w(task.get());
        task->requestCancel();
        QVERIFY(task->m_CancelRequested);
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_IDLE));
        QCOMPARE(w.ends(), 0);
    }

    void siblingFailureAborts()
    {
        m_Server->setResponse(kPrefix + "sib.bin", Response::stallAfter(100, pattern(1000)));
        auto task = makeTask("sib.bin", 1000);
        TaskSpecification* other = makeTask("other", 1).release();
        std::unique_ptr<TaskSpecification> otherOwner(other);
        Watch w(task.get());
        task->execute();
        QVERIFY(QTest::qWaitFor([&] { return task->m_BytesReceived == 100; }, 10000));
        task->onOtherTaskCancelled(task.get()); // itself: ignored
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_RUNNING));
        task->onOtherTaskCancelled(other);
        QCOMPARE(task->m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(w.canceled.count(), 1);
        QCOMPARE(w.texts().last(), QStringLiteral("Abort downloading sib.bin"));
        QVERIFY(!QFileInfo::exists(local("sib.bin")));
        QVERIFY(QTest::qWaitFor([&] { return m_Server->openConnections() == 0; }, 10000));
    }

    // The local file is made on a pool thread before the request goes out.  A task dropped,
    // cancelled or failed by a sibling meanwhile sends no request, keeps no descriptor open and
    // is never called back.
    void endedWhileItsFileIsMade_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<bool>("fileMade"); // the file is there, the task not told yet
        QTest::newRow("dropped") << 0 << false;
        QTest::newRow("cancelled") << 1 << false;
        QTest::newRow("sibling failed") << 2 << false;
        QTest::newRow("dropped, file made") << 0 << true;
        QTest::newRow("cancelled, file made") << 1 << true;
        QTest::newRow("sibling failed, file made") << 2 << true;
    }

    void endedWhileItsFileIsMade()
    {
        QFETCH(int, how);
        QFETCH(bool, fileMade);
        m_Server->setResponse(kPrefix + "c.bin", Response::ok(pattern(10)));
        auto task = makeTask("c.bin", 10);
        auto other = makeTask("other.bin", 10);
        task->execute();
        QElapsedTimer waited;
        waited.start();
        while (fileMade && !QFileInfo::exists(local("c.bin")) && waited.elapsed() < 10000)
            QThread::msleep(1); // no event loop: the task hears nothing of it
        if (how == 0)
            task.reset();
        else if (how == 1)
            task->requestCancel();
        else
            task->onOtherTaskCancelled(other.get());
        QTest::qWait(100); // whatever was still queued has run
        QCOMPARE(m_Server->requestCount(), 0);
        QVERIFY(!descriptorOpenOn(local("c.bin")));
        QVERIFY(!QFileInfo::exists(local("c.bin")));
        if (task)
            QCOMPARE(task->m_State, int(how == 1 ? TaskSpecification::STATE_CANCELLED : TaskSpecification::STATE_FAILED));
    }

    void unwritableLocalFile()
    {
        auto task = std::make_unique<DownloadTaskSpecification>(m_Nam.get(), "u.bin", kVersion,
                                                                m_Dir->path() + "/no/such/dir/u.bin", 10, 1.0, nullptr);
        Watch w(task.get());
        task->execute();
        // The file is made on a pool thread: the failure comes on a later turn of the loop.
        QTRY_COMPARE(task->m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(w.errors.count(), 1);
        QCOMPARE(w.errors.first().at(0).toString(),
                 QStringLiteral("Unable to create file %1 for saving").arg(m_Dir->path() + "/no/such/dir/u.bin"));
        QCOMPARE(m_Server->requestCount(), 0);
    }

    void withoutManagerFailsToInitialize()
    {
        auto task = std::make_unique<DownloadTaskSpecification>(nullptr, "n.bin", kVersion, local("n.bin"), 10, 1.0, nullptr);
        Watch w(task.get());
        task->execute();
        QTRY_COMPARE(task->m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(w.errors.count(), 1);
        QCOMPARE(w.errors.first().at(0).toString(), QStringLiteral("Download failed to initialize"));
        QVERIFY(!QFileInfo::exists(local("n.bin")));
    }
};

QTEST_MAIN(DownloadTaskTest)
#include "downloadtasktest.moc"
