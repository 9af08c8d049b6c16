#include "Sha256Digest.h"
#include <bcrypt.h>

CSha256Digest::CSha256Digest()
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        m_hAlg = alg;
        if (BCRYPT_SUCCESS(::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0))) m_hHash = hash;
    }
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
    m_bFailed = true;  // one message per object
    return BCRYPT_SUCCESS(::BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(m_hHash), out, 32, 0));
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
