#pragma once
// The updater's only window and the owner of the run's UpdateEngine.  It shows the header,
// the progress of the update, the details log (hidden at start) and the banner; it starts the
// update once the configuration is ready, reports errors, asks before an update in progress is
// aborted, and after a finished update repairs the framework links of the client's tool
// applications (client step) and hands over to the next program: the fresh updater (updater
// step) or the chat client (client step).

#include "processtools.h"
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

class Configuration;
class QCloseEvent;
class UpdateEngine;

class MainWindow : public QWidget, private Ui::MainWindow {
    Q_OBJECT
public:
    explicit MainWindow(Configuration *config);
    ~MainWindow() override;

    // The header text (target version, channel, step) from the configuration.
    void setHeaderTexts();

    // The window's engine, for tests that drive the window through the engine's signals.
    UpdateEngine *engine() const { return m_Engine; }

    // The address of the maker's web site, opened by a click on the logo.
    static QString webSiteUrl();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onStartVX3Client();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(const QByteArray &bannerImage, const QString &clickUrl);
    void onDetailsPressed();
    void onUpdateAlreadyRunning();

private:
    void showErrorBox(const QString &errorMessage);
    // The details log.  Laying out each line costs the GUI thread far more than the rest of a
    // small file's update, so while the log is hidden its lines wait here and go in, in order,
    // when it is opened.
    void appendToLog(const QString &text);
    void takePendingLines();
    void repairToolFrameworkLinks();
    // Starts the next program once: the fresh updater or the client.  When that fails the user
    // is told what could not be written or started, and closing the window then ends the
    // program with status 2: the client would otherwise never come back, unnoticed.
    void handOver();
    QString handOverFailureText(const ProcessTools::Failure &failure) const;

    Configuration *m_Config;
    UpdateEngine *m_Engine;
    bool m_Finished = false;
    bool m_AbortRequested = false;
    bool m_HandedOver = false; // the next program's start has been tried
    bool m_HandOverFailed = false; // ... and failed; closing then ends with status 2
    bool m_UpdateFailed = false; // the last attempt failed; closing then ends with status 2
    bool m_OtherUpdateRunning = false; // another updater holds the installation: never start
    QStringList m_PendingLines; // log lines not yet in the hidden log
};
