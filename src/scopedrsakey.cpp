#include "scopedrsakey.h"

#include <cstring>

ScopedRsaKey::ScopedRsaKey()
    : m_Loaded(false)
{
    std::memset(&m_Key, 0, sizeof(m_Key));
}

ScopedRsaKey::~ScopedRsaKey()
{
    if (m_Loaded)
        rsa_free(&m_Key);
}

rsa_key* ScopedRsaKey::get()
{
    return &m_Key;
}

void ScopedRsaKey::markLoaded()
{
    m_Loaded = true;
}

bool ScopedRsaKey::isLoaded() const
{
    return m_Loaded;
}
