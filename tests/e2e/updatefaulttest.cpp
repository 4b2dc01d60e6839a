// The fault matrix of whole two-step updates: generated client bundles N and N+1, the image tree
// of N+1 served from 127.0.0.1, and faults injected into the transfers (status codes, stalls,
// dropped connections, truncated and corrupted bodies for every kind of served file), into the
// signed product lists (bad signature, wrong hashes, hostile paths), cancels at every step and
// SIGKILL of the real updater program at every step followed by a new run.
//
// Every scenario ends with the bundle byte-identical to N (a failed or cancelled run) or to N+1
// (a finished run), as the outcome signal says; the installed updater's own session record
// ("SharedSupport/update.ini") may stay after a failed run so that the next run continues.  A
// failed run is followed by a new run without faults, which must reach N+1 and leave no session
// behind in the temp folder.

#include "common/clientbundle.h"
#include "common/peakmemory.h"
#include "common/productiniwriter.h"
#include "common/releasebuilder.h"
#include "common/testcertificates.h"
#include "common/treesnapshot.h"
#include "common/updatefiles.h"
#include "common/updatescenario.h"

#include "updateengine.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>
#include <sys/types.h>

using Fault = UpdateImageServer::Fault;
using Kind = ReleaseBuilder::Kind;
using Outcome = UpdateScenario::Outcome;

Q_DECLARE_METATYPE(UpdateImageServer::Fault)
Q_DECLARE_METATYPE(UpdateScenario::Outcome)

namespace
{
const int kOldVersion = 7;
const QString kUpdaterList = QStringLiteral("update_macosx.ini");
const QString kClientList = QStringLiteral("vx3_client_macosx.ini");

// What a row's fault hits: the packed product list, its signature, or a file of a kind.
enum class Target
{
    List,
    Signature,
    Plain,
    Container,
    ExecutableContainer,
    Gzip,
    Patch
};

Kind kindOf(Target target)
{
    switch (target) {
    case Target::Container:
        return Kind::Container;
    case Target::ExecutableContainer:
        return Kind::ExecutableContainer;
    case Target::Gzip:
        return Kind::Gzip;
    case Target::Patch:
        return Kind::Patch;
    default:
        return Kind::Plain;
    }
}

// The engine's debug lines would bury the test's own output; everything else passes on.
QtMessageHandler g_testHandler = nullptr;
void dropDebugLines(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtDebugMsg && g_testHandler)
        g_testHandler(type, context, text);
}

QString joined(const QStringList& lines)
{
    return lines.join(QStringLiteral("\n  "));
}
} // namespace

Q_DECLARE_METATYPE(Target)

class UpdateFaultTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    UpdateRelease m_Release;
    // Served files that a clean run fetches in the updater step and in the client step.
    QSet<QString> m_StepOneFiles;
    QSet<QString> m_StepTwoFiles;
    int m_Scenarios = 0;

    QString newScenarioRoot() { return m_Dir->filePath(QStringLiteral("s%1").arg(++m_Scenarios)); }

    static QString clean(const QString& path) { return QDir::cleanPath(path); }

    QString listFile(bool clientStep, const QString& suffix) const
    {
        return clean(m_Release.versionDir() + QLatin1Char('/') + (clientStep ? kClientList : kUpdaterList) + suffix);
    }

    // The served file a row's fault hits: for a kind, the first entry of the step's list whose
    // file a clean run fetches in that step.
    QString targetFile(bool clientStep, Target target) const
    {
        if (target == Target::List)
            return listFile(clientStep, QStringLiteral("._lzma2_"));
        if (target == Target::Signature)
            return listFile(clientStep, QStringLiteral(".sig"));
        const QSet<QString>& fetched = clientStep ? m_StepTwoFiles : m_StepOneFiles;
        for (const ReleaseBuilder::Entry& entry : m_Release.entries()) {
            if (entry.productIni == (clientStep ? kClientList : kUpdaterList) && entry.kind == kindOf(target)
                && fetched.contains(entry.servedFile))
                return entry.servedFile;
        }
        return QString();
    }

    // The bundle equals N (ignoring the session record, which must then name this version's
    // session) or N+1 exactly, with nothing half-done.  knownFault: the updater fault that makes
    // the comparison fail, for an expected failure.
    void verifyBundle(const UpdateScenario& scenario, bool newVersion, const char* knownFault = nullptr)
    {
        const TreeSnapshot& expected = newVersion ? m_Release.newTree() : m_Release.oldTree();
        const QStringList diff = scenario.differencesFrom(expected, !newVersion);
        if (knownFault)
            QEXPECT_FAIL("", knownFault, Continue);
        QVERIFY2(diff.isEmpty(), qPrintable(QStringLiteral("bundle differs from version %1:\n  %2")
                                                .arg(newVersion ? "N+1" : "N", joined(diff))));
        const QString record = scenario.contents() + QStringLiteral("/SharedSupport/update.ini");
        if (!newVersion && QFileInfo::exists(record)) {
            QSettings settings(record, QSettings::IniFormat);
            QCOMPARE(settings.value(QStringLiteral("current/version")).toInt(), m_Release.newVersion());
            QVERIFY(QFileInfo(settings.value(QStringLiteral("current/dir")).toString()).isDir());
        }
    }

    void verifyOutcome(const UpdateScenario& scenario, const UpdateScenario::Run& run, Outcome expected,
                       const char* knownFault = nullptr)
    {
        QVERIFY2(run.fatal.isEmpty(), qPrintable(joined(run.fatal)));
        QVERIFY2(run.outcome == expected,
                 qPrintable(QStringLiteral("outcome %1, expected %2; log:\n  %3")
                                .arg(UpdateScenario::outcomeName(run.outcome),
                                     UpdateScenario::outcomeName(expected), joined(run.messages))));
        verifyBundle(scenario, expected == Outcome::Finished, knownFault);
        if (QTest::currentTestFailed())
            return;
        if (expected == Outcome::Finished)
            verifyNoSession(scenario);
    }

    static void verifyNoSession(const UpdateScenario& scenario)
    {
        const QStringList left = scenario.tmpLeftovers();
        QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("left in the temp folder: ") + left.join(QStringLiteral(", "))));
    }

    // A new run with the faults gone reaches N+1: both steps from the installed updater, or with
    // clientStepOnly the session's fresh updater again (the hand-over repeated).  runFault and
    // bundleFault: the updater faults that keep it from finishing or from reaching N+1 exactly,
    // for expected failures.  finishedOut: whether the run finished.
    void verifyNewRunRecovers(UpdateScenario& scenario, UpdateImageServer& server,
                              const char* runFault = nullptr, const char* bundleFault = nullptr,
                              bool* finishedOut = nullptr, bool clientStepOnly = false)
    {
        server.clearFaults();
        const UpdateScenario::Run run = clientStepOnly ? scenario.runClientStep() : scenario.runBothSteps();
        const bool finished = run.outcome == Outcome::Finished;
        if (finishedOut)
            *finishedOut = finished;
        if (runFault)
            QEXPECT_FAIL("", runFault, Continue);
        QVERIFY2(finished, qPrintable(QStringLiteral("new run: %1; log:\n  %2")
                                          .arg(UpdateScenario::outcomeName(run.outcome), joined(run.messages))));
        if (finished)
            verifyBundle(scenario, true, bundleFault);
    }

    void setUpScenario(UpdateScenario& scenario, UpdateImageServer& server)
    {
        QString error;
        QVERIFY2(scenario.setUp(server.baseUrl(), &error), qPrintable(error));
    }

    // The client step of a row runs after a clean updater step.
    void runCleanUpdaterStep(UpdateScenario& scenario)
    {
        const UpdateScenario::Run run = scenario.runUpdaterStep();
        QVERIFY2(run.outcome == Outcome::Finished, qPrintable(joined(run.messages)));
        QVERIFY(QFileInfo(scenario.updaterProgram(true)).isExecutable());
    }

    // The download fault rows.
    static void downloadFaultColumns();
    static QList<Target> targetsOf(bool clientStep);
    static QString targetName(Target target);
    static void addFaultRow(bool clientStep, Target target, Fault fault, int times);
    static void downloadFaultData(bool clientStep);
    static QString faultText(Target target, Fault fault);
    void runDownloadFault();

private slots:
    void initTestCase();
    void cleanUpdate();

    void updaterStepFaults_data() { downloadFaultData(false); }
    void updaterStepFaults() { runDownloadFault(); }
    void clientStepFaults_data() { downloadFaultData(true); }
    void clientStepFaults() { runDownloadFault(); }
    void stalls_data();
    void stalls() { runDownloadFault(); }
    void persistentStall_data();
    void persistentStall() { runDownloadFault(); }
    void hostileTransfers_data();
    void hostileTransfers() { runDownloadFault(); }

    void signedLists_data();
    void signedLists();
    void persistentBadSignature();

    void updateOverHttps_data();
    void updateOverHttps();

    void cancelAtEachStep_data();
    void cancelAtEachStep();

    void killAtEachStep_data();
    void killAtEachStep();
};

void UpdateFaultTest::initTestCase()
{
    g_testHandler = qInstallMessageHandler(dropDebugLines);
    m_Dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Dir->isValid());
    // The test entries share one release that a set-up entry builds (VX_E2E_RELEASE_BUILD set);
    // without VX_E2E_RELEASE_DIR the program builds its own.
    const QString shared = QString::fromLocal8Bit(qgetenv("VX_E2E_RELEASE_DIR"));
    const QString releaseRoot = shared.isEmpty() ? m_Dir->filePath(QStringLiteral("release")) : shared;
    QString error;
    if (shared.isEmpty() || qEnvironmentVariableIsSet("VX_E2E_RELEASE_BUILD"))
        QVERIFY2(m_Release.build(releaseRoot, QStringLiteral(VX_UPDATE_BINARY), kOldVersion, &error), qPrintable(error));
    else
        QVERIFY2(m_Release.open(releaseRoot, kOldVersion, &error), qPrintable(error));

    // A clean run tells which served files each step fetches.
    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    const UpdateScenario::Run first = scenario.runUpdaterStep();
    QVERIFY2(first.outcome == Outcome::Finished, qPrintable(joined(first.messages)));
    QHash<QString, int> afterFirst;
    for (const ReleaseBuilder::Entry& entry : m_Release.entries()) {
        const QString& file = entry.servedFile;
        if (file.isEmpty())
            continue;
        afterFirst.insert(file, server.requestCount(file));
        if (server.requestCount(file) > 0)
            m_StepOneFiles.insert(file);
    }
    const UpdateScenario::Run second = scenario.runClientStep();
    QVERIFY2(second.outcome == Outcome::Finished, qPrintable(joined(second.messages)));
    for (auto it = afterFirst.cbegin(); it != afterFirst.cend(); ++it) {
        if (server.requestCount(it.key()) > it.value())
            m_StepTwoFiles.insert(it.key());
    }
    QVERIFY(!m_StepOneFiles.isEmpty());
    QVERIFY(!m_StepTwoFiles.isEmpty());
}

void UpdateFaultTest::cleanUpdate()
{
    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    const UpdateScenario::Run run = scenario.runBothSteps();
    verifyOutcome(scenario, run, Outcome::Finished);
}

// ---------------------------------------------------------------------------------------------
// https

// The whole update from an https image server: with a certificate the test's authority signed it
// reaches N+1, with a header flood on the product list over TLS it ends bounded, and with a
// certificate nobody trusts nothing is fetched and the bundle stays N.
void UpdateFaultTest::updateOverHttps_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("flood");
    QTest::addColumn<Outcome>("expected");
    QTest::newRow("trusted certificate") << true << false << Outcome::Finished;
    QTest::newRow("header flood on the list") << true << true << Outcome::Canceled;
    QTest::newRow("untrusted certificate") << false << false << Outcome::Canceled;
}

void UpdateFaultTest::updateOverHttps()
{
    QFETCH(bool, trusted);
    QFETCH(bool, flood);
    QFETCH(Outcome, expected);
    static const TestCertificates certificates;
    QVERIFY2(certificates.isValid(), qPrintable(certificates.errorString()));
    certificates.trustInProcess();
    const TestCertificates::Identity identity = trusted ? certificates.server() : certificates.untrusted();
    UpdateImageServer server(m_Release.servedRoot());
    server.http().useTls(identity.certificate, identity.key);
    QVERIFY(server.baseUrl().startsWith(QLatin1String("https://")));
    if (flood)
        server.addFault(targetFile(false, Target::List), Fault::HeaderFlood, -1);
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    PeakMemory memory;
    QVERIFY(memory.start());
    const UpdateScenario::Run run = scenario.runBothSteps();
    verifyOutcome(scenario, run, expected);
    QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QString::number(memory.growth())));
    if (!trusted)
        QCOMPARE(server.http().requestCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// Download faults

void UpdateFaultTest::downloadFaultColumns()
{
    QTest::addColumn<bool>("clientStep");
    QTest::addColumn<Target>("target");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("times");
    QTest::addColumn<Outcome>("expected");
}

// Every kind of served file in the step that fetches it: the packed list and its signature in
// both steps; plain files, containers and patches in both; executable containers only in the
// updater step (the client step reuses them from the session); gzip files only in the client step.
QList<Target> UpdateFaultTest::targetsOf(bool clientStep)
{
    if (clientStep)
        return {Target::List, Target::Signature, Target::Plain, Target::Container, Target::Gzip, Target::Patch};
    return {Target::List, Target::Signature, Target::Plain, Target::Container, Target::ExecutableContainer,
            Target::Patch};
}

QString UpdateFaultTest::targetName(Target target)
{
    switch (target) {
    case Target::List:
        return QStringLiteral("list");
    case Target::Signature:
        return QStringLiteral("signature");
    case Target::Plain:
        return QStringLiteral("plain");
    case Target::Container:
        return QStringLiteral("container");
    case Target::ExecutableContainer:
        return QStringLiteral("executable container");
    case Target::Gzip:
        return QStringLiteral("gzip");
    case Target::Patch:
        return QStringLiteral("patch");
    }
    return QString();
}

void UpdateFaultTest::addFaultRow(bool clientStep, Target target, Fault fault, int times)
{
    // A transient status, stall or drop is retried within the run; five failed attempts end it.
    // A truncated or corrupted body fails the file's hash check (the packed list: its unpack),
    // which ends the run; a bad signature makes the list step fetch list and signature again.
    Outcome expected = times < 0 ? Outcome::Canceled : Outcome::Finished;
    if (fault == Fault::Truncated || fault == Fault::Corrupted)
        expected = target == Target::Signature ? Outcome::Finished : Outcome::Canceled;
    const QString tag = QStringLiteral("%1: %2 %3 %4")
                            .arg(clientStep ? "client step" : "updater step", targetName(target),
                                 UpdateImageServer::faultName(fault), times < 0 ? "always" : "once");
    QTest::newRow(qPrintable(tag)) << clientStep << target << fault << times << expected;
}

// The log line that shows the updater saw the fault (none for a dropped connection, whose
// text comes from the network layer).
QString UpdateFaultTest::faultText(Target target, Fault fault)
{
    switch (fault) {
    case Fault::NotFound:
        return QStringLiteral(" returned 404");
    case Fault::ServerError:
        return QStringLiteral(" returned 500");
    case Fault::Stall:
        return QStringLiteral(" timed out");
    case Fault::Drop:
        return QString();
    case Fault::GzipBomb:
        return QStringLiteral(": content encoding gzip refused");
    case Fault::Endless:
        return target == Target::List ? QStringLiteral(" is larger than the expected ") : QString();
    case Fault::SlowDrip:
        return QStringLiteral(" timed out");
    case Fault::HeaderFlood:
        return QStringLiteral("Header block longer than ");
    case Fault::Truncated:
    case Fault::Corrupted:
        if (target == Target::List)
            return QStringLiteral("Could not unpack ");
        if (target == Target::Signature)
            return QStringLiteral("Could not verify the product ini file. Retrying");
        return QStringLiteral("Signature check failed for ");
    }
    return QString();
}

void UpdateFaultTest::downloadFaultData(bool clientStep)
{
    downloadFaultColumns();
    for (Target target : targetsOf(clientStep)) {
        addFaultRow(clientStep, target, Fault::NotFound, 1);
        addFaultRow(clientStep, target, Fault::ServerError, -1);
        addFaultRow(clientStep, target, Fault::Drop, 1);
        addFaultRow(clientStep, target, Fault::Truncated, 1);
        addFaultRow(clientStep, target, Fault::Corrupted, 1);
    }
    // Persistent variants of the other faults, one kind each.
    addFaultRow(clientStep, clientStep ? Target::Gzip : Target::ExecutableContainer, Fault::NotFound, -1);
    addFaultRow(clientStep, clientStep ? Target::Plain : Target::Container, Fault::Drop, -1);
    addFaultRow(clientStep, clientStep ? Target::Container : Target::Patch, Fault::ServerError, 1);
}

void UpdateFaultTest::stalls_data()
{
    // Each stall costs the updater's stall time-out (16 statistics polls) once.
    downloadFaultColumns();
    for (bool clientStep : {false, true}) {
        for (Target target : targetsOf(clientStep))
            addFaultRow(clientStep, target, Fault::Stall, 1);
    }
}

void UpdateFaultTest::persistentStall_data()
{
    // Five attempts, each ending in the stall time-out.
    downloadFaultColumns();
    addFaultRow(true, Target::Patch, Fault::Stall, -1);
}

void UpdateFaultTest::hostileTransfers_data()
{
    // Replies that would take memory without bound or keep an attempt alive for ever; memory
    // stays bounded and the step ends within its attempts.
    downloadFaultColumns();
    addFaultRow(false, Target::List, Fault::GzipBomb, -1);
    addFaultRow(false, Target::List, Fault::Endless, -1);
    addFaultRow(false, Target::List, Fault::SlowDrip, 1);
    addFaultRow(true, Target::Plain, Fault::GzipBomb, 1);
    addFaultRow(false, Target::List, Fault::HeaderFlood, -1);
    addFaultRow(true, Target::Plain, Fault::HeaderFlood, 1);
}

void UpdateFaultTest::runDownloadFault()
{
    QFETCH(bool, clientStep);
    QFETCH(Target, target);
    QFETCH(Fault, fault);
    QFETCH(int, times);
    QFETCH(Outcome, expected);

    const QString file = targetFile(clientStep, target);
    QVERIFY2(!file.isEmpty(), "the release serves no such file in this step");

    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    if (clientStep)
        runCleanUpdaterStep(scenario);
    if (QTest::currentTestFailed())
        return;

    server.addFault(file, fault, times);
    PeakMemory memory;
    QVERIFY(memory.start());
    const UpdateScenario::Run run = clientStep ? scenario.runClientStep(UpdateScenario::Watcher(), 200000)
                                               : scenario.runBothSteps(UpdateScenario::Watcher(), 200000);
    QVERIFY2(memory.growth() < (qint64(64) << 20), qPrintable(QStringLiteral("memory grew by %1 bytes").arg(memory.growth())));
    QVERIFY2(server.faultsServed() > 0, qPrintable(QStringLiteral("%1 was never asked for").arg(file)));
    if (times > 0)
        QCOMPARE(server.faultsServed(), times);
    else
        QCOMPARE(server.requestCount(file), 5); // five attempts, then the run gives up
    const QString text = faultText(target, fault);
    if (!text.isEmpty())
        QVERIFY2(!run.messages.filter(text).isEmpty(),
                 qPrintable(QStringLiteral("no \"%1\" in the log:\n  %2").arg(text, joined(run.messages))));
    verifyOutcome(scenario, run, expected);
    if (QTest::currentTestFailed() || expected == Outcome::Finished)
        return;
    verifyNewRunRecovers(scenario, server);
    if (QTest::currentTestFailed())
        return;
    verifyNoSession(scenario);
}

// ---------------------------------------------------------------------------------------------
// Signed but harmful product lists

void UpdateFaultTest::signedLists_data()
{
    QTest::addColumn<bool>("clientStep");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("expectedText");

    const QString refused = QStringLiteral("Warning: product ini contains invalid line in section ");
    QTest::newRow("key leaving the folder") << true << "key" << refused;
    QTest::newRow("target leaving the bundle") << true << "target" << refused;
    QTest::newRow("delete outside the bundle") << true << "delete" << refused;
    QTest::newRow("section leaving the image tree") << true << "section" << refused;
    QTest::newRow("updater list absolute target") << false << "absolute" << refused;
    QTest::newRow("downloaded file hash mismatch") << true << "download hash" << "Signature check failed for ";
    // Found only after other files are in place: they are rolled back.
    QTest::newRow("unpacked file hash mismatch") << true << "unpacked hash" << "rolling back file updates";
}

void UpdateFaultTest::signedLists()
{
    QFETCH(bool, clientStep);
    QFETCH(QString, change);
    QFETCH(QString, expectedText);

    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    const QString list = clientStep ? kClientList : kUpdaterList;
    const QString outside = scenario.root() + QStringLiteral("/outside.txt");
    const QString victim = scenario.root() + QStringLiteral("/install/victim.txt");
    QVERIFY(ClientBundle::writeFile(victim, "not the updater's"));

    QList<ReleaseBuilder::Entry> entries;
    for (const ReleaseBuilder::Entry& entry : m_Release.entries()) {
        if (entry.productIni == list)
            entries << entry;
    }
    const QByteArray text = "written where it must not be";
    const QString plainValue = ProductIniWriter::fileValue(text);
    ReleaseBuilder::Entry extra;
    extra.productIni = list;
    extra.section = QStringLiteral(".");
    if (change == QLatin1String("key")) {
        extra.key = QStringLiteral("../../../outside.txt");
        extra.value = plainValue;
        entries.prepend(extra);
    } else if (change == QLatin1String("target")) {
        extra.key = QStringLiteral("escape.txt.gz");
        extra.value = ProductIniWriter::packedValue(UpdateFiles::gzip(text), text, QStringLiteral("../../../outside.txt"));
        entries.prepend(extra);
        server.overrideFile(m_Release.versionDir() + QStringLiteral("/escape.txt.gz"), UpdateFiles::gzip(text));
    } else if (change == QLatin1String("delete")) {
        extra.section = QStringLiteral("delete");
        extra.key = QStringLiteral("../../victim.txt");
        extra.value = QStringLiteral("1");
        extra.kind = Kind::Delete;
        entries.append(extra);
    } else if (change == QLatin1String("section")) {
        extra.section = QStringLiteral("../..");
        extra.key = QStringLiteral("outside.txt");
        extra.value = plainValue;
        entries.prepend(extra);
    } else if (change == QLatin1String("absolute")) {
        extra.key = QStringLiteral("abs.txt.gz");
        extra.value = ProductIniWriter::packedValue(UpdateFiles::gzip(text), text, outside);
        entries.prepend(extra);
        server.overrideFile(m_Release.versionDir() + QStringLiteral("/abs.txt.gz"), UpdateFiles::gzip(text));
    } else {
        // A wrong hash for a file that the client step fetches: the first container entry for
        // the downloaded file, the last replaced entry for the unpacked one (so that others are
        // in place already and must be rolled back).
        const bool unpacked = change == QLatin1String("unpacked hash");
        int index = -1;
        for (int i = 0; i < entries.size(); ++i) {
            const ReleaseBuilder::Entry& e = entries.at(i);
            if (e.kind == Kind::Container && m_StepTwoFiles.contains(e.servedFile)) {
                index = i;
                if (!unpacked)
                    break;
            }
        }
        QVERIFY(index >= 0);
        QStringList fields = entries[index].value.split(QStringLiteral("::"));
        QCOMPARE(fields.size(), 5);
        QString& hash = fields[unpacked ? 2 : 0];
        hash = QString(hash).replace(0, 8, QStringLiteral("00000000"));
        entries[index].value = fields.join(QStringLiteral("::"));
    }

    const QString plain = scenario.root() + QStringLiteral("/lists/") + list;
    QVERIFY(QDir().mkpath(QFileInfo(plain).path()));
    QString error;
    QVERIFY2(ReleaseBuilder::writeSignedList(entries, plain, &error), qPrintable(error));
    server.overrideFile(listFile(clientStep, QStringLiteral("._lzma2_")),
                        ClientBundle::readFile(plain + QStringLiteral("._lzma2_")));
    server.overrideFile(listFile(clientStep, QStringLiteral(".sig")), ClientBundle::readFile(plain + QStringLiteral(".sig")));

    const UpdateScenario::Run run = scenario.runBothSteps();
    QVERIFY2(!run.messages.filter(expectedText).isEmpty(), qPrintable(joined(run.messages)));
    verifyOutcome(scenario, run, Outcome::Canceled);
    QCOMPARE(ClientBundle::readFile(victim), QByteArray("not the updater's"));
    QDirIterator it(scenario.root(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QVERIFY2(ClientBundle::readFile(path) != text, qPrintable(QStringLiteral("written: ") + path));
    }
    if (QTest::currentTestFailed())
        return;
    // A failed run drops the session's copy of the list: the new run fetches the served one.
    bool recovered = false;
    verifyNewRunRecovers(scenario, server, nullptr, nullptr, &recovered);
    if (QTest::currentTestFailed() || !recovered)
        return;
    verifyNoSession(scenario);
}

void UpdateFaultTest::persistentBadSignature()
{
    // Every signature is wrong: the list step fetches list and signature again up to its bound,
    // then gives up.
    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    const QString sig = listFile(false, QStringLiteral(".sig"));
    server.addFault(sig, Fault::Corrupted, -1);
    const UpdateScenario::Run run = scenario.runUpdaterStep(UpdateScenario::Watcher(), 300000);
    verifyOutcome(scenario, run, Outcome::Canceled);
    QVERIFY(run.messages.contains(QStringLiteral("Could not verify the product ini file. Aborting")));
    QCOMPARE(server.requestCount(sig), 1001);
    verifyNewRunRecovers(scenario, server);
    verifyNoSession(scenario);
}

// ---------------------------------------------------------------------------------------------
// Cancel at each step

void UpdateFaultTest::cancelAtEachStep_data()
{
    QTest::addColumn<bool>("clientStep");
    QTest::addColumn<QString>("stepMessage");

    QTest::newRow("updater step: product list") << false << "Download / check product ini";
    QTest::newRow("updater step: list building") << false << "Compiling download and replace list";
    QTest::newRow("updater step: downloads") << false << "Downloading files";
    QTest::newRow("updater step: new updater") << false << "Patching ";
    QTest::newRow("client step: product list") << true << "Download / check product ini";
    QTest::newRow("client step: list building") << true << "Compiling download and replace list";
    QTest::newRow("client step: downloads") << true << "Downloading files";
    QTest::newRow("client step: replacing") << true << "Starting file updates";
    QTest::newRow("client step: deleting") << true << "Starting deleting files";
}

void UpdateFaultTest::cancelAtEachStep()
{
    QFETCH(bool, clientStep);
    QFETCH(QString, stepMessage);

    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    if (clientStep)
        runCleanUpdaterStep(scenario);
    if (QTest::currentTestFailed())
        return;
    const UpdateScenario::Watcher cancel = UpdateScenario::cancelOn(stepMessage);
    const UpdateScenario::Run run = clientStep ? scenario.runClientStep(cancel) : scenario.runUpdaterStep(cancel);
    QVERIFY2(run.messages.filter(stepMessage).size() > 0, qPrintable(joined(run.messages)));
    // Once the files are replaced the update is final: a cancel while obsolete files are
    // deleted is let pass and the run ends as the new version.
    const bool deleting = stepMessage.startsWith(QLatin1String("Starting deleting"));
    QCOMPARE(run.messages.contains(QStringLiteral("User aborted update")), !deleting);
    verifyOutcome(scenario, run, deleting ? Outcome::Finished : Outcome::Canceled);
    if (QTest::currentTestFailed() || deleting)
        return;
    verifyNewRunRecovers(scenario, server);
    if (QTest::currentTestFailed())
        return;
    verifyNoSession(scenario);
}

// ---------------------------------------------------------------------------------------------
// SIGKILL of the real program at each step

void UpdateFaultTest::killAtEachStep_data()
{
    QTest::addColumn<bool>("clientStep");
    QTest::addColumn<QString>("point");
    QTest::addColumn<bool>("resume");

    // After a kill the new run starts again from the installed updater; a killed client step is
    // also resumed by its own session's updater (the hand-over repeated).
    QTest::newRow("updater step: product list") << false << "list" << false;
    QTest::newRow("updater step: list check") << false << "check" << false;
    QTest::newRow("updater step: downloads") << false << "download" << false;
    QTest::newRow("updater step: new updater") << false << "build" << false;
    QTest::newRow("updater step: after clean-up") << false << "done" << false;
    for (bool resume : {false, true}) {
        const char* how = resume ? ", resumed" : "";
        QTest::addRow("client step: product list%s", how) << true << "list" << resume;
        QTest::addRow("client step: list check%s", how) << true << "check" << resume;
        QTest::addRow("client step: downloads%s", how) << true << "download" << resume;
        QTest::addRow("client step: replacing%s", how) << true << "replace" << resume;
        QTest::addRow("client step: deleting%s", how) << true << "delete" << resume;
    }
}

void UpdateFaultTest::killAtEachStep()
{
    QFETCH(bool, clientStep);
    QFETCH(QString, point);
    QFETCH(bool, resume);

    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    setUpScenario(scenario, server);
    if (clientStep)
        runCleanUpdaterStep(scenario);
    if (QTest::currentTestFailed())
        return;
    // The moment to kill, polled while the program runs.
    std::function<bool()> now;
    const QString sessionRecord = scenario.contents() + QStringLiteral("/SharedSupport/update.ini");
    bool recordSeen = false;
    if (point == QLatin1String("list") || point == QLatin1String("download")) {
        const QString file = targetFile(clientStep, point == QLatin1String("list") ? Target::List : Target::Container);
        QVERIFY(!file.isEmpty());
        server.addFault(file, Fault::Stall, 1);
        now = [&server, file]() { return server.requestCount(file) > 0; };
    } else if (point == QLatin1String("check")) {
        // The unpacked list appears before its signature is checked and the lists are built.
        const QString list = clientStep ? kClientList : kUpdaterList;
        now = [&scenario, list]() { return !scenario.sessionHolding(list).isEmpty(); };
    } else if (point == QLatin1String("build")) {
        // The patched library appears in the new updater's tree once the build step runs.
        now = [&scenario]() { return !scenario.sessionHolding(QStringLiteral("Frameworks/libQt5Core.dylib")).isEmpty(); };
    } else if (point == QLatin1String("done")) {
        now = [&recordSeen, sessionRecord]() {
            if (QFileInfo::exists(sessionRecord)) {
                recordSeen = true;
                return false;
            }
            return recordSeen;
        };
    } else if (point == QLatin1String("replace")) {
        // Once a file is in place its original waits beside it until the step is final.
        now = [&scenario]() {
            return !scenario.bundleLeftovers().filter(QStringLiteral("._vxold_")).isEmpty();
        };
    } else {
        const QString deleted = scenario.contents() + QStringLiteral("/Resources/countries.txt");
        QVERIFY(QFileInfo::exists(deleted));
        now = [deleted]() { return !QFileInfo::exists(deleted); };
    }

    QProcess program;
    QString error;
    QVERIFY2(scenario.startProgram(&program, clientStep, &error), qPrintable(error));
    QElapsedTimer clock;
    clock.start();
    bool killed = false;
    while (clock.elapsed() < 60000 && program.state() == QProcess::Running) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (now()) {
            ::kill(pid_t(program.processId()), SIGKILL);
            killed = true;
            break;
        }
        QThread::usleep(200);
    }
    if (!killed)
        program.kill();
    program.waitForFinished(10000);
    QVERIFY2(killed, "the program ended or stalled before the step was reached");
    // Killed before its hand-over: nothing was started and nothing of it runs on.
    const QStringList left = scenario.endLeftoverUpdaters();
    QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("updaters still running: ") + left.join(QStringLiteral("; "))));
    QCOMPARE(scenario.clientStarts(), 0);
    server.clearFaults();
    server.http().releaseStalled();

    // The bundle is N, N+1 or on its way; a new run brings it to N+1 and leaves nothing behind,
    // also nothing of the files a killed step was unpacking, patching or moving.
    bool recovered = false;
    verifyNewRunRecovers(scenario, server, nullptr, nullptr, &recovered, resume);
    if (QTest::currentTestFailed() || !recovered)
        return;
    verifyNoSession(scenario);
}

QTEST_MAIN(UpdateFaultTest)
#include "updatefaulttest.moc"
