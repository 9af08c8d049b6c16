// The real updater.exe paying only for what changed: a verified download kept
// from an earlier run, an interrupted one resumed, a big file patched from the
// installed copy's chunks, and every way that can go wrong ending in the right
// bytes all the same.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "rules/LevelledIndex.h"
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

// The levelled chunk index the publisher would write for these bytes.
std::string IndexOf(const std::string& bytes)
{
    CIndexCutter cut;
    cut.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    cut.Finish();
    const std::vector<unsigned char> encoded = EncodeLevelledIndex(cut, bytes.size());
    return std::string(encoded.begin(), encoded.end());
}

// The index's head, which the manifest's digest covers.
std::string HeadOf(const std::string& index, size_t fileSize)
{
    std::uint64_t head = 0;
    ReadIndexHeadBytes(reinterpret_cast<const unsigned char*>(index.data()), index.size(), fileSize, head);
    return index.substr(0, static_cast<size_t>(head));
}

// headLength: what the manifest says of the head's length (the publisher
// gives it exactly): kExactHead, kNoHead, or another number.
const long long kExactHead = -1, kNoHead = -2;
std::string ChunkedEntry(const std::string& name, const std::string& bytes, const TestServer& server,
                         const std::string& indexUrl = std::string(), long long headLength = kExactHead)
{
    const std::string head = HeadOf(IndexOf(bytes), bytes.size());
    const std::string length = std::to_string(headLength == kExactHead ? static_cast<long long>(head.size()) : headLength);
    return "<file filename=\"" + name + "\" filesize=\"" + std::to_string(bytes.size()) + "\" fileversion=\"1\" md5=\"" +
           Md5Of(bytes) + "\" sha256=\"" + Sha256Hex(bytes) + "\" fileload=\"" + server.Url("/big.dat") + "\" chunks=\"" +
           (indexUrl.empty() ? server.Url("/big.dat.idx") : indexUrl) + "\" chunkssha256=\"" + Sha256Hex(head) + "\"" +
           (headLength != kNoHead ? " chunkshead=\"" + length + "\"" : std::string()) + "/>";
}

} // namespace

TEST(Patch, ABigFileCostsTheChunksThatChangedWhateverTheServerDoes)
{
    // A 40 MiB file (about a dozen groups of chunks) changed at its start (1 KiB
    // inserted), in its middle and at its end (20000 bytes rewritten each).
    const std::string old = PatternBytes(40u << 20, 301);
    std::string fresh = old;
    fresh.replace(fresh.size() / 2, 20000, PatternBytes(20000, 302));
    fresh.replace(fresh.size() - 20000, 20000, PatternBytes(20000, 303));
    fresh.insert(4000, PatternBytes(1024, 309));
    const std::string index = IndexOf(fresh), head = HeadOf(index, fresh.size());
    struct Case {
        const char* what;
        bool ignoreRange;    // by the whole server, as python3 -m http.server does
        bool corruptRange;
        bool ftpIndex;       // the index offered at an ftp: URL
        bool platformLocks;  // the running platform holds big.dat open, sharing nothing
        long long headLength;  // what the manifest says of the index head's length
        const char* logged;
        int requests;        // for /big.dat; -1: as many ranges as the patch needs
    };
    const Case cases[] = {
        { "ranges answered", false, false, false, false, kExactHead, "patched:", -1 },
        { "no head length in the manifest", false, false, false, false, kNoHead, "patched:", -1 },
        { "a head length too short", false, false, false, false, 70, "patched:", -1 },
        { "ranges ignored (200)", true, false, false, false, kExactHead, "taking the whole file the server is sending", 1 },
        { "a corrupted range", false, true, false, false, kExactHead, "does not match the index", -1 },
        { "an ftp: index", false, false, true, false, kExactHead, "internet error 12006", 1 },
        { "the platform holding the file", false, false, false, true, kExactHead, "patched:", -1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        WriteBytes(inst.dir / "big.dat", old);
        TestRoute route, indexRoute;
        route.body = fresh;
        indexRoute.body = index;
        route.ignoreRange = indexRoute.ignoreRange = c.ignoreRange;
        if (c.corruptRange) route.rangeBody = PatternBytes(fresh.size(), 310);
        server.Serve("/big.dat", route);
        server.Serve("/big.dat.idx", indexRoute);
        const std::string ftp = "ftp://127.0.0.1:" + std::to_string(server.Port()) + "/big.dat.idx";
        server.ServeFile("/update/update.xml",
                         Listing(ChunkedEntry("big.dat", fresh, server, c.ftpIndex ? ftp : "", c.headLength)));
        inst.Settings(SiteSetting(server));
        Process platform;
        if (c.platformLocks) {
            ScopedEnv lock("QUORVANTA_STANDIN_LOCK", "big.dat");  // this platform only, not the one started at the end
            inst.StartPlatform(platform);
        }

        RunToTheEnd(inst);
        EXPECT_TRUE(Holds(inst, "big.dat", fresh));
        const std::string log = inst.Log();
        EXPECT_TRUE(HasLine(log, { "big.dat", c.logged })) << log;
        EXPECT_FALSE(HasLine(log, { "成功" })) << "a failure told as the text of error 0: " << log;
        const unsigned long long served = server.BodyBytesSent("/big.dat"), indexServed = server.BodyBytesSent("/big.dat.idx");
        if (c.requests == 1) {
            EXPECT_EQ(server.Requests("/big.dat"), 1);
            EXPECT_EQ(served, fresh.size());  // the whole file, once
        } else if (c.corruptRange) {
            EXPECT_GE(served, fresh.size());  // the whole file after the fallback
        } else {
            // The chunks around three changes, and of the index its head and
            // the lists of the groups they fall in: not the whole index.
            EXPECT_LT(served, 240000u) << "a patch fetched more than the chunks around three changes";
            EXPECT_GE(indexServed, head.size());
            EXPECT_LT(indexServed, index.size() / 2) << "of an index of " << index.size() << " bytes";
            EXPECT_GE(server.Requests("/big.dat.idx"), 2);
        }
        EXPECT_FALSE(FileExists(inst.dir / "Update\\big.dat.dtm.prev"));
    }
}

namespace {
// A raw answer to the resumed request for bytes 240000- of a 600000-byte file.
std::string Answer206(const std::string& contentRange, const std::string& body, const std::string& more = std::string())
{
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: " + contentRange + "\r\n" + more + "Connection: close\r\n\r\n" +
           body;
}
std::string Length(size_t n) { return "Content-Length: " + std::to_string(n) + "\r\n"; }
} // namespace

TEST(Patch, AnInterruptedDownloadResumesAndAVerifiedOneIsKept)
{
    const std::string bytes = PatternBytes(600000, 321);
    const std::string rest = bytes.substr(240000), multipart = "--B\r\nContent-Range: bytes 240000-599999/600000\r\n\r\n" +
                                                                rest + "\r\n--B--\r\n";
    struct Case {
        const char* what;
        std::string kept;          // the .dtm an earlier run left
        unsigned long long served;  // body bytes the server sends this run (a scripted answer not counted)
        const char* logged;
        std::string rangeAnswer;    // how the server answers the resumed request (empty: right)
        int requests;
    };
    const std::string cut = bytes.substr(0, 240000);
    const Case cases[] = {
        { "cut at 40 %", cut, 360000, "resumed: 240000 bytes kept", "", 1 },
        { "complete and right", bytes, 0, "reused the verified download", "", 0 },
        { "complete but other bytes", PatternBytes(600000, 322), 600000, "does not verify", "", 1 },
        { "longer than the file", bytes + "tail", 600000, "more than the file's", "", 1 },
        // Answers that can never continue the kept bytes: the whole file, at once.
        { "416", cut, 600000, "HTTP 416",
          "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */600000\r\nContent-Length: 0\r\n\r\n", 2 },
        { "an unknown total", cut, 600000, "bytes 240000-599999/*", Answer206("bytes 240000-599999/*", rest, Length(360000)), 2 },
        { "a shorter range", cut, 600000, "bytes 240000-599998/600000",
          Answer206("bytes 240000-599998/600000", rest.substr(0, 359999), Length(359999)), 2 },
        { "another total", cut, 600000, "bytes 240000-599999/700000",
          Answer206("bytes 240000-599999/700000", rest, Length(360000)), 2 },
        { "a shifted range", cut, 600000, "bytes 240100-599999/600000",
          Answer206("bytes 240100-599999/600000", bytes.substr(240100), Length(359900)), 2 },
        { "a multipart answer", cut, 600000, "the kept bytes are dropped",
          "HTTP/1.1 206 Partial Content\r\nContent-Type: multipart/byteranges; boundary=B\r\n" + Length(multipart.size()) +
              "\r\n" + multipart, 2 },
        { "more bytes announced", cut, 600000, "360010 bytes announced",
          Answer206("bytes 240000-599999/600000", rest + "0123456789", Length(360010)), 2 },
        { "extra bytes, no length", cut, 600000, "longer than", Answer206("bytes 240000-599999/600000", rest + "extra"), 2 },
        { "an empty body", cut, 600000, "an empty body", Answer206("bytes 240000-599999/600000", "", Length(360000)), 2 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        WriteBytes(inst.dir / "data.bin", "old");
        ::CreateDirectoryA((inst.dir / "Update").c_str(), nullptr);
        WriteBytes(inst.dir / "Update\\data.bin.dtm", c.kept);
        TestRoute route;
        route.body = bytes;
        route.rangeAnswer = c.rangeAnswer;
        server.Serve("/data.bin", route);
        server.ServeFile("/update/update.xml", Listing(Entry("data.bin", bytes.size(), Md5Of(bytes), server.Url("/data.bin"))));
        inst.Settings(SiteSetting(server));

        RunToTheEnd(inst);
        EXPECT_TRUE(Holds(inst, "data.bin", bytes));
        EXPECT_EQ(server.BodyBytesSent("/data.bin"), c.served);
        EXPECT_EQ(server.Requests("/data.bin"), c.requests);
        EXPECT_TRUE(HasLine(inst.Log(), { "data.bin", c.logged })) << inst.Log();
        for (const auto& file : inst.TempFiles())
            EXPECT_EQ(file.first.find("data.bin"), std::string::npos) << "left in the temporary folder: " << file.first;
    }
}

TEST(Patch, AnInterruptedDownloadIsContinuedOnlyWithTheSameVersion)
{
    const std::string v1 = PatternBytes(600000, 331), v2 = PatternBytes(600000, 332);
    struct Case {
        const char* what;
        const std::string& second;  // what the site holds at the next run
        const char* tag;
        int requests;  // by the next run
        const char* logged;
    };
    const Case cases[] = {
        { "the same version", v1, "\"v1\"", 1, "resumed: 240000 bytes kept" },
        { "another version, If-Range ignored", v2, "\"v2\"", 2, "from another version" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        WriteBytes(inst.dir / "data.bin", "old");
        TestRoute route;
        route.body = v1;
        route.extraHeaders = "ETag: \"v1\"\r\n";
        route.sendBytes = 240000;  // then the connection ends: the run fails
        server.Serve("/data.bin", route);
        server.ServeFile("/update/update.xml", Listing(Entry("data.bin", v1.size(), Md5Of(v1), server.Url("/data.bin"))));
        inst.Settings(SiteSetting(server));
        const FileMap before = inst.Files();
        {
            Process upd;
            ASSERT_TRUE(inst.Run(upd));
            ExpectFailedRun(upd, inst, before);
        }
        EXPECT_TRUE(inst.Read("Update\\data.bin.dtm") == v1.substr(0, 240000)) << inst.Log();
        EXPECT_EQ(inst.Read("Update\\data.bin.dtm.validator"), "ETag: \"v1\"\r\n");  // written as the download began

        route.body = c.second;
        route.extraHeaders = std::string("ETag: ") + c.tag + "\r\n";
        route.sendBytes = static_cast<size_t>(-1);
        server.Serve("/data.bin", route);
        server.ServeFile("/update/update.xml",
                         Listing(Entry("data.bin", c.second.size(), Md5Of(c.second), server.Url("/data.bin"))));
        const unsigned long long servedBefore = server.BodyBytesSent("/data.bin");
        const int requestsBefore = server.Requests("/data.bin");
        RunToTheEnd(inst);
        EXPECT_TRUE(Holds(inst, "data.bin", c.second));
        EXPECT_TRUE(HasLine(inst.Log(), { "data.bin", "from byte 240000", "If-Range", "ETag: \"v1\"" })) << inst.Log();
        EXPECT_TRUE(HasLine(inst.Log(), { "data.bin", c.logged })) << inst.Log();
        EXPECT_EQ(server.Requests("/data.bin") - requestsBefore, c.requests);
        // The rest only, or (beside the refused answer) the whole file.
        if (c.requests == 1) EXPECT_EQ(server.BodyBytesSent("/data.bin") - servedBefore, 360000u);
        else EXPECT_GE(server.BodyBytesSent("/data.bin") - servedBefore, 600000u);
        EXPECT_FALSE(FileExists(inst.dir / "Update\\data.bin.dtm.validator"));
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
