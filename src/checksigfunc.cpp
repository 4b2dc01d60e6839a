#include "checksigfunc.h"

#include "cryptwrapper.h"
#include "scopedrsakey.h"
#include "updatepublickey.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

namespace
{
const qint64 kHashChunk = 1024 * 1024;

// Streams the file through SHA-512. Returns false when it cannot be opened (openFailed set) or
// when fewer bytes could be read than the file's size.
bool hashFile(const QString& path, QByteArray& digest, bool& openFailed)
{
    openFailed = false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        openFailed = true;
        return false;
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Sha512);
    QByteArray chunk;
    qint64 total = 0;
    for (;;) {
        chunk = file.read(kHashChunk);
        if (chunk.isEmpty())
            break;
        total += chunk.size();
        hash.addData(chunk);
    }
    const bool complete = file.error() == QFileDevice::NoError && total == size;
    file.close();
    if (!complete)
        return false;
    digest = hash.result();
    return true;
}
} // namespace

CheckSigFunc::CheckSigFunc(const QString& file, const QString& expectedHash)
    : m_File(file)
    , m_ExpectedHash(expectedHash)
{
}

bool CheckSigFunc::run()
{
    if (!m_ExpectedHash.isEmpty())
        return checkHash();
    return checkSignature();
}

QString CheckSigFunc::sha512Hex(const QString& path)
{
    QByteArray digest;
    bool openFailed = false;
    if (!hashFile(path, digest, openFailed))
        return QString();
    return QString::fromLatin1(digest.toHex());
}

bool CheckSigFunc::fileMatchesHash(const QString& path, const QString& expectedHash)
{
    const QString actual = sha512Hex(path);
    return !actual.isEmpty() && actual.compare(expectedHash, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkHash()
{
    QByteArray digest;
    bool openFailed = false;
    if (!hashFile(m_File, digest, openFailed)) {
        if (openFailed)
            emit message(tr("Could not open file %1 for reading").arg(m_File));
        else
            emit message(tr("could not read file %1 correctly").arg(m_File));
        return false;
    }
    const QString actual = QString::fromLatin1(digest.toHex());
    return actual.compare(m_ExpectedHash, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::readFile(const QString& path, qint64 maxSize, QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    if (size < 0 || size > maxSize) {
        emit message(tr("File %1 is too large to be checked").arg(path));
        return false;
    }
    content = file.read(size);
    // Reading once more tells a file that grew since size() from one that is complete.
    const bool complete = content.size() == size && file.read(1).isEmpty();
    file.close();
    if (!complete) {
        emit message(tr("could not read file %1 correctly").arg(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::checkSignature()
{
    QByteArray content;
    if (!readFile(m_File, kMaxSignedFileSize, content))
        return false;
    QByteArray signature;
    if (!readFile(m_File + QStringLiteral(".sig"), kMaxSignatureSize, signature))
        return false;

    try {
        ScopedRsaKey key;
        importKey(key.get(), updatePublicKeyData(), updatePublicKeySize());
        key.markLoaded();
        return verifySignature(key.get(),
                               reinterpret_cast<const unsigned char*>(content.constData()),
                               static_cast<unsigned long>(content.size()),
                               reinterpret_cast<const unsigned char*>(signature.constData()),
                               static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception& e) {
        qDebug() << Q_FUNC_INFO << "signature check of" << m_File << "failed:" << e.what();
        return false;
    }
}
