#include "mainwindow.h"

#include "banner.h"
#include "configuration.h"
#include "installlock.h"
#include "processtools.h"
#include "updateengine.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QStringList>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {

// The tool applications inside the client bundle whose Qt frameworks are links into the
// client's own Frameworks folder.
const char *const kToolApps[] = {"update", "wareloader", "glitchpost"};
const char *const kToolQtModules[] = {"Core", "Gui", "Widgets", "Network", "PrintSupport"};

// How often a program that found another updater at work looks whether it is done.
constexpr int kOtherUpdatePollMs = 500;

} // namespace

// Registers the window's images.  Outside the anonymous namespace: Q_INIT_RESOURCE declares the
// resource's global init function.
static void initResources()
{
    Q_INIT_RESOURCE(update);
}

MainWindow::MainWindow(Configuration *config)
    : QWidget(nullptr)
    , m_Config(config)
{
    initResources();
    m_Engine = new UpdateEngine(config, this);
    connect(m_Engine, SIGNAL(error(QString)), this, SLOT(onError(QString)));
    connect(m_Engine, SIGNAL(fatalError(QString)), this, SLOT(onFatalError(QString)));
    connect(m_Engine, SIGNAL(updateProgress(qreal)), this, SLOT(onProgressUpdate(qreal)));
    connect(m_Engine, SIGNAL(message(QString)), this, SLOT(onAppendText(QString)));
    connect(m_Engine, SIGNAL(updateFinished()), this, SLOT(onUpdateFinished()));
    connect(m_Engine, SIGNAL(updateCanceled()), this, SLOT(onUpdateCanceled()));
    connect(m_Engine, SIGNAL(bannerFound(QByteArray, QString)), this,
        SLOT(onBannerFound(QByteArray, QString)));
    connect(m_Engine, &UpdateEngine::updateAlreadyRunning, this,
        &MainWindow::onUpdateAlreadyRunning);

    setupUi(this);
    connect(detailsButton, SIGNAL(clicked()), this, SLOT(onDetailsPressed()), Qt::QueuedConnection);
    voxtrelLabel->setUrl(webSiteUrl());
    outputTextEdit->hide();
    // The log is only ever appended to: an undo history of every line would cost time and memory
    // with each of the thousands of lines of a large update.
    outputTextEdit->document()->setUndoRedoEnabled(false);
    // Lines that come while the log is hidden go in when it is opened (the form's own connection
    // has shown it by then; it is painted later).
    connect(detailsButton, &QAbstractButton::toggled, this, [this](bool shown) {
        if (shown)
            takePendingLines();
    });

    connect(m_Config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    connect(m_Config, &Configuration::ready, this, &MainWindow::onStartUpdate);

    // A banner cached by the previous step arrives at once, before this returns.
    m_Engine->getBanner();
}

MainWindow::~MainWindow() = default;

QString MainWindow::webSiteUrl()
{
    return QStringLiteral("https://www.voxtrel.com/");
}

void MainWindow::setHeaderTexts()
{
    QString channel;
    switch (m_Config->m_Channel) {
    case 1:
        channel = tr("Beta");
        break;
    case 2:
        channel = tr("Alpha");
        break;
    default:
        channel = tr("Stable");
        break;
    }

    QString header;
    if (!m_Config->m_VersionString.isEmpty()) {
        // The version string comes from the command line or the version service: it is text,
        // never markup.
        header = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">") +
            tr("Update to Voxtrel %1").arg(m_Config->m_VersionString.toHtmlEscaped()) +
            QStringLiteral("</div>");
    }
    header += QStringLiteral("<div style=\"margin-top:4px\">") +
        tr("You are currently on <strong>%1 channel</strong>.").arg(channel) +
        QStringLiteral("</div>");
    header += QStringLiteral("<div style=\"margin-top:4px;font-style:italic\">") +
        (m_Config->m_ClientUpdate ? tr("Step two: Updating Voxtrel client")
                                  : tr("Step one: Updating updater")) +
        QStringLiteral("</div>");
    versionLabel->setText(header);
}

void MainWindow::showErrorBox(const QString &errorMessage)
{
    QMessageBox::critical(
        this, QObject::tr("Error"), errorMessage, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    showErrorBox(errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showErrorBox(errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    appendToLog(errorMessage);
    showErrorBox(errorMessage);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate";
    if (m_Finished || m_OtherUpdateRunning)
        return;
    if (m_Engine->isActive()) {
        qDebug() << "Session already active";
        return;
    }
    // A cancel the user asked for ends the program; the engine is not started again meanwhile.
    if (m_Engine->state() != UpdateEngine::PRE_INIT)
        return;
    if (!m_Config->m_Ready) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    if (m_Engine->initialize()) {
        qDebug() << "Update engine initialized";
        m_UpdateFailed = false;
        m_Engine->startUpdate();
    }
}

void MainWindow::handOver()
{
    if (m_HandedOver)
        return;
    ProcessTools::Failure failure;
    bool started = false;
    if (m_Config->m_ClientUpdate == 0) {
        const QStringList args {QStringLiteral("--clientupdate"),
            Configuration::defaultClientType(true), QString::number(m_Config->m_Version),
            m_Config->m_VersionString.isEmpty() ? QStringLiteral("#") : m_Config->m_VersionString};
        // The next updater continues this session: it inherits the installation's lock, so
        // that no other updater can come in between.
        InstallLock *lock = m_Engine->installLock();
        lock->lendToNextProgram();
        started = ProcessTools::startClientUpdater(m_Config->m_TempDir, args, &failure);
        lock->endLending(started);
    } else if (m_Config->m_ClientUpdate == 1) {
        started = ProcessTools::startVx3Client(m_Config->m_InstallDir, &failure);
    } else {
        return; // no client update: there is nothing to start
    }
    m_HandedOver = true;
    if (started)
        return;
    m_HandOverFailed = true;
    const QString text = handOverFailureText(failure);
    appendToLog(text);
    showErrorBox(text);
}

QString MainWindow::handOverFailureText(const ProcessTools::Failure &failure) const
{
    const QString path = QDir::toNativeSeparators(failure.path);
    if (failure.kind == ProcessTools::Failure::ArgsFileNotWritten)
        return tr("The arguments file \"%1\" for the next update step could not be written.")
            .arg(path);
    if (m_Config->m_ClientUpdate == 0)
        return tr("The new updater \"%1\" could not be started.").arg(path);
    return tr("The Voxtrel client \"%1\" could not be started.").arg(path);
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    handOver();
    close();
}

void MainWindow::onStartVX3Client()
{
    if (m_Config->m_ClientUpdate != 1)
        return;
    handOver();
    close();
}

void MainWindow::onAppendText(QString text)
{
    appendToLog(text);
}

void MainWindow::appendToLog(const QString &text)
{
    if (outputTextEdit->isHidden()) {
        m_PendingLines.append(text);
        return;
    }
    takePendingLines();
    outputTextEdit->append(text);
}

void MainWindow::takePendingLines()
{
    const QStringList lines = std::exchange(m_PendingLines, QStringList());
    for (const QString &line : lines)
        outputTextEdit->append(line);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    totalProgressBar->setValue(static_cast<int>(doneFrac * 1000.0));
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_Finished = true;
    m_UpdateFailed = false;
    if (m_Config->m_ClientUpdate) {
        repairToolFrameworkLinks();
        QTimer::singleShot(1000, this, SLOT(onStartVX3Client()));
    } else {
        QTimer::singleShot(1000, this, SLOT(onStartNewUpdater()));
    }
}

void MainWindow::repairToolFrameworkLinks()
{
    // The tool applications share the client's Qt: their Frameworks folders hold relative links
    // to the client bundle's Contents/Frameworks, four levels up.
    const QString base = m_Config->m_InstallDir + QStringLiteral("SharedSupport/");
    const QString rel = QStringLiteral("../../../../Frameworks/");
    for (const char *app : kToolApps) {
        const QString dir = base + QLatin1String(app) + QStringLiteral(".app/Contents/Frameworks");
        for (const char *module : kToolQtModules) {
            const QString lib =
                QStringLiteral("libQt5") + QLatin1String(module) + QStringLiteral(".dylib");
            const QString link = dir + QLatin1Char('/') + lib;
            if (QFile::exists(link))
                continue;
            QDir().mkdir(dir);
            QFile::link(rel + lib, link);
            qDebug() << "Creating tools framework symlink:" << rel + lib << link;
        }
    }
    const QString quazip = QStringLiteral("libquazip.dylib");
    const QString quazipLink =
        base + QStringLiteral("glitchpost.app/Contents/Frameworks/") + quazip;
    if (!QFile::exists(quazipLink))
        QFile::link(rel + quazip, quazipLink);
}

void MainWindow::onUpdateCanceled()
{
    if (m_AbortRequested) {
        QCoreApplication::quit();
        return;
    }
    m_Finished = false;
    m_UpdateFailed = true;
    m_Engine->reset();
    appendToLog(tr("Update cancelled"));
    totalProgressBar->setValue(0);

    static bool boxOpen = false;
    if (boxOpen)
        return;
    boxOpen = true;
    QMessageBox::critical(this, tr("Update"),
        tr("Update cancelled. Push \"Details\" to check reasons."), QMessageBox::Ok,
        QMessageBox::NoButton);
    boxOpen = false;
}

void MainWindow::onUpdateAlreadyRunning()
{
    // This program leaves the installation alone.  The box closes by itself once the other
    // updater is done; either way the program then ends with status 2: it updated nothing.
    m_OtherUpdateRunning = true;
    const QString text = tr("An update of this Voxtrel installation is already running. This "
                            "window closes when it has finished.");
    appendToLog(text);
    auto *box = new QMessageBox(QMessageBox::Information, tr("Update"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    auto *poll = new QTimer(box);
    connect(poll, &QTimer::timeout, box, [this, box] {
        if (m_Engine->otherUpdateEnded())
            box->done(QMessageBox::Ok);
    });
    connect(box, &QDialog::finished, this, [] {
        QApplication::setQuitOnLastWindowClosed(false);
        QCoreApplication::exit(2);
    });
    poll->start(kOtherUpdatePollMs);
    box->open();
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    Q_UNUSED(message);
}

void MainWindow::onBannerFound(const QByteArray &bannerImage, const QString &clickUrl)
{
    qDebug() << "Banner data available";
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage)) {
        qDebug() << "Could not load pixmap for banner. Error in data";
        return;
    }
    const QUrl url(clickUrl, QUrl::TolerantMode);
    if (UrlClickLabel::isOpenable(url)) {
        banner->setToolTip(
            tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host(QUrl::FullyDecoded)));
        banner->setUrl(clickUrl);
    } else {
        // The address comes from an unauthenticated datagram: anything but a web address is
        // never offered.
        banner->setToolTip(QString());
        banner->setUrl(QString());
    }
    banner->setPixmap(pixmap);
    qDebug() << "Banner pixmap loaded";

    // The cache holds the picture as shown, as JPEG whatever the server delivered.
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    if (buffer.open(QIODevice::WriteOnly) && pixmap.save(&buffer, "JPG"))
        Banner::writeCache(jpeg, clickUrl);
}

void MainWindow::onDetailsPressed()
{
    if (outputTextEdit->isVisible())
        outputTextEdit->verticalScrollBar()->setValue(
            outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_Engine->isActive()) {
        event->ignore();
        if (m_AbortRequested)
            return;
        const QMessageBox::StandardButton answer = QMessageBox::question(this, tr("Question"),
            tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
        // The update may have ended while the question was open: then there is nothing to abort.
        if (answer == QMessageBox::Yes && m_Engine->isActive()) {
            m_AbortRequested = true;
            m_Engine->cancelUpdate();
        }
        return;
    }

    // Closed between the end of the update and the hand-over: hand over now, or the next
    // program would never start.
    if (m_Finished)
        handOver();
    if (m_Config->m_ClientUpdate == 1) {
        qDebug() << "*** Deleting temp banner";
        Banner::removeCache();
    }
    if (m_UpdateFailed || m_HandOverFailed || m_OtherUpdateRunning) {
        // Closing after a failed update or hand-over, or without having updated because another
        // updater was at work, must not look like success to whoever started us.
        QApplication::setQuitOnLastWindowClosed(false);
        QCoreApplication::exit(2);
    }
    event->accept();
}
