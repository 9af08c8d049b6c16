// The real updater.exe when the network, the manifest or the disk cannot be
// trusted: wrong bytes are never installed, an installation is all or nothing
// (even across a killed run), waits end, hostile names and manifests are refused.
#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include "E2eUtil.h"
#include "testserver.h"

namespace {

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

// The manifest's address as the updater asked for it, with its query.
std::string ManifestUrl(const TestServer& server)
{
    for (const std::string& target : server.RequestTargets())
        if (target.rfind("/update/update.xml", 0) == 0) return server.BaseUrl() + target;
    return "";
}

// A file of the update: where it goes, what it holds, where it is served.
struct NewFile {
    std::string name, bytes, path;
};

std::vector<NewFile> MakeFiles(const std::vector<std::string>& names, size_t size, unsigned seed)
{
    std::vector<NewFile> files;
    for (size_t i = 0; i < names.size(); ++i)
        files.push_back({ names[i], PatternBytes(size + i, seed + static_cast<unsigned>(i)), "/f/" + std::to_string(i) });
    return files;
}

// Serves the files and a manifest that lists them in order.
void Publish(TestServer& server, const std::vector<NewFile>& files)
{
    std::string entries;
    for (const NewFile& f : files) {
        server.ServeFile(f.path, f.bytes);
        entries += Entry(f.name, f.bytes.size(), Md5Of(f.bytes), server.Url(f.path));
    }
    server.ServeFile("/update/update.xml", Listing(entries));
}

int CountInstalled(const Installation& inst, const std::vector<NewFile>& files)
{
    int n = 0;
    for (const NewFile& f : files) n += inst.Read(f.name) == f.bytes ? 1 : 0;
    return n;
}

// Watching a running installation: sizes come from the directory, because a
// file we held open could not be moved aside by the updater.
long long SizeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int CountNewSizes(const Installation& inst, const std::vector<NewFile>& files)
{
    int n = 0;
    for (const NewFile& f : files) n += SizeOf(inst.dir / f.name) == static_cast<long long>(f.bytes.size()) ? 1 : 0;
    return n;
}

std::uint32_t Crc32(const std::string& bytes, std::uint32_t crc = 0)
{
    crc = ~crc;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string LittleEndian32(std::uint32_t v)
{
    return std::string{ static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24) };
}

const char kGzipHeader[] = "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff";

// bytes as a gzip stream of stored (uncompressed) blocks: what a server sends
// with Content-Encoding: gzip, without needing a compressor here.
std::string GzipStored(const std::string& bytes)
{
    std::string out(kGzipHeader, 10);
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(bytes.size() - at, 65535);
        const bool last = at + n == bytes.size();
        out += static_cast<char>(last ? 1 : 0);
        out += std::string{ static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(~n), static_cast<char>(~n >> 8) };
        out.append(bytes, at, n);
        at += n;
    } while (at < bytes.size());
    return out + LittleEndian32(Crc32(bytes)) + LittleEndian32(static_cast<std::uint32_t>(bytes.size()));
}

// A gzip stream of 1 + 258 * runs letters 'A' in a few hundred kilobytes: one
// literal, then copies of 258 bytes at distance 1 (fixed Huffman codes).
std::string GzipBomb(size_t runs)
{
    std::string out(kGzipHeader, 10);
    std::uint32_t acc = 0;
    int held = 0;
    auto bits = [&](std::uint32_t v, int n) {  // least significant bit first
        acc |= v << held;
        held += n;
        for (; held >= 8; held -= 8, acc >>= 8) out += static_cast<char>(acc & 0xFF);
    };
    auto code = [&](std::uint32_t c, int n) {  // Huffman codes go most significant bit first
        std::uint32_t r = 0;
        for (int i = 0; i < n; ++i) r |= ((c >> i) & 1u) << (n - 1 - i);
        bits(r, n);
    };
    bits(1, 1);                 // the last block
    bits(1, 2);                 // fixed Huffman codes
    code(0x30 + 'A', 8);        // the literal
    for (size_t i = 0; i < runs; ++i) {
        code(0xC5, 8);          // length 258 (code 285)
        code(0, 5);             // distance 1
    }
    code(0, 7);                 // end of block
    if (held) out += static_cast<char>(acc & 0xFF);
    const size_t size = 1 + 258 * runs;
    std::uint32_t crc = 0;
    const std::string piece(1 << 20, 'A');
    for (size_t left = size; left; left -= std::min(left, piece.size()))
        crc = Crc32(piece.substr(0, std::min(left, piece.size())), crc);
    return out + LittleEndian32(crc) + LittleEndian32(static_cast<std::uint32_t>(size));
}

} // namespace

TEST(Trust, DownloadedBytesMustMatchTheManifestDigest)
{
    const std::string first = PatternBytes(20000, 51), oldData = PatternBytes(25000, 52), newData = PatternBytes(25000, 53),
                      last = PatternBytes(3000, 54);
    struct Case {
        const char* what;
        std::string served;
        bool upperCaseDigest;
        bool installs;
    };
    const Case cases[] = {
        { "other bytes of the same size", PatternBytes(25000, 55), false, false },
        { "the installed bytes served again", oldData, false, false },
        { "the right bytes, upper-case digest", newData, true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        WriteBytes(inst.dir / "first.bin", "old first");
        WriteBytes(inst.dir / "data.bin", oldData);
        server.ServeFile("/first.bin", first);
        // Its end comes late, so the first file has arrived whole when it fails.
        TestRoute data;
        data.body = c.served;
        data.stallAfter = c.served.size() / 2;
        data.stallMs = 1000;
        server.Serve("/data.bin", data);
        server.ServeFile("/last.bin", last);
        const std::string digest = c.upperCaseDigest ? Upper(Md5Of(newData)) : Md5Of(newData);
        server.ServeFile("/update/update.xml",
                         Listing(Entry("first.bin", first.size(), Md5Of(first), server.Url("/first.bin")) +
                                 Entry("data.bin", newData.size(), digest, server.Url("/data.bin")) +
                                 Entry("last.bin", last.size(), Md5Of(last), server.Url("/last.bin"))));
        inst.Settings(SiteSetting(server));
        const FileMap before = inst.Files();

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        if (!c.installs) {
            ExpectFailedRun(upd, inst, before);
            EXPECT_EQ(server.Requests("/data.bin"), 1);
            EXPECT_TRUE(Holds(inst, "Update\\first.bin.dtm", first));  // complete and right: kept for a later run
            EXPECT_FALSE(FileExists(inst.dir / "Update\\data.bin.dtm"));
            EXPECT_TRUE(HasLine(inst.Log(), { "data.bin", "MD5 mismatch" })) << inst.Log();
        } else {
            ASSERT_TRUE(upd.Ended(30000));
            EXPECT_EQ(upd.ExitCode(), 0u);
            EXPECT_TRUE(Holds(inst, "first.bin", first));
            EXPECT_TRUE(Holds(inst, "data.bin", newData));
            EXPECT_TRUE(Holds(inst, "last.bin", last));
            EXPECT_EQ(inst.PlatformStarts(), 1);
            EXPECT_TRUE(NothingKeptAside(inst));
            EXPECT_FALSE(FileExists(inst.dir / "Update\\data.bin.dtm"));
            EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
            // The manifest must not come back from the cache on the next run.
            const std::string url = ManifestUrl(server);
            ASSERT_FALSE(url.empty());
            DWORD size = 0;
            ::SetLastError(0);
            EXPECT_FALSE(::GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size));
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << url;
            KillStandIns();
        }
        EXPECT_TRUE(LogWellFormed(inst.Log()));
    }
}

TEST(Trust, AFailedMovePutsTheWholeInstallationBack)
{
    struct Case {
        const char* what;
        const char* blocked;  // the entry whose move fails, listed last
        bool holdOpen;
    };
    const Case cases[] = {
        { "destination held open by another program", "held.dat", true },
        { "folder blocked by a plain file", "plug\\x.dat", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        const std::vector<NewFile> files = MakeFiles({ "kept.dat", "added\\fresh.dat", c.blocked }, 6000, 61);
        WriteBytes(inst.dir / "kept.dat", "old kept");
        WriteBytes(inst.dir / "held.dat", "old held");
        WriteBytes(inst.dir / "plug", "a file where a folder should go");
        // Read-only leftovers of earlier runs that look like kept copies of kept.dat:
        // they are not this run's, so no rollback may put them back.
        ::CreateDirectoryA((inst.dir / "Update").c_str(), nullptr);
        ::CreateDirectoryA((inst.dir / "Update\\kept.1-2-0").c_str(), nullptr);
        ::CreateDirectoryA((inst.dir / "Update\\kept.1-2-0\\0").c_str(), nullptr);
        const std::vector<std::string> stale = { "Update\\kept.dat.bak", "Update\\kept.1-2-0\\0\\kept.dat" };
        for (const std::string& name : stale) {
            WriteBytes(inst.dir / name, "stale");
            ::SetFileAttributesA((inst.dir / name).c_str(), FILE_ATTRIBUTE_READONLY);
        }
        const FileMap before = inst.Files();

        Publish(server, files);
        inst.Settings(SiteSetting(server));
        const FileMap beforeRun = inst.Files();
        // Another program reading the file and sharing reads only: it cannot be moved or replaced.
        HANDLE held = c.holdOpen ? ::CreateFileA((inst.dir / "held.dat").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                 : nullptr;
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        Process upd;
        const bool started = inst.Run(upd);
        if (started) ExpectFailedRun(upd, inst, beforeRun);
        if (held) ::CloseHandle(held);
        ASSERT_TRUE(started);
        ASSERT_FALSE(HasFatalFailure());

        for (const NewFile& f : files) {
            SCOPED_TRACE(f.name);
            EXPECT_EQ(server.Requests(f.path), 1);
            EXPECT_TRUE(Holds(inst, "Update\\" + f.name + ".dtm", f.bytes));  // back where a later run finds it
        }
        EXPECT_TRUE(Holds(inst, "kept.dat", "old kept"));
        for (const std::string& name : stale) EXPECT_TRUE(Holds(inst, name, "stale"));
        EXPECT_FALSE(FileExists(inst.dir / "Update\\install.journal"));
        const std::string log = inst.Log();
        EXPECT_TRUE(HasLine(log, { "install failed", c.blocked })) << log;
        // A file in the folder's way is seen before anything moves.
        if (c.holdOpen) EXPECT_TRUE(HasLine(log, { "rolled back; the installation is as it was" })) << log;
        else EXPECT_FALSE(HasLine(log, { "install: Update" })) << log;
        EXPECT_TRUE(LogWellFormed(log));
        for (const std::string& name : stale) ::SetFileAttributesA((inst.dir / name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(Trust, ARunKilledDuringInstallationIsUndoneByTheNextRun)
{
    TestServer server;
    Installation inst("updater.exe", kTestBuild);
    const std::vector<NewFile> files =
        MakeFiles({ "a.dat", "e\\added.dat", "b.dat", "c.dat", "d.dat" }, 4000, 71);
    for (const NewFile& f : files)
        if (f.name != "e\\added.dat") WriteBytes(inst.dir / f.name, "old " + f.name);
    Publish(server, files);
    inst.Settings(SiteSetting(server));
    const int kMovesBeforeDeath = 2;
    {
        ScopedEnv crash("UPDATER_TEST_CRASH_AFTER_MOVES", std::to_string(kMovesBeforeDeath));
        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ASSERT_TRUE(upd.Ended(30000));
        ASSERT_EQ(upd.ExitCode(), 3u) << "the run was not killed during its installation";
    }
    EXPECT_EQ(CountInstalled(inst, files), kMovesBeforeDeath);  // a mixed installation
    EXPECT_TRUE(FileExists(inst.dir / "Update\\install.journal"));
    const std::string crashedLog = inst.Log();

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(30000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    for (const NewFile& f : files) {
        SCOPED_TRACE(f.name);
        EXPECT_TRUE(Holds(inst, f.name, f.bytes));
        // The kept copies were back before the digests were compared, and every download was back
        // in its verified .dtm: nothing was fetched again.
        EXPECT_EQ(server.Requests(f.path), 1);
    }
    EXPECT_TRUE(NothingKeptAside(inst));
    EXPECT_EQ(inst.PlatformStarts(), 1);
    const std::string log = inst.Log();
    EXPECT_EQ(log.compare(0, crashedLog.size(), crashedLog), 0) << "the first run's lines were not kept";
    EXPECT_TRUE(LogWellFormed(log));
    EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
    KillStandIns();
}

TEST(Trust, ClosingDuringTheInstallationHidesTheWindowButLetsItComplete)
{
    const int kFiles = 300;
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "many\\f%03d.dat", i);
        names.push_back(name);
    }
    const std::vector<NewFile> files = MakeFiles(names, 200, 1000);
    for (bool useEscape : { true, false }) {
        SCOPED_TRACE(useEscape ? "Esc" : "WM_CLOSE");
        TestServer server;
        Installation inst;
        // Replacing installed files (3 bytes each): each is kept aside first, which makes the installation longer.
        ::CreateDirectoryA((inst.dir / "many").c_str(), nullptr);
        for (const NewFile& f : files) WriteBytes(inst.dir / f.name, "old");
        Publish(server, files);
        inst.Settings(SiteSetting(server));

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        HWND wnd = WaitForWindow(upd, "#32770", "");
        ASSERT_NE(wnd, nullptr);
        const std::string first = inst.dir / files.front().name;
        const long long newSize = static_cast<long long>(files.front().bytes.size());
        WaitUntil([&] { return SizeOf(first) == newSize || upd.Ended(0); }, 120000, 1);
        ASSERT_EQ(SizeOf(first), newSize) << "the installation never began; last log line: " << LastLogLine(inst.Log());
        if (useEscape)
            ::PostMessageA(wnd, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        else
            ::PostMessageA(wnd, WM_CLOSE, 0, 0);
        const int installedWhenClosed = CountNewSizes(inst, files);
        EXPECT_LT(installedWhenClosed, kFiles) << "the installation was over before the close request";
        EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(wnd) || !::IsWindowVisible(wnd); }, 1000))
            << "the window stayed on screen";
        ASSERT_TRUE(upd.Ended(60000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(CountInstalled(inst, files), kFiles);
        EXPECT_TRUE(NothingKeptAside(inst));
        EXPECT_EQ(inst.PlatformStarts(), 1);  // the engine starts it, window or not
        KillStandIns();
    }
}

TEST(Trust, ARedirectLoopOrAStalledBodyFailsTheRunInBoundedTime)
{
    const DWORD kStallLimitMs = 2000;
    ScopedEnv stallLimit("UPDATER_STALL_TIMEOUT_MS", std::to_string(kStallLimitMs));
    struct Case {
        const char* what;
        bool redirect;
        size_t stallAfter;
        bool withOthers;  // files in flight beside it arrive whole: only the stall fails the run
    };
    const Case cases[] = {
        { "redirect to itself", true, 0, false },
        { "stall right after the headers", false, 0, false },
        { "stall after some of the body", false, 30000, false },
        { "one stalled among files that arrive", false, 30000, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst("updater.exe", kTestBuild);
        TestRoute route;
        if (c.redirect) {
            route.status = 302;
            route.contentType = "text/html";
            route.extraHeaders = "Location: " + server.Url("/file.bin") + "\r\n";
        } else {
            route.body = PatternBytes(200000, 81);
            route.stallAfter = c.stallAfter;
            route.stallMs = 120000;  // cut short when the server goes
        }
        server.Serve("/file.bin", route);
        std::string entries = Entry("file.bin", 200000, Md5Of(route.body), server.Url("/file.bin"));
        const std::vector<std::string> others = c.withOthers ? std::vector<std::string>{ "o1.bin", "o2.bin", "o3.bin" }
                                                             : std::vector<std::string>();
        for (const std::string& name : others) {
            const std::string bytes = PatternBytes(40000, static_cast<int>(name[1]));
            server.ServeFile("/" + name, bytes);
            entries += Entry(name, bytes.size(), Md5Of(bytes), server.Url("/" + name));
        }
        server.ServeFile("/update/update.xml", Listing(entries));
        inst.Settings(SiteSetting(server));
        const FileMap before = inst.Files();

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ASSERT_TRUE(server.WaitForRequests("/file.bin", 1, 20000));
        const ULONGLONG asked = ::GetTickCount64();
        ExpectFailedRun(upd, inst, before, 0, kStallLimitMs + 8000);
        const ULONGLONG waited = ::GetTickCount64() - asked;
        if (c.redirect) {
            EXPECT_LE(server.Requests("/file.bin"), 6);  // the first request and at most 5 redirects
        } else {
            EXPECT_GE(waited, kStallLimitMs - 200) << "gave up before the stall limit";
            EXPECT_LE(waited, kStallLimitMs + 5000);
        }
        for (const std::string& name : others)  // arrived and verified: kept for the next run
            EXPECT_TRUE(Holds(inst, "Update\\" + name + ".dtm", PatternBytes(40000, static_cast<int>(name[1]))));
    }
}

namespace {
// shortForm: the settings name the temporary folder through the installation's
// 8.3 form; it is still the same folder inside it.
void ExpectUnsafeNamesSkipped(bool shortForm)
{
    const char* const hostile[] = {
        "COM1.txt", "NUL", "aux.dat", "LPT9", "sub\\con",
        "COM\xC2\xB9.dat",  // superscript one, UTF-8; best fit makes it COM1.dat
        "a\xC2\xA6" "b.dat", // broken bar, UTF-8; best fit makes it a|b.dat
        "updater.exe.", "updater.exe ", "dir. \\x.dat",
        "QUORVA~1.EXE", "UPDATE~1.EXE", "a?b.dat", "a|b.dat", "&lt;x&gt;.dat", "&quot;q&quot;.dat",
        // Our own files: the journal, a kept copy, the serial.
        "Update\\install.journal", "Update\\x.dat.bak", "update\\manifest.serial",
    };
    TestServer server;
    Installation inst;
    const std::string shortPath = ShortForm(inst.dir.Path());
    const std::string shortName = shortPath.substr(shortPath.rfind('\\') + 1);
    std::string entries;
    int n = 0;
    for (const char* name : hostile) {
        const std::string bytes = PatternBytes(500, 90 + n), path = "/h/" + std::to_string(n++);
        server.ServeFile(path, bytes);
        entries += Entry(name, bytes.size(), Md5Of(bytes), server.Url(path));
    }
    // Safe names after them, one of them Chinese (UTF-8 in the XML, code page 936 on disk).
    const std::string safe = PatternBytes(700, 98), chinese = PatternBytes(800, 99);
    server.ServeFile("/safe.dat", safe);
    server.ServeFile("/cn.dat", chinese);
    entries += Entry("safe.dat", safe.size(), Md5Of(safe), server.Url("/safe.dat"));
    entries += Entry("\xE6\xB8\xB8\xE6\x88\x8F.dat", chinese.size(), Md5Of(chinese), server.Url("/cn.dat"));
    server.ServeFile("/update/update.xml", Listing(entries));
    inst.Settings(SiteSetting(server) + (shortForm ? "[Setup]\r\nTempDir=..\\" + shortName + "\\Update\r\n" : ""));
    FileMap expected = inst.Files();
    expected["safe.dat"] = safe;
    expected["游戏.dat"] = chinese;

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(20000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(hostile[i]);
        EXPECT_EQ(server.Requests("/h/" + std::to_string(i)), 0);
    }
    EXPECT_EQ(inst.PlatformStarts(), 1);
    FileMap files = inst.Files();
    files.erase("standin-started.txt");
    EXPECT_TRUE(SameFiles(files, expected));
    EXPECT_TRUE(FileExists(inst.dir / "Update\\update.log"));
    KillStandIns();
}
} // namespace

TEST(Trust, UnsafeNamesAreSkippedWithoutBeingFetched)
{
    for (bool shortForm : { false, true }) {
        SCOPED_TRACE(shortForm ? "temporary folder named through the 8.3 form" : "temporary folder by default");
        ExpectUnsafeNamesSkipped(shortForm);
    }
}

TEST(Trust, AManifestWithADtdOrOverTheSizeLimitIsNotRead)
{
    const size_t kLimit = 64 * 1024 * 1024;
    struct Case {
        const char* what;
        std::string manifest;
        bool sendLength;
        bool gzip;
    };
    const std::string payload = PatternBytes(1000, 111);
    TestServer server;
    server.ServeFile("/payload.dat", payload);
    const std::string entry = Entry("payload.dat", payload.size(), Md5Of(payload), server.Url("/payload.dat"));
    const std::string dtd = "<?xml version=\"1.0\"?><!DOCTYPE manifest [<!ENTITY n \"payload.dat\">]>"
                            "<manifest><filelist>" +
                            Entry("&n;", payload.size(), Md5Of(payload), server.Url("/payload.dat")) +
                            "</filelist></manifest>";
    std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE manifest [<!ENTITY b \"" + std::string(100000, 'A') +
                       "\">]><manifest><filelist>" + entry + "</filelist><pad>";
    for (int i = 0; i < 20000; ++i) bomb += "&b;";
    bomb += "</pad></manifest>";
    // Many small comments: an XML parser reads it well, only its size is wrong.
    std::string huge = Listing(entry);
    const std::string comment = "<!--" + std::string(1016, 'x') + "-->\n";
    while (huge.size() <= kLimit) huge += comment;
    const Case cases[] = {
        { "entity in a file name", dtd, true, false },
        { "entity expansion bomb", bomb, true, false },
        { "over 64 MiB", huge, true, false },
        { "over 64 MiB, no length announced", huge, false, false },
        // A few hundred kilobytes on the wire, past the limit once decoded.
        { "over 64 MiB once its gzip encoding is decoded", GzipBomb(kLimit / 258 + 100), true, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Installation inst;
        TestRoute route;
        route.body = c.manifest;
        route.contentType = "text/xml";
        route.sendLength = c.sendLength;
        if (c.gzip) route.extraHeaders = "Content-Encoding: gzip\r\n";
        server.Serve("/update/update.xml", route);
        inst.Settings(SiteSetting(server));
        const int fetchedBefore = server.Requests("/payload.dat");
        Process platform;  // no second one may be started beside it
        inst.StartPlatform(platform);

        Process upd;
        const ULONGLONG start = ::GetTickCount64();
        ASSERT_TRUE(inst.Run(upd));
        ASSERT_TRUE(upd.Ended(35000)) << "still running";
        EXPECT_LE(::GetTickCount64() - start, 31000u);
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(server.Requests("/payload.dat"), fetchedBefore);
        EXPECT_FALSE(FileExists(inst.dir / "payload.dat"));
        EXPECT_EQ(inst.PlatformStarts(), 1);
        EXPECT_FALSE(platform.Ended(0));
        const std::string log = inst.Log();
        EXPECT_TRUE(HasLine(log, { "manifest unreadable" })) << log;
        if (c.gzip) {
            EXPECT_TRUE(HasLine(log, { "manifest unreadable: larger than 64 MiB" })) << log;
        }
        // Nothing was checked: the run is not reported as a finished update.
        EXPECT_TRUE(LastLineHas(log, "outcome: failed (no manifest was read; nothing was updated)"));
        KillStandIns();
    }
}

TEST(Trust, TheKeptManifestIsReusedOnlyWhileTheServerSaysItIsCurrent)
{
    TestServer server;
    Installation inst;
    const std::string a = PatternBytes(3000, 121), b = PatternBytes(4000, 122), b2 = PatternBytes(4000, 123);
    server.ServeFile("/a.bin", a);
    server.ServeFile("/b.bin", b);
    server.ServeFile("/b2.bin", b2);
    const std::string release1 = Listing(Entry("a.bin", a.size(), Md5Of(a), server.Url("/a.bin")) +
                                         Entry("sub\\b.bin", b.size(), Md5Of(b), server.Url("/b.bin")));
    const std::string release2 = Listing(Entry("a.bin", a.size(), Md5Of(a), server.Url("/a.bin")) +
                                         Entry("sub\\b.bin", b2.size(), Md5Of(b2), server.Url("/b2.bin")));
    const std::string lastModified = "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT\r\n";
    auto serve = [&](int status, const std::string& body, const std::string& etag, bool gzip) {
        TestRoute route;
        route.status = status;
        route.body = gzip ? GzipStored(body) : body;
        route.contentType = "text/xml";
        route.sendLength = status != 304;
        // A cookie for years: the updater neither keeps it nor sends it back.
        route.extraHeaders = "ETag: " + etag + "\r\n" + lastModified + (gzip ? "Content-Encoding: gzip\r\n" : "") +
                             "Set-Cookie: hall=1; expires=Fri, 01 Dec 2034 00:00:00 GMT; path=/\r\n";
        server.Serve("/update/update.xml", route);
    };
    inst.Settings(SiteSetting(server));
    auto run = [&] { RunToTheEnd(inst, 30000); };
    auto asked = [&] { return server.LastRequestHeaders("/update/update.xml"); };

    // 1. Sent compressed; read whole and kept with its validators.
    serve(200, release1, "\"r1\"", true);
    run();
    EXPECT_TRUE(Holds(inst, "sub\\b.bin", b));
    EXPECT_NE(asked().find("Accept-Encoding: gzip"), std::string::npos) << asked();
    EXPECT_EQ(asked().find("If-None-Match"), std::string::npos) << asked();
    ASSERT_TRUE(FileExists(inst.dir / "Update\\manifest.kept"));

    // 2. Not modified: the kept list decides (a file deleted since is fetched again).
    ASSERT_TRUE(::DeleteFileA((inst.dir / "a.bin").c_str()));
    serve(304, "", "\"r1\"", false);
    run();
    EXPECT_NE(asked().find("If-None-Match: \"r1\""), std::string::npos) << asked();
    EXPECT_NE(asked().find("If-Modified-Since: Tue, 08 Dec 2026 10:00:00 GMT"), std::string::npos) << asked();
    EXPECT_TRUE(HasLine(inst.Log(), { "manifest: HTTP 304, the kept copy is current" }));
    EXPECT_TRUE(Holds(inst, "a.bin", a));
    EXPECT_EQ(server.Requests("/a.bin"), 2);
    EXPECT_EQ(server.Requests("/b.bin"), 1);
    EXPECT_EQ(asked().find("Cookie:"), std::string::npos) << asked();
    EXPECT_EQ(server.LastRequestHeaders("/a.bin").find("Cookie:"), std::string::npos) << server.LastRequestHeaders("/a.bin");

    // 3. A new release, from a server that compares: fetched whole and installed.
    serve(200, release2, "\"r2\"", false);
    run();
    EXPECT_NE(asked().find("If-None-Match: \"r1\""), std::string::npos) << asked();
    EXPECT_TRUE(Holds(inst, "sub\\b.bin", b2));

    // 4. A server that ignores the validator: the whole answer, nothing to update.
    run();
    EXPECT_NE(asked().find("If-None-Match: \"r2\""), std::string::npos) << asked();
    EXPECT_EQ(server.Requests("/b2.bin"), 1);

    // 5. The kept copy damaged on disk: dropped, asked for whole, still right.
    std::string kept = inst.Read("Update\\manifest.kept");
    ASSERT_NE(kept.find("b2.bin"), std::string::npos);
    kept[kept.find("b2.bin")] = 'c';
    WriteBytes(inst.dir / "Update\\manifest.kept", kept);
    ASSERT_TRUE(::DeleteFileA((inst.dir / "sub\\b.bin").c_str()));
    run();
    EXPECT_EQ(asked().find("If-None-Match"), std::string::npos) << asked();
    EXPECT_TRUE(HasLine(inst.Log(), { "the kept copy is damaged or cut short; dropped" }));
    EXPECT_TRUE(Holds(inst, "sub\\b.bin", b2));
    EXPECT_EQ(server.Requests("/b2.bin"), 2);
    EXPECT_TRUE(LogWellFormed(inst.Log()));
}
