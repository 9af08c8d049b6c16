// CMd5Digest: RFC 1321 MD5, finished into 32 lowercase hexadecimal characters
// (the form the update manifest lists).
//
// The core (Update, Transform, Final, HashBuffer) is platform-free so the publisher
// tool can build it natively; HashFile and HashFilePath live in Md5DigestFile.cpp and
// need the Windows framework.
#pragma once

#include <cstdint>
#include "afxstr.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
typedef std::uint8_t BYTE;
typedef std::uint32_t UINT;
#endif

static_assert(sizeof(UINT) == 4, "MD5 words are 32 bits");

class CFile;

class CMd5Digest {
public:
    CMd5Digest();
    virtual ~CMd5Digest();

    // Appends length bytes to the message.
    void Update(const BYTE* input, UINT length);
    // Pads the message and returns the digest text. One message per object:
    // the object is not reset afterwards.
    CString Final();

    static CString HashBuffer(const BYTE* data, UINT length);
#ifdef _WIN32
    // Digests from the file's current position to its end; leaves the file open.
    // Throws CFileException when a read fails.
    static CString HashFile(CFile& file);
    // Opens the file (read, others may not write) and digests all of it.
    // Throws CFileException when it cannot be opened or read.
    static CString HashFilePath(const CString& path);
#endif

private:
    void Transform(const BYTE* block);

    BYTE m_buffer[64];  // bytes not yet making up a whole block
    UINT m_count[2];    // message length in bits, low word first
    UINT m_state[4];    // chaining words A, B, C, D
};
