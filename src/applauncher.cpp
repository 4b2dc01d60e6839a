#include "applauncher.h"

#include "bundleownership.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

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
    // As root, nobody else may have changed what is started: their code would run with root's
    // rights.  Checked right before the start; only root can change the bundle afterwards.  A
    // user's updater starts the client as the user starts it, with the user's rights.
    const QString changeable =
        geteuid() == 0 ? BundleOwnership::changeableByOthers(bundlePath, true) : QString();
    if (!changeable.isEmpty()) {
        qDebug() << "Not starting" << program << ": another user can change" << changeable;
        return false;
    }
    return QProcess::startDetached(program, QStringList(), info.absolutePath());
}
