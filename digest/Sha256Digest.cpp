#include "Sha256Digest.h"
#include <bcrypt.h>

CSha256Digest::CSha256Digest(bool reusable) : m_bReusable(reusable)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return;
    m_hAlg = alg;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Reusable hashes came with Windows 8; before that, a new one per message.
    if (reusable && BCRYPT_SUCCESS(::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, BCRYPT_HASH_REUSABLE_FLAG))) {
        m_hHash = hash;
        return;
    }
    m_bRecreate = reusable;
    if (BCRYPT_SUCCESS(::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0))) m_hHash = hash;
}

CSha256Digest::~CSha256Digest()
{
    if (m_hHash) ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(m_hHash));
    if (m_hAlg) ::BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(m_hAlg), 0);
}

void CSha256Digest::Update(const BYTE* data, UINT length)
{
    if (!m_hHash || m_bFailed || length == 0) return;
    if (!BCRYPT_SUCCESS(::BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(m_hHash), const_cast<BYTE*>(data), length, 0)))
        m_bFailed = true;
}

bool CSha256Digest::Final(BYTE out[32])
{
    if (!m_hHash || m_bFailed) return false;
    const bool ok = BCRYPT_SUCCESS(::BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(m_hHash), out, 32, 0));
    if (!m_bReusable) {
        m_bFailed = true;  // one message per object
    } else if (m_bRecreate) {
        ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(m_hHash));
        BCRYPT_HASH_HANDLE hash = nullptr;
        m_hHash = BCRYPT_SUCCESS(::BCryptCreateHash(static_cast<BCRYPT_ALG_HANDLE>(m_hAlg), &hash, nullptr, 0, nullptr, 0, 0))
                      ? hash : nullptr;
    }
    return ok;
}

std::string CSha256Digest::FinalHex()
{
    BYTE digest[32];
    if (!Final(digest)) return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}
