#include "Verifier.h"

bool SameHexDigest(const char* a, const char* b)
{
    if (!*a || !*b) return false;
    for (;; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'F') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'F') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb) return false;
        if (!ca) return true;
    }
}

std::string CDownloadVerifier::Finish()
{
    if (m_task.bVerify) {
        const CString got = m_md5.Final();
        if (!SameHexDigest(got, m_task.szMd5))
            return std::string("MD5 mismatch (expected \"") + m_task.szMd5 + "\", got " + got.GetString() + ")";
    }
    if (m_sha256) {
        const std::string got = m_sha256->FinalHex();
        if (!SameHexDigest(got.c_str(), m_task.szSha256))
            return std::string("SHA-256 mismatch (expected \"") + m_task.szSha256 + "\", got " + got + ")";
    }
    return std::string();
}
