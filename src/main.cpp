// Start-up of the updater: checks the protocol-buffers runtime, silences Qt's logging, removes
// what earlier installations left beside the updater, installs the translations, builds the
// run's configuration and window, parses the command line and runs the event loop.
//
// Exit status: 1 when the command line cannot be parsed, when no private temp folder can be had
// or after a fatal configuration error, 2 after a fatal engine error, when run as root over a
// bundle that another user can write, or when the window is closed after a failed update,
// otherwise the event loop's result (0).

#include "bundleownership.h"
#include "configuration.h"
#include "installlock.h"
#include "mainwindow.h"
#include "nofollowfile.h"
#include "privatetempdir.h"
#include "protobufhelper.h"
#include "updateengine.h"
#include "updateversions.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <QTranslator>

#include <unistd.h>

namespace {

// The details log of the window is the only record of a run: Qt's own logging goes nowhere.
void discardMessageHandler(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

int main(int argc, char **argv)
{
    // First of all, so that nothing below can write to standard error.
    qInstallMessageHandler(discardMessageHandler);
    // Before anything could start a program: the lock of the session this step continues.
    InstallLock::takeHandedOver();
    // Every fixed file name the updater uses lies in the temp folder: it must be the user's own.
    // It is set up before Qt starts, so that nothing Qt puts in the temp folder lands elsewhere.
    const bool tempReady = PrivateTempDir::setUp();
    if (!tempReady && QDir::tempPath().isEmpty()) {
        // TMPDIR names nothing.  Without a runtime folder of the session Qt makes one in the temp
        // folder, which would be at the root of the file system now: Qt gets its default instead.
        qunsetenv("TMPDIR");
    }
    initProtobuf();
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    QApplication app(argc, argv);

    const QString appDir = Configuration::appDirBase();
    qDebug() << "Voxtrel updater started";
    // As root only a bundle that nobody else can write is touched, from the very first change.
    if (geteuid() == 0) {
        const QString contents = Configuration::settledFolder(appDir + QStringLiteral("../"));
        // Walked once: the engine's check of the same folder reuses the result.
        const QString entry = BundleOwnership::treeChangeableByOthers(contents);
        if (!entry.isEmpty()) {
            QMessageBox::critical(nullptr, QObject::tr("Error"),
                BundleOwnership::refusalText(QDir::cleanPath(contents + QStringLiteral("..")), entry));
            return 2;
        }
    }
    UpdateEngine::removeQt4Files(appDir);
    for (const char *sub : {"", "/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(appDir + QLatin1String(sub));
    NoFollowFile::removeFolder(appDir + QStringLiteral("/old"));
    qDebug() << "Removing old files done";

    // "update_de_DE" falls back to "update_de" (QTranslator's default search).
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(appDir + QStringLiteral("/translations/update_") + locale);
    app.installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    qtTranslator.load(appDir + QStringLiteral("/translations/qt_") + locale);
    app.installTranslator(&qtTranslator);

    if (!tempReady) {
        // Said before anything else exists: the window and its engine would write to the temp
        // folder at once.
        QMessageBox::critical(nullptr, QObject::tr("Error"),
            QStringLiteral("Unable to get temp directory."), QMessageBox::Ok,
            QMessageBox::NoButton);
        return 1;
    }

    Configuration configuration;
    MainWindow window(&configuration);
    if (!configuration.parseCommandLineOptions()) {
        qDebug() << "Failed to parse command line options, aborting";
        return 1;
    }
    QTimer::singleShot(2000, &window, SLOT(onStartUpdate()));
    window.setHeaderTexts();
    window.show();
    const int status = app.exec();
    shutdownProtobuf();
    return status;
}
