#ifndef SCOPEDRSAKEY_H
#define SCOPEDRSAKEY_H

#include <tomcrypt.h>

// Owns one imported RSA key and frees it when leaving the scope, on every path.
class ScopedRsaKey
{
public:
    ScopedRsaKey();
    ~ScopedRsaKey();
    ScopedRsaKey(const ScopedRsaKey&) = delete;
    ScopedRsaKey& operator=(const ScopedRsaKey&) = delete;

    // The key to hand to importKey/makeKey; call markLoaded once it holds a key.
    rsa_key* get();
    void markLoaded();
    bool isLoaded() const;

private:
    rsa_key m_Key;
    bool m_Loaded;
};

#endif // SCOPEDRSAKEY_H
