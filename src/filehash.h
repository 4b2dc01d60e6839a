#ifndef FILEHASH_H
#define FILEHASH_H

#include <QByteArray>
#include <QString>

// SHA-512 of whole files, the digest every file of an update is compared by. The file is read
// in large pieces and hashed by the platform's crypto library as it is read.
class FileHash
{
public:
    enum Result { Ok, OpenFailed, ReadFailed };

    // The 64-byte digest of the file's content into digest. ReadFailed when fewer bytes could
    // be read than the file's size (or the crypto library failed).
    static Result sha512(const QString& path, QByteArray& digest);
    // The same for the file open as fd (read from its start; the descriptor stays open).
    static Result sha512Of(int fd, QByteArray& digest);
    // The digest as 128 lower-case hex digits; empty when the file cannot be read whole.
    static QString sha512Hex(const QString& path);
};

#endif // FILEHASH_H
