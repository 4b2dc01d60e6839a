#pragma once
// The update engine: runs one update session for the window.  It owns the network access manager
// (with the proxy from "update.ini") and the statistics timer, prepares the session (crypto
// set-up, continuation or clean-up of an interrupted session, the session folder), runs the main
// task, relays its texts and progress, cleans up after success and fetches the banner image.
// It also carries the start-up clean-up of what earlier installations left beside the updater.

#include "installlock.h"

#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class UpdateEngine : public QObject {
    Q_OBJECT
public:
    enum State { PRE_INIT = 0, POST_INIT = 1, RUNNING = 2, FINISHED = 3, CANCELED = 4 };

    UpdateEngine(Configuration *config, QObject *parent);
    ~UpdateEngine() override;

    bool initialize();
    bool startUpdate();
    bool isActive() const;
    void reset();
    void getBanner();
    int state() const { return m_State; }

    // The installation's lock, held from initialize until the engine goes; the window lends it
    // to the updater of the client step when it starts it.
    InstallLock *installLock() { return &m_Lock; }
    // After updateAlreadyRunning: true once the other updater has let go of the installation.
    bool otherUpdateEnded();

    // Deletes the "_old_"-prefixed leftovers of earlier updates inside `dir`.  Silent; failures
    // are passed over.
    static void removeOldFiles(const QString &dir);

    // Removes the frameworks of the previous Qt generation: whole folders in the shared
    // frameworks folder beside `dir`, and links or files of those names inside the companion
    // applications in `dir`.  Silent; failures are passed over.
    static void removeQt4Files(const QString &dir);

    // Empties a folder recursively; links are removed as entries and never followed.
    static void removeDirContents(const QString &path);

    // The proxy that a proxy text of "update.ini" names: "" gives no proxy; "host", "host:port"
    // and "scheme://host[:port]" give an HTTP proxy (port 3128 when none is given).  False for a
    // text that names no host.
    static bool parseProxy(const QString &text, QNetworkProxy *proxy);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);
    // initialize found another updater at work on the installation and touched nothing.
    void updateAlreadyRunning();

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(const QString &bannerUrl, const QString &clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerReadyRead();

private:
    // False when the record could not be changed; the run then ends as failed.
    bool cleanup();
    // Ends the run as failed, or as cancelled when the user asked for it.
    void endCanceled(bool userAborted);
    // Removes the recorded session's [current] record; a failure is fatal for the start.
    bool forgetRecordedSession();
    // The folder is a session folder (by its name) or lies inside one of the temp folder's.
    static bool isInSessionFolder(const QString &dir);
    // A session folder the updater made: "voxtrel_temp_<n>" directly inside the temp folder, a
    // private folder of the user.
    static bool isSessionFolder(const QString &dir);
    // A recorded session this updater may continue, take over or remove: its folder is a session
    // folder and it was made for this updater's installation.
    bool isOwnSession(const QString &dir, const QString &clientDir) const;
    // Removes a session folder, but only one for which isSessionFolder holds.
    bool removeSessionDir(const QString &dir);
    // Finishes the removals of session folders that an earlier run did not live to finish.
    static void removeInterruptedRemovals();
    void dropSession(int version, const QString &dir);
    void takeOverAbandonedSessions(QString *sessionDir, QString *clientDir);
    // Sessions whose replacement was committed are over: the originals they kept aside are
    // removed from their client (never put back), then their folders (not the one the client
    // step runs from).  False, with a fatal error, when kept originals could not be removed:
    // nothing else may change the installation before they are gone.
    bool finishCommittedSessions();
    void dropBannerReply();
    void releaseMainTask();
    bool lockInstallation(const QString &recordedClientDir);

    int m_State = PRE_INIT;
    Configuration *m_Config = nullptr;
    MainTaskSpecification *m_MainTask = nullptr;
    QTimer *m_Timer = nullptr;
    QNetworkAccessManager *m_Nam = nullptr;
    QString m_ClickUrl;
    QNetworkReply *p_BannerReply = nullptr;
    QByteArray m_BannerBytes; // the image read so far
    static constexpr int kBannerStallMs = 16000;
    static constexpr int kBannerDeadlineMs = 60000;
    QString m_ProxyError;
    InstallLock m_Lock;
    // The installation and session folders walks start at (folderwalk's settled folders).
    QList<QByteArray> m_SettledFolders;
    void settleFolders();
    void unsettleFolders();
};
