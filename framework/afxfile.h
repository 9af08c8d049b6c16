// CFile over Win32 file handles; failures are thrown as CFileException by value.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include "afxhandle.h"
#include "afxstr.h"

class CFileException {
public:
    enum {
        none, genericException, fileNotFound, badPath, tooManyOpenFiles, accessDenied, invalidFile,
        removeCurrentDir, directoryFull, badSeek, hardIO, sharingViolation, lockViolation, diskFull, endOfFile
    };
    CFileException() = default;
    CFileException(int cause, LONG osError, const char* fileName = nullptr)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

    static int OsErrorToException(LONG osError);
    // The system's description of the error, with the file name when known.
    BOOL GetErrorMessage(char* buffer, UINT maxChars, UINT* pHelpContext = nullptr) const;

    int m_cause = none;
    LONG m_lOsError = -1;
    CString m_strFileName;
};

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000, modeWrite = 0x0001, modeReadWrite = 0x0002,
        shareCompat = 0x0000, shareExclusive = 0x0010, shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030, shareDenyNone = 0x0040, modeNoInherit = 0x0080,
        modeCreate = 0x1000, modeNoTruncate = 0x2000, typeText = 0x4000, typeBinary = 0x8000
    };

    CFile() = default;
    // Opens or throws CFileException.
    CFile(const char* fileName, UINT openFlags);
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    virtual ~CFile();

    // Fills *pError (when given) and returns FALSE on failure.
    BOOL Open(const char* fileName, UINT openFlags, CFileException* pError = nullptr);
    UINT Read(void* buffer, UINT count);          // throws on failure; 0 at the end
    void Write(const void* buffer, UINT count);   // throws on failure
    ULONGLONG Seek(LONGLONG offset, UINT from);   // from: FILE_BEGIN, FILE_CURRENT, FILE_END
    ULONGLONG GetPosition() const;
    ULONGLONG GetLength() const;
    void Close();                                  // throws if closing fails
    void Abort();                                  // closes, never throws
    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
    HANDLE m_hFile = INVALID_HANDLE_VALUE;

private:
    [[noreturn]] void ThrowLastError() const;
    CString m_strFileName;
};

// A file opened for reading while others may read, write or delete it (a
// running program may hold its own files open), read in order or at any offset.
class CSharedReadFile {
public:
    explicit CSharedReadFile(const char* fileName);
    CSharedReadFile(const CSharedReadFile&) = delete;
    CSharedReadFile& operator=(const CSharedReadFile&) = delete;

    bool IsOpen() const { return static_cast<bool>(m_h); }
    DWORD OpenError() const { return m_openError; }  // why it could not be opened
    bool IsOnDisk() const { return ::GetFileType(m_h.get()) == FILE_TYPE_DISK; }
    // The next bytes; false on a read error, got 0 at the end.
    bool Read(BYTE* into, UINT n, UINT& got) const;
    // Exactly n bytes at offset; false otherwise.
    bool ReadAt(ULONGLONG offset, BYTE* into, UINT n) const;

private:
    CScopedHandle m_h;
    DWORD m_openError = 0;
};
