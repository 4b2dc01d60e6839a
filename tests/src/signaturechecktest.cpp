// The crypto wrapper and the signature/hash check task: signatures made by our wrapper, by an
// independent signer and by the openssl command verify; damaged ones never do, and never leak a
// key or throw past the check.
#include "checksigfunc.h"
#include "checksignaturetaskspecification.h"
#include "cryptwrapper.h"
#include "scopedrsakey.h"
#include "updatepublickey.h"

#include "common/testsigner.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace
{
// Counts bignums made and released through the math provider, to prove that a check frees the
// key it imported on every path.
std::atomic<long> g_Inits{0};
std::atomic<long> g_Deinits{0};
ltc_math_descriptor g_Plain;

int countingInit(void** a)
{
    const int err = g_Plain.init(a);
    if (err == CRYPT_OK)
        ++g_Inits;
    return err;
}

int countingInitCopy(void** a, void* b)
{
    const int err = g_Plain.init_copy(a, b);
    if (err == CRYPT_OK)
        ++g_Inits;
    return err;
}

void countingDeinit(void* a)
{
    ++g_Deinits;
    g_Plain.deinit(a);
}

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

const unsigned char* u(const QByteArray& b)
{
    return reinterpret_cast<const unsigned char*>(b.constData());
}

unsigned long len(const QByteArray& b)
{
    return static_cast<unsigned long>(b.size());
}

bool builtInKeyIsTestKey()
{
    const QByteArray builtIn(reinterpret_cast<const char*>(updatePublicKeyData()),
                             static_cast<int>(updatePublicKeySize()));
    return builtIn == TestSigner::testPublicKey();
}
} // namespace

class SignatureCheckTest : public QObject
{
    Q_OBJECT

private:
    // Runs a check task to its end and returns the verdict delivered by checkDone.
    struct Outcome
    {
        bool pass = false;
        int checkDoneCount = 0;
        int state = -1;
        int canceledCount = 0;
        int finishedCount = 0;
        QStringList messages;
    };

    Outcome runCheck(const QString& file, const QString& hash, bool cancelOnFail)
    {
        Outcome o;
        CheckSignatureTaskSpecification task(file, hash, cancelOnFail, nullptr, 1.0);
        QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        if (!QTest::qWaitFor([&] { return task.m_State != TaskSpecification::STATE_RUNNING; }, 10000))
            return o;
        o.checkDoneCount = done.count();
        if (!done.isEmpty()) {
            o.pass = done.first().at(0).toBool();
            if (done.first().at(1).value<CheckSignatureTaskSpecification*>() != &task)
                o.checkDoneCount = -1;
        }
        o.state = task.m_State;
        o.canceledCount = canceled.count();
        o.finishedCount = finished.count();
        for (const auto& m : messages)
            o.messages << m.at(0).toString();
        return o;
    }

    QTemporaryDir m_Dir;

private slots:
    void initTestCase()
    {
        qRegisterMetaType<CheckSignatureTaskSpecification*>();
        qRegisterMetaType<TaskSpecification*>();
        QVERIFY(m_Dir.isValid());
        initCrypt();
    }

    void initRegistersIndexes()
    {
        QVERIFY(cryptHashIndex() >= 0);
        QVERIFY(cryptPrngIndex() >= 0);
        QCOMPARE(cryptHashIndex(), find_hash("sha1"));
        QCOMPARE(cryptPrngIndex(), find_prng("sprng"));
        QVERIFY(ltc_mp.name != nullptr);
        initCrypt(); // a second set-up changes nothing
        QCOMPARE(cryptHashIndex(), find_hash("sha1"));
    }

    void throwCryptErrorFormatsOperationAndText()
    {
        throwCryptError("rsa_import", CRYPT_OK);
        try {
            throwCryptError("rsa_verify_hash", CRYPT_INVALID_PACKET);
            QFAIL("no exception for an error code");
        } catch (const crypt_exception& e) {
            QCOMPARE(QString::fromLatin1(e.what()),
                     QStringLiteral("rsa_verify_hash: ") + QString::fromLatin1(error_to_string(CRYPT_INVALID_PACKET)));
        }
        QCOMPARE(QString::fromLatin1(crypt_exception(std::string("abc")).what()), QStringLiteral("abc"));
    }

    void signatureOfWrongLengthThrows_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("127") << 127;
        QTest::newRow("129") << 129;
        QTest::newRow("0") << 0;
    }

    void signatureOfWrongLengthThrows()
    {
        QFETCH(int, length);
        ScopedRsaKey key;
        importKey(key.get(), u(TestSigner::testPublicKey()), len(TestSigner::testPublicKey()));
        key.markLoaded();
        const QByteArray data("x");
        QByteArray sig = TestSigner::sign(data);
        QCOMPARE(sig.size(), 128);
        sig = sig.left(length).leftJustified(length, '\0');
        QVERIFY_EXCEPTION_THROWN(verifySignature(key.get(), u(data), len(data), u(sig), len(sig)),
                                 crypt_exception);
    }

    void keyFilesRoundTrip()
    {
        ScopedRsaKey key;
        makeKey(key.get());
        key.markLoaded();
        QCOMPARE(ltc_mp.count_bits(key.get()->N), 1024);
        const std::string pub = (m_Dir.path() + "/pub.der").toStdString();
        const std::string priv = (m_Dir.path() + "/priv.der").toStdString();
        exportKeyToFile(key.get(), PK_PUBLIC, pub);
        exportKeyToFile(key.get(), PK_PRIVATE, priv);
        QCOMPARE(QFileInfo(QString::fromStdString(pub)).size(), qint64(140));

        ScopedRsaKey signer;
        importKeyFromFile(signer.get(), priv);
        signer.markLoaded();
        ScopedRsaKey verifier;
        importKeyFromFile(verifier.get(), pub);
        verifier.markLoaded();
        QCOMPARE(verifier.get()->type, int(PK_PUBLIC));

        const QByteArray data(5000, 'q');
        unsigned char sig[256];
        unsigned long sigLength = sizeof(sig);
        signData(signer.get(), u(data), len(data), sig, &sigLength);
        QCOMPARE(sigLength, 128ul);
        QVERIFY(verifySignature(verifier.get(), u(data), len(data), sig, sigLength));

        // A public key cannot sign.
        sigLength = sizeof(sig);
        QVERIFY_EXCEPTION_THROWN(signData(verifier.get(), u(data), len(data), sig, &sigLength),
                                 crypt_exception);
        // A missing key file and a damaged key are reported, not crashed on.
        ScopedRsaKey none;
        QVERIFY_EXCEPTION_THROWN(importKeyFromFile(none.get(), pub + ".missing"), crypt_exception);
        const QByteArray junk(140, '\x30');
        try {
            importKey(none.get(), u(junk), len(junk));
            QFAIL("garbage imported as a key");
        } catch (const crypt_exception& e) {
            QVERIFY(QString::fromLatin1(e.what()).startsWith("rsa_import: "));
        }
    }

    void wholeFileHelpers()
    {
        const std::string path = (m_Dir.path() + "/whole.bin").toStdString();
        QByteArray data;
        for (int i = 0; i < 5000; ++i)
            data.append(char(i * 7));
        QVERIFY(writeWholeFile(path, u(data), len(data)));
        std::vector<unsigned char> buffer;
        unsigned long length = 0;
        QVERIFY(readWholeFile(path, buffer, length));
        QCOMPARE(length, 5000ul);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), int(buffer.size())), data);
        // Exactly a multiple of the read chunk.
        QVERIFY(writeWholeFile(path, u(data), 4096));
        QVERIFY(readWholeFile(path, buffer, length));
        QCOMPARE(length, 4096ul);
        // The cap stops the read.
        QVERIFY(!readWholeFile(path, buffer, length, 4095));
        QVERIFY(!readWholeFile(path + ".missing", buffer, length));
        // Truncating write.
        QVERIFY(writeWholeFile(path, u(data), 10));
        QCOMPARE(QFileInfo(QString::fromStdString(path)).size(), qint64(10));
    }

    void builtInKeyIsAPublicKey()
    {
        QVERIFY(updatePublicKeySize() > 0);
        ScopedRsaKey key;
        importKey(key.get(), updatePublicKeyData(), updatePublicKeySize());
        key.markLoaded();
        QCOMPARE(key.get()->type, int(PK_PUBLIC));
        if (!builtInKeyIsTestKey())
            QSKIP("a release key is compiled in; the test key checks below do not apply");
        QCOMPARE(updatePublicKeySize(), 140ul);
        QCOMPARE(ltc_mp.count_bits(key.get()->N), 1024);
    }

    // A signature made by the openssl command (committed with the command that made it).
    void opensslSampleVerifies()
    {
        const QByteArray data = bytesOf(TestSigner::keysDir() + "/test_only_openssl_sample.txt");
        const QByteArray sig = bytesOf(TestSigner::keysDir() + "/test_only_openssl_sample.txt.sig");
        QVERIFY(!data.isEmpty());
        QCOMPARE(sig.size(), 128);
        ScopedRsaKey key;
        importKey(key.get(), u(TestSigner::testPublicKey()), len(TestSigner::testPublicKey()));
        key.markLoaded();
        QVERIFY(verifySignature(key.get(), u(data), len(data), u(sig), len(sig)));
        QByteArray other = data;
        other.append('!');
        QVERIFY(!verifySignature(key.get(), u(other), len(other), u(sig), len(sig)));
    }

    void hashCheck_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("pass");
        const QByteArray content("installed file content\n");
        const QString hex = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
        QString oneOff = hex;
        oneOff[127] = oneOff[127] == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
        QTest::newRow("lower case") << content << hex << true;
        QTest::newRow("upper case") << content << hex.toUpper() << true;
        QTest::newRow("last digit differs") << content << oneOff << false;
        QTest::newRow("leading blank") << content << (" " + hex) << false;
        QTest::newRow("trailing blank") << content << (hex + " ") << false;
        QTest::newRow("digest of other data") << QByteArray("other") << hex << false;
        QTest::newRow("truncated hash") << content << hex.left(64) << false;
        QTest::newRow("empty file")
            << QByteArray() << QString::fromLatin1(QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha512).toHex()) << true;
        // The published test vector, independent of any library under test.
        QTest::newRow("FIPS 180-2 vector \"abc\"")
            << QByteArray("abc")
            << QStringLiteral("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f")
            << true;
        QByteArray pieces(512 * 1024, 'p');
        QTest::newRow("whole read pieces")
            << pieces << QString::fromLatin1(QCryptographicHash::hash(pieces, QCryptographicHash::Sha512).toHex()) << true;
        QByteArray big(3 * 1024 * 1024 + 17, 'z');
        QTest::newRow("several read chunks")
            << big << QString::fromLatin1(QCryptographicHash::hash(big, QCryptographicHash::Sha512).toHex()) << true;
    }

    void hashCheck()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QFETCH(bool, pass);
        const QString path = m_Dir.path() + "/hashed.bin";
        QVERIFY(writeFile(path, content));
        QCOMPARE(CheckSigFunc::fileMatchesHash(path, expected), pass);
        if (pass)
            QCOMPARE(CheckSigFunc::sha512Hex(path), expected.toLower());
        const Outcome o = runCheck(path, expected, false);
        QCOMPARE(o.checkDoneCount, 1);
        QCOMPARE(o.pass, pass);
        // Without cancel on fail the task finishes either way; the verdict travels by checkDone.
        QCOMPARE(o.state, int(TaskSpecification::STATE_FINISHED));
        QCOMPARE(o.finishedCount, 1);
        QCOMPARE(o.canceledCount, 0);
        QCOMPARE(o.messages.contains(QStringLiteral("Signature check failed for %1").arg(path)), !pass);
    }

    void hashOfMissingFile()
    {
        const QString path = m_Dir.path() + "/nothing-here";
        QVERIFY(!CheckSigFunc::fileMatchesHash(path, QString(128, QLatin1Char('0'))));
        QVERIFY(CheckSigFunc::sha512Hex(path).isEmpty());
        // With cancel on fail a failed hash check fails the task.
        const Outcome o = runCheck(path, QString(128, QLatin1Char('0')), true);
        QCOMPARE(o.checkDoneCount, 1);
        QVERIFY(!o.pass);
        QCOMPARE(o.state, int(TaskSpecification::STATE_FAILED));
        QCOMPARE(o.canceledCount, 1);
        QCOMPARE(o.finishedCount, 0);
        QVERIFY(o.messages.contains(QStringLiteral("Could not open file %1 for reading").arg(path)));
    }

    void signatureCheck_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("pass");
        QTest::addColumn<QString>("message");
        QTest::newRow("valid") << "" << true << "";
        QTest::newRow("file changed") << "file" << false << "";
        QTest::newRow("signature bit flipped") << "sigbit" << false << "";
        QTest::newRow("signature 127 bytes") << "short" << false << "";
        QTest::newRow("signature 129 bytes") << "long" << false << "";
        QTest::newRow("no signature file") << "nosig" << false << "Could not open file %1.sig for reading";
        QTest::newRow("huge signature file") << "hugesig" << false << "File %1.sig is too large to be checked";
        QTest::newRow("signed by another key") << "otherkey" << false << "";
        QTest::newRow("empty file, valid signature") << "emptyfile" << true << "";
    }

    void signatureCheck()
    {
        QFETCH(QString, damage);
        QFETCH(bool, pass);
        QFETCH(QString, message);
        if (!builtInKeyIsTestKey())
            QSKIP("a release key is compiled in; test signatures cannot verify");
        const QString path = m_Dir.path() + "/vx3_client_macosx.ini";
        QByteArray content("[.]\nfoo=abc::3\n");
        if (damage == "emptyfile")
            content.clear();
        QVERIFY(writeFile(path, content));
        QString error;
        QVERIFY2(TestSigner::signFile(path, &error), qPrintable(error));
        QByteArray sig = bytesOf(path + ".sig");
        if (damage == "file")
            QVERIFY(writeFile(path, content + "bar=def::3\n"));
        else if (damage == "sigbit")
            sig[5] = sig[5] ^ 0x10;
        else if (damage == "short")
            sig.chop(1);
        else if (damage == "long")
            sig.append('\0');
        else if (damage == "hugesig")
            sig = QByteArray(int(CheckSigFunc::kMaxSignatureSize) + 1, 'x');
        else if (damage == "otherkey") {
            ScopedRsaKey key;
            makeKey(key.get());
            key.markLoaded();
            unsigned char out[256];
            unsigned long outLength = sizeof(out);
            signData(key.get(), u(content), len(content), out, &outLength);
            sig = QByteArray(reinterpret_cast<const char*>(out), int(outLength));
        }
        if (damage == "nosig")
            QVERIFY(QFile::remove(path + ".sig"));
        else
            QVERIFY(writeFile(path + ".sig", sig));

        const Outcome o = runCheck(path, QString(), true);
        QCOMPARE(o.checkDoneCount, 1);
        QCOMPARE(o.pass, pass);
        // With cancel on fail a failed check fails the task.
        QCOMPARE(o.state, int(pass ? TaskSpecification::STATE_FINISHED : TaskSpecification::STATE_FAILED));
        QCOMPARE(o.canceledCount, pass ? 0 : 1);
        QCOMPARE(o.finishedCount, pass ? 1 : 0);
        if (!message.isEmpty())
            QVERIFY2(o.messages.contains(message.arg(path)), qPrintable(o.messages.join('|')));
        QCOMPARE(o.messages.contains(QStringLiteral("Signature check failed for %1").arg(path)), !pass);
    }

    void signedFileOverTheCapFails()
    {
        const QString path = m_Dir.path() + "/huge.ini";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(CheckSigFunc::kMaxSignedFileSize + 1)); // sparse, nothing is written
        }
        QVERIFY(writeFile(path + ".sig", QByteArray(128, 'x')));
        const Outcome o = runCheck(path, QString(), false);
        QVERIFY(!o.pass);
        QVERIFY(o.messages.contains(QStringLiteral("File %1 is too large to be checked").arg(path)));
    }

    // Every path through the check releases the key it imported.
    void keyFreedOnEveryPath_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("valid") << "";
        QTest::newRow("bad signature") << "sigbit";
        QTest::newRow("wrong length, library error") << "short";
    }

    void keyFreedOnEveryPath()
    {
        QFETCH(QString, damage);
        const QString path = m_Dir.path() + "/counted.ini";
        QVERIFY(writeFile(path, "[.]\nx=1::1\n"));
        QVERIFY(TestSigner::signFile(path));
        QByteArray sig = bytesOf(path + ".sig");
        if (damage == "sigbit")
            sig[9] = sig[9] ^ 1;
        else if (damage == "short")
            sig.chop(1);
        QVERIFY(writeFile(path + ".sig", sig));

        g_Plain = ltc_mp;
        ltc_mp.init = countingInit;
        ltc_mp.init_copy = countingInitCopy;
        ltc_mp.deinit = countingDeinit;
        g_Inits = 0;
        g_Deinits = 0;
        CheckSigFunc func(path, QString());
        const bool verdict = func.run();
        ltc_mp = g_Plain;
        QVERIFY(g_Inits > 0);
        QCOMPARE(g_Deinits.load(), g_Inits.load());
        QCOMPARE(verdict, damage.isEmpty() && builtInKeyIsTestKey());
    }
};

QTEST_MAIN(SignatureCheckTest)
#include "signaturechecktest.moc"
