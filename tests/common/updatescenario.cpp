#include "common/updatescenario.h"

#include "common/updatefiles.h"

#include "common/bundlegenerator.h"
#include "common/clientbundle.h"

#include "banner.h"
#include "bytereader.h"
#include "compressedfile.h"
#include "configuration.h"
#include "updateengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace
{
const QString kSessionRecord = QStringLiteral("Contents/SharedSupport/update.ini");

// Written last by UpdateRelease::build: the release folder is complete.
const char kReadyMark[] = "release.ready";

// A served file's kind by its name and, for containers, by the directive in its header.
ReleaseBuilder::Kind kindOfServedFile(const QString& path)
{
    if (path.endsWith(QLatin1String("._patch_")))
        return ReleaseBuilder::Kind::Patch;
    if (path.endsWith(QLatin1String(".gz")))
        return ReleaseBuilder::Kind::Gzip;
    if (!path.endsWith(QLatin1String("._lzma2_")))
        return ReleaseBuilder::Kind::Plain;
    QFile in(path);
    const QByteArray head = in.open(QIODevice::ReadOnly) ? in.read(15) : QByteArray();
    voxpatch::ByteReader reader(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
    uint32_t magic = 0, checksum = 0, directive = 0;
    if (reader.GetVarint(&magic) && reader.GetVarint(&checksum) && reader.GetVarint(&directive)
        && directive == voxpatch::kDirectivePlain)
        return ReleaseBuilder::Kind::Container;
    return ReleaseBuilder::Kind::ExecutableContainer;
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// A copy of a tree with its links, modes and times, the way an installation is moved.
bool copyTree(const QString& from, const QString& to, QString* error)
{
    QDir().mkpath(QFileInfo(to).path());
    QProcess cp;
    cp.start(QStringLiteral("cp"), {QStringLiteral("-a"), from, to});
    if (!cp.waitForFinished(60000) || cp.exitStatus() != QProcess::NormalExit || cp.exitCode() != 0)
        return fail(error, QStringLiteral("cannot copy %1 to %2: %3")
                               .arg(from, to, QString::fromLocal8Bit(cp.readAllStandardError())));
    return true;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// UpdateRelease

bool UpdateRelease::build(const QString& root, const QString& updaterBinary, int oldVersion,
                          QString* error)
{
    m_Root = root;
    m_OldVersion = oldVersion;
    QFile::remove(root + QLatin1Char('/') + QLatin1String(kReadyMark));
    BundleGenerator::Options options;
    options.updaterBinary = updaterBinary;
    options.oldVersion = oldVersion;
    if (!BundleGenerator::generate(options, root + QStringLiteral("/old"), root + QStringLiteral("/new"), error))
        return false;

    ReleaseBuilder::Options release;
    release.oldBundle = oldBundle();
    release.newBundle = newBundle();
    release.version = newVersion();
    release.outDir = servedRoot();
    ReleaseBuilder builder(release);
    if (!builder.build())
        return fail(error, builder.error());
    m_Entries = builder.entries();
    for (ReleaseBuilder::Entry& entry : m_Entries)
        entry.servedFile = QDir::cleanPath(entry.servedFile);
    if (!takeSnapshots(error))
        return false;
    if (!ClientBundle::writeFile(root + QLatin1Char('/') + QLatin1String(kReadyMark), QByteArray::number(oldVersion)))
        return fail(error, QStringLiteral("cannot mark the release complete"));
    return true;
}

bool UpdateRelease::open(const QString& root, int oldVersion, QString* error)
{
    m_Root = root;
    m_OldVersion = oldVersion;
    if (ClientBundle::readFile(root + QLatin1Char('/') + QLatin1String(kReadyMark)) != QByteArray::number(oldVersion))
        return fail(error, QStringLiteral("no complete release in ") + root);
    return readEntries(error) && takeSnapshots(error);
}

bool UpdateRelease::takeSnapshots(QString* error)
{
    m_OldTree = TreeSnapshot::take(oldBundle());
    m_NewTree = TreeSnapshot::take(newBundle());
    if (m_OldTree.nodes().isEmpty() || m_NewTree.nodes().isEmpty())
        return fail(error, QStringLiteral("empty bundle snapshot"));
    return true;
}

// The lines of both served product lists, read the way the updater reads them.
bool UpdateRelease::readEntries(QString* error)
{
    m_Entries.clear();
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return fail(error, QStringLiteral("no scratch folder"));
    for (bool clientStep : {false, true}) {
        const QString list = ReleaseBuilder::productIniName(clientStep);
        const QString plain = scratch.filePath(list);
        const QString packed = versionDir() + QLatin1Char('/') + list + QStringLiteral("._lzma2_");
        if (!DecompressLzmaFile(packed.toUtf8().constData(), plain.toUtf8().constData()))
            return fail(error, QStringLiteral("cannot unpack ") + packed);
        QSettings ini(plain, QSettings::IniFormat);
        for (const QString& section : ini.childGroups()) {
            ini.beginGroup(section);
            for (const QString& key : ini.allKeys()) {
                ReleaseBuilder::Entry entry;
                entry.productIni = list;
                entry.section = section;
                entry.key = key;
                entry.value = ini.value(key).toString();
                const QStringList fields = entry.value.split(QStringLiteral("::"));
                const QString installed = fields.size() == 5 ? fields.at(4) : key;
                entry.relativePath = section == QLatin1String("common_client") ? QStringLiteral("SharedSupport/") + installed
                                                                              : installed;
                if (section == QLatin1String("delete")) {
                    entry.kind = ReleaseBuilder::Kind::Delete;
                    entry.relativePath = key;
                } else {
                    entry.servedFile = QDir::cleanPath(versionDir() + QLatin1Char('/') + section + QLatin1Char('/') + key);
                    entry.kind = kindOfServedFile(entry.servedFile);
                }
                m_Entries << entry;
            }
            ini.endGroup();
        }
    }
    if (m_Entries.isEmpty())
        return fail(error, QStringLiteral("empty product lists in ") + versionDir());
    return true;
}

QString UpdateRelease::oldBundle() const
{
    return m_Root + QStringLiteral("/old/") + BundleGenerator::bundleName();
}

QString UpdateRelease::newBundle() const
{
    return m_Root + QStringLiteral("/new/") + BundleGenerator::bundleName();
}

QString UpdateRelease::servedRoot() const
{
    return m_Root + QStringLiteral("/served");
}

QString UpdateRelease::versionDir() const
{
    return servedRoot() + QLatin1Char('/') + QString::number(newVersion());
}

const ReleaseBuilder::Entry* UpdateRelease::firstEntry(const QString& productIni,
                                                       ReleaseBuilder::Kind kind) const
{
    for (const ReleaseBuilder::Entry& entry : m_Entries) {
        if (entry.productIni == productIni && entry.kind == kind)
            return &entry;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// UpdateImageServer

UpdateImageServer::UpdateImageServer(const QString& root)
    : m_Root(QDir::cleanPath(root))
{
    m_Http.setFallbackHandler([this](const HttpTestServer::Request& request) { return answer(request); });
}

void UpdateImageServer::addFault(const QString& file, Fault fault, int times)
{
    m_Faults.insert(QDir::cleanPath(file), Planned{fault, times});
}

void UpdateImageServer::overrideFile(const QString& file, const QByteArray& content)
{
    m_Overrides.insert(QDir::cleanPath(file), content);
}

void UpdateImageServer::clearFaults()
{
    m_Faults.clear();
    m_Overrides.clear();
}

QString UpdateImageServer::faultName(Fault fault)
{
    switch (fault) {
    case Fault::NotFound:
        return QStringLiteral("404");
    case Fault::ServerError:
        return QStringLiteral("500");
    case Fault::Stall:
        return QStringLiteral("stall");
    case Fault::Drop:
        return QStringLiteral("drop");
    case Fault::Truncated:
        return QStringLiteral("truncated");
    case Fault::Corrupted:
        return QStringLiteral("corrupted");
    case Fault::GzipBomb:
        return QStringLiteral("gzip bomb");
    case Fault::Endless:
        return QStringLiteral("endless");
    case Fault::SlowDrip:
        return QStringLiteral("slow drip");
    case Fault::HeaderFlood:
        return QStringLiteral("header flood");
    }
    return QString();
}

HttpTestServer::Response UpdateImageServer::faultResponse(Fault fault, const QByteArray& body)
{
    using Response = HttpTestServer::Response;
    const qint64 half = body.size() / 2;
    switch (fault) {
    case Fault::NotFound:
        return Response::withStatus(404, "not found");
    case Fault::ServerError:
        return Response::withStatus(500, "internal error");
    case Fault::Stall:
        return Response::stallAfter(half, body);
    case Fault::Drop:
        return Response::dropAfter(half, body);
    case Fault::Truncated:
        return Response::ok(body.left(int(half)));
    case Fault::Corrupted: {
        QByteArray changed = body;
        const int from = int(half);
        for (int i = from; i < changed.size() && i < from + 16; ++i)
            changed[i] = char(~changed.at(i));
        if (changed.isEmpty())
            changed = "x";
        return Response::ok(changed);
    }
    case Fault::GzipBomb: {
        Response bomb = Response::ok(UpdateFiles::gzipBomb(qint64(1) << 30));
        bomb.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
        return bomb;
    }
    case Fault::Endless:
        return Response::endless(body.isEmpty() ? QByteArray("x") : body, qint64(1) << 40);
    case Fault::SlowDrip:
        return Response::trickle(2000, body);
    case Fault::HeaderFlood:
        return Response::headerFlood();
    }
    return Response::withStatus(500);
}

HttpTestServer::Response UpdateImageServer::answer(const HttpTestServer::Request& request)
{
    const QString decoded = QUrl::fromPercentEncoding(request.path);
    const QString file = QDir::cleanPath(m_Root + QLatin1Char('/') + decoded);
    if (file != m_Root && !file.startsWith(m_Root + QLatin1Char('/')))
        return HttpTestServer::Response::withStatus(403, "outside the image tree");
    ++m_Counts[file];

    QByteArray body;
    const auto overridden = m_Overrides.constFind(file);
    if (overridden != m_Overrides.constEnd()) {
        body = *overridden;
    } else {
        QFile f(file);
        if (!QFileInfo(file).isFile() || !f.open(QIODevice::ReadOnly))
            return HttpTestServer::Response::withStatus(404, "not found");
        body = f.readAll();
    }

    auto planned = m_Faults.find(file);
    if (planned != m_Faults.end() && planned->remaining != 0) {
        if (planned->remaining > 0)
            --planned->remaining;
        ++m_FaultsServed;
        return faultResponse(planned->fault, body);
    }
    return HttpTestServer::Response::ok(body);
}

// ---------------------------------------------------------------------------------------------
// UpdateScenario

UpdateScenario::UpdateScenario(const UpdateRelease& release, const QString& root)
    : m_Release(release)
    , m_Root(QDir::cleanPath(root))
{
}

UpdateScenario::~UpdateScenario()
{
    endLeftoverUpdaters();
}

QString UpdateScenario::bundle() const
{
    return m_Root + QStringLiteral("/install/") + BundleGenerator::bundleName();
}

QString UpdateScenario::contents() const
{
    return bundle() + QStringLiteral("/Contents");
}

QString UpdateScenario::tmp() const
{
    return m_Root + QStringLiteral("/tmp");
}

bool UpdateScenario::setUp(const QString& imageBaseUrl, QString* error)
{
    for (const char* folder : {"tmp", "home", "config", "install"}) {
        if (!QDir().mkpath(m_Root + QLatin1Char('/') + QLatin1String(folder)))
            return fail(error, QStringLiteral("cannot create folders in ") + m_Root);
    }
    if (!copyTree(m_Release.oldBundle(), bundle(), error))
        return false;
    const QByteArray ini = "[Channel]\nalpha=" + imageBaseUrl.toUtf8() + "\n";
    if (!ClientBundle::writeFile(m_Root + QStringLiteral("/config/update.ini"), ini))
        return fail(error, QStringLiteral("cannot write update.ini"));
    applyEnvironment();
    return true;
}

void UpdateScenario::applyEnvironment() const
{
    qputenv("TMPDIR", tmp().toUtf8());
    qputenv("HOME", (m_Root + QStringLiteral("/home")).toUtf8());
    qputenv("VX3_CONFIG_DIR", (m_Root + QStringLiteral("/config")).toUtf8());
}

QProcessEnvironment UpdateScenario::processEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp());
    env.insert(QStringLiteral("HOME"), m_Root + QStringLiteral("/home"));
    env.insert(QStringLiteral("VX3_CONFIG_DIR"), m_Root + QStringLiteral("/config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(BundleGenerator::clientLogVariable(), clientLog());
    return env;
}

QStringList UpdateScenario::stepArguments(bool clientStep) const
{
    const QString version = QString::number(m_Release.newVersion());
    if (clientStep)
        return {QStringLiteral("--clientupdate"), QStringLiteral("client_macosx"), version, QStringLiteral("#")};
    return {QStringLiteral("--nouser"), QStringLiteral("update_macosx"), version};
}

QString UpdateScenario::updaterProgram(bool clientStep) const
{
    if (clientStep)
        return m_SessionDir + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update");
    return contents() + QLatin1Char('/') + BundleGenerator::updaterExecutable();
}

bool UpdateScenario::startProgram(QProcess* process, bool clientStep, QString* error,
                                  const QStringList& extraEnvironment) const
{
    applyEnvironment();
    if (!Banner::writeCache(QByteArray("cached banner"), QStringLiteral("https://example.invalid/")))
        return fail(error, QStringLiteral("cannot seed the banner cache in ") + tmp());
    QProcessEnvironment environment = processEnvironment();
    for (const QString& entry : extraEnvironment) {
        const int split = entry.indexOf(QLatin1Char('='));
        environment.insert(entry.left(split), entry.mid(split + 1));
    }
    process->setProcessEnvironment(environment);
    process->start(updaterProgram(clientStep), stepArguments(clientStep));
    if (!process->waitForStarted(10000))
        return fail(error, process->errorString());
    return true;
}

int UpdateScenario::clientStarts() const
{
    return ClientBundle::readFile(clientLog()).count('\n');
}

QStringList UpdateScenario::updaterProcesses() const
{
    QString root = QFileInfo(m_Root).canonicalFilePath();
    if (root.isEmpty())
        root = m_Root;
    QStringList found;
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& name : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        name.toLongLong(&numeric);
        if (!numeric)
            continue;
        // A program whose folder is gone already reads "<path> (deleted)": still below root.
        char target[4096];
        const ssize_t length = ::readlink(QFile::encodeName(proc.filePath(name) + QStringLiteral("/exe")).constData(),
                                          target, sizeof(target) - 1);
        if (length <= 0)
            continue;
        const QString program = QFile::decodeName(QByteArray(target, int(length)));
        if (program.startsWith(root + QLatin1Char('/')) || program.startsWith(m_Root + QLatin1Char('/')))
            found << name + QLatin1Char(' ') + program;
    }
    return found;
}

QStringList UpdateScenario::endLeftoverUpdaters() const
{
    const QStringList running = updaterProcesses();
    for (const QString& line : running)
        ::kill(pid_t(line.section(QLatin1Char(' '), 0, 0).toLongLong()), SIGKILL);
    // Killed children of this process are reaped by QProcess; detached ones by init.
    QElapsedTimer clock;
    clock.start();
    while (!running.isEmpty() && !updaterProcesses().isEmpty() && clock.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return running;
}

QString UpdateScenario::sessionHolding(const QString& relative) const
{
    const QDir dir(tmp());
    for (const QString& name : dir.entryList({QStringLiteral("voxtrel_temp_*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QFileInfo info(dir.filePath(name) + QLatin1Char('/') + relative);
        if (info.exists() || info.isSymLink())
            return dir.filePath(name);
    }
    return QString();
}

UpdateScenario::Run UpdateScenario::runUpdaterStep(const Watcher& watcher, int timeoutMs)
{
    return runStep(false, watcher, timeoutMs);
}

UpdateScenario::Run UpdateScenario::runClientStep(const Watcher& watcher, int timeoutMs)
{
    return runStep(true, watcher, timeoutMs);
}

UpdateScenario::Run UpdateScenario::runBothSteps(const Watcher& watcher, int timeoutMs)
{
    Run first = runUpdaterStep(watcher, timeoutMs);
    if (first.outcome != Outcome::Finished)
        return first;
    Run second = runClientStep(watcher, timeoutMs);
    second.messages = first.messages + second.messages;
    return second;
}

UpdateScenario::Run UpdateScenario::runStep(bool clientStep, const Watcher& watcher, int timeoutMs)
{
    Run run;
    applyEnvironment();
    Configuration::setApplicationDirForTesting(QFileInfo(updaterProgram(clientStep)).path());

    Configuration config;
    QObject::connect(&config, &Configuration::fatalError, [&run](const QString& text) { run.fatal << text; });
    QStringList arguments = stepArguments(clientStep);
    arguments.prepend(QStringLiteral("update"));
    if (!config.parseCommandLineOptions(arguments) || !config.m_Ready) {
        Configuration::setApplicationDirForTesting(QString());
        return run;
    }

    UpdateEngine engine(&config, nullptr);
    QEventLoop loop;
    QObject::connect(&engine, &UpdateEngine::message, [&](const QString& text) {
        run.messages << text;
        if (watcher)
            watcher(&engine, text);
    });
    QObject::connect(&engine, &UpdateEngine::error, [&run](const QString& text) { run.messages << text; });
    QObject::connect(&engine, &UpdateEngine::fatalError, [&run](const QString& text) { run.fatal << text; });
    QObject::connect(&engine, &UpdateEngine::updateFinished, &loop, [&]() {
        run.outcome = Outcome::Finished;
        loop.quit();
    });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, &loop, [&]() {
        run.outcome = Outcome::Canceled;
        loop.quit();
    });

    if (engine.initialize()) {
        if (!clientStep)
            m_SessionDir = config.m_TempDir;
        run.outcome = Outcome::TimedOut;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        engine.startUpdate();
        loop.exec();
        if (run.outcome == Outcome::TimedOut)
            engine.cancelUpdate();
    }
    // The main task and the finished transfers go with deferred deletes.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    Configuration::setApplicationDirForTesting(QString());
    return run;
}

QStringList UpdateScenario::differencesFrom(const TreeSnapshot& expected, bool ignoreSessionRecord) const
{
    const TreeSnapshot now = TreeSnapshot::take(bundle());
    QStringList out;
    for (const QString& line : expected.differences(now)) {
        if (ignoreSessionRecord && line.startsWith(kSessionRecord + QLatin1Char(':')))
            continue;
        out << line;
    }
    return out;
}

QStringList UpdateScenario::bundleLeftovers() const
{
    QStringList out;
    QDirIterator it(bundle(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QFileInfo(path).fileName();
        if (name.endsWith(QLatin1String("._vxnew_")) || name.endsWith(QLatin1String("._vxold_"))
            || name.endsWith(QLatin1String("_old")) || name.startsWith(QLatin1String("_old_")))
            out << QDir(bundle()).relativeFilePath(path);
    }
    return out;
}

QStringList UpdateScenario::tmpLeftovers() const
{
    QStringList out;
    const QDir dir(tmp());
    for (const QString& name : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (name.startsWith(QLatin1String("voxtrel_temp_")) || name == QLatin1String("vx3clientupdateargs"))
            out << name;
    }
    return out;
}

UpdateScenario::Watcher UpdateScenario::cancelOn(const QString& messagePrefix)
{
    auto done = std::make_shared<bool>(false);
    return [messagePrefix, done](UpdateEngine* engine, const QString& message) {
        if (*done || !message.startsWith(messagePrefix))
            return;
        *done = true;
        // As the window does it: from the event loop, not from inside the task's signal.
        QTimer::singleShot(0, engine, &UpdateEngine::cancelUpdate);
    };
}

QString UpdateScenario::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Finished:
        return QStringLiteral("finished");
    case Outcome::Canceled:
        return QStringLiteral("canceled");
    case Outcome::NotStarted:
        return QStringLiteral("not started");
    case Outcome::TimedOut:
        return QStringLiteral("timed out");
    }
    return QString();
}
