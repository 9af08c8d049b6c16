// The manifest pass against the test web server: what gets queued and counted.
#include <gtest/gtest.h>
#include <objbase.h>
#include "DownloadManager.h"
#include "TestUtil.h"
#include "manifest/KeptManifest.h"
#include "testserver.h"

namespace {

std::string Entry(const std::string& name, const std::string& size, const std::string& md5, const std::string& url,
                  bool withVersion = true)
{
    return "<file filename=\"" + name + "\" filesize=\"" + size + "\"" +
           (withVersion ? " fileversion=\"1.0.0.1\"" : "") + " md5=\"" + md5 + "\" fileload=\"" + url + "\"/>";
}

std::string Manifest(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest><filelist>" + entries + "</filelist></manifest>";
}

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override { ::CoInitialize(nullptr); manager.Init(&sink, "http://h/", (app / "Update").c_str(), app.Path().c_str()); }
    void TearDown() override { ::CoUninitialize(); }

    ManifestFetch Fetch(const std::string& body, int status = 200)
    {
        TestRoute route;
        route.status = status;
        route.body = body;
        route.contentType = "text/xml";
        server.Serve("/update/update.xml", route);
        return FetchManifest(server.Url("/update/update.xml?=4711").c_str(), (app.Path() + "\\").c_str(), manager,
                             total);
    }
    std::vector<std::string> Queued() const
    {
        std::vector<std::string> names;
        for (int i = 0; i < manager.GetTaskCount(); ++i) names.push_back(manager.GetTask(i)->szName);
        return names;
    }

    ScratchDir app{ "mf" };
    RecordingNotify sink;
    CDownloadManager manager;
    TestServer server;
    UINT32 total = 0;
};

} // namespace

TEST_F(ManifestTest, MissingOrDifferentFilesAreQueuedAndCounted)
{
    const std::string same = PatternBytes(300, 1), changed = PatternBytes(300, 2);
    WriteBytes(app / "same.bin", same);
    WriteBytes(app / "changed.bin", changed);
    std::string upper = Md5Of(changed);
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const std::string body = Manifest(
        Entry("same.bin", "1000", Md5Of(same), "http://h/same") +
        Entry("changed.bin", "2000", Md5Of(PatternBytes(300, 3)), "http://h/changed") +
        Entry("missing.bin", "4000", Md5Of(same), "http://h/missing") +
        Entry("upper.bin", "8000", upper, "http://h/upper"));
    WriteBytes(app / "upper.bin", changed);
    EXPECT_EQ(Fetch(body), ManifestFetch::Queued);
    // An upper-case digest of the installed bytes is up to date.
    EXPECT_EQ(Queued(), (std::vector<std::string>{ "changed.bin", "missing.bin" }));
    EXPECT_EQ(total, 6000u);  // the matching files' sizes are not counted
    EXPECT_EQ(manager.GetTask(1)->dwSize, 4000u);
    EXPECT_STREQ(manager.GetTask(1)->szUrl, "http://h/missing");
    EXPECT_STREQ(manager.GetTask(1)->szLocalName, "missing.bin");
    EXPECT_EQ(server.RequestTargets().back(), "/update/update.xml?=4711");
}

TEST_F(ManifestTest, ErrorStatusesAndOtherDocumentsQueueNothing)
{
    const std::string listing = Manifest(Entry("a.bin", "1", "x", "http://h/a"));
    EXPECT_EQ(Fetch(listing, 404), ManifestFetch::Failed);
    EXPECT_EQ(Fetch(listing, 500), ManifestFetch::Failed);
    EXPECT_EQ(Fetch("this is not xml at all"), ManifestFetch::Failed);
    // Another document has no list to read: nothing to update, not a failure.
    EXPECT_EQ(Fetch("<other><filelist>" + Entry("a.bin", "1", "x", "http://h/a") + "</filelist></other>"),
              ManifestFetch::NothingToUpdate);
    EXPECT_EQ(Fetch(Manifest("")), ManifestFetch::NothingToUpdate);
    EXPECT_EQ(manager.GetTaskCount(), 0);
    EXPECT_EQ(total, 0u);
}

TEST_F(ManifestTest, APassThatStopsBeforeTheEndQueuesNothing)
{
    // An entry without a version, sizes that are no 32-bit number, a folder
    // where a listed file should be: the list is not read to its end.
    ::CreateDirectoryA((app / "folder.bin").c_str(), nullptr);
    const std::string a = Entry("a.bin", "10", "x", "http://h/a");
    for (const std::string& failing : { Entry("c.bin", "40", "x", "http://h/c", false), Entry("b.bin", "abc", "x", "http://h/b"),
                                        Entry("b.bin", "4294967296", "x", "http://h/b"), Entry("b.bin", "-1", "x", "http://h/b"),
                                        Entry("folder.bin", "5", "x", "http://h/f") }) {
        SCOPED_TRACE(failing);
        CDownloadManager other;
        UINT32 otherTotal = 0;
        other.Init(&sink, "http://h/", (app / "Update").c_str(), app.Path().c_str());
        TestRoute route;
        route.body = Manifest(a + failing + Entry("d.bin", "5", "x", "http://h/d"));
        server.Serve("/m2", route);
        EXPECT_EQ(FetchManifest(server.Url("/m2").c_str(), (app.Path() + "\\").c_str(), other, otherTotal),
                  ManifestFetch::Failed);
        EXPECT_EQ(other.GetTaskCount(), 0);
        EXPECT_EQ(otherTotal, 0u);
    }
}

TEST_F(ManifestTest, EntriesForOneFileAreOneEntryAndTheLastWins)
{
    // "Σ" and "σ" (UTF-8 here, code page 936 on disk) are one name for Windows,
    // as are the test program's own name and its side file.
    const std::string body = "<manifest><filelist>" + Entry("a.bin", "1", "x", "http://h/a1") +
                             Entry("\xCE\xA3.bin", "2", "x", "http://h/upper") + Entry("unit_tests.exe", "4", "x", "http://h/exe") +
                             "</filelist><other/><filelist>" + Entry("b.bin", "8", "x", "http://h/b") +
                             Entry("A.BIN", "16", "x", "http://h/a2") + Entry("\xCF\x83.bin", "32", "x", "http://h/lower") +
                             Entry("UNIT_TESTS.EX_", "64", "x", "http://h/side") + Entry("sub/b.bin", "128", "x", "http://h/s1") +
                             Entry("SUB\\B.bin", "256", "x", "http://h/s2") + "</filelist></manifest>";
    EXPECT_EQ(Fetch(body), ManifestFetch::Queued);
    std::vector<std::string> urls;
    for (int i = 0; i < manager.GetTaskCount(); ++i) urls.push_back(manager.GetTask(i)->szUrl);
    EXPECT_EQ(urls, (std::vector<std::string>{ "http://h/b", "http://h/a2", "http://h/lower", "http://h/side", "http://h/s2" }));
    EXPECT_EQ(total, 8u + 16 + 32 + 64 + 256);
}

TEST_F(ManifestTest, EntriesThatDoNotFitOrCouldLeaveTheFolderAreSkipped)
{
    const std::string longUrl = "http://h/" + std::string(250, 'u');
    const std::string body = Manifest(
        Entry(std::string(32, 'n'), "1", "x", "http://h/a") +
        Entry("fits.bin", "2", "x", longUrl) +
        Entry("..\\outside.bin", "4", "x", "http://h/o") +
        Entry("sub\\..\\..\\up.bin", "4", "x", "http://h/o") +
        Entry("C:\\Windows\\x.dll", "4", "x", "http://h/o") +
        Entry("\\rooted.bin", "4", "x", "http://h/o") +
        Entry("file.txt:stream", "4", "x", "http://h/o") +
        Entry("", "4", "x", "http://h/o") +
        Entry("Update\\install.journal", "4", "x", "http://h/o") +  // our own files
        Entry("update/x.bin", "4", "x", "http://h/o") +
        Entry("QUORVA~1.EXE", "4", "x", "http://h/o") +
        Entry("what?.bin", "4", "x", "http://h/o") +
        Entry(std::string(31, 'k'), "8", "x", "http://h/k") +
        Entry("data\\ok.bin", "16", "x", "http://h/ok") +
        Entry("Updates\\ok.bin", "32", "x", "http://h/ok2"));
    EXPECT_EQ(Fetch(body), ManifestFetch::Queued);
    EXPECT_EQ(Queued(), (std::vector<std::string>{ std::string(31, 'k'), "data\\ok.bin", "Updates\\ok.bin" }));
    EXPECT_EQ(total, 56u);
}

TEST_F(ManifestTest, InstalledCopiesHeldOpenAreReadOrQueued)
{
    // The platform keeps a file open for writing: it is still read. A copy
    // nobody may read is queued, and the list goes on.
    const std::string bytes = "contents of an open file";
    WriteBytes(app / "open.bin", bytes);
    WriteBytes(app / "locked.bin", bytes);
    HANDLE writer = ::CreateFileA((app / "open.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE exclusive = ::CreateFileA((app / "locked.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    const ManifestFetch queued = Fetch(Manifest(Entry("open.bin", "1", Md5Of(bytes), "http://h/o") +
                                       Entry("locked.bin", "2", Md5Of(bytes), "http://h/l") +
                                       Entry("c.bin", "4", "x", "http://h/c")));
    ::CloseHandle(writer);
    ::CloseHandle(exclusive);
    EXPECT_EQ(queued, ManifestFetch::Queued);
    EXPECT_EQ(Queued(), (std::vector<std::string>{ "locked.bin", "c.bin" }));
}

TEST_F(ManifestTest, UnreachableSiteQueuesNothing)
{
    EXPECT_EQ(FetchManifest("http://127.0.0.1:1/update/update.xml?=1", (app.Path() + "\\").c_str(), manager, total),
              ManifestFetch::Failed);
    EXPECT_EQ(manager.GetTaskCount(), 0);
}

TEST_F(ManifestTest, AServerThatStopsAnsweringEndsThePass)
{
    TestRoute route;
    route.body = Manifest(Entry("a.bin", "1", "x", "http://h/a"));
    route.stallAfter = 10;
    route.stallMs = 60000;
    server.Serve("/update/update.xml", route);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(FetchManifest(server.Url("/update/update.xml?=1").c_str(), (app.Path() + "\\").c_str(), manager,
                            total, 1500),
              ManifestFetch::Failed);
    EXPECT_LT(::GetTickCount64() - start, 30000u);  // gave up at its limit, long before the server would have
    EXPECT_EQ(manager.GetTaskCount(), 0);
}

TEST_F(ManifestTest, ALongListIsReadWhole)
{
    std::string entries;
    for (int i = 0; i < 10000; ++i)
        entries += Entry("f" + std::to_string(i) + ".bin", "3", "x", "http://h/f" + std::to_string(i));
    EXPECT_EQ(Fetch(Manifest(entries)), ManifestFetch::Queued);
    ASSERT_EQ(manager.GetTaskCount(), 10000);
    EXPECT_STREQ(manager.GetTask(9999)->szName, "f9999.bin");
    EXPECT_EQ(manager.GetTask(9999)->nId, 10000);
    EXPECT_EQ(total, 30000u);
}

TEST(KeptManifestFile, ReadsBackEveryFieldOfTheListAndRefusesAnEarlierVersion)
{
    KeptManifest kept;
    kept.address = "http://h/update/update.xml";
    kept.etag = "\"r1\"";
    kept.body = "<manifest/>";
    ManifestEntry entry;
    entry.file.number = 3;
    entry.file.name = "packs\\world.pak";
    entry.file.size = 4000000000u;
    entry.file.md5 = std::string(32, 'a');
    entry.file.chunksUrl = "http://h/chunks/world.pak.idx";
    entry.file.chunksSha256 = std::string(64, 'b');
    entry.file.chunksHead = 21520;  // a patch's first request depends on it
    kept.content.entries.push_back(entry);
    const std::string bytes = SerializeKept(kept);

    KeptManifest read;
    ASSERT_EQ(ParseKept(bytes, read), KeptFault::None);
    ASSERT_EQ(read.content.entries.size(), 1u);
    const ListedFile& f = read.content.entries[0].file;
    EXPECT_EQ(f.name, entry.file.name);
    EXPECT_EQ(f.size, entry.file.size);
    EXPECT_EQ(f.chunksUrl, entry.file.chunksUrl);
    EXPECT_EQ(f.chunksHead, 21520u);
    std::string earlier = bytes;
    earlier.replace(earlier.find("manifest 2"), 10, "manifest 1");
    EXPECT_EQ(ParseKept(earlier, read), KeptFault::Foreign);
}
