#include "afxfile.h"
#include <cstdio>
#include <cstring>

int CFileException::OsErrorToException(LONG osError)
{
    switch (osError) {
    case NO_ERROR: return none;
    case ERROR_FILE_NOT_FOUND: return fileNotFound;
    case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE: case ERROR_FILENAME_EXCED_RANGE: return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT: return accessDenied;
    case ERROR_INVALID_HANDLE: return invalidFile;
    case ERROR_CURRENT_DIRECTORY: return removeCurrentDir;
    case ERROR_CANNOT_MAKE: return directoryFull;
    case ERROR_SEEK: case ERROR_NEGATIVE_SEEK: return badSeek;
    case ERROR_SHARING_VIOLATION: return sharingViolation;
    case ERROR_LOCK_VIOLATION: return lockViolation;
    case ERROR_HANDLE_DISK_FULL: case ERROR_DISK_FULL: return diskFull;
    case ERROR_HANDLE_EOF: return endOfFile;
    default: return genericException;
    }
}

BOOL CFileException::GetErrorMessage(char* buffer, UINT maxChars, UINT* pHelpContext) const
{
    if (pHelpContext) *pHelpContext = 0;
    if (!buffer || maxChars == 0) return FALSE;
    char sys[512] = {};
    DWORD n = 0;
    if (m_lOsError > 0)
        n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(m_lOsError), 0, sys, sizeof(sys), nullptr);
    while (n > 0 && (sys[n - 1] == '\r' || sys[n - 1] == '\n' || sys[n - 1] == ' ')) sys[--n] = '\0';
    if (n == 0) std::snprintf(sys, sizeof(sys), "file error %d (system error %ld)", m_cause, m_lOsError);
    if (m_strFileName.IsEmpty())
        std::snprintf(buffer, maxChars, "%s", sys);
    else
        std::snprintf(buffer, maxChars, "%s: %s", m_strFileName.GetString(), sys);
    return TRUE;
}

CFile::CFile(const char* fileName, UINT openFlags)
{
    CFileException e;
    if (!Open(fileName, openFlags, &e)) throw e;
}

CFile::~CFile()
{
    Abort();
}

BOOL CFile::Open(const char* fileName, UINT openFlags, CFileException* pError)
{
    Abort();
    m_strFileName = fileName;
    DWORD access = 0;
    switch (openFlags & 3) {
    case modeRead: access = GENERIC_READ; break;
    case modeWrite: access = GENERIC_WRITE; break;
    default: access = GENERIC_READ | GENERIC_WRITE; break;
    }
    DWORD share = 0;
    switch (openFlags & 0x70) {
    case shareDenyWrite: share = FILE_SHARE_READ; break;
    case shareDenyRead: share = FILE_SHARE_WRITE; break;
    case shareDenyNone: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: share = 0; break;
    }
    DWORD disposition = OPEN_EXISTING;
    if (openFlags & modeCreate) disposition = (openFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    SECURITY_ATTRIBUTES sa{ sizeof(sa), nullptr, (openFlags & modeNoInherit) ? FALSE : TRUE };
    HANDLE h = ::CreateFileA(fileName, access, share, &sa, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        LONG err = static_cast<LONG>(::GetLastError());
        if (pError) {
            pError->m_lOsError = err;
            pError->m_cause = CFileException::OsErrorToException(err);
            pError->m_strFileName = fileName;
        }
        return FALSE;
    }
    m_hFile = h;
    return TRUE;
}

void CFile::ThrowLastError() const
{
    LONG err = static_cast<LONG>(::GetLastError());
    throw CFileException(CFileException::OsErrorToException(err), err, m_strFileName);
}

UINT CFile::Read(void* buffer, UINT count)
{
    DWORD got = 0;
    if (count == 0) return 0;
    if (!::ReadFile(m_hFile, buffer, count, &got, nullptr)) ThrowLastError();
    return got;
}

void CFile::Write(const void* buffer, UINT count)
{
    DWORD put = 0;
    if (count == 0) return;
    if (!::WriteFile(m_hFile, buffer, count, &put, nullptr)) ThrowLastError();
    if (put < count) throw CFileException(CFileException::diskFull, ERROR_DISK_FULL, m_strFileName);
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from)
{
    LARGE_INTEGER li, out;
    li.QuadPart = offset;
    if (!::SetFilePointerEx(m_hFile, li, &out, from)) ThrowLastError();
    return static_cast<ULONGLONG>(out.QuadPart);
}

ULONGLONG CFile::GetPosition() const
{
    LARGE_INTEGER zero{}, out{};
    if (!::SetFilePointerEx(m_hFile, zero, &out, FILE_CURRENT)) ThrowLastError();
    return static_cast<ULONGLONG>(out.QuadPart);
}

ULONGLONG CFile::GetLength() const
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(m_hFile, &size)) ThrowLastError();
    return static_cast<ULONGLONG>(size.QuadPart);
}

void CFile::Close()
{
    if (m_hFile == INVALID_HANDLE_VALUE) return;
    HANDLE h = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(h)) ThrowLastError();
}

void CFile::Abort()
{
    if (m_hFile == INVALID_HANDLE_VALUE) return;
    ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}

CSharedReadFile::CSharedReadFile(const char* fileName)
    : m_h(::CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr))
{
    if (!m_h) m_openError = ::GetLastError();
}

bool CSharedReadFile::Read(BYTE* into, UINT n, UINT& got) const
{
    DWORD read = 0;
    const bool ok = ::ReadFile(m_h.get(), into, n, &read, nullptr) != FALSE;
    got = read;
    return ok;
}

bool CSharedReadFile::ReadAt(ULONGLONG offset, BYTE* into, UINT n) const
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return ::SetFilePointerEx(m_h.get(), at, nullptr, FILE_BEGIN) && ::ReadFile(m_h.get(), into, n, &got, nullptr) &&
           got == n;
}
