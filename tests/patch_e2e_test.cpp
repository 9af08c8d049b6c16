// The real updater.exe paying only for what changed: a verified download kept
// from an earlier run, an interrupted one resumed, a big file patched from the
// installed copy's chunks, and every way that can go wrong ending in the right
// bytes all the same.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "Chunker.h"
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
    size_t start = 0, at = 0;
    auto add = [&](std::uint32_t length) {
        CSha256Digest digest;
        BYTE sha[32];
        digest.Update(reinterpret_cast<const BYTE*>(bytes.data() + start), length);
        digest.Final(sha);
        index.Add(length, sha);
        start += length;
    };
    while (at < bytes.size()) {
        std::uint32_t ended = 0;
        at += chunker.Feed(reinterpret_cast<const unsigned char*>(bytes.data() + at), bytes.size() - at, ended);
        if (ended) add(ended);
    }
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
