#include "processtools.h"

#include "applauncher.h"
#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace {

bool startVx3Client_mac(const QString &installDir)
{
    qDebug() << "startVx3Client_mac" << installDir;
    const QString bundle = QDir(installDir).filePath(QStringLiteral("../../") + ProcessTools::clientBundleName());
    return AppLauncher::launch(bundle, Configuration::clientExecutableName());
}

bool startNewUpdater_mac(const QString &tempDir, const QStringList &args)
{
    qDebug() << "startNewUpdater_mac" << tempDir << args;
    // A file left by an earlier run must never reach the next updater: remove it first, and
    // start nothing when the new one cannot be written completely.
    const QString argsFile = Configuration::argsFilePath();
    QFile::remove(argsFile);
    if (!Configuration::writeArgsFile(args)) {
        qDebug() << "Failed to write the arguments file for the second update step";
        QFile::remove(argsFile);
        return false;
    }
    const QString bundle = tempDir + QStringLiteral("/SharedSupport/update.app");
    if (!AppLauncher::launch(bundle, ProcessTools::updaterExecutableName())) {
        qDebug() << "Failed to start the updater for the second update step";
        return false;
    }
    return true;
}

} // namespace

bool ProcessTools::startVx3Client(const QString &installDir)
{
    qDebug() << "startVx3Client";
    return startVx3Client_mac(installDir);
}

bool ProcessTools::startClientUpdater(const QString &tempDir, const QStringList &args)
{
    qDebug() << "startClientUpdater" << tempDir << args;
    return startNewUpdater_mac(tempDir, args);
}

QString ProcessTools::clientBundleName()
{
    return QStringLiteral("Voxtrel 3 Client.app");
}

QString ProcessTools::updaterExecutableName()
{
    return QStringLiteral("update");
}
