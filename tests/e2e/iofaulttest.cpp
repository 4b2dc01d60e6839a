// Storage faults in the real two-step update.  The I/O fault injector (tests/tools/iofault) is
// preloaded into every updater program of a run and fails one call of a kind (write, create,
// rename, mkdir, sync, chmod, unlink, link, read) on chosen paths with ENOSPC, EIO, EROFS or
// EDQUOT, once or for good; its counter is shared by both steps and all their threads.  A clean
// run in record mode first counts the calls per kind and path, from which the rows are chosen.
//
// Every row: the whole update with the fault must leave the bundle exactly N or exactly N+1 (N+1
// plus obsolete files whose deletion failed counts as N+1, and so do originals kept aside and the
// session record when every removal keeps failing; a file system that refuses everything mid-replacement may leave
// each name at either version, none missing), report a failure as one (a box or an exit status
// other than 0; success only with the bundle at N+1) and end within the deadline (a stall is a
// failure).  A clean run must then reach N+1 without putting back the originals of an update
// that reported success, and leave nothing in the temp folder.
//
// Test functions:
//   findings       named rows for faults that once went wrong
//   sample         the CI sample: calls on the bundle and on the session records, and a few of
//                  the rest (VX_IOFAULT_SHARD="<i>/<n>" takes every n-th row from the i-th)
//   sweep          every counted call of every kind on every path class, once and for good
//                  (only when VX_IOFAULT_SWEEP=1; tests/e2e/iofaultsweep.sh runs it in shards)
//   smallFileSystems  the bundle or the temp folder on a small full tmpfs, or the bundle's file
//                  system remounted read-only in step two (needs a private mount namespace)
//   releaseAndRecord  builds the release and makes the record run (the group's set-up entry)
//   durableOrder   a clean update's recorded calls: new content synced before it takes its name,
//                  folders synced before the step commits and before the originals go
//
// The clean run after a row runs both steps in this process (the same engine, without the
// program's waits); VX_IOFAULT_REAL_CLEAN=1 runs the real programs instead.
// VX_IOFAULT_LIST=1 lists the rows (each skipped, with the call it hits in the record run).
// VX_IOFAULT_BUILD names a build folder whose src/update is tested instead of this build's.
// VX_IOFAULT_TABLE names a file to which every row appends one tab-separated line of its outcome.
// VX_IOFAULT_KEEP=1 keeps the scenarios' folders (the record run's log is its iofault/calls.log).

#include "common/bundlegenerator.h"
#include "common/durableorder.h"
#include "common/iofaultinjector.h"
#include "common/realupdaterun.h"
#include "common/treesnapshot.h"
#include "common/updatescenario.h"

#include "banner.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const int kOldVersion = 11;
using Call = IoFaultInjector::Call;

// Set by main() before anything else runs: why this process has no private mount namespace.
QString g_mountNamespaceRefusal = QStringLiteral("not tried");

// The path classes rows are chosen by.
const QStringList kClasses{QStringLiteral("bundle"), QStringLiteral("records"), QStringLiteral("session"),
                           QStringLiteral("temp"), QStringLiteral("config")};

QStringList classPatterns(const UpdateScenario& scenario, const QString& cls)
{
    if (cls == QLatin1String("bundle"))
        return {scenario.bundle()};
    if (cls == QLatin1String("records"))
        // Every copy of the session record, its lock, the temporary files its writers make and
        // the unnamed files (O_TMPFILE) written beside it.
        return {QStringLiteral("*update.ini*"), scenario.contents() + QStringLiteral("/SharedSupport/#*"),
                scenario.tmp() + QStringLiteral("/voxtrel_temp_*/SharedSupport/#*")};
    if (cls == QLatin1String("session"))
        return {scenario.tmp() + QStringLiteral("/voxtrel_temp_*")};
    if (cls == QLatin1String("temp"))
        return {scenario.tmp()};
    if (cls == QLatin1String("config"))
        return {scenario.root() + QStringLiteral("/config")};
    return {};
}

bool callMatches(const Call& call, const QStringList& patterns)
{
    return IoFaultInjector::matches(call.path, patterns)
        || (!call.path2.isEmpty() && IoFaultInjector::matches(call.path2, patterns));
}

QString relativeTo(const UpdateScenario& scenario, const QString& path)
{
    return path.startsWith(scenario.root()) ? path.mid(scenario.root().size() + 1) : path;
}

// What a row does: the fault and the class of paths it is counted on.
struct Row
{
    IoFaultInjector::Fault fault;
    QString cls;
    QString seen; // the path the call had in the record run (a hint: threads may reorder)
};

// The state of a bundle against the two versions.
enum class BundleState
{
    Old,
    New,
    NewWithObsolete, // N+1 plus files of N whose deletion failed
    NewWithLeftovers, // N+1 plus what the update failed to remove: originals kept aside
                      // ("<name>._vxold_" with N's content), the session record, obsolete files
    Mixed,           // every name of N or N+1 holds one of its versions; the update's own
                     // leftovers beside them
    Neither
};

QString stateName(BundleState state)
{
    switch (state) {
    case BundleState::Old:
        return QStringLiteral("old");
    case BundleState::New:
        return QStringLiteral("new");
    case BundleState::NewWithObsolete:
        return QStringLiteral("new+obsolete");
    case BundleState::NewWithLeftovers:
        return QStringLiteral("new+leftovers");
    case BundleState::Mixed:
        return QStringLiteral("mixed");
    case BundleState::Neither:
        return QStringLiteral("neither");
    }
    return QString();
}

QString joined(const QStringList& lines)
{
    return lines.join(QStringLiteral("\n  "));
}

// The engine's debug lines (of the clean runs in this process) would bury the test's own output.
QtMessageHandler g_testHandler = nullptr;
void dropDebugLines(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtDebugMsg && g_testHandler)
        g_testHandler(type, context, text);
}
} // namespace

Q_DECLARE_METATYPE(Row)

// Hooks of a row around its faulty run (small file systems).
struct Stage
{
    std::function<void(UpdateScenario&)> beforeRun;   // after the scenario is set up
    std::function<void()> tick;                       // while the faulty run lasts
    std::function<void(UpdateScenario&)> beforeClean; // before the clean run
    std::function<bool()> faultHappened;              // for rows without the injector
    bool mixedAllowed = false; // a file system that refuses everything: the rollback cannot
                               // undo, but every name must hold one of its versions
};

class IoFaultTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    UpdateRelease m_Release;
    QString m_Injector;
    QString m_ProbeDir;
    int m_Scenarios = 0;
    // The record run: its calls (paths relative to its scenario root) and its length.
    QList<Call> m_Recorded;
    std::unique_ptr<UpdateScenario> m_RecordScenario;
    qint64 m_CleanMs = 0;

    QString newScenarioRoot() { return m_Dir->filePath(QStringLiteral("s%1").arg(++m_Scenarios)); }

    // A run with a stall costs a lock's 30-second wait: a deadline that a clean run meets with
    // room to spare but a stall never does.
    int deadlineMs() const { return int(qMax<qint64>(m_CleanMs + 20000, 2 * m_CleanMs)); }

    // The recorded calls of a kind on a path class, in order.
    QList<Call> recordedCalls(const QString& kind, const QString& cls) const
    {
        const QStringList patterns = classPatterns(*m_RecordScenario, cls);
        QList<Call> out;
        for (const Call& call : m_Recorded) {
            if (call.kind == kind && callMatches(call, patterns))
                out << call;
        }
        return out;
    }

    // The name the file of a recorded call ends up with: its path, followed through the renames
    // the same process makes of it afterwards and the links that give an unnamed (O_TMPFILE) file
    // its name.  A record's content written under a temporary name thus counts as written to the
    // record, whichever way its writer puts it in place.
    QString finalName(const Call& call) const
    {
        QString name = call.path;
        for (const Call& later : m_Recorded) {
            if (later.seq <= call.seq || later.pid != call.pid || !later.ok() || later.path != name
                || later.path2.isEmpty())
                continue;
            if (later.kind == QLatin1String("rename")
                || (later.kind == QLatin1String("link") && QFileInfo(name).fileName().startsWith(QLatin1Char('#'))))
                name = later.path2;
        }
        return name;
    }

    // The row failing the first recorded call of the kind on the class that pick accepts; nth 0
    // when there is none.  last: the last such call.
    Row rowWhere(const QString& kind, const QString& cls, const QString& error, bool forGood,
                 const std::function<bool(const Call&)>& pick, bool last = false) const
    {
        const QList<Call> calls = recordedCalls(kind, cls);
        Row row;
        row.cls = cls;
        row.fault.kind = kind;
        row.fault.error = error;
        row.fault.forGood = forGood;
        for (int i = 0; i < calls.size(); ++i) {
            const Call& call = calls.at(i);
            if (!pick(call))
                continue;
            row.fault.nth = i + 1;
            row.seen = relativeTo(*m_RecordScenario, call.path)
                + (call.path2.isEmpty() ? QString() : QStringLiteral(" -> ") + relativeTo(*m_RecordScenario, call.path2));
            if (!last)
                break;
        }
        return row;
    }

    // The same for the calls whose "<path>\t<path2>" matches the expression (of the process pid
    // when given).
    Row rowFor(const QString& kind, const QString& cls, const QString& expression, const QString& error,
               bool forGood, bool last = false, qint64 pid = 0) const
    {
        const QRegularExpression re(expression);
        return rowWhere(kind, cls, error, forGood, [&](const Call& call) {
            return (!pid || call.pid == pid) && re.match(call.path + QLatin1Char('\t') + call.path2).hasMatch();
        }, last);
    }

    static QString rowName(const Row& row)
    {
        return QStringLiteral("%1 #%2 on %3, %4 %5")
            .arg(row.fault.kind)
            .arg(row.fault.nth)
            .arg(row.cls, row.fault.error, row.fault.forGood ? QStringLiteral("for good") : QStringLiteral("once"));
    }

    static void addRow(const Row& row, const QString& label = QString())
    {
        const QString name = label.isEmpty() ? rowName(row) : label + QStringLiteral(" (") + rowName(row) + QLatin1Char(')');
        QTest::newRow(qPrintable(name)) << row;
    }

    BundleState bundleState(const UpdateScenario& scenario, QStringList* differences) const
    {
        const QStringList toNew = scenario.differencesFrom(m_Release.newTree(), false);
        if (toNew.isEmpty())
            return BundleState::New;
        // Entries only the bundle has that are N's, unchanged: obsolete files left.
        const TreeSnapshot now = TreeSnapshot::take(scenario.bundle());
        static const QString aside = QStringLiteral("._vxold_");
        bool onlyLeft = true;
        bool leftovers = false;
        for (const QString& line : toNew) {
            const QString path = line.section(QStringLiteral(": "), 0, 0);
            const QString original = path.endsWith(aside) ? path.left(path.size() - aside.size()) : QString();
            const bool obsolete = m_Release.oldTree().contains(path) && m_Release.oldTree().node(path) == now.node(path);
            const bool keptAside = !original.isEmpty() && m_Release.newTree().contains(original)
                && m_Release.oldTree().contains(original) && m_Release.oldTree().node(original) == now.node(path);
            const bool record = path == QLatin1String("Contents/SharedSupport/update.ini");
            if (!line.endsWith(QLatin1String(": only in the second tree")) || !(obsolete || keptAside || record)) {
                onlyLeft = false;
                break;
            }
            leftovers = leftovers || keptAside || record;
        }
        if (onlyLeft)
            return leftovers ? BundleState::NewWithLeftovers : BundleState::NewWithObsolete;
        const QStringList toOld = scenario.differencesFrom(m_Release.oldTree(), true);
        if (toOld.isEmpty())
            return BundleState::Old;
        *differences = QStringList{QStringLiteral("against N+1:")} + toNew.mid(0, 12)
            + QStringList{QStringLiteral("against N:")} + toOld.mid(0, 12);
        // Name by name: each holds its old or its new version (or is one of N's that N+1 drops,
        // or a new one not there yet), and whatever else there is is the update's own.
        static const QRegularExpression leftover(QStringLiteral("(\\._vxnew_|\\._vxold_|\\.part)$"));
        QStringList wrong;
        QSet<QString> names;
        for (const QString& name : m_Release.oldTree().nodes().keys() + m_Release.newTree().nodes().keys() + now.nodes().keys())
            names.insert(name);
        for (const QString& name : qAsConst(names)) {
            const bool inOld = m_Release.oldTree().contains(name);
            const bool inNew = m_Release.newTree().contains(name);
            if (name == QLatin1String("Contents/SharedSupport/update.ini"))
                continue;
            if (!now.contains(name)) {
                if (inOld && inNew)
                    wrong << name + QStringLiteral(": missing");
                continue;
            }
            if (!inOld && !inNew) {
                if (!leftover.match(name).hasMatch() && now.node(name).kind != TreeSnapshot::Node::Dir)
                    wrong << name + QStringLiteral(": neither version's");
                continue;
            }
            if ((inOld && m_Release.oldTree().node(name) == now.node(name))
                || (inNew && m_Release.newTree().node(name) == now.node(name)))
                continue;
            if (now.node(name).kind == TreeSnapshot::Node::Dir)
                continue;
            wrong << name + QStringLiteral(": neither version's content");
        }
        if (wrong.isEmpty())
            return BundleState::Mixed;
        *differences = QStringList{QStringLiteral("by name:")} + wrong + *differences;
        return BundleState::Neither;
    }

    // What an update session may never leave in the temp folder once an update has finished.
    static QStringList tempLeftovers(const UpdateScenario& scenario)
    {
        static const QRegularExpression names(
            QStringLiteral("^(voxtrel_temp_.*|voxtrel_removing_.*|update\\.ini\\..*|vx3clientupdateargs)$"));
        QStringList out;
        for (const QString& name : QDir(scenario.tmp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                                  | QDir::NoDotAndDotDot)) {
            if (names.match(name).hasMatch())
                out << name;
        }
        return out;
    }

    void appendTable(const QStringList& fields) const
    {
        const QString table = QString::fromLocal8Bit(qgetenv("VX_IOFAULT_TABLE"));
        if (table.isEmpty())
            return;
        QFile file(table);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(fields.join(QLatin1Char('\t')).toUtf8() + '\n');
    }

    QString updaterBinary() const
    {
        const QString build = QString::fromLocal8Bit(qgetenv("VX_IOFAULT_BUILD"));
        return build.isEmpty() ? QStringLiteral(VX_UPDATE_BINARY) : QDir(build).filePath(QStringLiteral("src/update"));
    }

    void runRow(const Row& row, const Stage& stage = Stage());

private slots:
    void initTestCase();
    // The release and the record run: the set-up entry of the group.
    void releaseAndRecord();

    void findings_data();
    void findings();
    void sample_data();
    void sample();
    void sweep_data();
    void sweep();
    void smallFileSystems_data();
    void smallFileSystems();
    void durableOrder();
};

void IoFaultTest::initTestCase()
{
    g_testHandler = qInstallMessageHandler(dropDebugLines);
    m_Dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Dir->isValid());
    if (qEnvironmentVariableIsSet("VX_IOFAULT_KEEP")) {
        m_Dir->setAutoRemove(false);
        qInfo().noquote() << "scenarios kept in" << m_Dir->path();
    }
    m_Injector = QStringLiteral(VX_IOFAULT_LIBRARY);
    m_ProbeDir = QStringLiteral(VX_PROBE_PLUGIN_DIR);
    QVERIFY2(QFileInfo(m_Injector).isFile(), qPrintable(m_Injector));
    QVERIFY2(QFileInfo(updaterBinary()).isExecutable(), qPrintable(updaterBinary()));
    QVERIFY2(RealUpdateRun::becomeSubreaper(), "cannot become the subreaper of the updaters");

    // Entries share a release made by the first (with the same updater program).
    const QString shared = QString::fromLocal8Bit(qgetenv("VX_E2E_RELEASE_DIR"));
    const QString releaseRoot = shared.isEmpty() ? m_Dir->filePath(QStringLiteral("release")) : shared;
    QString error;
    if (shared.isEmpty() || qEnvironmentVariableIsSet("VX_E2E_RELEASE_BUILD"))
        QVERIFY2(m_Release.build(releaseRoot, updaterBinary(), kOldVersion, &error), qPrintable(error));
    else
        QVERIFY2(m_Release.open(releaseRoot, kOldVersion, &error), qPrintable(error));

    // A clean update in record mode: what the rows are chosen from.
    UpdateImageServer server(m_Release.servedRoot());
    m_RecordScenario = std::make_unique<UpdateScenario>(m_Release, newScenarioRoot());
    QVERIFY2(m_RecordScenario->setUp(server.baseUrl(), &error), qPrintable(error));
    IoFaultInjector injector(m_Injector, m_RecordScenario->root() + QStringLiteral("/iofault"));
    QVERIFY(injector.reset());
    RealUpdateRun runner(*m_RecordScenario, m_ProbeDir);
    const RealUpdateRun::Result run = runner.run(injector.environment(QStringLiteral("update"), {}, true), 180000);
    QVERIFY2(run.error.isEmpty(), qPrintable(run.error));
    QVERIFY2(run.reportedSuccess(), qPrintable(QStringLiteral("clean run: exits %1, boxes:\n  %2")
                                                    .arg(QString::number(run.updaterExits.size()), joined(run.boxes))));
    QVERIFY2(m_RecordScenario->differencesFrom(m_Release.newTree(), false).isEmpty(), "clean run did not reach N+1");
    m_CleanMs = run.elapsedMs;
    m_Recorded = injector.calls();
    QVERIFY(!m_Recorded.isEmpty());

    QStringList counts;
    for (const QString& cls : kClasses) {
        QStringList line;
        for (const QString& kind : IoFaultInjector::kinds())
            line << QStringLiteral("%1 %2").arg(kind).arg(recordedCalls(kind, cls).size());
        counts << cls + QStringLiteral(": ") + line.join(QStringLiteral(", "));
    }
    qInfo().noquote() << "clean update" << m_CleanMs << "ms; calls per kind:\n " << joined(counts);
}

void IoFaultTest::releaseAndRecord()
{
    QVERIFY(!m_Recorded.isEmpty());
    QVERIFY(m_CleanMs > 0);
}

// Runs the update with the row's fault, then a clean one; see the file's head for what must hold.
void IoFaultTest::runRow(const Row& row, const Stage& stage)
{
    QVERIFY2(row.fault.nth > 0 || stage.faultHappened, "no such call in the record run");
    if (qEnvironmentVariableIsSet("VX_IOFAULT_LIST"))
        QSKIP(qPrintable(QStringLiteral("listed only; the call in the record run: ") + row.seen));
    UpdateImageServer server(m_Release.servedRoot());
    UpdateScenario scenario(m_Release, newScenarioRoot());
    QString error;
    QVERIFY2(scenario.setUp(server.baseUrl(), &error), qPrintable(error));
    if (stage.beforeRun)
        stage.beforeRun(scenario);
    if (QTest::currentTestFailed())
        return;

    IoFaultInjector::Fault fault = row.fault;
    fault.paths = classPatterns(scenario, row.cls);
    IoFaultInjector injector(m_Injector, scenario.root() + QStringLiteral("/iofault"));
    QVERIFY(injector.reset());
    RealUpdateRun runner(scenario, m_ProbeDir);
    runner.setTick(stage.tick);
    const QStringList environment =
        row.fault.nth > 0 ? injector.environment(QStringLiteral("update"), fault, false) : QStringList();
    const RealUpdateRun::Result run = runner.run(environment, deadlineMs());
    QVERIFY2(run.error.isEmpty(), qPrintable(run.error));
    const bool happened = stage.faultHappened ? stage.faultHappened() : injector.injected() > 0;

    QStringList differences;
    const BundleState state = bundleState(scenario, &differences);
    const QString reported = run.timedOut ? QStringLiteral("stall")
        : run.reportedSuccess()           ? QStringLiteral("success")
        : run.reportedFailure()           ? QStringLiteral("failure")
                                          : QStringLiteral("nothing");
    QStringList exits;
    for (int code : run.updaterExits)
        exits << QString::number(code);

    QString verdict;
    if (!happened)
        verdict = QStringLiteral("fault never reached");
    else if (run.timedOut)
        verdict = QStringLiteral("stalled past %1 s").arg(deadlineMs() / 1000);
    else if (state == BundleState::Neither || (state == BundleState::Mixed && !stage.mixedAllowed))
        verdict = state == BundleState::Mixed ? QStringLiteral("bundle mixes N and N+1")
                                              : QStringLiteral("bundle is neither N nor N+1");
    else if (reported == QLatin1String("nothing"))
        verdict = QStringLiteral("neither success nor failure reported");
    else if (reported == QLatin1String("success") && state == BundleState::Old)
        verdict = QStringLiteral("success reported with the bundle at N");
    // Originals kept aside and the session record may stay only where every removal keeps
    // failing (a file system that refuses everything from after the commit on, too); a single
    // failure is tried again or fails the step.
    else if (state == BundleState::NewWithLeftovers
             && !(row.fault.kind == QLatin1String("unlink") && row.fault.forGood) && !stage.mixedAllowed)
        verdict = QStringLiteral("originals kept aside or the session record left in the bundle");
    else if (reported == QLatin1String("failure") && run.clientStarts > 0 && state == BundleState::Old)
        verdict = QStringLiteral("client started with the bundle at N after a failure");

    // The clean run.
    QString cleanVerdict;
    QStringList cleanLeft;
    if (stage.beforeClean)
        stage.beforeClean(scenario);
    {
        // The real programs, or (quicker, the same engine) both steps in this process.
        bool cleanStalled = false;
        bool cleanSucceeded = false;
        QString cleanRestored;
        QString cleanSaid;
        if (qgetenv("VX_IOFAULT_REAL_CLEAN") == "1") {
            RealUpdateRun cleanRunner(scenario, m_ProbeDir);
            const RealUpdateRun::Result clean = cleanRunner.run(QStringList(), deadlineMs());
            cleanStalled = clean.timedOut;
            cleanSucceeded = clean.reportedSuccess();
            cleanSaid = clean.boxes.join(QStringLiteral("; "));
        } else {
            const UpdateScenario::Run clean = scenario.runBothSteps(UpdateScenario::Watcher(), deadlineMs());
            // The originals of an update that reported success belong to a committed session:
            // putting them back would undo it.
            const QStringList restored = clean.messages.filter(QStringLiteral("files of an interrupted update"));
            if (reported == QLatin1String("success") && !restored.isEmpty())
                cleanRestored = restored.first();
            cleanStalled = clean.outcome == UpdateScenario::Outcome::TimedOut;
            cleanSucceeded = clean.outcome == UpdateScenario::Outcome::Finished && clean.fatal.isEmpty();
            cleanSaid = (clean.fatal + clean.messages.mid(clean.messages.size() - 3)).join(QStringLiteral("; "));
        }
        QStringList cleanDifferences;
        const BundleState cleanState = bundleState(scenario, &cleanDifferences);
        cleanLeft = tempLeftovers(scenario) + scenario.bundleLeftovers();
        if (cleanStalled)
            cleanVerdict = QStringLiteral("clean run stalled");
        else if (!cleanSucceeded)
            cleanVerdict = QStringLiteral("clean run failed (%1)").arg(cleanSaid);
        else if (!cleanRestored.isEmpty())
            cleanVerdict = QStringLiteral("the clean run undid the committed update: ") + cleanRestored;
        else if (cleanState != BundleState::New)
            cleanVerdict = QStringLiteral("clean run left the bundle %1").arg(stateName(cleanState));
        else if (!cleanLeft.isEmpty())
            cleanVerdict = QStringLiteral("left after the clean run: ") + cleanLeft.join(QStringLiteral(", "));
    }

    appendTable({QTest::currentDataTag(), row.seen, QString::number(injector.injected()), reported,
                 exits.join(QLatin1Char(',')), QString::number(run.boxes.size()), QString::number(run.elapsedMs),
                 stateName(state), verdict.isEmpty() && cleanVerdict.isEmpty() ? QStringLiteral("PASS") : QStringLiteral("FAIL"),
                 QStringList{verdict, cleanVerdict}.join(QStringLiteral("; "))});

    const QString story = QStringLiteral("fault at %1 (failed %2 times); reported %3 after %4 ms, exits [%5], "
                                         "boxes:\n  %6\nbundle %7\n  %8")
                              .arg(row.seen)
                              .arg(injector.injected())
                              .arg(reported)
                              .arg(run.elapsedMs)
                              .arg(exits.join(QLatin1Char(',')), joined(run.boxes), stateName(state),
                                   joined(differences));
    // QtTest shortens long failure texts: the whole story goes to the log first.
    if (!verdict.isEmpty() || !cleanVerdict.isEmpty())
        qInfo().noquote() << story;
    QVERIFY2(verdict.isEmpty(), qPrintable(verdict + QStringLiteral(": ") + story));
    QVERIFY2(cleanVerdict.isEmpty(), qPrintable(cleanVerdict + QStringLiteral("; faulty run: ") + story));
}

// ---------------------------------------------------------------------------------------------
// Rows

void IoFaultTest::findings_data()
{
    QTest::addColumn<Row>("row");
    // The record rows name the record a write goes to by the name its file ends up with
    // (finalName): QSettings' unnamed file linked in, a temporary name renamed over the record...
    const QRegularExpression sessionRecord(QStringLiteral("/voxtrel_temp_[0-9]+/SharedSupport/update\\.ini$"));
    const QRegularExpression bundleRecord(QStringLiteral("/Contents/SharedSupport/update\\.ini$"));
    const QRegularExpression privateCopy(QStringLiteral("/update\\.ini\\.[^/]+/update\\.ini$"));
    // The updater step's program: the first process of the record; the client step's: the others.
    const qint64 stepOne = m_Recorded.isEmpty() ? 0 : m_Recorded.first().pid;
    // The calls whose file ends up with the name, of step (1 or 2; 0: either).
    auto becomes = [this, stepOne](const QRegularExpression& name, int step) {
        return [this, name, step, stepOne](const Call& call) {
            return (step == 0 || (step == 1) == (call.pid == stepOne)) && name.match(finalName(call)).hasMatch();
        };
    };
    const QString write = QStringLiteral("write");
    const QString records = QStringLiteral("records");
    // Every copy of the session record: the session's own (first and last write of step one),
    // the bundle's, the private copy the bundle's is edited in, and the session's as step two
    // rewrites it.
    addRow(rowWhere(write, records, QStringLiteral("ENOSPC"), false, becomes(sessionRecord, 1)),
           QStringLiteral("session record write fails"));
    addRow(rowWhere(write, records, QStringLiteral("EIO"), false, becomes(sessionRecord, 1), true),
           QStringLiteral("last session record write of step one fails"));
    addRow(rowWhere(write, records, QStringLiteral("EDQUOT"), false, becomes(bundleRecord, 0)),
           QStringLiteral("bundle record write fails"));
    addRow(rowWhere(write, records, QStringLiteral("EIO"), false, becomes(privateCopy, 0)),
           QStringLiteral("private record copy write fails"));
    addRow(rowWhere(write, records, QStringLiteral("ENOSPC"), false, becomes(sessionRecord, 2)),
           QStringLiteral("session record write of step two fails"));
    // Qt's lock file of the settings object that writes the session's record in step one: beside
    // the record, or where the record is edited in a private copy, beside that copy (the last
    // lock step one removes before it writes the session's record).
    Row lock = rowFor(QStringLiteral("unlink"), records,
                      QStringLiteral("/voxtrel_temp_[0-9]+/SharedSupport/update\\.ini\\.lock\t"), QStringLiteral("EIO"),
                      false, false, stepOne);
    if (lock.fault.nth == 0) {
        const QList<Call> writes = recordedCalls(write, records);
        const auto first = std::find_if(writes.begin(), writes.end(), becomes(sessionRecord, 1));
        const qint64 before = first == writes.end() ? 0 : first->seq;
        lock = rowWhere(QStringLiteral("unlink"), records, QStringLiteral("EIO"), false,
                        [&](const Call& call) {
                            return call.pid == stepOne && call.seq < before
                                && call.path.endsWith(QLatin1String("/update.ini.lock"));
                        },
                        true);
    }
    addRow(lock, QStringLiteral("session record lock unlink fails"));
    // The commit removes the originals moved aside.
    addRow(rowFor(QStringLiteral("unlink"), QStringLiteral("bundle"), QStringLiteral("\\._vxold_\t"), QStringLiteral("EIO"),
                  false),
           QStringLiteral("aside removal at the commit fails"));
    // The new file's move into place refused, and every rename after it (the rollback's too).
    addRow(rowFor(QStringLiteral("rename"), QStringLiteral("bundle"), QStringLiteral("\\._vxnew_\t"), QStringLiteral("EROFS"),
                  true),
           QStringLiteral("renames refused from a move into place on"));
    addRow(rowFor(QStringLiteral("chmod"), QStringLiteral("session"), QStringLiteral("/voxtrel_temp_[0-9]+\t"),
                  QStringLiteral("EIO"), false),
           QStringLiteral("session folder mode fails"));
}

void IoFaultTest::findings()
{
    QFETCH(Row, row);
    runRow(row);
}

// What a path is to the update, by its name: the rows of the sample are chosen by it.
static QString pathShape(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    if (path.isEmpty())
        return QString();
    if (name.endsWith(QLatin1String("._vxnew_")))
        return QStringLiteral("new");
    if (name.endsWith(QLatin1String("._vxold_")))
        return QStringLiteral("aside");
    if (name.endsWith(QLatin1String(".part")))
        return QStringLiteral("partial");
    if (name.startsWith(QLatin1Char('#')))
        return QStringLiteral("unnamed");
    if (name == QLatin1String("update.ini.lock"))
        return QStringLiteral("lock");
    if (name == QLatin1String("update.ini"))
        return path.contains(QLatin1String("/voxtrel_temp_")) ? QStringLiteral("session record")
            : path.contains(QLatin1String("/update.ini.")) ? QStringLiteral("record copy")
                                                            : QStringLiteral("record");
    if (name.startsWith(QLatin1String("update.ini.")))
        return QStringLiteral("record temp");
    return QStringLiteral("file");
}

// The sample: on the bundle and on the records, the first call of every kind for every shape of
// path (a new file, an original moved aside, a partial output, a record, its lock, its temporary
// files...) in each step, every errno in turn and alternately once and for good; on the session
// and the rest of the temp folder one call of the kinds that change it.
void IoFaultTest::sample_data()
{
    QTest::addColumn<Row>("row");
    const QStringList errors{QStringLiteral("ENOSPC"), QStringLiteral("EIO"), QStringLiteral("EROFS"),
                             QStringLiteral("EDQUOT")};
    QList<Row> rows;
    int turn = 0;
    auto add = [&](const QString& cls, const QString& kind, int nth, const Call& call) {
        Row row;
        row.cls = cls;
        row.fault.kind = kind;
        row.fault.nth = nth;
        row.fault.error = errors.at(turn % errors.size());
        row.fault.forGood = (turn / errors.size()) % 2 == 1;
        row.seen = relativeTo(*m_RecordScenario, call.path)
            + (call.path2.isEmpty() ? QString() : QStringLiteral(" -> ") + relativeTo(*m_RecordScenario, call.path2));
        rows << row;
        ++turn;
    };
    for (const QString& cls : {QStringLiteral("bundle"), QStringLiteral("records")}) {
        for (const QString& kind : IoFaultInjector::kinds()) {
            if (kind == QLatin1String("read") && cls == QLatin1String("records"))
                continue;
            const QList<Call> calls = recordedCalls(kind, cls);
            QSet<QString> shapes;
            for (int i = 0; i < calls.size(); ++i) {
                const Call& call = calls.at(i);
                const QString shape = QString::number(call.pid) + pathShape(call.path) + QLatin1Char('>')
                    + pathShape(call.path2);
                if (shapes.contains(shape))
                    continue;
                shapes.insert(shape);
                add(cls, kind, i + 1, call);
            }
        }
    }
    for (const QString& cls : {QStringLiteral("session"), QStringLiteral("temp")}) {
        for (const QString& kind : {QStringLiteral("write"), QStringLiteral("create"), QStringLiteral("rename"),
                                    QStringLiteral("mkdir"), QStringLiteral("unlink")}) {
            const QList<Call> calls = recordedCalls(kind, cls);
            if (!calls.isEmpty())
                add(cls, kind, 1 + calls.size() / 2, calls.at(calls.size() / 2));
        }
    }
    const QStringList shard = QString::fromLocal8Bit(qgetenv("VX_IOFAULT_SHARD")).split(QLatin1Char('/'));
    const int index = shard.size() == 2 ? shard.at(0).toInt() : 0;
    const int count = shard.size() == 2 ? qMax(1, shard.at(1).toInt()) : 1;
    for (int i = 0; i < rows.size(); ++i) {
        if (i % count == index)
            addRow(rows.at(i));
    }
}

void IoFaultTest::sample()
{
    QFETCH(Row, row);
    runRow(row);
}

void IoFaultTest::sweep_data()
{
    QTest::addColumn<Row>("row");
    if (qgetenv("VX_IOFAULT_SWEEP") != "1") {
        QTest::newRow("not asked for") << Row();
        return;
    }
    const QStringList errors{QStringLiteral("ENOSPC"), QStringLiteral("EIO"), QStringLiteral("EROFS"),
                             QStringLiteral("EDQUOT")};
    const QStringList shard = QString::fromLocal8Bit(qgetenv("VX_IOFAULT_SHARD")).split(QLatin1Char('/'));
    const int index = shard.size() == 2 ? shard.at(0).toInt() : 0;
    const int count = shard.size() == 2 ? qMax(1, shard.at(1).toInt()) : 1;
    // Every call on the bundle and on the records once and for good (where the rollback meets the
    // refusal too), every call on the session and on the rest of the temp folder once; of the
    // many writes and reads (a download's chunks, a hash's blocks) forty spread over each run.
    const QStringList sessionPatterns = classPatterns(*m_RecordScenario, QStringLiteral("session"));
    int i = 0;
    for (const QString& cls : {QStringLiteral("bundle"), QStringLiteral("records"), QStringLiteral("session"),
                               QStringLiteral("temp"), QStringLiteral("config")}) {
        const bool both = cls == QLatin1String("bundle") || cls == QLatin1String("records");
        for (const QString& kind : IoFaultInjector::kinds()) {
            const QList<Call> calls = recordedCalls(kind, cls);
            const bool bulk = kind == QLatin1String("write") || kind == QLatin1String("read");
            const int stride = bulk ? qMax(1, calls.size() / 40) : 1;
            for (int n = 1; n <= calls.size(); n += stride) {
                // The temp folder's rows leave out its sessions: they have rows of their own.
                if (cls == QLatin1String("temp") && callMatches(calls.at(n - 1), sessionPatterns))
                    continue;
                for (bool forGood : {false, true}) {
                    if (forGood && (!both || bulk))
                        continue;
                    Row row;
                    row.cls = cls;
                    row.fault.kind = kind;
                    row.fault.nth = n;
                    row.fault.error = errors.at((n - 1 + (forGood ? 1 : 0)) % errors.size());
                    row.fault.forGood = forGood;
                    row.seen = relativeTo(*m_RecordScenario, calls.at(n - 1).path);
                    if (!calls.at(n - 1).path2.isEmpty())
                        row.seen += QStringLiteral(" -> ") + relativeTo(*m_RecordScenario, calls.at(n - 1).path2);
                    if (i++ % count == index)
                        addRow(row);
                }
            }
        }
    }
}

void IoFaultTest::sweep()
{
    QFETCH(Row, row);
    if (row.fault.nth == 0)
        QSKIP("the whole sweep runs with VX_IOFAULT_SWEEP=1 (tests/e2e/iofaultsweep.sh)");
    runRow(row);
}

// ---------------------------------------------------------------------------------------------
// Small file systems

namespace
{
bool mountTmpfs(const QString& where, qint64 bytes, QString* error)
{
    QDir().mkpath(where);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0700";
    if (::mount("tmpfs", QFile::encodeName(where).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                options.constData()) != 0) {
        *error = QStringLiteral("mount tmpfs on %1: %2").arg(where, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

qint64 treeBytes(const QString& root)
{
    qint64 total = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += (it.fileInfo().size() + 4095) / 4096 * 4096 + 4096;
    }
    return total;
}

// Fills the file system of folder until `room` bytes are left, with the file "filler" there.
bool fillTo(const QString& folder, qint64 room)
{
    QFile filler(folder + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray chunk(4096, 'f');
    while (QStorageInfo(folder).bytesAvailable() > room) {
        if (filler.write(chunk) != chunk.size() || !filler.flush())
            break;
    }
    filler.close();
    return QStorageInfo(folder).bytesAvailable() <= room + 4096;
}
} // namespace

void IoFaultTest::smallFileSystems_data()
{
    QTest::addColumn<QString>("place"); // "bundle", "temp" or "remount"
    QTest::addColumn<qint64>("room");   // bytes left free
    QTest::newRow("bundle on a full tmpfs") << "bundle" << qint64(0);
    QTest::newRow("bundle on a tmpfs with 4 KB free") << "bundle" << qint64(4096);
    QTest::newRow("bundle on a tmpfs with 256 KB free") << "bundle" << qint64(256 * 1024);
    QTest::newRow("temp folder on a full tmpfs") << "temp" << qint64(0);
    QTest::newRow("temp folder on a tmpfs with 4 KB free") << "temp" << qint64(4096);
    QTest::newRow("temp folder on a tmpfs with 1 MB free") << "temp" << qint64(1 << 20);
    QTest::newRow("bundle remounted read-only in step two") << "remount" << qint64(-1);
}

void IoFaultTest::smallFileSystems()
{
    QFETCH(QString, place);
    QFETCH(qint64, room);
    if (!g_mountNamespaceRefusal.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no private mount namespace: ") + g_mountNamespaceRefusal));

    Row row;
    row.cls = place;
    row.seen = QString::fromUtf8(QTest::currentDataTag());
    const qint64 bundleBytes = treeBytes(m_Release.oldBundle()) + treeBytes(m_Release.newBundle());
    auto mounted = std::make_shared<QString>();
    auto remounted = std::make_shared<bool>(false);
    auto scenarioRoot = std::make_shared<QString>();
    Stage stage;
    stage.beforeRun = [=](UpdateScenario& scenario) {
        QString error;
        if (place == QLatin1String("temp")) {
            // The temp folder itself becomes the file system's root (mode 0700, the user's).
            *mounted = scenario.tmp();
            QVERIFY2(mountTmpfs(*mounted, 64 << 20, &error), qPrintable(error));
            // Cached before the file system fills, as a client that ran before leaves it.
            scenario.applyEnvironment();
            QVERIFY(Banner::writeCache(QByteArray("cached banner"), QStringLiteral("https://example.invalid/")));
        } else {
            // The bundle moves onto a tmpfs of its own.
            *mounted = scenario.root() + QStringLiteral("/install-fs");
            QVERIFY2(mountTmpfs(*mounted, bundleBytes + (8 << 20), &error), qPrintable(error));
            QProcess cp;
            cp.start(QStringLiteral("cp"), {QStringLiteral("-a"), scenario.bundle(), *mounted + QLatin1Char('/')});
            QVERIFY(cp.waitForFinished(60000) && cp.exitCode() == 0);
            QVERIFY(QDir(scenario.bundle()).removeRecursively());
            // Bound where it was: the updater works on the same paths.
            QVERIFY(QDir().mkpath(scenario.bundle()));
            QVERIFY2(::mount(QFile::encodeName(*mounted + QLatin1Char('/') + QFileInfo(scenario.bundle()).fileName()).constData(),
                             QFile::encodeName(scenario.bundle()).constData(), nullptr, MS_BIND, nullptr) == 0,
                     strerror(errno));
        }
        if (room >= 0)
            QVERIFY2(fillTo(*mounted, room), "cannot fill the file system");
        *scenarioRoot = scenario.root();
    };
    if (place == QLatin1String("remount")) {
        // Once step two has put its first file in place (a name of N holds another file), the
        // bundle's file system goes read-only (a file system with files open for writing
        // refuses: tried again and again).
        auto inodes = std::make_shared<QHash<QString, quint64>>();
        stage.tick = [=]() {
            if (*remounted || scenarioRoot->isEmpty())
                return;
            const QString bundle = *scenarioRoot + QStringLiteral("/install/") + BundleGenerator::bundleName();
            const bool first = inodes->isEmpty();
            bool replaced = false;
            QDirIterator it(bundle, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                            QDirIterator::Subdirectories);
            while (it.hasNext() && !replaced) {
                const QString path = it.next();
                struct stat st {};
                // The session record is step one's to rewrite.
                if (path.endsWith(QLatin1String("/update.ini")) || ::lstat(QFile::encodeName(path).constData(), &st) != 0)
                    continue;
                if (first)
                    inodes->insert(path, quint64(st.st_ino));
                else
                    replaced = inodes->contains(path) && inodes->value(path) != quint64(st.st_ino);
            }
            if (replaced)
                *remounted = ::mount(nullptr, QFile::encodeName(*mounted).constData(), nullptr,
                                     MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        };
        stage.faultHappened = [=]() { return *remounted; };
        stage.mixedAllowed = true;
    } else {
        stage.faultHappened = [=]() { return true; };
    }
    stage.beforeClean = [=](UpdateScenario& scenario) {
        Q_UNUSED(scenario);
        if (*remounted)
            ::mount(nullptr, QFile::encodeName(*mounted).constData(), nullptr, MS_REMOUNT, nullptr);
        if (room >= 0)
            QFile::remove(*mounted + QStringLiteral("/filler"));
    };
    runRow(row, stage);
    // The mounts go before the scenario's folder.
    if (place != QLatin1String("temp"))
        ::umount2(QFile::encodeName(*scenarioRoot + QStringLiteral("/install/") + BundleGenerator::bundleName()).constData(),
                  MNT_DETACH);
    if (!mounted->isEmpty())
        ::umount2(QFile::encodeName(*mounted).constData(), MNT_DETACH);
}

// ---------------------------------------------------------------------------------------------
// The durable order of a clean update

void IoFaultTest::durableOrder()
{
    QString error;
    const QStringList missing = DurableOrder::gaps(m_Recorded, m_RecordScenario->bundle(),
                                                   m_RecordScenario->tmp() + QStringLiteral("/voxtrel_temp_"), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList shown;
    for (const QString& line : missing)
        shown << QString(line).replace(m_RecordScenario->root() + QLatin1Char('/'), QString());
    if (!shown.isEmpty())
        qInfo().noquote() << "durability gaps:\n " << joined(shown);
    QVERIFY2(shown.isEmpty(), qPrintable(QStringLiteral("%1 durability gaps, the first: %2").arg(shown.size()).arg(shown.value(0))));
}

// A private mount namespace is made before anything else runs (the threads Qt starts would make
// it impossible), for the small file system rows.
int main(int argc, char** argv)
{
    if (::geteuid() != 0) {
        g_mountNamespaceRefusal = QStringLiteral("not run as root");
    } else if (::unshare(CLONE_NEWNS) != 0) {
        g_mountNamespaceRefusal = QStringLiteral("unshare(CLONE_NEWNS): ") + QString::fromLocal8Bit(strerror(errno));
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        g_mountNamespaceRefusal = QStringLiteral("making / private: ") + QString::fromLocal8Bit(strerror(errno));
    } else {
        g_mountNamespaceRefusal.clear();
    }
    QCoreApplication app(argc, argv);
    IoFaultTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "iofaulttest.moc"
