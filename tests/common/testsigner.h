#pragma once
// Signs data with the TEST-ONLY private key of tests/keys, the way the server side signs product
// lists: RSA-PSS over SHA-1 with salt length 8, raw signature bytes. Written directly over
// LibTomCrypt so that the updater's verifier is checked against an independent signer.

#include <QByteArray>
#include <QString>

class TestSigner
{
public:
    // Folder holding the test-only keys and the openssl-made sample.
    static QString keysDir();
    // DER bytes of the test-only public key (empty when it cannot be read).
    static QByteArray testPublicKey();
    // Signature of data; empty on failure (error set).
    static QByteArray sign(const QByteArray& data, QString* error = nullptr);
    // Writes path + ".sig" holding the signature of the file's content.
    static bool signFile(const QString& path, QString* error = nullptr);
};
