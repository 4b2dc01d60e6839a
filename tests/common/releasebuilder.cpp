#include "common/releasebuilder.h"

#include "common/clientbundle.h"
#include "common/productiniwriter.h"
#include "common/testsigner.h"
#include "common/updatefiles.h"
#include "deps/voxpatch/ensemblepatchbuilder.h"

#include "compressedfile.h"
#include "executablecontainer.h"
#include "mappedfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>


#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
const QString kRootSection = QStringLiteral(".");
const QString kCommonSection = QStringLiteral("common_client");
const QString kDeleteSection = QStringLiteral("delete");
const QString kSharedSupport = QStringLiteral("SharedSupport/");
const QString kUpdaterBundle = QStringLiteral("SharedSupport/update.app");
const qint64 kPlainLimit = 64 * 1024;

// Delete codes: a file, a folder.
const int kDeleteFile = 1;
const int kDeleteFolder = 2;

// The Contents folder of a bundle given as the bundle, its Contents folder or the folder holding
// the client bundle.
QString contentsFolder(const QString& path)
{
    const QDir dir(path);
    if (QFileInfo(dir.filePath(QStringLiteral("Contents"))).isDir())
        return QDir::cleanPath(dir.absoluteFilePath(QStringLiteral("Contents")));
    const QString inner = QStringLiteral("Voxtrel 3 Client.app/Contents");
    if (QFileInfo(dir.filePath(inner)).isDir())
        return QDir::cleanPath(dir.absoluteFilePath(inner));
    if (dir.dirName() == QLatin1String("Contents") && dir.exists())
        return QDir::cleanPath(dir.absolutePath());
    return QString();
}

// Every regular file below root (symbolic links left out), by path relative to root.
QMap<QString, QString> filesBelow(const QString& root)
{
    QMap<QString, QString> files;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(base.relativeFilePath(path), path);
    }
    return files;
}

bool sameContent(const QString& a, const QString& b)
{
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    }
    return true;
}

// The Mach-O executables inside a file (a fat file's slices, or the whole file).
std::vector<voxpatch::ContainerElement> executableElements(const QString& path)
{
    std::vector<voxpatch::ContainerElement> elements;
    voxpatch::MappedFile file(path.toUtf8().constData(), 0, voxpatch::MappedFile::kNormal);
    if (file.IsValid() && file.Length() > 0)
        voxpatch::FindContainerElements(file.Data(), static_cast<size_t>(file.Length()), &elements);
    return elements;
}

bool isExecutable(const QString& path)
{
    return QFileInfo(path).isExecutable() || !executableElements(path).empty();
}

bool writeBytes(const QString& path, const std::string& bytes)
{
    return ClientBundle::writeFile(path, QByteArray::fromStdString(bytes));
}

std::string readBytes(const QString& path)
{
    return ClientBundle::readFile(path).toStdString();
}

// An ensemble patch from oldPath to newPath: the Mach-O slices as elements when both files have
// the same layout of them, else a byte diff of the whole file.
bool makePatch(const QString& oldPath, const QString& newPath, const QString& output)
{
    const std::string oldFile = readBytes(oldPath);
    const std::string newFile = readBytes(newPath);
    const auto oldElements = executableElements(oldPath);
    const auto newElements = executableElements(newPath);
    std::vector<voxpatch_test::ElementSpec> elements;
    if (!oldElements.empty() && oldElements.size() == newElements.size()) {
        for (size_t i = 0; i < oldElements.size(); ++i) {
            if (oldElements[i].kind != newElements[i].kind) {
                elements.clear();
                break;
            }
            elements.push_back({static_cast<uint32_t>(newElements[i].kind),
                                static_cast<uint32_t>(oldElements[i].offset),
                                static_cast<uint32_t>(oldElements[i].length),
                                static_cast<uint32_t>(newElements[i].offset),
                                static_cast<uint32_t>(newElements[i].length)});
        }
    }
    voxpatch_test::EnsemblePatchParts parts;
    if (!voxpatch_test::MakeEnsemblePatch(oldFile, newFile, elements, &parts)) {
        parts = voxpatch_test::EnsemblePatchParts();
        if (elements.empty() || !voxpatch_test::MakeEnsemblePatch(oldFile, newFile, {}, &parts))
            return false;
    }
    return writeBytes(output, voxpatch_test::SerializeEnsemblePatch(parts));
}

bool gzipFile(const QString& input, const QString& output)
{
    // Only small files are served gzipped: the whole file is packed in memory.
    const QByteArray packed = UpdateFiles::gzip(ClientBundle::readFile(input));
    return !packed.isEmpty() && ClientBundle::writeFile(output, packed);
}

QString suffixFor(ReleaseBuilder::Kind kind)
{
    switch (kind) {
    case ReleaseBuilder::Kind::Container:
    case ReleaseBuilder::Kind::ExecutableContainer:
        return QStringLiteral("._lzma2_");
    case ReleaseBuilder::Kind::Gzip:
        return QStringLiteral(".gz");
    case ReleaseBuilder::Kind::Patch:
        return QStringLiteral("._patch_");
    default:
        return QString();
    }
}

struct Digest
{
    QString hash;
    qint64 size = -1;
};

Digest digestOf(const QString& path)
{
    Digest d;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return d;
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!hash.addData(&f))
        return d;
    d.hash = QString::fromLatin1(hash.result().toHex());
    d.size = f.size();
    return d;
}
} // namespace

ReleaseBuilder::ReleaseBuilder(const Options& options)
    : m_Options(options)
{
}

QString ReleaseBuilder::productIniName(bool clientStep)
{
    return clientStep ? QStringLiteral("vx3_client_macosx.ini") : QStringLiteral("update_macosx.ini");
}

QString ReleaseBuilder::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Plain:
        return QStringLiteral("plain");
    case Kind::Container:
        return QStringLiteral("container");
    case Kind::ExecutableContainer:
        return QStringLiteral("executable container");
    case Kind::Gzip:
        return QStringLiteral("gzip");
    case Kind::Patch:
        return QStringLiteral("patch");
    case Kind::Delete:
        return QStringLiteral("delete");
    }
    return QString();
}

QString ReleaseBuilder::versionDir() const
{
    return QDir::cleanPath(QDir(m_Options.outDir).absolutePath() + QLatin1Char('/')
                           + QString::number(m_Options.version));
}

bool ReleaseBuilder::fail(const QString& text)
{
    m_Error = text;
    return false;
}

bool ReleaseBuilder::build()
{
    m_Error.clear();
    m_Entries.clear();
    m_Jobs.clear();
    if (m_Options.version <= 0)
        return fail(QStringLiteral("the version must be a positive number"));
    if (m_Options.outDir.isEmpty())
        return fail(QStringLiteral("no output folder given"));
    if (!collect())
        return false;
    const QString out = versionDir();
    if (QFileInfo::exists(out) && !QDir(out).removeRecursively())
        return fail(QStringLiteral("cannot remove ") + out);
    if (!QDir().mkpath(out))
        return fail(QStringLiteral("cannot create ") + out);

    if (!addProduct(false) || !addProduct(true))
        return false;
    addDeleteEntries();
    if (!runJobs() || !fillValues())
        return false;
    return writeProductIni(productIniName(false)) && writeProductIni(productIniName(true));
}

bool ReleaseBuilder::collect()
{
    m_OldContents = contentsFolder(m_Options.oldBundle);
    m_NewContents = contentsFolder(m_Options.newBundle);
    if (m_OldContents.isEmpty())
        return fail(QStringLiteral("no bundle at ") + m_Options.oldBundle);
    if (m_NewContents.isEmpty())
        return fail(QStringLiteral("no bundle at ") + m_Options.newBundle);

    // The client's files; the updater bundle comes from its own input.
    const auto clientFiles = [](const QString& contents, const QString& updater) {
        QMap<QString, QString> files = filesBelow(contents);
        const QString updaterRoot = updater.isEmpty() ? contents + QLatin1Char('/') + kUpdaterBundle
                                                      : updater;
        for (auto it = files.begin(); it != files.end();) {
            if (it.key().startsWith(kUpdaterBundle + QLatin1Char('/')))
                it = files.erase(it);
            else
                ++it;
        }
        const QMap<QString, QString> updaterFiles = filesBelow(updaterRoot);
        for (auto it = updaterFiles.cbegin(); it != updaterFiles.cend(); ++it)
            files.insert(kUpdaterBundle + QLatin1Char('/') + it.key(), it.value());
        return files;
    };
    for (const QString& updater : {m_Options.oldUpdater, m_Options.newUpdater}) {
        if (!updater.isEmpty() && !QFileInfo(updater + QStringLiteral("/Contents")).isDir())
            return fail(QStringLiteral("no updater bundle at ") + updater);
    }
    m_OldFiles = clientFiles(m_OldContents, m_Options.oldUpdater);
    m_NewFiles = clientFiles(m_NewContents, m_Options.newUpdater);
    if (m_NewFiles.isEmpty())
        return fail(QStringLiteral("the new bundle holds no files"));
    return true;
}

bool ReleaseBuilder::addProduct(bool clientStep)
{
    const QString productIni = productIniName(clientStep);
    bool any = false;
    for (auto it = m_NewFiles.cbegin(); it != m_NewFiles.cend(); ++it) {
        const QString& rel = it.key();
        if (clientStep) {
            if (rel.startsWith(kSharedSupport))
                addFileEntries(productIni, kCommonSection, rel.mid(kSharedSupport.size()), rel);
            else
                addFileEntries(productIni, kRootSection, rel, rel);
            any = true;
        } else if (rel.startsWith(kUpdaterBundle + QLatin1Char('/'))
                   || rel.startsWith(QLatin1String("Frameworks/"))
                   || rel.startsWith(QLatin1String("Plugins/"))) {
            addFileEntries(productIni, kRootSection, rel, rel);
            any = true;
        }
    }
    if (!any)
        return fail(QStringLiteral("nothing to list in ") + productIni);
    return true;
}

void ReleaseBuilder::addFileEntries(const QString& productIni, const QString& section,
                                    const QString& keyBase, const QString& relativePath)
{
    const QString newFile = m_NewFiles.value(relativePath);
    const QString oldFile = m_OldFiles.value(relativePath);
    const bool existed = !oldFile.isEmpty();
    const bool changed = existed && !sameContent(oldFile, newFile);
    const bool executable = isExecutable(newFile);

    Kind kind;
    if (executable)
        kind = Kind::ExecutableContainer;
    else if (relativePath.endsWith(QLatin1String(".html")))
        kind = Kind::Gzip;
    else if (!changed && QFileInfo(newFile).size() < kPlainLimit)
        kind = Kind::Plain;
    else
        kind = Kind::Container;

    const QString folder = section == kRootSection ? versionDir() : versionDir() + QLatin1Char('/') + section;
    Entry entry;
    entry.productIni = productIni;
    entry.section = section;
    entry.key = keyBase + suffixFor(kind);
    entry.kind = kind;
    entry.relativePath = relativePath;
    entry.servedFile = folder + QLatin1Char('/') + entry.key;
    entry.newFile = newFile;
    m_Entries.append(entry);
    addJob(entry);

    if (executable && changed) {
        Entry patch = entry;
        patch.kind = Kind::Patch;
        patch.key = keyBase + suffixFor(Kind::Patch);
        patch.servedFile = folder + QLatin1Char('/') + patch.key;
        patch.oldFile = oldFile;
        m_Entries.append(patch);
        addJob(patch);
    }
}

void ReleaseBuilder::addDeleteEntries()
{
    // Folders that still hold files in N+1.
    QSet<QString> kept;
    for (auto it = m_NewFiles.cbegin(); it != m_NewFiles.cend(); ++it) {
        for (QString folder = QFileInfo(it.key()).path(); folder != QLatin1String(".");
             folder = QFileInfo(folder).path())
            kept.insert(folder);
    }
    QSet<QString> listed;
    for (auto it = m_OldFiles.cbegin(); it != m_OldFiles.cend(); ++it) {
        if (m_NewFiles.contains(it.key()))
            continue;
        // The outermost vanished folder, or else the file itself.
        QString path = it.key();
        int code = kDeleteFile;
        for (QString folder = QFileInfo(it.key()).path(); folder != QLatin1String(".");
             folder = QFileInfo(folder).path()) {
            if (!kept.contains(folder)) {
                path = folder;
                code = kDeleteFolder;
            }
        }
        if (listed.contains(path))
            continue;
        listed.insert(path);
        Entry entry;
        entry.productIni = productIniName(true);
        entry.section = kDeleteSection;
        entry.key = path;
        entry.value = QString::number(code);
        entry.kind = Kind::Delete;
        entry.relativePath = path;
        m_Entries.append(entry);
    }
}

void ReleaseBuilder::addJob(const Entry& entry)
{
    for (const Job& job : qAsConst(m_Jobs)) {
        if (job.output == entry.servedFile)
            return; // the same file serves both lists
    }
    m_Jobs.append({entry.kind, entry.newFile, entry.oldFile, entry.servedFile});
}

bool ReleaseBuilder::runJobs()
{
    std::atomic<int> next(0);
    std::mutex errorLock;
    QStringList failed;
    const auto work = [&]() {
        for (int i = next++; i < m_Jobs.size(); i = next++) {
            const Job& job = m_Jobs.at(i);
            QDir().mkpath(QFileInfo(job.output).path());
            const QByteArray in = job.input.toUtf8();
            const QByteArray out = job.output.toUtf8();
            bool ok = false;
            switch (job.kind) {
            case Kind::Plain:
                QFile::remove(job.output);
                ok = QFile::copy(job.input, job.output);
                break;
            case Kind::Container:
                ok = voxpatch::CompressLzmaFile(in.constData(), out.constData(), false);
                break;
            case Kind::ExecutableContainer:
                ok = voxpatch::CompressLzmaFile(in.constData(), out.constData(), true);
                break;
            case Kind::Gzip:
                ok = gzipFile(job.input, job.output);
                break;
            case Kind::Patch:
                ok = makePatch(job.oldInput, job.input, job.output);
                break;
            case Kind::Delete:
                break;
            }
            if (!ok) {
                std::lock_guard<std::mutex> lock(errorLock);
                failed << job.output;
            }
        }
    };
    const int threads = qBound(1, m_Options.jobs, qMax(1, m_Jobs.size()));
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    if (!failed.isEmpty())
        return fail(QStringLiteral("cannot produce ") + failed.join(QStringLiteral(", ")));
    return true;
}

bool ReleaseBuilder::fillValues()
{
    QHash<QString, Digest> digests;
    const auto digest = [&digests](const QString& path) {
        auto it = digests.find(path);
        if (it == digests.end())
            it = digests.insert(path, digestOf(path));
        return *it;
    };
    const auto field = [](const Digest& d) {
        return d.hash + QStringLiteral("::") + QString::number(d.size);
    };
    for (Entry& entry : m_Entries) {
        if (entry.kind == Kind::Delete)
            continue;
        const Digest served = digest(entry.servedFile);
        if (served.size < 0)
            return fail(QStringLiteral("cannot read ") + entry.servedFile);
        if (entry.kind == Kind::Plain) {
            entry.value = field(served);
            continue;
        }
        // The target: the installed path below the section, which is the key without its suffix.
        const QString target = entry.key.left(entry.key.size() - suffixFor(entry.kind).size());
        const Digest source = digest(entry.kind == Kind::Patch ? entry.oldFile : entry.newFile);
        if (source.size < 0)
            return fail(QStringLiteral("cannot read ") + (entry.kind == Kind::Patch ? entry.oldFile : entry.newFile));
        entry.value = field(served) + QStringLiteral("::") + field(source) + QStringLiteral("::") + target;
    }
    return true;
}

bool ReleaseBuilder::writeProductIni(const QString& productIni)
{
    QList<Entry> entries;
    for (const Entry& entry : qAsConst(m_Entries)) {
        if (entry.productIni == productIni)
            entries << entry;
    }
    QString error;
    if (!writeSignedList(entries, versionDir() + QLatin1Char('/') + productIni, &error))
        return fail(error);
    return true;
}

bool ReleaseBuilder::writeSignedList(const QList<Entry>& entries, const QString& plain, QString* error)
{
    ProductIniWriter writer;
    for (const Entry& entry : entries)
        writer.add(entry.section, entry.key, entry.value);
    // The list is signed unpacked, then served packed beside its signature.
    QString signError;
    if (!writer.writeWithQSettings(plain)) {
        *error = QStringLiteral("cannot write ") + plain;
        return false;
    }
    if (!TestSigner::signFile(plain, &signError)) {
        *error = QStringLiteral("cannot sign %1: %2").arg(plain, signError);
        return false;
    }
    const bool packed = voxpatch::CompressLzmaFile(plain.toUtf8().constData(),
                                                   (plain + QStringLiteral("._lzma2_")).toUtf8().constData(),
                                                   false);
    QFile::remove(plain);
    if (!packed) {
        *error = QStringLiteral("cannot pack ") + plain;
        return false;
    }
    return true;
}
