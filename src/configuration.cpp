#include "configuration.h"

#include "nofollowfile.h"
#include "updatechecker.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QString imageBaseUrl;

namespace {

const char kArgsFileName[] = "vx3clientupdateargs";
const char kIniName[] = "update.ini";
// The arguments file holds four short lines; anything much larger is not ours.
constexpr qint64 kMaxArgsFileSize = 64 * 1024;

QString g_testApplicationDir;

QString applicationDir()
{
    return g_testApplicationDir.isEmpty() ? QCoreApplication::applicationDirPath() : g_testApplicationDir;
}

// The folder reached by walking path (links on the way followed only as the file tasks follow
// them); false when it cannot be reached.
bool walkedIdentity(const QString &path, struct stat *st)
{
    const int fd = NoFollowFile::openFolder(path);
    if (fd < 0)
        return false;
    const bool ok = ::fstat(fd, st) == 0;
    ::close(fd);
    return ok;
}

// appDirBase, settled once per application folder.
QMutex g_appDirMutex;
QString g_settledForDir;
QString g_settledAppDirBase;

} // namespace

Configuration::Configuration(QObject *parent)
    : QObject(parent)
{
}

void Configuration::setApplicationDirForTesting(const QString &dir)
{
    g_testApplicationDir = dir;
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    QStringList args = arguments;
    qDebug() << "parseCommandLineOptions" << args;
    if (args.size() <= 1)
        args = readArgsFile();

    m_ClientUpdate = (args.size() >= 2 && args.at(1) == QLatin1String("--clientupdate")) ? 1 : 0;
    getUpdateChannel();

    if (args.size() >= 2 && (args.at(1) == QLatin1String("--nouser") || args.at(1) == QLatin1String("--clientupdate"))) {
        qDebug() << "CLIENTUPDATE" << (m_ClientUpdate ? "true" : "false");
        if (args.size() >= 4 && !parseClientInfo(args, 2))
            return false;
        if (args.size() >= 5 && args.at(4) != QLatin1String("#"))
            m_VersionString = args.at(4);
        getDefaultParameters();
        markReady();
        return true;
    }
    if (args.size() == 3) {
        if (!parseClientInfo(args, 1))
            return false;
        m_Ready = true;
        return true;
    }
    qDebug() << "Empty cmdline params";
    getDefaultParameters();
    markReady();
    return true;
}

void Configuration::markReady()
{
    // While a version check runs the reply decides (on_updateAvailable).
    if (m_Version != 0)
        m_Ready = true;
}

QString Configuration::channelIniPath()
{
    qDebug() << "Searching update.ini";
    const QString configIni = configDir() + QLatin1String(kIniName);
    const bool inConfig = QFile::exists(configIni);
    qDebug() << "Update ini check #1 in CONFIG" << configIni << inConfig;
    if (inConfig) {
        qDebug() << "Found CONFIG/update.ini";
        return configIni;
    }
    const QString installIni = installDir() + QLatin1Char('/') + QLatin1String(kIniName);
    const bool inInstall = QFile::exists(installIni);
    qDebug() << "Update ini check #2 in INSTALL" << installIni << inInstall;
    if (inInstall) {
        qDebug() << "Found INSTALL/update.ini";
        return installIni;
    }
    return QString();
}

void Configuration::getUpdateChannel()
{
    const QString path = channelIniPath();
    if (path.isEmpty()) {
        m_Channel = 0;
        m_Version = 0;
        imageBaseUrl = defaultImageBaseUrl();
        qDebug() << "No update.ini found, using stable channel, URL =" << imageBaseUrl;
        return;
    }

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        m_Channel = 2;
        const int revision = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        // A revision of 0 or below names no version: the version service is asked instead.
        m_Version = revision > 0 ? revision : 0;
        imageBaseUrl = alpha.endsWith(QLatin1Char('/')) ? alpha : alpha + QLatin1Char('/');
        qDebug() << "Alpha channel detected, URL =" << imageBaseUrl;
        return;
    }
    m_Channel = beta ? 1 : 0;
    m_Version = 0;
    imageBaseUrl = defaultImageBaseUrl();
    qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << imageBaseUrl;
}

bool Configuration::parseClientInfo(const QStringList &arguments, int index)
{
    if (index < 0 || index >= arguments.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    m_ClientType = arguments.at(index);
    if (index + 1 >= arguments.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return setVersion(arguments.at(index + 1), tr("Invalid version nr (%1)"));
}

bool Configuration::setVersion(const QString &text, const QString &errorFormat)
{
    if (m_Version != 0)
        return true; // an alpha revision from update.ini wins
    bool ok = false;
    const int version = text.toInt(&ok, 10);
    // Version folders start at 1; 0 or a negative number can only lead to failed downloads.
    if (!ok || version <= 0) {
        m_Version = 0;
        emit fatalError(errorFormat.arg(text));
        return false;
    }
    m_Version = version;
    return true;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_ClientType;
    if (m_ClientType.isEmpty())
        m_ClientType = defaultClientType(m_ClientUpdate != 0);
    qDebug() << "clientType" << m_ClientType;
    if (m_Version != 0)
        return true;

    auto *checker = new UpdateChecker(this);
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
    checker->start();
    return true;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        // The version service could not be reached or sent nothing usable: nothing can be
        // updated, so this ends the run like any other missing setting (exit status 1).
        emit fatalError(tr("Failed to query latest client\nversion from update server."));
        return;
    }
    const QPair<QString, QString> version = UpdateChecker::versionForChannel(versions, m_Channel);
    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(tr("Update server returned no version"));
        return;
    }
    if (!setVersion(version.first, tr("Update server returned invalid version nr (%1)")))
        return;
    m_VersionString = version.second;
    m_Ready = true;
    emit ready();
}

bool Configuration::initalizeStart(const QString &tempDir, const QString &installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_TempDir = tempDir;
    else if (!createTempDir())
        return false;
    m_InstallDir = settledFolder(installDir.isEmpty() ? appDirBase() + QStringLiteral("../") : installDir);
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QLatin1String("voxtrel_temp_");
    QDir().mkpath(QFileInfo(base).path());
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = base + QString::number(n);
        const QByteArray native = QFile::encodeName(candidate);
        // A name in use may belong to another session: never reuse it.  The folder is the
        // user's alone, whatever the umask says.
        if (::mkdir(native.constData(), 0700) != 0)
            continue;
        const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool made = fd >= 0 && ::fchmod(fd, 0700) == 0;
        if (fd >= 0)
            ::close(fd);
        if (made) {
            m_TempDir = candidate;
            return true;
        }
        // A folder that may be open to others is no session folder; nobody would ever remove
        // it, so it goes at once (it is empty and was made just now).
        ::rmdir(native.constData());
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateSettings()
{
    QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    m_Proxy = settings.value(QStringLiteral("proxy")).toString();
    m_Streams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (m_Streams < 1)
        m_Streams = 6;
}

bool Configuration::isClientDir(const QString &dir) const
{
    return !dir.isEmpty() && QFile::exists(dir + QLatin1Char('/') + QLatin1String("../MacOS/") + clientExecutableName());
}

QString Configuration::argsFilePath()
{
    return QDir::tempPath() + QLatin1Char('/') + QLatin1String(kArgsFileName);
}

QStringList Configuration::readArgsFile()
{
    QFile file(argsFilePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringList();
    const QByteArray content = file.read(kMaxArgsFileSize);
    const int nul = content.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? content : content.left(nul));
    QStringList args = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    args.prepend(QString());
    return args;
}

bool Configuration::writeArgsFile(const QStringList &arguments)
{
    // A fresh file renamed into place: a link planted under the fixed name is replaced, never
    // written through.
    QByteArray content;
    for (const QString &argument : arguments)
        content += argument.toUtf8() + '\n';
    return NoFollowFile::writeFresh(argsFilePath(), content);
}

QString Configuration::appDirBase()
{
    const QString dir = applicationDir();
    const QMutexLocker lock(&g_appDirMutex);
    if (dir != g_settledForDir || g_settledAppDirBase.isEmpty()) {
        const QString given = dir + QStringLiteral("/../../../");
        const QString settled = settledFolder(given);
        if (settled == given)
            return given; // not settled: tried again on the next call
        g_settledForDir = dir;
        g_settledAppDirBase = settled;
    }
    return g_settledAppDirBase;
}

QString Configuration::settledFolder(const QString &path)
{
    if (path.isEmpty())
        return path;
    const QString absolute =
        QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    struct stat reached;
    if (!walkedIdentity(absolute, &reached))
        return path;
    // The clean text is the same folder unless a link on the way leads elsewhere ("link/.."
    // is the folder above the link's target); then the link-free path may serve.
    const QString candidates[] = {QDir::cleanPath(absolute), QFileInfo(absolute).canonicalFilePath()};
    for (const QString &candidate : candidates) {
        struct stat st;
        if (!candidate.isEmpty() && walkedIdentity(candidate, &st) &&
            st.st_dev == reached.st_dev && st.st_ino == reached.st_ino) {
            const bool slash = path.endsWith(QLatin1Char('/')) && !candidate.endsWith(QLatin1Char('/'));
            return slash ? candidate + QLatin1Char('/') : candidate;
        }
    }
    return path;
}

QString Configuration::installDir()
{
    QDir dir(applicationDir());
    dir.cdUp();
    dir.cdUp();
    dir.cdUp();
    return dir.path();
}

QString Configuration::configDir()
{
    QString dir = QProcessEnvironment::systemEnvironment().value(QStringLiteral("VX3_CONFIG_DIR"));
    if (dir.isEmpty())
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Voxtrel 3/");
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

QString Configuration::defaultClientType(bool client)
{
    return (client ? QStringLiteral("client") : QStringLiteral("update")) + QStringLiteral("_macosx");
}

QString Configuration::clientExecutableName()
{
    return QStringLiteral("vx3client_mac");
}

QString Configuration::defaultImageBaseUrl()
{
    return QStringLiteral("http://images.voxtrel.net/updater-images/client/");
}
