#include "common/testsigner.h"

#include <QFile>

#include <tomcrypt.h>

#include <cstring>

namespace
{
QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

bool setUpLibrary(int& hashIndex, int& prngIndex, QString* error)
{
    // The updater's own set-up installs the same math provider; only fill it in when nobody has.
    if (ltc_mp.name == nullptr)
        ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1 || register_prng(&sprng_desc) == -1) {
        if (error)
            *error = QStringLiteral("cannot register sha1/sprng");
        return false;
    }
    hashIndex = find_hash("sha1");
    prngIndex = find_prng("sprng");
    return hashIndex >= 0 && prngIndex >= 0;
}
} // namespace

QString TestSigner::keysDir()
{
    return QStringLiteral(VX_TEST_KEYS_DIR);
}

QByteArray TestSigner::testPublicKey()
{
    return readAll(keysDir() + QStringLiteral("/test_only_public.der"));
}

QByteArray TestSigner::sign(const QByteArray& data, QString* error)
{
    int hashIndex = -1;
    int prngIndex = -1;
    if (!setUpLibrary(hashIndex, prngIndex, error))
        return QByteArray();
    const QByteArray der = readAll(keysDir() + QStringLiteral("/test_only_private.der"));
    if (der.isEmpty()) {
        if (error)
            *error = QStringLiteral("test private key missing");
        return QByteArray();
    }
    rsa_key key;
    std::memset(&key, 0, sizeof(key));
    int err = rsa_import(reinterpret_cast<const unsigned char*>(der.constData()),
                         static_cast<unsigned long>(der.size()), &key);
    if (err != CRYPT_OK) {
        if (error)
            *error = QString::fromLatin1(error_to_string(err));
        return QByteArray();
    }
    unsigned char digest[20];
    unsigned long digestLength = sizeof(digest);
    err = hash_memory(hashIndex, reinterpret_cast<const unsigned char*>(data.constData()),
                      static_cast<unsigned long>(data.size()), digest, &digestLength);
    unsigned char out[1024];
    unsigned long outLength = sizeof(out);
    if (err == CRYPT_OK)
        err = rsa_sign_hash_ex(digest, digestLength, out, &outLength, LTC_PKCS_1_PSS, nullptr,
                               prngIndex, hashIndex, 8, &key);
    rsa_free(&key);
    if (err != CRYPT_OK) {
        if (error)
            *error = QString::fromLatin1(error_to_string(err));
        return QByteArray();
    }
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<int>(outLength));
}

bool TestSigner::signFile(const QString& path, QString* error)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read ") + path;
        return false;
    }
    const QByteArray signature = sign(in.readAll(), error);
    if (signature.isEmpty())
        return false;
    QFile out(path + QStringLiteral(".sig"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(signature) != signature.size()) {
        if (error)
            *error = QStringLiteral("cannot write ") + out.fileName();
        return false;
    }
    return true;
}
