#include "checksigfunc.h"

#include "cryptwrapper.h"
#include "filehash.h"
#include "nofollowfile.h"
#include "scopedfd.h"
#include "scopedrsakey.h"
#include "updatepublickey.h"

#include <QDebug>
#include <QFile>

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
    return FileHash::sha512Hex(path);
}

bool CheckSigFunc::fileMatchesHash(const QString& path, const QString& expectedHash)
{
    return hexMatches(sha512Hex(path), expectedHash);
}

bool CheckSigFunc::hexMatches(const QString& actualHex, const QString& expectedHash)
{
    return !actualHex.isEmpty() && actualHex.compare(expectedHash, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkHash()
{
    // Reached by descriptor: a task that keeps its folder pinned reads the file in that folder.
    const ScopedFd fd(NoFollowFile::openForReading(m_File));
    QByteArray digest;
    switch (fd.valid() ? FileHash::sha512Of(fd.get(), digest) : FileHash::OpenFailed) {
    case FileHash::Ok:
        break;
    case FileHash::OpenFailed:
        emit message(tr("Could not open file %1 for reading").arg(m_File));
        return false;
    case FileHash::ReadFailed:
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
