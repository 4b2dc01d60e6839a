#include "applauncher.h"

#include "bundleownership.h"

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
    // Nobody else may have changed what is started: their code would run with the rights of the
    // user running the updater (root's among them).  Checked right before the start; only the
    // user and root can change the bundle afterwards.
    const QString changeable = BundleOwnership::changeableByOthers(bundlePath, true);
    if (!changeable.isEmpty()) {
        qDebug() << "Not starting" << program << ": another user can change" << changeable;
        return false;
    }
    return QProcess::startDetached(program, QStringList(), info.absolutePath());
}
