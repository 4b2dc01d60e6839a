// The image-server side of the end-to-end runs: two generated client versions, the served tree the
// release builder makes from them, and the private nginx that serves it. The tree is read back
// the way the updater reads it (QSettings on the unpacked list, the patch engine, zlib, the
// signature check of the engine) and compared with the bundles on disk.

#include "common/bundlegenerator.h"
#include "common/clientbundle.h"
#include "common/releasebuilder.h"

#include "checksigfunc.h"
#include "compressedfile.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "ensembleapplier.h"
#include "makedownloadreplacelistfunc.h"
#include "updatelists.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <zlib.h>

#include <memory>
#include <ostream>

// Lets the test macros print QString values.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << text.toStdString();
}

namespace
{
const int kOldVersion = 4;
const int kNewVersion = 5;

struct ListLine
{
    QString section;
    QString key;
    QStringList fields;
};

QByteArray readFile(const QString& path)
{
    return ClientBundle::readFile(path);
}

QString sha512(const QString& path)
{
    return ClientBundle::sha512Hex(readFile(path));
}

QByteArray gunzip(const QString& path)
{
    QByteArray out;
    gzFile in = gzopen(path.toUtf8().constData(), "rb");
    if (!in)
        return out;
    char buffer[16384];
    int n;
    while ((n = gzread(in, buffer, sizeof(buffer))) > 0)
        out.append(buffer, n);
    gzclose(in);
    return n < 0 ? QByteArray() : out;
}

// Regular files below root, relative paths (links left out, as the lists leave them out).
QSet<QString> regularFiles(const QString& root)
{
    QSet<QString> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(QDir(root).relativeFilePath(it.next()));
    return files;
}

class ReleaseToolsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_Dir = new QTemporaryDir();
        ASSERT_TRUE(s_Dir->isValid());
        BundleGenerator::Options options;
        options.updaterBinary = QStringLiteral("/bin/true");
        options.newUpdaterBinary = QStringLiteral("/bin/false");
        options.oldVersion = kOldVersion;
        QString error;
        ASSERT_TRUE(BundleGenerator::generate(options, s_Dir->filePath("old"), s_Dir->filePath("new"), &error))
            << error.toStdString();

        ReleaseBuilder::Options release;
        release.oldBundle = s_Dir->filePath("old/Voxtrel 3 Client.app");
        release.newBundle = s_Dir->filePath("new/Voxtrel 3 Client.app");
        release.version = kNewVersion;
        release.outDir = s_Dir->filePath("served");
        s_Builder = new ReleaseBuilder(release);
        ASSERT_TRUE(s_Builder->build()) << s_Builder->error().toStdString();
    }

    static void TearDownTestSuite()
    {
        delete s_Builder;
        delete s_Dir;
        s_Builder = nullptr;
        s_Dir = nullptr;
    }

    static QString oldContents() { return s_Dir->filePath("old/Voxtrel 3 Client.app/Contents"); }
    static QString newContents() { return s_Dir->filePath("new/Voxtrel 3 Client.app/Contents"); }
    static QString served() { return s_Dir->filePath("served/") + QString::number(kNewVersion); }
    static QString servedFile(const QString& section, const QString& key)
    {
        return QDir::cleanPath(served() + QLatin1Char('/') + section + QLatin1Char('/') + key);
    }

    // The unpacked product list, read as the updater reads it.
    static QList<ListLine> readList(const QString& name)
    {
        QList<ListLine> lines;
        const QString plain = s_Dir->filePath("unpacked-") + name;
        QFile::remove(plain);
        const QString packed = served() + QLatin1Char('/') + name + QStringLiteral("._lzma2_");
        if (!DecompressLzmaFile(packed.toUtf8().constData(), plain.toUtf8().constData()))
            return lines;
        QSettings ini(plain, QSettings::IniFormat);
        for (const QString& group : ini.childGroups()) {
            ini.beginGroup(group);
            for (const QString& key : ini.allKeys())
                lines.append({group, key, ini.value(key).toString().split(QStringLiteral("::"))});
            ini.endGroup();
        }
        return lines;
    }

    // Installed path (relative to Contents) of a file line.
    static QString installedPath(const ListLine& line)
    {
        const QString path = line.fields.size() == 5 ? line.fields[4] : line.key;
        return line.section == QLatin1String("common_client") ? QStringLiteral("SharedSupport/") + path : path;
    }

    static QTemporaryDir* s_Dir;
    static ReleaseBuilder* s_Builder;
};

QTemporaryDir* ReleaseToolsTest::s_Dir = nullptr;
ReleaseBuilder* ReleaseToolsTest::s_Builder = nullptr;

const char* const kLists[] = {"update_macosx.ini", "vx3_client_macosx.ini"};

TEST_F(ReleaseToolsTest, GeneratedVersionsDifferAsPlanned)
{
    // Changed Mach-O program, unchanged library, removed nested folder, new file, links.
    EXPECT_NE(readFile(oldContents() + "/Frameworks/libQt5Core.dylib"),
              readFile(newContents() + "/Frameworks/libQt5Core.dylib"));
    EXPECT_EQ(readFile(oldContents() + "/Frameworks/libQt5Gui.dylib"),
              readFile(newContents() + "/Frameworks/libQt5Gui.dylib"));
    EXPECT_TRUE(QFileInfo(oldContents() + "/Resources/legacy/skins/dark").isDir());
    EXPECT_FALSE(QFileInfo::exists(newContents() + "/Resources/legacy"));
    EXPECT_TRUE(QFileInfo::exists(newContents() + "/Resources/sound packs/default/welcome.wav"));
    EXPECT_FALSE(QFileInfo::exists(oldContents() + "/Resources/sound packs/default/welcome.wav"));
    const QFileInfo link(newContents() + "/SharedSupport/glitchpost.app/Contents/Frameworks/libquazip.dylib");
    EXPECT_TRUE(link.isSymLink());
    EXPECT_EQ(QFileInfo(link.symLinkTarget()).canonicalFilePath(),
              QFileInfo(newContents() + "/Frameworks/libquazip.dylib").canonicalFilePath());
    // The updater binaries are the ones given.
    EXPECT_EQ(readFile(oldContents() + "/" + BundleGenerator::updaterExecutable()), readFile("/bin/true"));
    EXPECT_EQ(readFile(newContents() + "/" + BundleGenerator::updaterExecutable()), readFile("/bin/false"));
    EXPECT_TRUE(QFileInfo(newContents() + "/" + BundleGenerator::updaterExecutable()).isExecutable());
}

TEST_F(ReleaseToolsTest, StandInClientRecordsItsStart)
{
    const QString program = newContents() + "/" + BundleGenerator::clientExecutable();
    ASSERT_TRUE(QFileInfo(program).isExecutable());
    const QString log = s_Dir->filePath("client.log");
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(BundleGenerator::clientLogVariable(), log);
    client.setProcessEnvironment(env);
    for (int run = 0; run < 2; ++run) {
        client.start(program, {QStringLiteral("-psn_0"), QStringLiteral("two words")});
        ASSERT_TRUE(client.waitForFinished(10000));
        EXPECT_EQ(0, client.exitCode());
    }
    const QList<QByteArray> lines = readFile(log).trimmed().split('\n');
    ASSERT_EQ(2, lines.size());
    for (const QByteArray& line : lines) {
        EXPECT_TRUE(line.contains(" version=" + QByteArray::number(kNewVersion) + " args=-psn_0 two words"))
            << line.constData();
        const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ "));
        EXPECT_TRUE(stamp.match(QString::fromUtf8(line)).hasMatch()) << line.constData();
    }
}

TEST_F(ReleaseToolsTest, BigBundleAddsCompressibleFilesMostlyChanged)
{
    QTemporaryDir dir;
    BundleGenerator::Options options;
    options.updaterBinary = QStringLiteral("/bin/true");
    options.bigMegabytes = 4;
    QString error;
    ASSERT_TRUE(BundleGenerator::generate(options, dir.filePath("a"), dir.filePath("b"), &error));
    qint64 total = 0;
    int changed = 0;
    for (int i = 1; i <= 4; ++i) {
        const QString rel = QStringLiteral("/Voxtrel 3 Client.app/Contents/Resources/media/pack%1.dat").arg(i);
        const QByteArray before = readFile(dir.filePath("a") + rel);
        const QByteArray after = readFile(dir.filePath("b") + rel);
        total += after.size();
        changed += before != after ? 1 : 0;
    }
    EXPECT_EQ(4 * 1024 * 1024, total);
    EXPECT_EQ(3, changed);
    const QString sample = dir.filePath("b") + "/Voxtrel 3 Client.app/Contents/Resources/media/pack1.dat";
    const QString packed = dir.filePath("pack1._lzma2_");
    ASSERT_TRUE(CompressLzmaFile(sample.toUtf8().constData(), packed.toUtf8().constData(), false));
    EXPECT_LT(QFileInfo(packed).size(), QFileInfo(sample).size() / 2);
    EXPECT_GT(QFileInfo(packed).size(), QFileInfo(sample).size() / 50);
}

TEST_F(ReleaseToolsTest, ListsAreSignedWithTheTestKey)
{
    initCrypt();
    for (const char* name : kLists) {
        const QString plain = s_Dir->filePath("signed-") + name;
        ASSERT_TRUE(DecompressLzmaFile((served() + "/" + name + "._lzma2_").toUtf8().constData(),
                                       plain.toUtf8().constData()));
        ASSERT_TRUE(QFile::copy(served() + "/" + name + ".sig", plain + ".sig"));
        EXPECT_TRUE(CheckSigFunc(plain, QString()).run()) << name;
        // One changed byte breaks it: the check above is not vacuous.
        QByteArray content = readFile(plain);
        content[content.size() / 2] = content[content.size() / 2] ^ 1;
        ASSERT_TRUE(ClientBundle::writeFile(plain, content));
        EXPECT_FALSE(CheckSigFunc(plain, QString()).run()) << name;
    }
}

TEST_F(ReleaseToolsTest, EveryListedHashAndSizeMatchesTheServedFile)
{
    for (const char* name : kLists) {
        const QList<ListLine> lines = readList(name);
        ASSERT_FALSE(lines.isEmpty()) << name;
        for (const ListLine& line : lines) {
            if (line.section == QLatin1String("delete"))
                continue;
            const QString file = servedFile(line.section, line.key);
            ASSERT_TRUE(line.fields.size() == 2 || line.fields.size() == 5) << line.key.toStdString();
            EXPECT_EQ(sha512(file), line.fields[0]) << name << " " << line.key.toStdString();
            EXPECT_EQ(QString::number(QFileInfo(file).size()), line.fields[1]) << line.key.toStdString();
            if (line.fields.size() == 2) {
                // Served as installed.
                EXPECT_EQ(readFile(file), readFile(newContents() + "/" + installedPath(line)))
                    << line.key.toStdString();
                continue;
            }
            // Fields 2 and 3 describe the installed file: N+1's for files, N's for patches.
            const bool patch = line.key.endsWith(QLatin1String("_patch_"));
            const QString installed = (patch ? oldContents() : newContents()) + "/" + installedPath(line);
            EXPECT_EQ(sha512(installed), line.fields[2]) << line.key.toStdString();
            EXPECT_EQ(QString::number(QFileInfo(installed).size()), line.fields[3]) << line.key.toStdString();
        }
    }
}

TEST_F(ReleaseToolsTest, ClientListCoversEveryFileAndEveryRemoval)
{
    const QList<ListLine> lines = readList("vx3_client_macosx.ini");
    QSet<QString> listed;
    QMap<QString, QString> deleted;
    QSet<QString> kinds;
    for (const ListLine& line : lines) {
        if (line.section == QLatin1String("delete")) {
            deleted.insert(line.key, line.fields.value(0));
            continue;
        }
        kinds.insert(line.section);
        if (line.key.endsWith(QLatin1String("_patch_"))) {
            kinds.insert(QStringLiteral("patch"));
            continue;
        }
        listed.insert(installedPath(line));
        if (line.fields.size() == 2)
            kinds.insert(QStringLiteral("plain"));
        else if (line.key.endsWith(QLatin1String("._lzma2_")))
            kinds.insert(QStringLiteral("container"));
        else
            kinds.insert(QStringLiteral("gzip"));
    }
    EXPECT_EQ(regularFiles(newContents()), listed);
    for (const char* kind : {".", "common_client", "patch", "plain", "container", "gzip"})
        EXPECT_TRUE(kinds.contains(QLatin1String(kind))) << kind;

    EXPECT_EQ(QStringLiteral("2"), deleted.value("Resources/legacy"));
    EXPECT_EQ(QStringLiteral("1"), deleted.value("Resources/countries.txt"));
    EXPECT_EQ(QStringLiteral("1"), deleted.value("Frameworks/libvxlegacy.dylib"));
    EXPECT_EQ(QStringLiteral("1"), deleted.value("SharedSupport/update.app/Contents/Resources/old_logo.png"));
    // Every file of N that N+1 lacks is covered by exactly what is listed, and nothing listed
    // for deletion exists in N+1.
    for (const QString& file : regularFiles(oldContents())) {
        if (QFileInfo::exists(newContents() + "/" + file))
            continue;
        bool covered = false;
        for (auto it = deleted.cbegin(); it != deleted.cend(); ++it)
            covered = covered || file == it.key() || (it.value() == "2" && file.startsWith(it.key() + "/"));
        EXPECT_TRUE(covered) << file.toStdString();
    }
    for (auto it = deleted.cbegin(); it != deleted.cend(); ++it)
        EXPECT_FALSE(QFileInfo::exists(newContents() + "/" + it.key())) << it.key().toStdString();
}

TEST_F(ReleaseToolsTest, EveryPatchTurnsTheOldFileIntoTheNewOne)
{
    int patches = 0;
    int machO = 0;
    for (const char* name : kLists) {
        for (const ListLine& line : readList(name)) {
            if (!line.key.endsWith(QLatin1String("_patch_")))
                continue;
            ++patches;
            const QString rel = installedPath(line);
            const QString out = s_Dir->filePath("patched");
            QFile::remove(out);
            const int status = voxpatch::ApplyPatchFiles((oldContents() + "/" + rel).toUtf8().constData(),
                                                         servedFile(line.section, line.key).toUtf8().constData(),
                                                         out.toUtf8().constData());
            EXPECT_EQ(1, status) << line.key.toStdString();
            EXPECT_EQ(readFile(newContents() + "/" + rel), readFile(out)) << line.key.toStdString();
            const QByteArray magic = readFile(out).left(4);
            if (magic == "\xcf\xfa\xed\xfe" || magic == "\xce\xfa\xed\xfe" || magic == "\xca\xfe\xba\xbe")
                ++machO;
        }
    }
    // Core, quazip, qcocoa and the updater in both lists; wareloader, glitchpost and the client.
    EXPECT_EQ(11, patches);
    EXPECT_EQ(8, machO);
}

TEST_F(ReleaseToolsTest, EveryPackedFileUnpacksToTheNewOne)
{
    int containers = 0;
    int gzipped = 0;
    for (const char* name : kLists) {
        for (const ListLine& line : readList(name)) {
            if (line.fields.size() != 5 || line.key.endsWith(QLatin1String("_patch_")))
                continue;
            const QString expected = newContents() + "/" + installedPath(line);
            const QString file = servedFile(line.section, line.key);
            if (line.key.endsWith(QLatin1String("._lzma2_"))) {
                ++containers;
                const QString out = s_Dir->filePath("unpacked");
                QFile::remove(out);
                EXPECT_TRUE(DecompressLzmaFile(file.toUtf8().constData(), out.toUtf8().constData()))
                    << line.key.toStdString();
                EXPECT_EQ(readFile(expected), readFile(out)) << line.key.toStdString();
            } else {
                ++gzipped;
                EXPECT_EQ(readFile(expected), gunzip(file)) << line.key.toStdString();
            }
        }
    }
    EXPECT_GE(containers, 20);
    EXPECT_EQ(2, gzipped);
}

TEST_F(ReleaseToolsTest, TheUpdatersListBuilderFindsPatchesAndRemovalsAgainstVersionN)
{
    for (const bool clientStep : {true, false}) {
        QTemporaryDir temp;
        const QString name = ReleaseBuilder::productIniName(clientStep);
        const std::string list = name.toStdString();
        ASSERT_TRUE(DecompressLzmaFile((served() + "/" + name + "._lzma2_").toUtf8().constData(),
                                       temp.filePath(name).toUtf8().constData()));
        Configuration config;
        config.m_ClientUpdate = clientStep ? 1 : 0;
        config.m_TempDir = temp.path();
        config.m_InstallDir = oldContents();
        auto lists = std::make_shared<UpdateLists>();
        MakeDownloadReplaceListFunc func(&config, lists);
        ASSERT_TRUE(func.run()) << list;

        QStringList downloads;
        for (const DownloadEntry& e : lists->downloadList)
            downloads << e.group + "/" + e.name;
        QStringList replaced;
        for (const ReplaceEntry& e : lists->replaceList)
            replaced << e.relativePath(QString());
        EXPECT_TRUE(downloads.contains("./Frameworks/libQt5Core.dylib._patch_")) << list;
        EXPECT_TRUE(downloads.contains("./SharedSupport/update.app/Contents/MacOS/update._patch_")
                    || downloads.contains("common_client/update.app/Contents/MacOS/update._patch_"))
            << list;
        EXPECT_TRUE(replaced.contains("Frameworks/libvxopus.dylib")) << list;
        EXPECT_FALSE(replaced.contains("Frameworks/libQt5Gui.dylib")) << list;
        if (clientStep) {
            EXPECT_TRUE(downloads.contains("common_client/glitchpost.app/Contents/MacOS/glitchpost._patch_"));
            EXPECT_TRUE(downloads.contains("./Resources/help/index.html.gz"));
            EXPECT_TRUE(replaced.contains("SharedSupport/update.app/Contents/Resources/logo.png"));
            EXPECT_FALSE(replaced.contains("Resources/vx3client.icns"));
            bool legacyFolder = false;
            for (const DeleteEntry& e : lists->deleteList)
                legacyFolder = legacyFolder || (e.path == "Resources/legacy" && e.isDir);
            EXPECT_TRUE(legacyFolder);
            EXPECT_EQ(4, lists->deleteList.size());
        } else {
            // Only the updater and what it links to; its unchanged files were copied into place.
            for (const QString& path : replaced)
                EXPECT_TRUE(path.startsWith("SharedSupport/update.app/") || path.startsWith("Frameworks/")
                            || path.startsWith("Plugins/"))
                    << path.toStdString();
            EXPECT_EQ(readFile(oldContents() + "/SharedSupport/update.app/Contents/Resources/update.icns"),
                      readFile(temp.filePath("SharedSupport/update.app/Contents/Resources/update.icns")));
            EXPECT_TRUE(lists->deleteList.isEmpty());
        }
    }
}

TEST_F(ReleaseToolsTest, UpdaterBundlesGivenApartReplaceTheOnesInsideTheClient)
{
    QTemporaryDir dir;
    const QString updater = dir.filePath("update.app");
    ASSERT_TRUE(ClientBundle::writeFile(updater + "/Contents/MacOS/update", readFile("/bin/true")));
    ASSERT_TRUE(QFile::setPermissions(updater + "/Contents/MacOS/update",
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    ASSERT_TRUE(ClientBundle::writeFile(updater + "/Contents/Resources/extra.txt", "only here\n"));

    ReleaseBuilder::Options options;
    options.oldBundle = s_Dir->filePath("old");
    options.newBundle = newContents();
    options.newUpdater = updater;
    options.version = kNewVersion;
    options.outDir = dir.filePath("served");
    ReleaseBuilder builder(options);
    ASSERT_TRUE(builder.build()) << builder.error().toStdString();

    QSet<QString> clientKeys;
    QSet<QString> updaterKeys;
    QSet<QString> deleted;
    for (const ReleaseBuilder::Entry& e : builder.entries()) {
        if (e.kind == ReleaseBuilder::Kind::Delete)
            deleted.insert(e.key);
        else if (e.productIni == ReleaseBuilder::productIniName(true))
            clientKeys.insert(e.section + "|" + e.key);
        else
            updaterKeys.insert(e.section + "|" + e.key);
    }
    EXPECT_TRUE(clientKeys.contains("common_client|update.app/Contents/Resources/extra.txt"));
    EXPECT_TRUE(updaterKeys.contains(".|SharedSupport/update.app/Contents/Resources/extra.txt"));
    // The generated updater's files that the given bundle lacks are gone in N+1.
    EXPECT_FALSE(updaterKeys.contains(".|SharedSupport/update.app/Contents/Info.plist._lzma2_"));
    EXPECT_TRUE(deleted.contains("SharedSupport/update.app/Contents/Info.plist"));
    // Same program as in N: listed, but not patched.
    EXPECT_TRUE(updaterKeys.contains(".|SharedSupport/update.app/Contents/MacOS/update._lzma2_"));
    EXPECT_FALSE(updaterKeys.contains(".|SharedSupport/update.app/Contents/MacOS/update._patch_"));
}

// nginx serves the tree with the right bytes and length; skipped when nginx is not installed.
TEST_F(ReleaseToolsTest, NginxServesTheTree)
{
    const QString nginx = QStandardPaths::findExecutable(
        QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                                  QStringLiteral("/usr/bin")});
    if (nginx.isEmpty())
        GTEST_SKIP() << "nginx is not installed (Debian package nginx-light)";

    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    const QString state = s_Dir->filePath("nginx-state");
    const QString root = s_Dir->filePath("served");
    const auto script = [&](const QString& action) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(QStringLiteral(VX_NGINX_SCRIPT), {action, root, QString::number(port), state});
        return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    };
    ASSERT_TRUE(script(QStringLiteral("start")));

    const auto get = [port](const QByteArray& target, QByteArray* head, QByteArray* body) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return false;
        socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray reply;
        while (socket.waitForReadyRead(5000) || socket.bytesAvailable() > 0)
            reply += socket.readAll();
        const int split = reply.indexOf("\r\n\r\n");
        *head = reply.left(split);
        *body = reply.mid(split + 4);
        return split > 0;
    };
    struct Case
    {
        QByteArray target;
        QString file;
    };
    const QByteArray version = QByteArray::number(kNewVersion);
    const QList<Case> cases = {
        {"/" + version + "/vx3_client_macosx.ini.sig", served() + "/vx3_client_macosx.ini.sig"},
        {"/" + version + "/./Resources/sound%20packs/default/ping.wav._lzma2_",
         served() + "/Resources/sound packs/default/ping.wav._lzma2_"},
        {"/" + version + "/common_client/glitchpost.app/Contents/MacOS/glitchpost._patch_",
         served() + "/common_client/glitchpost.app/Contents/MacOS/glitchpost._patch_"},
    };
    for (const Case& c : cases) {
        QByteArray head;
        QByteArray body;
        ASSERT_TRUE(get(c.target, &head, &body)) << c.target.constData();
        const QByteArray expected = readFile(c.file);
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_TRUE(head.startsWith("HTTP/1.1 200")) << head.constData();
        EXPECT_TRUE(head.contains("Content-Length: " + QByteArray::number(expected.size()) + "\r\n"))
            << head.constData();
        EXPECT_TRUE(body == expected) << c.target.constData();
    }
    QByteArray head;
    QByteArray body;
    ASSERT_TRUE(get("/" + version + "/no-such-file", &head, &body));
    EXPECT_TRUE(head.startsWith("HTTP/1.1 404")) << head.constData();
    EXPECT_TRUE(QFileInfo::exists(state + "/logs/access.log"));

    ASSERT_TRUE(script(QStringLiteral("stop")));
    QTcpSocket after;
    after.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_FALSE(after.waitForConnected(2000));
}
} // namespace
