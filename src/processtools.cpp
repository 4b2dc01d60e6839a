#include "processtools.h"

#include "applauncher.h"
#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace {

bool fail(ProcessTools::Failure *failure, ProcessTools::Failure::Kind kind, const QString &path)
{
    if (failure) {
        failure->kind = kind;
        failure->path = path;
    }
    return false;
}

bool launch(const QString &bundle, const QString &executableName, ProcessTools::Failure *failure)
{
    if (AppLauncher::launch(bundle, executableName))
        return true;
    return fail(failure, ProcessTools::Failure::NotStarted,
        AppLauncher::executablePath(bundle, executableName));
}

bool startVx3Client_mac(const QString &installDir, ProcessTools::Failure *failure)
{
    qDebug() << "startVx3Client_mac" << installDir;
    const QString bundle =
        QDir(installDir).filePath(QStringLiteral("../../") + ProcessTools::clientBundleName());
    return launch(bundle, Configuration::clientExecutableName(), failure);
}

bool startNewUpdater_mac(
    const QString &tempDir, const QStringList &args, ProcessTools::Failure *failure)
{
    qDebug() << "startNewUpdater_mac" << tempDir << args;
    // A file left by an earlier run must never reach the next updater: remove it first, and
    // start nothing when the new one cannot be written completely.
    const QString argsFile = Configuration::argsFilePath();
    QFile::remove(argsFile);
    if (!Configuration::writeArgsFile(args)) {
        qDebug() << "Failed to write the arguments file for the second update step";
        QFile::remove(argsFile);
        return fail(failure, ProcessTools::Failure::ArgsFileNotWritten, argsFile);
    }
    const QString bundle = tempDir + QStringLiteral("/SharedSupport/update.app");
    if (!launch(bundle, ProcessTools::updaterExecutableName(), failure)) {
        qDebug() << "Failed to start the updater for the second update step";
        return false;
    }
    return true;
}

} // namespace

bool ProcessTools::startVx3Client(const QString &installDir, Failure *failure)
{
    qDebug() << "startVx3Client";
    return startVx3Client_mac(installDir, failure);
}

bool ProcessTools::startClientUpdater(
    const QString &tempDir, const QStringList &args, Failure *failure)
{
    qDebug() << "startClientUpdater" << tempDir << args;
    return startNewUpdater_mac(tempDir, args, failure);
}

QString ProcessTools::clientBundleName()
{
    return QStringLiteral("Voxtrel 3 Client.app");
}

QString ProcessTools::updaterExecutableName()
{
    return QStringLiteral("update");
}
