#include "updateengine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char *const kOldFileNames[] = {
    "update",
    "libQtCore.so.4",
    "libQtGui.so.4",
    "libQtNetwork.so.4",
    "libQtSql.so.4",
    "libQt5Core.so.5",
    "libQt5Gui.so.5",
    "libQt5Network.so.5",
    "libQt5Sql.so.5",
    "libqgif.so",
    "libqjpeg.so",
    "libqtaccessiblewidgets.so",
    "libsqlite.so",
};

const char *const kQt4Frameworks[] = {
    "QtCore.framework",
    "QtGui.framework",
    "QtNetwork.framework",
    "QtSql.framework",
};

const char *const kCompanionApps[] = {
    "glitchpost",
    "wareloader",
    "update",
};

} // namespace

void UpdateEngine::removeOldFiles(const QString &dir)
{
    // Joined through QDir so that the name lands inside `dir` with or without a trailing "/".
    const QDir base(dir);
    for (const char *name : kOldFileNames) {
        const QString path = base.absoluteFilePath(QStringLiteral("_old_") + QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove old file:" << path;
            QFile::remove(path);
        }
    }
}

void UpdateEngine::removeQt4Files(const QString &dir)
{
    const QDir base(dir);
    const QDir sharedFrameworks(base.absoluteFilePath(QStringLiteral("../Frameworks")));
    for (const char *name : kQt4Frameworks) {
        const QString path = sharedFrameworks.absoluteFilePath(QLatin1String(name));
        const QFileInfo info(path);
        if (info.isSymLink()) {
            // Only the link goes: what it points to is not ours to delete.
            qDebug() << "Remove Qt4 dir:" << path;
            QFile::remove(path);
        } else if (info.exists()) {
            qDebug() << "Remove Qt4 dir:" << path;
            // Only a folder is removed here; an entry of that name that is no folder stays.
            QDir(path).removeRecursively();
        }
    }

    for (const char *app : kCompanionApps) {
        const QDir frameworks(base.absoluteFilePath(QLatin1String(app) + QStringLiteral(".app/Contents/Frameworks")));
        for (const char *name : kQt4Frameworks) {
            // Removes a link or a plain file of that name; a real folder stays.
            QFile::remove(frameworks.absoluteFilePath(QLatin1String(name)));
        }
    }
}
