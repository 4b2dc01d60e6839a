#include "updateinidata.h"

#include "configuration.h"
#include "durablestorage.h"
#include "nofollowfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>

namespace {
const char kCurrent[] = "current";
const char kCommitted[] = "committed";

// "update.ini" lies in the client's bundle, where the file or its folder may be another user's:
// QSettings would write through a link standing there.  The settings are therefore edited in a
// private copy in the temp folder, and the result is written back as a fresh file that replaces
// whatever stood under the name (NoFollowFile).  Removed instead when nothing is left in it.
void editSettings(const QString &path, const std::function<void(QSettings &)> &edit)
{
    const QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/update.ini.XXXXXX"));
    const QString copy = folder.filePath(QStringLiteral("update.ini"));
    QFile current(path);
    QFile copyFile(copy);
    if (!folder.isValid() || !copyFile.open(QIODevice::WriteOnly))
        return;
    if (current.open(QIODevice::ReadOnly))
        copyFile.write(current.readAll());
    copyFile.close();
    bool empty = false;
    {
        QSettings settings(copy, QSettings::IniFormat);
        edit(settings);
        settings.sync();
        empty = settings.allKeys().isEmpty();
    }
    if (empty) {
        NoFollowFile::remove(path);
        return;
    }
    if (copyFile.open(QIODevice::ReadOnly))
        NoFollowFile::writeFresh(path, copyFile.readAll());
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

void UpdateIniData::modify(int version, const QString &dir, const QString &vx3dir, const QString &type)
{
    const QString path = iniPath();
    qDebug() << "modify" << path << version << dir << vx3dir << type;
    editSettings(path, [&](QSettings &settings) {
        settings.beginGroup(QLatin1String(kCurrent));
        settings.setValue(QStringLiteral("version"), version);
        settings.setValue(QStringLiteral("dir"), dir);
        settings.setValue(QStringLiteral("vx3dir"), vx3dir);
        settings.setValue(QStringLiteral("type"), type);
    });
}

void UpdateIniData::removeCurrent()
{
    editSettings(iniPath(), [](QSettings &settings) { settings.remove(QLatin1String(kCurrent)); });
}

bool UpdateIniData::markCommitted()
{
    const QString path = iniPath();
    editSettings(path, [](QSettings &settings) {
        settings.beginGroup(QLatin1String(kCurrent));
        settings.setValue(QLatin1String(kCommitted), true);
    });
    // The file is written fresh and synced before it takes the name; the name is synced here.
    if (isCommitted(path) && DurableStorage::syncEntries({path}))
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

void UpdateIniData::modifyTempIni(const QString &folder)
{
    const QString target = folder + QLatin1Char('/') + QStringLiteral("update.ini");
    qDebug() << "modifyTempIni" << target;
    int version = 0;
    QString type, dir, vx3dir;
    if (!get(&version, &type, &dir, &vx3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return;
    }
    {
        QSettings settings(target, QSettings::IniFormat);
        settings.beginGroup(QLatin1String(kCurrent));
        settings.setValue(QStringLiteral("version"), version);
        settings.setValue(QStringLiteral("dir"), dir);
        settings.setValue(QStringLiteral("vx3dir"), vx3dir);
        settings.setValue(QStringLiteral("type"), Configuration::defaultClientType(true));
    }
    copyGroup(iniPath(), QStringLiteral("update"), target);
    const QString channelSource = Configuration::channelIniPath();
    if (!channelSource.isEmpty())
        copyGroup(channelSource, QStringLiteral("Channel"), target);
}

void UpdateIniData::copyGroup(const QString &fromPath, const QString &group, const QString &toPath)
{
    if (QFileInfo(fromPath).absoluteFilePath() == QFileInfo(toPath).absoluteFilePath())
        return;
    QSettings from(fromPath, QSettings::IniFormat);
    from.beginGroup(group);
    const QStringList keys = from.allKeys();
    if (keys.isEmpty())
        return;
    QSettings to(toPath, QSettings::IniFormat);
    to.beginGroup(group);
    to.remove(QString()); // the group as the source has it, nothing left over
    for (const QString &key : keys)
        to.setValue(key, from.value(key));
}
