#include "applauncher.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

QString AppLauncher::executablePath(const QString &bundlePath, const QString &executableName)
{
    return QDir::cleanPath(bundlePath + QStringLiteral("/Contents/MacOS/") + executableName);
}

bool AppLauncher::launch(const QString &bundlePath, const QString &executableName)
{
    const QString program = executablePath(bundlePath, executableName);
    const QFileInfo info(program);
    qDebug() << "starting" << program;
    if (executableName.isEmpty() || executableName.contains(QLatin1Char('/')) || !info.isFile()
        || !info.isExecutable()) {
        qDebug() << "No executable at" << program;
        return false;
    }
    return QProcess::startDetached(program, QStringList(), info.absolutePath());
}
