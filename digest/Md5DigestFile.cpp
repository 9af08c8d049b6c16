// File digests: Windows only, through the framework's CFile.
#include "Md5Digest.h"
#include "afxfile.h"
#include <memory>

namespace {
// Large pieces: each ReadFile costs a system call (and more under Wine), so 1 KiB reads
// would cost about as much as digesting the bytes. Fixed size, whatever the file's size.
const UINT kReadPiece = 64 * 1024;
}

CString CMd5Digest::HashFile(CFile& file)
{
    CMd5Digest md5;
    std::unique_ptr<BYTE[]> piece(new BYTE[kReadPiece]);
    try {
        for (;;) {
            UINT n = file.Read(piece.get(), kReadPiece);
            if (n == 0) break;
            md5.Update(piece.get(), n);
        }
    } catch (const CFileException&) {
        // A failed read reaches the caller as it was thrown; the partial digest is dropped.
        throw;
    }
    return md5.Final();
}

CString CMd5Digest::HashFilePath(const CString& path)
{
    // Others may read the file meanwhile but not change it; the constructor throws
    // CFileException when it cannot be opened, and the destructor closes it either way.
    CFile file(path, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary);
    return HashFile(file);
}
