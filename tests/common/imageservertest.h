#pragma once
// Base of test objects that run download steps against a local image server: the server, a
// network access manager, a temporary folder and a Configuration whose session folder lies in
// that folder.  Derived test objects declare Q_OBJECT and their own slots; call startServer() or
// startSession() from init() and stopServer() from cleanup().
//
// Header-only; include it from test programs that link updatecore.

#include "boundednetworkaccessmanager.h"
#include "configuration.h"

#include "common/httptestserver.h"

#include <QByteArray>
#include <QDir>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class ImageServerTest : public QObject
{
protected:
    // A fresh server, network access manager and temporary folder; the image base URL points at
    // the server.  False when the temporary folder could not be made.
    bool startServer()
    {
        m_Server = std::make_unique<HttpTestServer>();
        m_Nam = std::make_unique<BoundedNetworkAccessManager>();
        m_Dir = std::make_unique<QTemporaryDir>();
        if (!m_Dir->isValid())
            return false;
        imageBaseUrl = m_Server->baseUrl() + QStringLiteral("/updater-images/client/");
        return true;
    }

    // As startServer(), and the session folder "session" in the temporary folder for the
    // updater run of client version `version`.
    bool startSession(int version)
    {
        if (!startServer())
            return false;
        m_Config.m_TempDir = m_Dir->path() + QStringLiteral("/session");
        m_Config.m_Version = version;
        return QDir().mkpath(m_Config.m_TempDir);
    }

    // Ends every transfer before the server goes away.
    void stopServer()
    {
        m_Nam.reset();
        m_Server.reset();
    }

    // A file in the session folder.
    QString temp(const QString& name) const { return m_Config.m_TempDir + QLatin1Char('/') + name; }

    // The texts of the messages a spy on TaskSpecification::message has seen.
    static QStringList texts(const QSignalSpy& spy)
    {
        QStringList out;
        for (const auto& m : spy)
            out << m.at(0).toString();
        return out;
    }

    std::unique_ptr<HttpTestServer> m_Server;
    std::unique_ptr<QNetworkAccessManager> m_Nam;
    std::unique_ptr<QTemporaryDir> m_Dir;
    Configuration m_Config;
};
