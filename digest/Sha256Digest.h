// SHA-256 through the system's own cryptography (CNG), as lowercase hex text
// like the MD5 digests. Windows only.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <string>

class CSha256Digest {
public:
    // A reusable digest starts a new message after each Final (one object for
    // thousands of chunks instead of a provider each).
    explicit CSha256Digest(bool reusable = false);
    ~CSha256Digest();
    CSha256Digest(const CSha256Digest&) = delete;
    CSha256Digest& operator=(const CSha256Digest&) = delete;

    // False when the system could not provide SHA-256: no digest will match.
    bool IsValid() const { return m_hHash != nullptr; }
    void Update(const BYTE* data, UINT length);
    // The 32 bytes; false when hashing failed. One message per object unless reusable.
    bool Final(BYTE out[32]);
    // The digest text, empty when hashing failed.
    std::string FinalHex();

private:
    void* m_hAlg = nullptr;   // BCRYPT_ALG_HANDLE
    void* m_hHash = nullptr;  // BCRYPT_HASH_HANDLE
    bool m_bFailed = false;
    bool m_bReusable = false;
    bool m_bRecreate = false;  // reusable asked for, but the system makes a new hash each time
};
