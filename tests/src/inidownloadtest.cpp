// The product-list step against a local image server: fetch, unpack, signature check, reuse of
// a session's files, re-verification up to its bound, and the size caps.
#include "checksignaturetaskspecification.h"
#include "compressedfile.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "downloadtaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "updatepublickey.h"

#include "common/clientbundle.h"
#include "common/httptestserver.h"
#include "common/imageservertest.h"
#include "common/taskrunner.h"
#include "common/updatefiles.h"
#include "common/testsigner.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using Response = HttpTestServer::Response;

namespace
{
const QByteArray kPrefix = "/updater-images/client/31/";
const QString kIni = QStringLiteral("vx3_client_macosx.ini");

QByteArray iniText(int version)
{
    return "[.]\nMacOS/vx3client_mac=" + QByteArray(128, 'a') + "::" + QByteArray::number(1000 + version)
           + "\n[delete]\nold=1\n";
}
} // namespace

class IniDownloadTest : public ImageServerTest
{
    Q_OBJECT

    QByteArray pack(const QByteArray& text)
    {
        const QString in = m_Dir->path() + "/pack-in";
        const QString out = m_Dir->path() + "/pack-out";
        if (!ClientBundle::writeFile(in, text))
            return QByteArray();
        if (!CompressLzmaFile(in.toUtf8().constData(), out.toUtf8().constData(), false))
            return QByteArray();
        return ClientBundle::readFile(out);
    }

    // Puts a packed product list and its signature on the server.
    bool publish(const QString& iniName, const QByteArray& text, const QByteArray& signature)
    {
        const QByteArray packed = pack(text);
        if (packed.isEmpty() || signature.isEmpty())
            return false;
        m_Server->setResponse(kPrefix + iniName.toUtf8() + "._lzma2_", Response::ok(packed));
        m_Server->setResponse(kPrefix + iniName.toUtf8() + ".sig", Response::ok(signature));
        return true;
    }

    static QList<qreal> weights(const IniDownloadTaskSpecification& task)
    {
        QList<qreal> out;
        for (TaskSpecification* t : task.m_SubTasks)
            out << t->m_Weight;
        return out;
    }

    static bool sameWeights(const QList<qreal>& a, const QList<qreal>& b)
    {
        if (a.size() != b.size())
            return false;
        for (int i = 0; i < a.size(); ++i) {
            if (qAbs(a[i] - b[i]) > 1e-9)
                return false;
        }
        return true;
    }

    // A real event loop, so that the many queued hops of a long retry series are not slowed down.
    int run(IniDownloadTaskSpecification& task, int timeoutMs = 30000) { return runTask(task, timeoutMs); }

    bool builtInKeyIsTestKey()
    {
        return QByteArray(reinterpret_cast<const char*>(updatePublicKeyData()), int(updatePublicKeySize()))
               == TestSigner::testPublicKey();
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
        qRegisterMetaType<TaskSpecification*>();
        qRegisterMetaType<CheckSignatureTaskSpecification*>();
        initCrypt();
    }

    void init()
    {
        if (!builtInKeyIsTestKey())
            QSKIP("a release key is compiled in; test-signed product lists cannot verify");
        QVERIFY(startSession(31));
        m_Config.m_ClientUpdate = 1;
    }

    void cleanup() { stopServer(); }

    void freshDownload_data()
    {
        QTest::addColumn<int>("clientStep");
        QTest::addColumn<QString>("iniName");
        QTest::newRow("client step") << 1 << "vx3_client_macosx.ini";
        QTest::newRow("updater step") << 0 << "update_macosx.ini";
    }

    void freshDownload()
    {
        QFETCH(int, clientStep);
        QFETCH(QString, iniName);
        m_Config.m_ClientUpdate = clientStep;
        const QByteArray text = iniText(31);
        QVERIFY(publish(iniName, text, TestSigner::sign(text)));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(run(task), int(TaskSpecification::STATE_FINISHED));
        QVERIFY(sameWeights(weights(task), {0.3333, 1.0, 0.3333, 0.3334}));
        QCOMPARE(task.m_Progress, 0.1);
        QCOMPARE(ClientBundle::readFile(temp(iniName)), text);
        QCOMPARE(m_Server->requestCount(), 2);
        QCOMPARE(m_Server->requests().at(0).path, kPrefix + iniName.toUtf8() + "._lzma2_");
        QCOMPARE(m_Server->requests().at(1).path, kPrefix + iniName.toUtf8() + ".sig");
        QCOMPARE(texts(messages).first(), QStringLiteral("Download / check product ini"));
        QVERIFY(!texts(messages).contains("Could not verify the product ini file. Retrying"));
    }

    void reuseOfSessionFiles_data()
    {
        QTest::addColumn<bool>("haveIni");
        QTest::addColumn<bool>("haveSig");
        QTest::addColumn<QList<qreal>>("expectedWeights");
        QTest::addColumn<int>("requests");
        QTest::newRow("both") << true << true << QList<qreal>{1.0} << 0;
        QTest::newRow("list only") << true << false << QList<qreal>{0.3333, 0.6667} << 1;
        QTest::newRow("signature only") << false << true << QList<qreal>{0.3333, 1.0, 0.6667} << 1;
    }

    void reuseOfSessionFiles()
    {
        QFETCH(bool, haveIni);
        QFETCH(bool, haveSig);
        QFETCH(QList<qreal>, expectedWeights);
        QFETCH(int, requests);
        const QByteArray text = iniText(31);
        const QByteArray sig = TestSigner::sign(text);
        QVERIFY(publish(kIni, text, sig));
        if (haveIni)
            QVERIFY(ClientBundle::writeFile(temp(kIni), text));
        if (haveSig)
            QVERIFY(ClientBundle::writeFile(temp(kIni + ".sig"), sig));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QCOMPARE(run(task), int(TaskSpecification::STATE_FINISHED));
        QVERIFY2(sameWeights(weights(task), expectedWeights), qPrintable(QString::number(weights(task).size())));
        QCOMPARE(m_Server->requestCount(), requests);
        QCOMPARE(task.m_Attempts, 0);
    }

    void staleListIsFetchedAgain()
    {
        const QByteArray stale = iniText(30);
        QVERIFY(ClientBundle::writeFile(temp(kIni), stale));
        QVERIFY(ClientBundle::writeFile(temp(kIni + ".sig"), TestSigner::sign(iniText(29))));
        const QByteArray text = iniText(31);
        QVERIFY(publish(kIni, text, TestSigner::sign(text)));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(run(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(texts(messages).count("Could not verify the product ini file. Retrying"), 1);
        QCOMPARE(task.m_Attempts, 1);
        QCOMPARE(m_Server->requestCount(), 2);
        QCOMPARE(ClientBundle::readFile(temp(kIni)), text);
        QVERIFY(sameWeights(weights(task), {0.3333, 1.0, 0.3333, 0.3334}));
        QCOMPARE(task.m_Progress, 0.1);
    }

    void signatureThatNeverVerifies()
    {
        const QByteArray text = iniText(31);
        QVERIFY(publish(kIni, text, TestSigner::sign("something else")));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QCOMPARE(run(task, 240000), int(TaskSpecification::STATE_FAILED));
        const QStringList t = texts(messages);
        QCOMPARE(t.count("Could not verify the product ini file. Retrying"), IniDownloadTaskSpecification::kMaxRetries);
        QCOMPARE(t.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
        QCOMPARE(m_Server->requestCount(), 2 * (IniDownloadTaskSpecification::kMaxRetries + 1));
        // The last check still finishes after the step failed: the step stays failed.
        QTest::qWait(50);
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(finished.count(), 0);
    }

    void serverWithoutSignature()
    {
        const QByteArray text = iniText(31);
        QVERIFY(publish(kIni, text, "x"));
        m_Server->setResponse(kPrefix + kIni.toUtf8() + ".sig", Response::withStatus(404));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(run(task), int(TaskSpecification::STATE_FAILED));
        QVERIFY(!texts(messages).contains("Could not verify the product ini file. Retrying"));
        QVERIFY(texts(messages).contains("Unable to download " + kIni + ".sig"));
        QCOMPARE(m_Server->requestCount(kPrefix + kIni.toUtf8() + ".sig"), 5);
        QCOMPARE(m_Server->requestCount(kPrefix + kIni.toUtf8() + "._lzma2_"), 1);
    }

    // The product list and its signature are read into memory whole later on: their downloads
    // are capped.
    void caps()
    {
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        task.makeSubtasksAndStart();
        auto* packed = qobject_cast<DownloadTaskSpecification*>(task.m_SubTasks.at(0));
        auto* sig = qobject_cast<DownloadTaskSpecification*>(task.m_SubTasks.at(2));
        QVERIFY(packed && sig);
        QCOMPARE(packed->m_MaxSize, IniDownloadTaskSpecification::kMaxPackedIniSize);
        QCOMPARE(sig->m_MaxSize, qint64(4096));
        QCOMPARE(packed->m_InitialExpectedSize, qint64(-1));
        task.requestCancel();
    }

    // A list that comes fast enough never to count as stalled still ends its attempt at the
    // deadline; the next attempt asks again.
    void attemptDeadline()
    {
        m_Server->setResponse(kPrefix + kIni.toUtf8() + "._lzma2_",
                              Response::trickle(20, QByteArray(8 << 20, 'p'), 8192));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        task.execute();
        auto* packed = qobject_cast<DownloadTaskSpecification*>(task.m_SubTasks.at(0));
        QVERIFY(packed);
        QSignalSpy messages(packed, &TaskSpecification::message);
        QVERIFY(QTest::qWaitFor([&] { return packed->m_BytesReceived > 0; }, 10000));
        const QString timedOut = "file " + kIni + "._lzma2_ timed out";
        auto poll = [&] {
            qulonglong done = 0, total = 0, speed = 0;
            bool downloading = false;
            task.getDownloadStats(done, total, speed, downloading);
        };
        for (int i = 1; i < IniDownloadTaskSpecification::kAttemptDeadlinePolls; ++i) {
            poll();
            QTest::qWait(20);
        }
        QVERIFY(!texts(messages).contains(timedOut));
        poll();
        QCOMPARE(texts(messages).count(timedOut), 1);
        QVERIFY(m_Server->waitForRequests(2));
        task.requestCancel();
    }

    void brokenPackedListFailsWithoutRetry()
    {
        m_Server->setResponse(kPrefix + kIni.toUtf8() + "._lzma2_", Response::ok("not a container"));
        m_Server->setResponse(kPrefix + kIni.toUtf8() + ".sig", Response::ok(TestSigner::sign("x")));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QCOMPARE(run(task), int(TaskSpecification::STATE_FAILED));
        QVERIFY(texts(messages).contains(QStringLiteral("Could not unpack '%1' to '%2'")
                                             .arg(temp(kIni + "._lzma2_"), temp(kIni))));
        QVERIFY(!texts(messages).contains("Could not verify the product ini file. Retrying"));
        // The signature was never fetched: the step stops at the failed unpack.
        QCOMPARE(m_Server->requestCount(), 1);
    }

    // A packed list that would unpack to more than a list may hold, or an executable-aware
    // container, is refused unread: the step fails on the first try and on every retry, and the
    // session's list stays as it was.
    void hostilePackedList_data()
    {
        QTest::addColumn<bool>("executableAware");
        QTest::newRow("declares more than 64 MiB") << false;
        QTest::newRow("executable-aware container") << true;
    }

    void hostilePackedList()
    {
        QFETCH(bool, executableAware);
        const QByteArray content = executableAware ? UpdateFiles::fixture("macho64_exe_v1")
                                                   : QByteArray(int(IniDownloadTaskSpecification::kMaxIniSize) + 1, '\n');
        const QByteArray packed = UpdateFiles::container(content, executableAware, m_Dir->path());
        QVERIFY(!packed.isEmpty() && packed.size() < 1024 * 1024);
        m_Server->setResponse(kPrefix + kIni.toUtf8() + "._lzma2_", Response::ok(packed));
        m_Server->setResponse(kPrefix + kIni.toUtf8() + ".sig", Response::ok(TestSigner::sign(content)));
        // A stale list of the session that does not verify: the step retries with the download.
        const QByteArray stale = iniText(30);
        QVERIFY(ClientBundle::writeFile(temp(kIni), stale));
        QVERIFY(ClientBundle::writeFile(temp(kIni + ".sig"), TestSigner::sign(iniText(29))));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        for (int run = 0; run < 2; ++run) {
            QSignalSpy messages(&task, &TaskSpecification::message);
            QCOMPARE(runTask(task), int(TaskSpecification::STATE_FAILED));
            QCOMPARE(spyTexts(messages).count("Could not verify the product ini file. Retrying"), 1);
            QVERIFY(spyTexts(messages).contains(QStringLiteral("Could not unpack '%1' to '%2'")
                                                    .arg(temp(kIni + "._lzma2_"), temp(kIni))));
            QCOMPARE(ClientBundle::readFile(temp(kIni)), stale);
            QCOMPARE(QDir(m_Config.m_TempDir).entryList(QDir::Files | QDir::Hidden).size(), 3);
            task.reset();
        }
        QCOMPARE(m_Server->requestCount(kPrefix + kIni.toUtf8() + "._lzma2_"), 2);
    }

    void resetDropsSubTasks()
    {
        const QByteArray text = iniText(31);
        QVERIFY(publish(kIni, text, TestSigner::sign(text)));
        IniDownloadTaskSpecification task(m_Nam.get(), &m_Config, nullptr, 0.1);
        QCOMPARE(run(task), int(TaskSpecification::STATE_FINISHED));
        QPointer<TaskSpecification> first = task.m_SubTasks.first();
        task.m_Attempts = 3;
        task.reset();
        QCOMPARE(task.m_State, int(TaskSpecification::STATE_IDLE));
        QCOMPARE(task.m_Attempts, 0);
        QVERIFY(task.m_SubTasks.isEmpty());
        QVERIFY(task.m_Pending.isEmpty());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(first.isNull());
        // Run again: the files in the session are reused now.
        QCOMPARE(run(task), int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(m_Server->requestCount(), 2);
    }
};

QTEST_MAIN(IniDownloadTest)
#include "inidownloadtest.moc"
