#include "cryptwrapper.h"

#include <atomic>
#include <cstdio>
#include <memory>

namespace
{
std::atomic<int> g_HashIndex{-1};
std::atomic<int> g_PrngIndex{-1};

const unsigned long kSha1Length = 20;
const unsigned long kKeyBufferSize = 2048;

struct FileCloser
{
    void operator()(std::FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

void sha1Of(const unsigned char* data, unsigned long length, unsigned char* digest)
{
    unsigned long digestLength = kSha1Length;
    throwCryptError("hash_memory", hash_memory(g_HashIndex.load(), data, length, digest, &digestLength));
}
} // namespace

void throwCryptError(const char* operation, int errorCode)
{
    if (errorCode == CRYPT_OK)
        return;
    std::string text(operation ? operation : "");
    text += ": ";
    const char* libraryText = error_to_string(errorCode);
    text += libraryText ? libraryText : "unknown error";
    throw crypt_exception(text);
}

void initCrypt()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sha1");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    g_HashIndex = find_hash("sha1");
    g_PrngIndex = find_prng("sprng");
}

int cryptHashIndex()
{
    return g_HashIndex.load();
}

int cryptPrngIndex()
{
    return g_PrngIndex.load();
}

void importKey(rsa_key* key, const unsigned char* data, unsigned long length)
{
    throwCryptError("rsa_import", rsa_import(data, length, key));
}

bool verifySignature(rsa_key* key, const unsigned char* data, unsigned long dataLength,
                     const unsigned char* signature, unsigned long signatureLength)
{
    unsigned char digest[kSha1Length];
    sha1Of(data, dataLength, digest);
    int valid = 0;
    throwCryptError("rsa_verify_hash",
                    rsa_verify_hash_ex(signature, signatureLength, digest, kSha1Length, LTC_PKCS_1_PSS,
                                       g_HashIndex.load(), 8, &valid, key));
    return valid == 1;
}

void signData(rsa_key* key, const unsigned char* data, unsigned long length,
              unsigned char* out, unsigned long* outLength)
{
    unsigned char digest[kSha1Length];
    sha1Of(data, length, digest);
    throwCryptError("rsa_sign_hash",
                    rsa_sign_hash_ex(digest, kSha1Length, out, outLength, LTC_PKCS_1_PSS, nullptr,
                                     g_PrngIndex.load(), g_HashIndex.load(), 8, key));
}

void makeKey(rsa_key* key)
{
    throwCryptError("rsa_make_key", rsa_make_key(nullptr, g_PrngIndex.load(), 128, 65537, key));
}

void exportKeyToFile(rsa_key* key, int type, const std::string& path)
{
    unsigned char buffer[kKeyBufferSize];
    unsigned long length = sizeof(buffer);
    throwCryptError("rsa_export", rsa_export(buffer, &length, type, key));
    if (!writeWholeFile(path, buffer, length))
        throw crypt_exception("Could not write key file " + path);
}

void importKeyFromFile(rsa_key* key, const std::string& path)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        throw crypt_exception("Could not open key file " + path);
    unsigned char buffer[kKeyBufferSize];
    const size_t length = std::fread(buffer, 1, sizeof(buffer), f.get());
    importKey(key, buffer, static_cast<unsigned long>(length));
}

bool readWholeFile(const std::string& path, std::vector<unsigned char>& buffer,
                   unsigned long& length, unsigned long maxLength)
{
    buffer.clear();
    length = 0;
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    unsigned char chunk[kKeyBufferSize];
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof(chunk), f.get());
        if (got > 0) {
            if (static_cast<unsigned long long>(buffer.size()) + got > maxLength) {
                buffer.clear();
                return false;
            }
            buffer.insert(buffer.end(), chunk, chunk + got);
        }
        if (got < sizeof(chunk))
            break;
    }
    if (std::ferror(f.get())) {
        buffer.clear();
        return false;
    }
    length = static_cast<unsigned long>(buffer.size());
    return true;
}

bool writeWholeFile(const std::string& path, const unsigned char* data, unsigned long length)
{
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f)
        return false;
    if (length > 0 && std::fwrite(data, 1, length, f.get()) != length)
        return false;
    return std::fclose(f.release()) == 0;
}
