#ifndef HTTPCONNECTIONPOOL_H
#define HTTPCONNECTIONPOOL_H

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>

class QTcpSocket;
class QTimer;
class QUrl;

// Connections that a finished reply left open, kept for the next request to the same server so
// that a run of small downloads does not pay a connection (and a TLS handshake) for each file.
// Only direct connections are kept, never one through a proxy.
//
// A kept connection is quiet: the moment anything arrives on it or it ends, it is closed, since a
// server may speak only in answer to a request. It is closed as well after kIdleMs unused, and the
// oldest goes when more than kMaxIdle are kept. take() checks once more on the descriptor that
// nothing has arrived and the peer has not closed. The pool and its connections belong to the
// thread of the network access manager that owns it.
class HttpConnectionPool : public QObject
{
    Q_OBJECT
public:
    static constexpr int kIdleMs = 4000;
    static constexpr int kMaxIdle = 16;

    explicit HttpConnectionPool(QObject* parent = nullptr);
    ~HttpConnectionPool() override;

    // The key of the connections that may serve `url`: its scheme, host and port.
    static QString keyFor(const QUrl& url);

    // A quiet open connection kept under `key` (for https: one made with the TLS configuration
    // `tls`), or null. The caller owns it from here on.
    QTcpSocket* take(const QString& key, const QSslConfiguration& tls = QSslConfiguration());
    // Keeps `socket`, a connection that has just served a whole reply, under `key`; the pool
    // owns it from here on. `tls` is the configuration it was made with (https only).
    void give(const QString& key, QTcpSocket* socket, const QSslConfiguration& tls = QSslConfiguration());

private:
    struct Idle {
        QString key;
        QTcpSocket* socket = nullptr;
        QSslConfiguration tls;
        QElapsedTimer since;
    };

    void drop(QTcpSocket* socket);
    void expire();
    static bool quiet(QTcpSocket* socket);

    QList<Idle> m_Idle; // oldest first
    QTimer* m_Expiry;
};

#endif // HTTPCONNECTIONPOOL_H
