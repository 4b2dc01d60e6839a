#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>

namespace {

const QStringList kNewKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                             QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TestCertificates::TestCertificates()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    const QString alt = QStringLiteral("IP:127.0.0.1,DNS:localhost");
    m_valid = run(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + kNewKey
                  + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                                QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                                QStringLiteral("-subj"), QStringLiteral("/CN=Updater Test CA"),
                                QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")})
        && makeSigned(QStringLiteral("server"), alt, &m_server)
        && makeSigned(QStringLiteral("wrongname"), QStringLiteral("DNS:other.invalid"), &m_wrongName)
        && run(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + kNewKey
               + QStringList{QStringLiteral("-keyout"), QStringLiteral("untrusted.key"), QStringLiteral("-out"),
                             QStringLiteral("untrusted.pem"), QStringLiteral("-days"), QStringLiteral("2"),
                             QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                             QStringLiteral("subjectAltName=") + alt});
    if (!m_valid)
        return;
    m_authority = QSslCertificate(readAll(authorityFile()), QSsl::Pem);
    m_untrusted = load(QStringLiteral("untrusted"));
    m_valid = !m_authority.isNull() && !m_server.key.isNull() && !m_wrongName.key.isNull()
        && !m_untrusted.key.isNull();
    if (!m_valid)
        m_error = QStringLiteral("the certificates made do not load");
}

QString TestCertificates::authorityFile() const
{
    return m_dir.filePath(QStringLiteral("ca.pem"));
}

void TestCertificates::trustInProcess() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(m_authority);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

bool TestCertificates::run(const QStringList &arguments)
{
    QProcess openssl;
    openssl.setWorkingDirectory(m_dir.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(30000)) {
        openssl.kill();
        openssl.waitForFinished(5000);
        m_error = QStringLiteral("openssl did not finish: ") + openssl.errorString();
        return false;
    }
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1: %2").arg(arguments.join(' '), QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

bool TestCertificates::makeSigned(const QString &name, const QString &altNames, Identity *identity)
{
    QFile extensions(m_dir.filePath(name + QStringLiteral(".ext")));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=" + altNames.toLatin1()
                     + "\n");
    extensions.close();
    if (!run(QStringList{QStringLiteral("req")} + kNewKey
             + QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"), QStringLiteral("-out"),
                           name + QStringLiteral(".csr"), QStringLiteral("-subj"), QStringLiteral("/CN=") + name})
        || !run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                 QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                 QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QStringLiteral("2"),
                 QStringLiteral("-extfile"), extensions.fileName(), QStringLiteral("-out"),
                 name + QStringLiteral(".pem")}))
        return false;
    *identity = load(name);
    return true;
}

TestCertificates::Identity TestCertificates::load(const QString &name)
{
    Identity identity;
    identity.certificate = QSslCertificate(readAll(m_dir.filePath(name + QStringLiteral(".pem"))), QSsl::Pem);
    identity.key = QSslKey(readAll(m_dir.filePath(name + QStringLiteral(".key"))), QSsl::Ec, QSsl::Pem);
    return identity;
}
