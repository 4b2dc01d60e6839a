#pragma once
// One request to the version service: fetched on a thread of its own by HTTPDownloader, parsed
// into UpdateVersions and handed out through `update_available`.  The checker deletes itself
// after its one signal; its download thread never outlives it.

#include "updateversions.h"

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

class HTTPDownloader;

class UpdateChecker : public QObject {
    Q_OBJECT
public:
    explicit UpdateChecker(QObject *parent);
    // Stops the download thread, if it still runs, and waits for its end: the process may end
    // in the middle of a check (its parent, the configuration, goes when main returns).
    ~UpdateChecker() override;

    // Starts the request; the answer comes through `update_available`.
    void start();

    // The (version number, version string) pair of a channel number (0 stable, 1 beta, 2 alpha);
    // two empty strings for another number or a channel the hash does not hold.
    static QPair<QString, QString> versionForChannel(const UpdateVersions &versions, int channel);

    // The versions of a service reply, one entry per channel name with the values of its first
    // occurrence; empty when the reply does not parse or names no channel.
    static UpdateVersions versionsFromReply(const QByteArray &updateData);

    // Time without any transfer after which the request is given up.
    static int transferTimeout();
    // Time after which the whole request is given up, however steadily bytes arrive.
    static int overallTimeout();

    // For tests only: the shipped program never calls these.  They point the checker at a
    // local server and shorten the time-outs.  An empty URL or a time-out of 0 or below
    // restores the default.
    static void setServiceUrlForTesting(const QString &url);
    static void setTransferTimeoutForTesting(int milliseconds);
    static void setOverallTimeoutForTesting(int milliseconds);

signals:
    void update_available(UpdateVersions versions);

public slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    QPointer<HTTPDownloader> m_Downloader; // deletes itself once its thread has finished
};
