// File digests: Windows only, through the framework's CFile.
#include "Md5Digest.h"
#include "afxfile.h"
#include <vector>

namespace {
// Large pieces: each ReadFile costs a system call (and more under Wine), so 1 KiB reads
// would cost about as much as digesting the bytes. Fixed size, whatever the file's size.
const UINT kReadPiece = 64 * 1024;
}

CString CMd5Digest::HashFile(CFile& file)
{
    CMd5Digest md5;
    std::vector<BYTE> piece(kReadPiece);
    // A failed read reaches the caller as it was thrown; the partial digest is dropped.
    for (;;) {
        UINT n = file.Read(piece.data(), kReadPiece);
        if (n == 0) break;
        md5.Update(piece.data(), n);
    }
    return md5.Final();
}

CString CMd5Digest::HashFilePath(const CString& path)
{
    // Others may read the file meanwhile but not change it; the constructor throws
    // CFileException when it cannot be opened, and the destructor closes it either way.
    CFile file(path, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary);
    // Only a file on disk is digested: a device or a pipe could block a read for ever.
    if (::GetFileType(file.m_hFile) != FILE_TYPE_DISK)
        throw CFileException(CFileException::accessDenied, ERROR_INVALID_FUNCTION, path);
    return HashFile(file);
}
