#ifndef CRYPTWRAPPER_H
#define CRYPTWRAPPER_H

// Thin wrapper over LibTomCrypt for the RSA-PSS (SHA-1, salt length 8) signatures of the
// product list. Every failing library call throws crypt_exception.

#include <string>
#include <vector>

#include <tomcrypt.h>

#include "crypt_exception.h"

// Registers the sprng PRNG and the SHA-1 hash, installs LibTomMath as the math provider and
// remembers the registry indexes. Called once in the GUI thread before any check runs; safe to
// call again.
void initCrypt();

// Registry indexes kept by initCrypt (-1 before it ran).
int cryptHashIndex();
int cryptPrngIndex();

// Imports a DER-encoded RSA key (PKCS #1 public or private) from memory. The caller owns the
// imported key and releases it with rsa_free (see ScopedRsaKey).
void importKey(rsa_key* key, const unsigned char* data, unsigned long length);

// SHA-1 of the data, then RSA-PSS verification of the signature. True when the signature is
// valid; throws when the library reports an error (a signature of the wrong length among them).
bool verifySignature(rsa_key* key, const unsigned char* data, unsigned long dataLength,
                     const unsigned char* signature, unsigned long signatureLength);

// SHA-1 of the data signed with RSA-PSS. outLength holds the buffer's size on entry and the
// signature's length on return.
void signData(rsa_key* key, const unsigned char* data, unsigned long length,
              unsigned char* out, unsigned long* outLength);

// A fresh 1024-bit key with public exponent 65537.
void makeKey(rsa_key* key);

// rsa_export into a 2048-byte buffer written to the file (type PK_PUBLIC or PK_PRIVATE).
void exportKeyToFile(rsa_key* key, int type, const std::string& path);

// Reads up to 2048 bytes of the file and imports them as a key.
void importKeyFromFile(rsa_key* key, const std::string& path);

// Reads a whole file into buffer (growing it 2048 bytes at a time). Reading stops with false when
// the file cannot be read or grows beyond maxLength bytes.
bool readWholeFile(const std::string& path, std::vector<unsigned char>& buffer,
                   unsigned long& length, unsigned long maxLength = 64ul * 1024 * 1024);

// Writes a buffer to a file, truncating it. True on success.
bool writeWholeFile(const std::string& path, const unsigned char* data, unsigned long length);

// Nothing for CRYPT_OK; otherwise throws crypt_exception "<operation>: <library error text>".
void throwCryptError(const char* operation, int errorCode);

#endif // CRYPTWRAPPER_H
