#pragma once
// Certificates for TLS tests, made at test time with the openssl command in a temporary folder:
// a test certificate authority, a server certificate it signed for 127.0.0.1 and localhost, one
// it signed for another name only, and a self-signed one for 127.0.0.1 that nobody trusts.
// Keys are elliptic-curve (P-256), so making them takes a few milliseconds.

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTemporaryDir>

class TestCertificates {
public:
    struct Identity {
        QSslCertificate certificate;
        QSslKey key;
    };

    TestCertificates();

    // False when the openssl command failed; errorString() says why.
    bool isValid() const { return m_valid; }
    QString errorString() const { return m_error; }

    QSslCertificate authority() const { return m_authority; }
    QString authorityFile() const; // PEM
    Identity server() const { return m_server; }        // 127.0.0.1 and localhost, signed by authority()
    Identity wrongName() const { return m_wrongName; }  // "other.invalid" only, signed by authority()
    Identity untrusted() const { return m_untrusted; }  // 127.0.0.1 and localhost, self-signed

    // Adds authority() to the process's default TLS configuration, so that every client of the
    // process made afterwards trusts it.
    void trustInProcess() const;

private:
    bool run(const QStringList &arguments);
    bool makeSigned(const QString &name, const QString &altNames, Identity *identity);
    Identity load(const QString &name);

    QTemporaryDir m_dir;
    bool m_valid = false;
    QString m_error;
    QSslCertificate m_authority;
    Identity m_server;
    Identity m_wrongName;
    Identity m_untrusted;
};
