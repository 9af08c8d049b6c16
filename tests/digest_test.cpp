// CMd5Digest: known answers, block-edge padding, and file digests over CFile.
#include "Md5Digest.h"
#include "afxfile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Deterministic test bytes (a 32-bit LCG); the reference digests below were computed
// from the same sequence with an independent MD5 implementation.
std::vector<BYTE> Pattern(size_t n, UINT seed)
{
    std::vector<BYTE> out(n);
    UINT x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<BYTE>(x >> 16);
    }
    return out;
}

std::string Md5Of(const std::vector<BYTE>& data)
{
    return CMd5Digest::HashBuffer(data.data(), static_cast<UINT>(data.size())).str();
}

std::string Md5Of(const char* text)
{
    return CMd5Digest::HashBuffer(reinterpret_cast<const BYTE*>(text),
                                  static_cast<UINT>(std::strlen(text))).str();
}

const char kEmptyDigest[] = "d41d8cd98f00b204e9800998ecf8427e";

// ---------------------------------------------------------------------------
// Memory digests

TEST(Md5Digest, Rfc1321TestSuite)
{
    const struct { const char* message; const char* digest; } suite[] = {
        { "", "d41d8cd98f00b204e9800998ecf8427e" },
        { "a", "0cc175b9c0f1b6a831c399e269772661" },
        { "abc", "900150983cd24fb0d6963f7d28e17f72" },
        { "message digest", "f96b697d7cb7938d525a2f31aaf161d0" },
        { "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b" },
        { "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
          "d174ab98d277d9f5a5611c2c9f419d9f" },
        { "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
          "57edf4a22be3c955ac49da2e2107b67a" },
    };
    for (const auto& v : suite) {
        SCOPED_TRACE(v.message);
        EXPECT_EQ(Md5Of(v.message), v.digest);
    }
}

TEST(Md5Digest, EmptyBlockWithoutDataPointer)
{
    EXPECT_EQ(CMd5Digest::HashBuffer(nullptr, 0).str(), kEmptyDigest);
}

TEST(Md5Digest, EveryByteValue)
{
    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<BYTE>(i);
    EXPECT_EQ(Md5Of(all), "e2c865db4162bed963bfaa9ef6ac18f0");
}

// Lengths around the point where the length field no longer fits in the last block.
TEST(Md5Digest, PaddingAtBlockEdges)
{
    const struct { size_t length; const char* digest; } cases[] = {
        { 55, "33245e2f818db2997d0ff399206d2857" },   // one block in all
        { 56, "dbfba04989de707c5d10eaabc09ed6c2" },   // two blocks from here on
        { 63, "70130768387afda30b9d21007647374b" },
        { 64, "95b8013433c46680b8120921167ec17a" },
        { 65, "73532b7ccf1cfc69947cbe61cd2bd54d" },
        { 119, "8dc3c0d9f816a4838ff6307b7084aa08" },
        { 120, "aa2e7ed33e59340f7686f3099069d381" },
        { 128, "10db93b7d3090618c23abfd03712c963" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<BYTE> msg = Pattern(c.length, 1);
        EXPECT_EQ(Md5Of(msg), c.digest);

        CMd5Digest byteByByte;
        for (BYTE b : msg) byteByByte.Update(&b, 1);
        EXPECT_EQ(byteByByte.Final().str(), c.digest);
    }
}

TEST(Md5Digest, SplitUpdatesGiveTheWholeMessageDigest)
{
    const std::vector<BYTE> msg = Pattern(1000, 2);
    const char* expected = "b4cece2d83a940ecc90ec9a12df4f056";
    ASSERT_EQ(Md5Of(msg), expected);

    // Pieces that start and end everywhere relative to the 64-byte blocks,
    // including empty ones and pieces spanning several blocks.
    const UINT sizes[] = { 1, 63, 64, 65, 0, 7, 128, 3, 200, 13, 0, 129 };
    CMd5Digest md5;
    size_t pos = 0;
    for (size_t k = 0; pos < msg.size(); ++k) {
        UINT n = sizes[k % (sizeof(sizes) / sizeof(sizes[0]))];
        if (n > msg.size() - pos) n = static_cast<UINT>(msg.size() - pos);
        md5.Update(msg.data() + pos, n);
        pos += n;
    }
    EXPECT_EQ(md5.Final().str(), expected);
}

// 513 MiB is 2^32 + 2^23 bits: the low word of the bit count wraps once.
TEST(Md5Digest, BitCountCarriesIntoHighWord)
{
    const std::vector<BYTE> zeros(1 << 20, 0);
    CMd5Digest md5;
    for (int i = 0; i < 513; ++i) md5.Update(zeros.data(), static_cast<UINT>(zeros.size()));
    EXPECT_EQ(md5.Final().str(), "f3a8799d64129a6fd8a5aa56f199ac54");
}

// ---------------------------------------------------------------------------
// File digests

class HandleGuard {
public:
    explicit HandleGuard(HANDLE h) : m_h(h) {}
    ~HandleGuard() { Close(); }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != INVALID_HANDLE_VALUE; }
    void Close()
    {
        if (valid()) ::CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_h;
};

class Md5DigestFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH] = {};
        ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
        m_dir = std::string(temp) + "md5test_" + std::to_string(::GetCurrentProcessId()) + "_" +
                std::to_string(::GetTickCount64()) + "_" + std::to_string(++s_serial);
        ASSERT_TRUE(::CreateDirectoryA(m_dir.c_str(), nullptr)) << m_dir;
    }

    void TearDown() override
    {
        // A handle left open by the code under test makes the delete fail.
        for (const std::string& f : m_files)
            EXPECT_TRUE(::DeleteFileA(f.c_str())) << f << " error " << ::GetLastError();
        EXPECT_TRUE(::RemoveDirectoryA(m_dir.c_str())) << m_dir;
    }

    std::string MakeFile(const std::string& name, const std::vector<BYTE>& data)
    {
        std::string path = m_dir + "\\" + name;
        HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
        if (h == INVALID_HANDLE_VALUE) return path;
        m_files.push_back(path);
        DWORD put = 0;
        EXPECT_TRUE(data.empty() ||
                    ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr));
        EXPECT_EQ(put, data.size());
        ::CloseHandle(h);
        return path;
    }

    static HANDLE OpenOther(const std::string& path, DWORD access, DWORD share)
    {
        return ::CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    // True when nobody else has the file open: an exclusive open succeeds.
    static bool NobodyHasItOpen(const std::string& path)
    {
        HandleGuard h(OpenOther(path, GENERIC_READ | GENERIC_WRITE, 0));
        return h.valid();
    }

    std::string m_dir;
    std::vector<std::string> m_files;
    static int s_serial;
};

int Md5DigestFileTest::s_serial = 0;

TEST_F(Md5DigestFileTest, ReadPieceSizeNeverShowsInTheDigest)
{
    const size_t sizes[] = { 0, 1, 63, 1024, 1025, 3000, 65535, 65536, 65537, 131072, 200000 };
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::vector<BYTE> data = Pattern(size, static_cast<UINT>(size) + 7);
        std::string path = MakeFile("piece_" + std::to_string(size) + ".bin", data);
        EXPECT_EQ(CMd5Digest::HashFilePath(path.c_str()).str(), Md5Of(data));
        EXPECT_TRUE(NobodyHasItOpen(path)) << "file left open";
    }
}

TEST_F(Md5DigestFileTest, LargeFileMatchesReferenceDigest)
{
    std::string path = MakeFile("large.bin", Pattern(200000, 3));
    EXPECT_EQ(CMd5Digest::HashFilePath(path.c_str()).str(), "c514da7588a3476caba90f8ced901ba7");
}

TEST_F(Md5DigestFileTest, EmptyFile)
{
    std::string path = MakeFile("empty.bin", {});
    EXPECT_EQ(CMd5Digest::HashFilePath(path.c_str()).str(), kEmptyDigest);
}

TEST_F(Md5DigestFileTest, HashFileDigestsFromCurrentPositionAndLeavesFileOpen)
{
    const std::vector<BYTE> data = Pattern(3000, 4);
    std::string path = MakeFile("middle.bin", data);

    CFile file(path.c_str(), CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary);
    file.Seek(1000, FILE_BEGIN);
    EXPECT_EQ(CMd5Digest::HashFile(file).str(),
              CMd5Digest::HashBuffer(data.data() + 1000, 2000).str());

    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(file.GetPosition(), 3000u);
    // At the end there is nothing left to digest.
    EXPECT_EQ(CMd5Digest::HashFile(file).str(), kEmptyDigest);
    // The handle still works.
    file.Seek(0, FILE_BEGIN);
    BYTE head[16] = {};
    ASSERT_EQ(file.Read(head, sizeof(head)), sizeof(head));
    EXPECT_EQ(0, std::memcmp(head, data.data(), sizeof(head)));
}

TEST_F(Md5DigestFileTest, NonAsciiFileName)
{
    if (::GetACP() != 936) GTEST_SKIP() << "needs code page 936 (run with LC_ALL=zh_CN.UTF-8)";
    std::vector<BYTE> data = Pattern(5000, 5);
    std::string path = MakeFile("更新文件.dll", data);
    EXPECT_EQ(CMd5Digest::HashFilePath(path.c_str()).str(), Md5Of(data));
}

// --- files that cannot be opened

TEST_F(Md5DigestFileTest, FileOpenForWritingElsewhereThrows)
{
    const std::vector<BYTE> data = Pattern(3000, 6);
    std::string path = MakeFile("busy.bin", data);
    {
        HandleGuard writer(OpenOther(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
        ASSERT_TRUE(writer.valid());
        try {
            CMd5Digest::HashFilePath(path.c_str());
            ADD_FAILURE() << "no exception while another handle may write";
        } catch (const CFileException& e) {
            EXPECT_EQ(e.m_cause, CFileException::sharingViolation);
            EXPECT_EQ(e.m_strFileName.str(), path);
        }
    }
    // Once the writer is gone the same file digests normally.
    EXPECT_EQ(CMd5Digest::HashFilePath(path.c_str()).str(), Md5Of(data));
}

TEST_F(Md5DigestFileTest, FileOpenForReadingElsewhereIsDigested)
{
    const std::vector<BYTE> data = Pattern(3000, 7);
    std::string path = MakeFile("shared.bin", data);
    HandleGuard reader(OpenOther(path, GENERIC_READ, FILE_SHARE_READ));
    ASSERT_TRUE(reader.valid());
    EXPECT_EQ(CMd5Digest::HashFilePath(path.c_str()).str(), Md5Of(data));
}

TEST_F(Md5DigestFileTest, MissingFileThrows)
{
    std::string path = m_dir + "\\missing.bin";
    try {
        CMd5Digest::HashFilePath(path.c_str());
        ADD_FAILURE() << "no exception for a missing file";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
        EXPECT_EQ(e.m_strFileName.str(), path);
    }
}

TEST_F(Md5DigestFileTest, FolderPathThrows)
{
    EXPECT_THROW(CMd5Digest::HashFilePath(m_dir.c_str()), CFileException);
}

// --- reads that fail

TEST_F(Md5DigestFileTest, ReadFailurePropagatesAndLeavesFileOpen)
{
    std::string path = MakeFile("writeonly.bin", Pattern(3000, 8));
    CFile file(path.c_str(), CFile::modeWrite | CFile::shareDenyNone);

    // What the framework reports for this read, to compare with what HashFile lets through.
    CFileException direct;
    BYTE b;
    try {
        file.Read(&b, 1);
        GTEST_SKIP() << "reading a write-only handle does not fail here";
    } catch (const CFileException& e) {
        direct = e;
    }

    try {
        CMd5Digest::HashFile(file);
        ADD_FAILURE() << "no exception from a failing read";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, direct.m_cause);
        EXPECT_EQ(e.m_lOsError, direct.m_lOsError);
        EXPECT_EQ(e.m_strFileName.str(), path);
    }
    EXPECT_TRUE(file.IsOpen());
}

// The read fails after earlier pieces were digested: a pipe whose writer has gone
// delivers its data and then reports a broken pipe.
TEST_F(Md5DigestFileTest, ReadFailureAfterSomeDataPropagates)
{
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16));
    HandleGuard writer(writeEnd);
    const std::vector<BYTE> data = Pattern(3000, 10);
    DWORD put = 0;
    ASSERT_TRUE(::WriteFile(writer.get(), data.data(), static_cast<DWORD>(data.size()), &put, nullptr));
    ASSERT_EQ(put, data.size());
    writer.Close();

    CFile pipe;
    pipe.m_hFile = readEnd;  // closed by the CFile
    try {
        CMd5Digest::HashFile(pipe);
        ADD_FAILURE() << "no exception from a broken pipe";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_lOsError, static_cast<LONG>(ERROR_BROKEN_PIPE));
    }
    // Everything written was consumed before the failure.
    DWORD avail = 0;
    if (::PeekNamedPipe(pipe.m_hFile, nullptr, 0, nullptr, &avail, nullptr)) {
        EXPECT_EQ(avail, 0u);
    }
}

// A region locked by another handle makes a read fail after earlier pieces succeeded;
// HashFilePath must let the error through and still close its file.
TEST_F(Md5DigestFileTest, ReadFailureMidFileClosesFile)
{
    std::string path = MakeFile("locked.bin", Pattern(300000, 9));
    {
        HandleGuard locker(OpenOther(path, GENERIC_READ, FILE_SHARE_READ));
        ASSERT_TRUE(locker.valid());
        ASSERT_TRUE(::LockFile(locker.get(), 250000, 0, 50000, 0));
        {
            // Wine does not enforce byte-range locks on reads; Windows does.
            HandleGuard probe(OpenOther(path, GENERIC_READ, FILE_SHARE_READ));
            ASSERT_TRUE(probe.valid());
            ::SetFilePointer(probe.get(), 260000, nullptr, FILE_BEGIN);
            BYTE b;
            DWORD got = 0;
            if (::ReadFile(probe.get(), &b, 1, &got, nullptr)) {
                ::UnlockFile(locker.get(), 250000, 0, 50000, 0);
                probe.Close();
                locker.Close();
                GTEST_SKIP() << "reads of a locked region succeed on this system";
            }
        }
        try {
            CMd5Digest::HashFilePath(path.c_str());
            ADD_FAILURE() << "no exception when reading a locked region";
        } catch (const CFileException& e) {
            EXPECT_EQ(e.m_cause, CFileException::lockViolation);
            EXPECT_EQ(e.m_strFileName.str(), path);
        }
        ::UnlockFile(locker.get(), 250000, 0, 50000, 0);
    }
    EXPECT_TRUE(NobodyHasItOpen(path)) << "file left open after a failed read";
}

} // namespace
