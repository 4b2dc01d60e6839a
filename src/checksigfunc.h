#ifndef CHECKSIGFUNC_H
#define CHECKSIGFUNC_H

#include "asyncfunc.h"

#include <QByteArray>
#include <QString>

// Work object of CheckSignatureTaskSpecification: with an expected hash it compares the file's
// SHA-512 with it, without one it verifies the detached RSA signature "<file>.sig" against the
// compiled-in public key. run() returns the verdict.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // What a signature check reads into memory at most: the signed file (the product list) and
    // its signature. Anything larger fails the check unread.
    static constexpr qint64 kMaxSignedFileSize = 64 * 1024 * 1024;
    static constexpr qint64 kMaxSignatureSize = 4096;

    CheckSigFunc(const QString& file, const QString& expectedHash);

    bool run() override;

    // SHA-512 of the whole file as 128 lower-case hex digits; empty when it cannot be read.
    static QString sha512Hex(const QString& path);
    // True when the file's SHA-512 equals expectedHash, ignoring letter case. An unreadable file
    // never matches.
    static bool fileMatchesHash(const QString& path, const QString& expectedHash);
    // True when a digest from sha512Hex equals expectedHash, ignoring letter case; the empty
    // digest of an unreadable file never matches.
    static bool hexMatches(const QString& actualHex, const QString& expectedHash);

    QString m_File;
    QString m_ExpectedHash;

private:
    bool checkHash();
    bool checkSignature();
    bool readFile(const QString& path, qint64 maxSize, QByteArray& content);
};

#endif // CHECKSIGFUNC_H
