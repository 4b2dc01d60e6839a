#include "common/bundlegenerator.h"

#include "common/clientbundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace
{
// A small deterministic generator (xorshift32); the same seed gives the same bytes everywhere.
class Noise
{
public:
    explicit Noise(quint32 seed) : m_State(seed ? seed : 0x9E3779B9u) {}
    quint32 next()
    {
        m_State ^= m_State << 13;
        m_State ^= m_State >> 17;
        m_State ^= m_State << 5;
        return m_State;
    }

private:
    quint32 m_State;
};

const char* const kWords[] = {
    "voice",   "channel", "server",  "client", "whisper", "talk",    "mute",    "volume",
    "codec",   "opus",    "packet",  "jitter", "buffer",  "latency", "user",    "group",
    "permission", "token", "avatar", "badge",  "ping",    "sound",   "pack",    "hotkey",
    "overlay", "plugin",  "script",  "lua",    "event",   "menu",    "console", "update",
};

struct Fixture
{
    const char* oldName; // fixture file of version N; null: the file is new in N+1
    const char* newName; // fixture file of version N+1; null: the file is gone in N+1
};

// Mach-O programs and libraries, by path below Contents.
struct MachOFile
{
    const char* path;
    Fixture fixture;
};

const MachOFile kMachOFiles[] = {
    {"Frameworks/libQt5Core.dylib", {"macho64_dylib_v1", "macho64_dylib_v2"}},
    {"Frameworks/libQt5Gui.dylib", {"macho64_bundle_v1", "macho64_bundle_v1"}},
    {"Frameworks/libQt5Widgets.dylib", {"macho64_dataonly", "macho64_dataonly"}},
    {"Frameworks/libQt5Network.dylib", {"macho32_dylib_v1", "macho32_dylib_v1"}},
    {"Frameworks/libQt5PrintSupport.dylib", {"macho32_bundle_v1", "macho32_bundle_v1"}},
    {"Frameworks/libquazip.dylib", {"macho32_dylib_v1", "macho32_dylib_v2"}},
    {"Frameworks/libvxopus.dylib", {nullptr, "macho64_bundle_v2"}},
    {"Frameworks/libvxlegacy.dylib", {"macho32_exe_v1", nullptr}},
    {"Plugins/platforms/libqcocoa.dylib", {"macho64_bundle_v1", "macho64_bundle_v2"}},
    {"SharedSupport/wareloader.app/Contents/MacOS/wareloader", {"macho64_exe_v1", "macho64_exe_v2"}},
    {"SharedSupport/glitchpost.app/Contents/MacOS/glitchpost", {"macho_fat_v1", "macho_fat_v2"}},
};

const char* const kQtModules[] = {"Core", "Gui", "Widgets", "Network", "PrintSupport"};
const char* const kToolApps[] = {"update", "wareloader", "glitchpost"};

QByteArray infoPlist(const QString& identifier, const QString& executable, int version)
{
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n<dict>\n"
               "\t<key>CFBundleExecutable</key>\n\t<string>%1</string>\n"
               "\t<key>CFBundleIdentifier</key>\n\t<string>%2</string>\n"
               "\t<key>CFBundlePackageType</key>\n\t<string>APPL</string>\n"
               "\t<key>CFBundleShortVersionString</key>\n\t<string>3.%3</string>\n"
               "\t<key>CFBundleVersion</key>\n\t<string>%3</string>\n"
               "</dict>\n</plist>\n")
        .arg(executable, identifier)
        .arg(version)
        .toUtf8();
}

QByteArray clientScript(int version)
{
    return QStringLiteral(
               "#!/bin/sh\n"
               "# Stand-in for the Voxtrel 3 client, version %1.\n"
               "# Every start appends one line to the file named by VX_E2E_CLIENT_LOG.\n"
               "if [ -n \"$VX_E2E_CLIENT_LOG\" ]; then\n"
               "  printf '%s version=%1 args=%s\\n' \"$(date -u +%Y-%m-%dT%H:%M:%SZ)\" \"$*\" "
               ">> \"$VX_E2E_CLIENT_LOG\"\n"
               "fi\n"
               "exit 0\n")
        .arg(version)
        .toUtf8();
}

QByteArray styleSheet(int version)
{
    QByteArray text = "/* Voxtrel 3 client style, release " + QByteArray::number(version) + " */\n";
    const char* const colours[] = {"#1d2b3a", "#f2f4f7", "#2f80ed", "#eb5757"};
    for (int i = 0; i < 60; ++i) {
        text += "QWidget#panel" + QByteArray::number(i) + " { background: "
                + colours[(i + version) % 4] + "; border-radius: " + QByteArray::number(i % 7)
                + "px; }\n";
    }
    return text;
}

QByteArray htmlPage(const QByteArray& title, int paragraphs, quint32 seed)
{
    QByteArray page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title
                      + "</title></head>\n<body>\n<h1>" + title + "</h1>\n";
    for (int i = 0; i < paragraphs; ++i)
        page += "<p>" + BundleGenerator::compressibleBytes(400, seed + i).replace('\n', ' ') + "</p>\n";
    return page + "</body></html>\n";
}

// An emoticon table: a long, mostly stable list in which version N+1 edits a few lines.
QByteArray emoticonTable(int version, bool newVersion)
{
    QByteArray table;
    for (int i = 0; i < 6000; ++i) {
        QByteArray line = ":e" + QByteArray::number(i) + ": emoticons/" + QByteArray::number(i % 97)
                          + "/" + QByteArray::number(i) + ".png "
                          + kWords[(i * 7) % (sizeof(kWords) / sizeof(kWords[0]))] + "\n";
        if (newVersion && i % 1500 == 3)
            line = ":e" + QByteArray::number(i) + ": emoticons/new/" + QByteArray::number(i)
                   + ".png release " + QByteArray::number(version) + "\n";
        table += line;
    }
    return table;
}

// A minimal translation file: the header of Qt's .qm format and no messages.
QByteArray emptyTranslation()
{
    static const unsigned char magic[] = {0x3c, 0xb8, 0x64, 0x18, 0xca, 0xef, 0x9c, 0x95,
                                          0xcd, 0x21, 0x1c, 0xbf, 0x60, 0xa1, 0xbd, 0xdd};
    return QByteArray(reinterpret_cast<const char*>(magic), sizeof(magic));
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

bool copyExecutable(const QString& from, const QString& to, QString* error)
{
    const QFileInfo source(from);
    if (!source.isFile() || !source.isExecutable())
        return fail(error, QStringLiteral("not an executable file: ") + from);
    QDir().mkpath(QFileInfo(to).path());
    QFile::remove(to);
    if (!QFile::copy(from, to))
        return fail(error, QStringLiteral("cannot copy %1 to %2").arg(from, to));
    QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                  | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                  | QFileDevice::ReadOther | QFileDevice::ExeOther);
    return true;
}

bool makeExecutable(const QString& path)
{
    return QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner
                                           | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}
} // namespace

QString BundleGenerator::fixturesDir()
{
    return QStringLiteral(VX_FIXTURE_DIR);
}

QByteArray BundleGenerator::compressibleBytes(qint64 size, quint32 seed)
{
    Noise noise(seed);
    QByteArray out;
    out.reserve(int(size));
    const int wordCount = int(sizeof(kWords) / sizeof(kWords[0]));
    while (out.size() < size) {
        const quint32 r = noise.next();
        if ((r & 0xFF) < 6) {
            // A little noise keeps the data from collapsing to nothing.
            for (int i = 0; i < 8; ++i)
                out += char(noise.next() & 0xFF);
        } else {
            out += kWords[(r >> 8) % wordCount];
            out += ((r >> 20) & 0xF) == 0 ? '\n' : ' ';
        }
    }
    out.truncate(int(size));
    return out;
}

QByteArray BundleGenerator::randomBytes(qint64 size, quint32 seed)
{
    Noise noise(seed);
    QByteArray out(int(size), Qt::Uninitialized);
    for (char& c : out)
        c = char(noise.next() & 0xFF);
    return out;
}

bool BundleGenerator::generate(const Options& options, const QString& oldRoot, const QString& newRoot,
                               QString* error)
{
    if (options.updaterBinary.isEmpty())
        return fail(error, QStringLiteral("no updater binary given"));
    return writeVersion(options, oldRoot, false, error) && writeVersion(options, newRoot, true, error);
}

bool BundleGenerator::writeVersion(const Options& options, const QString& root, bool newVersion,
                                   QString* error)
{
    const int version = options.oldVersion + (newVersion ? 1 : 0);
    const QString bundlePath = root + QLatin1Char('/') + bundleName();
    if (QFileInfo::exists(bundlePath) && !QDir(bundlePath).removeRecursively())
        return fail(error, QStringLiteral("cannot remove ") + bundlePath);
    ClientBundle bundle(root);
    if (!bundle.isValid())
        return fail(error, QStringLiteral("cannot create ") + bundle.contentsDir());

    QStringList failed;
    auto add = [&](const QString& relative, const QByteArray& content) {
        if (!bundle.addFile(relative, content))
            failed << relative;
    };

    // The client itself.
    add(QStringLiteral("Info.plist"), infoPlist(QStringLiteral("com.voxtrel.client"),
                                                QStringLiteral("vx3client_mac"), version));
    add(QStringLiteral("PkgInfo"), "APPL????");
    add(clientExecutable(), clientScript(version));
    makeExecutable(bundle.path(clientExecutable()));

    // Mach-O programs and libraries from the fixtures.
    for (const MachOFile& file : kMachOFiles) {
        const char* fixture = newVersion ? file.fixture.newName : file.fixture.oldName;
        if (!fixture)
            continue;
        const QByteArray content = ClientBundle::readFile(fixturesDir() + QLatin1Char('/')
                                                          + QLatin1String(fixture));
        if (content.isEmpty())
            return fail(error, QStringLiteral("missing fixture ") + QLatin1String(fixture));
        add(QLatin1String(file.path), content);
        makeExecutable(bundle.path(QLatin1String(file.path)));
    }

    // Resources: changed, unchanged, added and removed files.
    add(QStringLiteral("Resources/vx3client.icns"), randomBytes(40 * 1024, 11));
    add(QStringLiteral("Resources/default.css"), styleSheet(version));
    add(QStringLiteral("Resources/emoticons.dat"), emoticonTable(version, newVersion));
    add(QStringLiteral("Resources/en.lproj/Localizable.strings"),
        "\"Connect\" = \"Connect\";\n\"Disconnect\" = \"Disconnect\";\n");
    add(QStringLiteral("Resources/help/license.html"), htmlPage("Licence", 12, 300));
    add(QStringLiteral("Resources/help/index.html"),
        htmlPage("Voxtrel 3 help, release " + QByteArray::number(version), 30, newVersion ? 200 : 100));
    add(QStringLiteral("Resources/sound packs/default/ping.wav"), randomBytes(100 * 1024, 21));
    if (newVersion) {
        add(QStringLiteral("Resources/sound packs/default/welcome.wav"), randomBytes(20 * 1024, 22));
        add(QStringLiteral("Resources/styles/new/chat.qss"), "QTextBrowser { font-size: 13px; }\n");
    } else {
        add(QStringLiteral("Resources/countries.txt"), compressibleBytes(3000, 31));
        add(QStringLiteral("Resources/legacy/readme.txt"), "Skins of the 2.x clients.\n");
        add(QStringLiteral("Resources/legacy/skins/dark/style.qss"), styleSheet(0));
        add(QStringLiteral("Resources/legacy/skins/dark/bg.png"), randomBytes(5000, 32));
    }

    // Large files for benchmarks: the last one stays as it is, the others change.
    if (options.bigMegabytes > 0) {
        const int parts = 4;
        const qint64 partSize = qint64(options.bigMegabytes) * 1024 * 1024 / parts;
        for (int i = 0; i < parts; ++i) {
            const quint32 seed = 1000 + quint32(i) + ((newVersion && i < parts - 1) ? 500 : 0);
            add(QStringLiteral("Resources/media/pack%1.dat").arg(i + 1), compressibleBytes(partSize, seed));
        }
    }

    // The updater bundle.
    const QString updater = newVersion && !options.newUpdaterBinary.isEmpty() ? options.newUpdaterBinary
                                                                              : options.updaterBinary;
    if (!copyExecutable(updater, bundle.path(updaterExecutable()), error))
        return false;
    add(updaterBundle() + QStringLiteral("/Contents/Info.plist"),
        infoPlist(QStringLiteral("com.voxtrel.update"), QStringLiteral("update"), version));
    add(updaterBundle() + QStringLiteral("/Contents/Resources/update.icns"), randomBytes(6000, 41));
    if (newVersion)
        add(updaterBundle() + QStringLiteral("/Contents/Resources/logo.png"), randomBytes(7000, 42));
    else
        add(updaterBundle() + QStringLiteral("/Contents/Resources/old_logo.png"), randomBytes(7000, 43));
    add(QStringLiteral("SharedSupport/translations/update_de.qm"), emptyTranslation());

    // The tool applications' Info.plist files and their links to the shared frameworks.
    for (const char* app : kToolApps) {
        const QString appDir = QStringLiteral("SharedSupport/%1.app/Contents").arg(QLatin1String(app));
        if (QLatin1String(app) != QLatin1String("update"))
            add(appDir + QStringLiteral("/Info.plist"),
                infoPlist(QStringLiteral("com.voxtrel.") + QLatin1String(app), QLatin1String(app), version));
        QStringList libs;
        for (const char* module : kQtModules)
            libs << QStringLiteral("libQt5%1.dylib").arg(QLatin1String(module));
        if (QLatin1String(app) == QLatin1String("glitchpost"))
            libs << QStringLiteral("libquazip.dylib");
        bundle.addDir(appDir + QStringLiteral("/Frameworks"));
        for (const QString& lib : libs) {
            if (!QFile::link(QStringLiteral("../../../../Frameworks/") + lib,
                             bundle.path(appDir + QStringLiteral("/Frameworks/") + lib)))
                failed << appDir + QStringLiteral("/Frameworks/") + lib;
        }
    }

    if (!failed.isEmpty())
        return fail(error, QStringLiteral("cannot write ") + failed.join(QStringLiteral(", ")));
    return true;
}
