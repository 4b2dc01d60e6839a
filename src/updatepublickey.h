#ifndef UPDATEPUBLICKEY_H
#define UPDATEPUBLICKEY_H

// The RSA public key (PKCS #1 RSAPublicKey, DER) that verifies the signed product lists. It is
// compiled in from the file named by the CMake cache variable VX_UPDATE_PUBLIC_KEY; there is
// deliberately no way to replace it at run time.
const unsigned char* updatePublicKeyData();
unsigned long updatePublicKeySize();

#endif // UPDATEPUBLICKEY_H
