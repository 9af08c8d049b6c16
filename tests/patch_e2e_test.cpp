// The real updater.exe paying only for what changed: a verified download kept
// from an earlier run, an interrupted one resumed, a big file patched from the
// installed copy's chunks, and every way that can go wrong ending in the right
// bytes all the same.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "rules/Chunker.h"
#include "E2eUtil.h"
#include "Sha256Digest.h"
#include "testserver.h"

namespace {

std::string Sha256Hex(const std::string& bytes)
{
    CSha256Digest digest;
    digest.Update(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()));
    return digest.FinalHex();
}

// The chunk index the publisher would write for these bytes.
std::string IndexOf(const std::string& bytes)
{
    ChunkIndex index;
    index.fileSize = bytes.size();
    CChunker chunker;
    CSha256Digest digest(true);
    auto feed = [&](const unsigned char* data, size_t n) { digest.Update(data, static_cast<UINT>(n)); };
    auto add = [&](std::uint32_t length) {
        BYTE sha[32];
        digest.Final(sha);
        index.Add(length, sha);
    };
    CutChunks(chunker, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), feed, add);
    if (const std::uint32_t last = chunker.Finish()) add(last);
    const std::vector<unsigned char> encoded = EncodeChunkIndex(index);
    return std::string(encoded.begin(), encoded.end());
}

std::string ChunkedEntry(const std::string& name, const std::string& bytes, const TestServer& server)
{
    return "<file filename=\"" + name + "\" filesize=\"" + std::to_string(bytes.size()) + "\" fileversion=\"1\" md5=\"" +
           Md5Of(bytes) + "\" sha256=\"" + Sha256Hex(bytes) + "\" fileload=\"" + server.Url("/big.dat") +
           "\" chunks=\"" + server.Url("/big.dat.idx") + "\" chunkssha256=\"" + Sha256Hex(IndexOf(bytes)) + "\"/>";
}

// Runs the updater to the end of a successful run.
void RunToTheEnd(const Installation& inst)
{
    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(60000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
    KillStandIns();
}

} // namespace

TEST(Patch, ABigFileCostsTheChunksThatChangedWhateverTheServerDoes)
{
    // Three regions of a 3 MiB file rewritten; 1 KiB inserted near its start.
    const std::string old = PatternBytes(3u << 20, 301);
    std::string fresh = old;
    for (size_t at : { 500000u, 1500000u, 2500000u }) fresh.replace(at, 20000, PatternBytes(20000, 302 + at));
    fresh.insert(4000, PatternBytes(1024, 309));
    struct Case {
        const char* what;
        bool ignoreRange;
        bool corruptRange;
        const char* logged;
    };
    const Case cases[] = {
        { "ranges answered", false, false, "patched:" },
        { "ranges ignored (200)", true, false, "patch failed" },
        { "a corrupted range", false, true, "does not match the index" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        WriteBytes(inst.dir / "big.dat", old);
        TestRoute route;
        route.body = fresh;
        route.ignoreRange = c.ignoreRange;
        if (c.corruptRange) route.rangeBody = PatternBytes(fresh.size(), 310);
        server.Serve("/big.dat", route);
        server.ServeFile("/big.dat.idx", IndexOf(fresh));
        server.ServeFile("/update/update.xml", Listing(ChunkedEntry("big.dat", fresh, server)));
        inst.Settings(SiteSetting(server));

        RunToTheEnd(inst);
        EXPECT_TRUE(Holds(inst, "big.dat", fresh));
        const std::string log = inst.Log();
        EXPECT_TRUE(HasLine(log, { "big.dat", c.logged })) << log;
        const unsigned long long served = server.BodyBytesSent("/big.dat");
        if (c.ignoreRange || c.corruptRange)
            EXPECT_GE(served, fresh.size());  // the whole file after the fallback
        else
            EXPECT_LT(served, 300000u) << "a patch fetched more than the chunks around four changes";
        EXPECT_FALSE(FileExists(inst.dir / "Update\\big.dat.dtm.prev"));
    }
}

TEST(Patch, AnInterruptedDownloadResumesAndAVerifiedOneIsKept)
{
    const std::string bytes = PatternBytes(600000, 321);
    struct Case {
        const char* what;
        std::string kept;          // the .dtm an earlier run left
        unsigned long long served;  // body bytes the server sends this run
        const char* logged;
    };
    const Case cases[] = {
        { "cut at 40 %", bytes.substr(0, 240000), 360000, "resumed: 240000 bytes kept" },
        { "complete and right", bytes, 0, "reused the verified download" },
        { "complete but other bytes", PatternBytes(600000, 322), 600000, "does not verify" },
        { "longer than the file", bytes + "tail", 600000, "more than the file's" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        WriteBytes(inst.dir / "data.bin", "old");
        ::CreateDirectoryA((inst.dir / "Update").c_str(), nullptr);
        WriteBytes(inst.dir / "Update\\data.bin.dtm", c.kept);
        server.ServeFile("/data.bin", bytes);
        server.ServeFile("/update/update.xml", Listing(Entry("data.bin", bytes.size(), Md5Of(bytes), server.Url("/data.bin"))));
        inst.Settings(SiteSetting(server));

        RunToTheEnd(inst);
        EXPECT_TRUE(Holds(inst, "data.bin", bytes));
        EXPECT_EQ(server.BodyBytesSent("/data.bin"), c.served);
        EXPECT_TRUE(HasLine(inst.Log(), { "data.bin", c.logged })) << inst.Log();
    }
}

namespace {
// Sets a file's times, as a tool that rewrites a file and puts its times back would.
void SetTimes(const std::string& path, const FILETIME& creation, const FILETIME& written)
{
    HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ::SetFileTime(h, &creation, nullptr, &written);
    ::CloseHandle(h);
}

void GetTimes(const std::string& path, FILETIME& creation, FILETIME& written)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    ::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    creation = data.ftCreationTime;
    written = data.ftLastWriteTime;
}
} // namespace

TEST(Launch, UnchangedFilesAreNotReadYetDamageAndReplacementsAreFound)
{
    // One file read again per start, whatever the cache says.
    ScopedEnv budget("UPDATER_TEST_REVERIFY_BYTES", "1");
    TestServer server;
    Installation inst("updater.exe", kTestBuild);
    const std::vector<std::string> names = { "a.dat", "b.dat", "c.dat", "d.dat" };
    std::string entries;
    FILETIME now, hourAgo;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart -= 36000000000ull;
    hourAgo.dwLowDateTime = ticks.LowPart;
    hourAgo.dwHighDateTime = ticks.HighPart;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string bytes = PatternBytes(100000, 400 + static_cast<unsigned>(i)), path = "/f/" + names[i];
        server.ServeFile(path, bytes);
        entries += Entry(names[i], bytes.size(), Md5Of(bytes), server.Url(path));
        WriteBytes(inst.dir / names[i], bytes);
        SetTimes(inst.dir / names[i], hourAgo, hourAgo);  // settled long before any digest
    }
    server.ServeFile("/update/update.xml", Listing(entries));
    inst.Settings(SiteSetting(server));
    auto lastPass = [&] {
        std::string last = "<none>";
        for (const std::string& line : LogLines(inst.Log()))
            if (line.find("digest cache:") != std::string::npos) last = line;
        return last;
    };
    auto fetched = [&] {
        int n = 0;
        for (const std::string& name : names) n += server.Requests("/f/" + name);
        return n;
    };
    RunToTheEnd(inst);  // no cache yet: every file read
    EXPECT_NE(lastPass().find("digest cache: 4 entries, 0 from the cache, 4 digested"), std::string::npos) << lastPass();

    // b.dat damaged in place, its times put back: only re-reading finds it.
    const std::string good = inst.Read("b.dat");
    FILETIME created, written;
    GetTimes(inst.dir / "b.dat", created, written);
    {
        HANDLE h = ::CreateFileA((inst.dir / "b.dat").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD n = 0;
        ::WriteFile(h, "DAMAGED", 7, &n, nullptr);
        ::CloseHandle(h);
    }
    SetTimes(inst.dir / "b.dat", created, written);
    int runs = 0;
    while (fetched() == 0 && runs < static_cast<int>(names.size())) {
        RunToTheEnd(inst);
        ++runs;
        // The others came from the cache.
        EXPECT_NE(lastPass().find("digest cache: 4 entries, 3 from the cache, 1 digested"), std::string::npos)
            << lastPass();
    }
    EXPECT_EQ(fetched(), 1) << "the damage was never found";
    EXPECT_EQ(server.Requests("/f/b.dat"), 1);
    EXPECT_EQ(inst.Read("b.dat"), good);

    // c.dat replaced by another file of the same size and times: a new file
    // index, so the very next start reads it.
    const std::string other = PatternBytes(100000, 499);
    GetTimes(inst.dir / "c.dat", created, written);
    WriteBytes(inst.dir / "c.new", other);
    SetTimes(inst.dir / "c.new", created, written);
    ASSERT_TRUE(::MoveFileExA((inst.dir / "c.new").c_str(), (inst.dir / "c.dat").c_str(), MOVEFILE_REPLACE_EXISTING));
    const int before = server.Requests("/f/c.dat");
    RunToTheEnd(inst);
    EXPECT_EQ(server.Requests("/f/c.dat"), before + 1);
    EXPECT_EQ(inst.Read("c.dat"), PatternBytes(100000, 402));
}
