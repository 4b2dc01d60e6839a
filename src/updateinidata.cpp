#include "updateinidata.h"

#include "configuration.h"
#include "durablestorage.h"
#include "nofollowfile.h"
#include "privatetempdir.h"
#include "treeremover.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <limits>

namespace {
const char kCurrent[] = "current";
const char kCommitted[] = "committed";

// The private folders of the record copies: "update.ini.<pid>.XXXXXX" in the temp folder, named
// after the process that edits in it, so that a later start can tell an abandoned one.
QString copyFolderPrefix()
{
    return QStringLiteral("update.ini.%1.").arg(qint64(::getpid()));
}

// The bytes of the record at path; an absent file reads as empty.  A link at the name that may
// not be followed (or leads nowhere) counts as absent as well: it is replaced, never read or
// written through.  False when a file is there and cannot be read.
bool readRecord(const QString &path, QByteArray *content)
{
    content->clear();
    struct stat st {};
    if (!NoFollowFile::status(path, &st))
        return errno == ENOENT;
    const int fd = NoFollowFile::openForReading(path);
    if (fd < 0)
        return S_ISLNK(st.st_mode);
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        content->append(buffer, int(got));
    }
    ::close(fd);
    return got == 0;
}

// Writes data to path as a fresh file that reaches stable storage before it takes the name,
// and then the name itself.
bool writeRecord(const QString &path, const QByteArray &data)
{
    return NoFollowFile::writeFreshWith(path, 0644,
               [&data](int fd) {
                   return NoFollowFile::writeAll(fd, data.constData(), size_t(data.size())) &&
                       DurableStorage::syncData(fd, "update.ini");
               }) &&
        DurableStorage::syncEntries({path});
}

// Whether the settings file at path holds exactly `values` (read by an object of its own once
// the one that wrote it is gone).
bool readsBackAs(const QString &path, const QVariantMap &values)
{
    const QSettings settings(path, QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    if (settings.status() == QSettings::AccessError || keys.size() != values.size())
        return false;
    for (const QString &key : keys) {
        const auto value = values.constFind(key);
        // Read back, every value is text: QVariant compares it with the number or flag written.
        if (value == values.cend() || settings.value(key) != value.value())
            return false;
    }
    return true;
}

// Whether the ini text has at least one "key=value" line.  A record is a few hundred bytes, read
// by QSettings in one call: its reading gives all of its settings or none.
bool holdsSettings(const QByteArray &content)
{
    for (const QByteArray &line : content.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith('[') && !trimmed.startsWith(';') &&
            !trimmed.startsWith('#') && trimmed.contains('='))
            return true;
    }
    return false;
}

// "update.ini" lies in the client's bundle, where the file or its folder may be another user's:
// QSettings would write through a link standing there.  The settings are therefore edited in a
// private copy in the temp folder (a folder of its own each time, so that one settings object
// works on it and no lock file of an earlier edit can hold it up), and the result is written
// back as a fresh file that replaces whatever stood under the name (NoFollowFile).  Removed
// instead when nothing is left in it.  False when any step fails; what stood at path is then
// left as it was, unless only the final sync of its folder failed.  A private folder whose
// removal fails is left to removeAbandonedCopies of a later start.
bool editSettings(const QString &path, const std::function<void(QSettings &)> &edit)
{
    QTemporaryDir folder(
        QDir::tempPath() + QLatin1Char('/') + copyFolderPrefix() + QStringLiteral("XXXXXX"));
    if (!folder.isValid())
        return false;
    const QString copy = folder.filePath(QStringLiteral("update.ini"));
    QByteArray content;
    if (!readRecord(path, &content))
        return false;
    QFile copyFile(copy);
    if (!copyFile.open(QIODevice::WriteOnly) || copyFile.write(content) != content.size() ||
        !copyFile.flush())
        return false;
    copyFile.close();
    QVariantMap edited;
    {
        QSettings settings(copy, QSettings::IniFormat);
        // QSettings takes a read that failed for an empty file: the edit would then drop every
        // other setting of the record.
        if (settings.allKeys().isEmpty() && holdsSettings(content))
            return false;
        edit(settings);
        settings.sync();
        // A line QSettings could not make sense of is the user's business; a failed write not.
        if (settings.status() == QSettings::AccessError)
            return false;
        while (!settings.group().isEmpty())
            settings.endGroup();
        for (const QString &key : settings.allKeys())
            edited.insert(key, settings.value(key));
    }
    // QSettings takes a write that failed while its buffer was flushed for a success and puts
    // the cut file in place: the copy counts only when it reads back as it was edited.
    if (!readsBackAs(copy, edited))
        return false;
    const bool empty = edited.isEmpty();
    bool written = false;
    if (empty) {
        struct stat st {};
        const bool present = NoFollowFile::status(path, &st) || errno != ENOENT;
        written = !present || (NoFollowFile::remove(path) && DurableStorage::syncEntries({path}));
    } else if (copyFile.open(QIODevice::ReadOnly)) {
        content = copyFile.readAll();
        written = copyFile.error() == QFileDevice::NoError && writeRecord(path, content);
    }
    copyFile.close();
    // Nothing of the private copy stays in the temp folder; one more try when a removal failed.
    if (!folder.remove())
        folder.remove();
    return written;
}
} // namespace

QString UpdateIniData::iniPath()
{
    return QDir(Configuration::appDirBase()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *vx3dir)
{
    return getFrom(iniPath(), version, type, dir, vx3dir);
}

bool UpdateIniData::getFrom(const QString &path, int *version, QString *type, QString *dir, QString *vx3dir)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kCurrent));
    bool versionOk = false;
    const QVariant versionValue = settings.value(QStringLiteral("version"));
    const int v = versionValue.isValid() ? versionValue.toInt(&versionOk) : 0;
    const QString d = settings.value(QStringLiteral("dir")).toString();
    const QString x = settings.value(QStringLiteral("vx3dir")).toString();
    const QString t = settings.value(QStringLiteral("type")).toString();
    qDebug() << "get" << path << v << d << x << t;

    if (!versionOk || t.isEmpty() || d.isEmpty() || !QFile::exists(d))
        return false;
    if (version)
        *version = v;
    if (type)
        *type = t;
    if (dir)
        *dir = d;
    if (vx3dir)
        *vx3dir = x;
    return true;
}

bool UpdateIniData::modify(int version, const QString &dir, const QString &vx3dir, const QString &type)
{
    const QString path = iniPath();
    qDebug() << "modify" << path << version << dir << vx3dir << type;
    return editSettings(path, [&](QSettings &settings) {
        settings.beginGroup(QLatin1String(kCurrent));
        settings.setValue(QStringLiteral("version"), version);
        settings.setValue(QStringLiteral("dir"), dir);
        settings.setValue(QStringLiteral("vx3dir"), vx3dir);
        settings.setValue(QStringLiteral("type"), type);
    });
}

bool UpdateIniData::removeCurrent()
{
    return editSettings(
        iniPath(), [](QSettings &settings) { settings.remove(QLatin1String(kCurrent)); });
}

bool UpdateIniData::markCommitted()
{
    const QString path = iniPath();
    // The file is written fresh and synced before it takes the name, and the name after.
    const bool written = editSettings(path, [](QSettings &settings) {
        settings.beginGroup(QLatin1String(kCurrent));
        settings.setValue(QLatin1String(kCommitted), true);
    });
    if (written && isCommitted(path))
        return true;
    // Not known to be on disk: the step fails and is undone, which a mark must not outlive.
    editSettings(path, [](QSettings &settings) {
        settings.beginGroup(QLatin1String(kCurrent));
        settings.remove(QLatin1String(kCommitted));
    });
    return false;
}

bool UpdateIniData::isCommitted(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kCurrent));
    return settings.status() == QSettings::NoError &&
        settings.value(QLatin1String(kCommitted)).toBool();
}

bool UpdateIniData::modifyTempIni(const QString &folder)
{
    const QString target = folder + QLatin1Char('/') + QStringLiteral("update.ini");
    qDebug() << "modifyTempIni" << target;
    int version = 0;
    QString type, dir, vx3dir;
    if (!get(&version, &type, &dir, &vx3dir)) {
        // Without the record the client step's updater would not know its session.
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder))
        return false;
    // The user's settings are read first, each by a settings object of its own that only reads:
    // the one object that writes works on the private copy of the target.
    QVariantMap update, channel;
    const QString channelSource = Configuration::channelIniPath();
    if (!readGroup(iniPath(), QStringLiteral("update"), target, &update) ||
        (!channelSource.isEmpty() &&
            !readGroup(channelSource, QStringLiteral("Channel"), target, &channel)))
        return false;
    return editSettings(target, [&](QSettings &settings) {
        settings.beginGroup(QLatin1String(kCurrent));
        settings.setValue(QStringLiteral("version"), version);
        settings.setValue(QStringLiteral("dir"), dir);
        settings.setValue(QStringLiteral("vx3dir"), vx3dir);
        settings.setValue(QStringLiteral("type"), Configuration::defaultClientType(true));
        settings.endGroup();
        // Each group as the source has it, nothing left over; a group the source lacks stays.
        for (const auto &group : {qMakePair(QStringLiteral("update"), &update),
                 qMakePair(QStringLiteral("Channel"), &channel)}) {
            if (group.second->isEmpty())
                continue;
            settings.beginGroup(group.first);
            settings.remove(QString());
            for (auto value = group.second->cbegin(); value != group.second->cend(); ++value)
                settings.setValue(value.key(), value.value());
            settings.endGroup();
        }
    });
}

int UpdateIniData::removeAbandonedCopies()
{
    static const QRegularExpression copyName(QStringLiteral("^update\\.ini\\.([0-9]+)\\.[^/]+$"));
    const QDir temp(QDir::tempPath());
    const QFileInfoList entries =
        temp.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    int removed = 0;
    for (const QFileInfo &entry : entries) {
        const QRegularExpressionMatch match = copyName.match(entry.fileName());
        if (!match.hasMatch())
            continue;
        bool numeric = false;
        const qint64 pid = match.captured(1).toLongLong(&numeric);
        // Only a folder of the user's own, and only when its process is gone: a running updater
        // (of another installation too) may be editing in it.
        if (!numeric || pid <= 0 || pid > std::numeric_limits<pid_t>::max() ||
            ::kill(pid_t(pid), 0) == 0 || errno != ESRCH ||
            !PrivateTempDir::isPrivateSessionFolder(entry.absoluteFilePath()))
            continue;
        if (TreeRemover::removeTree(entry.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

QString UpdateIniData::writeFailureText(const QString &path)
{
    return QStringLiteral("Could not write the session record %1").arg(path);
}

bool UpdateIniData::readGroup(
    const QString &fromPath, const QString &group, const QString &toPath, QVariantMap *values)
{
    values->clear();
    if (QFileInfo(fromPath).absoluteFilePath() == QFileInfo(toPath).absoluteFilePath())
        return true;
    QSettings from(fromPath, QSettings::IniFormat);
    if (from.status() == QSettings::AccessError)
        return false;
    from.beginGroup(group);
    for (const QString &key : from.allKeys())
        values->insert(key, from.value(key));
    return true;
}
