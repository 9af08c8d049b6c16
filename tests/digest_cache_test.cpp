// The digest cache: when an entry may stand for reading a file, which files a
// pass reads again anyway, and a cache file that cannot be trusted.
#include <gtest/gtest.h>
#include <algorithm>
#include <windows.h>
#include "manifest/DigestCache.h"
#include "TestUtil.h"

namespace {
const std::uint64_t kSecond = 10000000;
const std::uint64_t kMiB = 1024 * 1024;
const std::string kMd5 = "0123456789ABCDEF0123456789abcdef";

const FileStamp kStamp{ 524288, 133000000000000000ull, 132900000000000000ull, 0x5A000000, 0xA7418B };

DigestEntry Entry(const std::string& name, std::uint64_t takenAt, std::uint64_t size = 1)
{
    DigestEntry e{ name, kStamp, kMd5, takenAt };
    e.stamp.size = size;
    return e;
}

// Sets a file's times (0 leaves one as it is).
bool SetTimes(const std::string& path, std::uint64_t creation, std::uint64_t lastWrite)
{
    HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const FILETIME c{ static_cast<DWORD>(creation), static_cast<DWORD>(creation >> 32) };
    const FILETIME w{ static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32) };
    const BOOL ok = h != INVALID_HANDLE_VALUE && ::SetFileTime(h, creation ? &c : nullptr, nullptr, lastWrite ? &w : nullptr);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return ok != FALSE;
}

// As if installed an hour ago.
bool Settle(const std::string& path) { return SetTimes(path, 0, NowTicks() - 3600 * kSecond); }

// Overwrites the bytes in place, same size, and puts the last-write time back.
bool RewriteKeepingStamp(const std::string& path, const std::string& bytes)
{
    FileStamp before;
    return StampFile(path.c_str(), before) && WriteBytes(path, bytes) && SetTimes(path, 0, before.lastWrite);
}
// The stamp as GetFileInformationByHandle gives it.
FileStamp ReferenceStamp(const std::string& path)
{
    FileStamp s;
    BY_HANDLE_FILE_INFORMATION i{};
    HANDLE h = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return s;
    if (::GetFileInformationByHandle(h, &i))
        s = { (std::uint64_t(i.nFileSizeHigh) << 32) | i.nFileSizeLow,
              (std::uint64_t(i.ftLastWriteTime.dwHighDateTime) << 32) | i.ftLastWriteTime.dwLowDateTime,
              (std::uint64_t(i.ftCreationTime.dwHighDateTime) << 32) | i.ftCreationTime.dwLowDateTime,
              i.dwVolumeSerialNumber, (std::uint64_t(i.nFileIndexHigh) << 32) | i.nFileIndexLow };
    ::CloseHandle(h);
    return s;
}
} // namespace

TEST(DigestCacheRules, AnEntryStandsForTheFileOnlyWhileEveryFieldIsUnchangedAndSettled)
{
    DigestTable table(&WindowsNameKey);
    const FileStamp now = kStamp;
    ASSERT_TRUE(table.Put({ "Data\\Game.pak", now, kMd5, now.lastWrite + 2 * kSecond }));
    ASSERT_TRUE(table.Put({ "ａ.bin", now, kMd5, now.lastWrite + 5 * kSecond }));  // full-width a

    // Names compare as Windows compares file names.
    const DigestEntry* hit = table.Find("data/GAME.pak", now);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->md5, "0123456789abcdef0123456789abcdef");
    EXPECT_NE(table.Find("Ａ.BIN", now), nullptr);
    EXPECT_EQ(table.Find("Data\\Game.pa", now), nullptr);

    for (int field = 0; field < 5; ++field) {
        FileStamp changed = now;
        switch (field) {
        case 0: changed.size += 1; break;
        case 1: changed.lastWrite += 1; break;
        case 2: changed.creation -= 1; break;
        case 3: changed.volumeSerial ^= 0x100; break;
        case 4: changed.fileIndex += 1; break;
        }
        EXPECT_EQ(table.Find("Data\\Game.pak", changed), nullptr) << "field " << field;
    }

    // Racy: digested within 2 s of its last write, or before it by a clock that went back.
    table.Put({ "Data\\Game.pak", now, kMd5, now.lastWrite + 2 * kSecond - 1 });
    EXPECT_EQ(table.Find("Data\\Game.pak", now), nullptr);
    table.Put({ "Data\\Game.pak", now, kMd5, now.lastWrite - 10 * kSecond });
    EXPECT_EQ(table.Find("Data\\Game.pak", now), nullptr);

    // What no line can hold is never kept.
    EXPECT_FALSE(table.Put({ "tab\there", now, kMd5, 0 }));
    EXPECT_FALSE(table.Put({ "x.bin", now, "not an md5", 0 }));
    EXPECT_FALSE(table.Put({ "", now, kMd5, 0 }));
}

TEST(DigestCacheRules, ReverificationGoesRoundTheListedEntriesWithinItsBudget)
{
    DigestTable table(&WindowsNameKey);
    table.Put(Entry("a", 50, 40 * kMiB));
    table.Put(Entry("b", 10, 30 * kMiB));
    table.Put(Entry("c", 30, 40 * kMiB));
    table.Put(Entry("gone", 1, 100 * kMiB));  // not listed any more
    table.Put(Entry("e", 40, 1));
    const std::vector<std::string> listed{ "a", "B", "c", "e", "new", "b" };
    std::string last;
    // From the first key: A (40 MiB) then B (70 MiB in all): 64 MiB reached.
    EXPECT_EQ(table.Reverify(listed, {}, "", last), (std::vector<bool>{ true, true, false, false, false, true }));
    EXPECT_EQ(last, "B");
    // Then on from there, round to the start: C, E, A.
    EXPECT_EQ(table.Reverify(listed, {}, "B", last), (std::vector<bool>{ true, false, true, true, false, false }));
    EXPECT_EQ(last, "A");
    // A key no longer listed: on from the next one.
    EXPECT_EQ(table.Reverify(listed, {}, "D", last), (std::vector<bool>{ true, true, false, true, false, true }));
    // At least one file, however small the budget.
    EXPECT_EQ(table.Reverify(listed, { 0, 0 }, "", last), (std::vector<bool>{ true, false, false, false, false, false }));
    // The file budget ends a pass of small files.
    EXPECT_EQ(table.Reverify(listed, { 1000 * kMiB, 2 }, "B", last),
              (std::vector<bool>{ false, false, true, true, false, false }));
    // Within the budget, every listed file that has an entry.
    EXPECT_EQ(table.Reverify(listed, { 1000 * kMiB, 100 }, "", last),
              (std::vector<bool>{ true, true, true, true, false, true }));
    EXPECT_EQ(DigestTable().Reverify(listed, {}, "", last), std::vector<bool>(6, false));
    EXPECT_EQ(last, "");

    // Every file is read again within a bounded number of passes: at most one
    // pass per kReverifyFiles files plus one per kReverifyBytes, plus one.
    struct Install {
        const char* what;
        std::size_t files;
        std::uint64_t (*size)(std::size_t i);
        int passes;  // exactly
    };
    const Install installs[] = {
        { "10 000 files of 16 KiB", 10000, [](std::size_t) { return 16ull * 1024; }, 40 },
        { "2000 files of 2 MiB", 2000, [](std::size_t) { return 2 * kMiB; }, 63 },
        // Names in key order put a big file at least every 11th: each pass
        // ends with one, and the small files after the last one take one more.
        { "a mix: every tenth file 100 MiB, the others 8 KiB", 1000,
          [](std::size_t i) { return i % 10 ? 8ull * 1024 : 100 * kMiB; }, 101 },
    };
    for (const Install& inst : installs) {
        SCOPED_TRACE(inst.what);
        DigestTable big;
        std::vector<std::string> names;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < inst.files; ++i) {
            names.push_back("d\\f" + std::to_string(i));
            big.Put(Entry(names.back(), 100, inst.size(i)));
            total += inst.size(i);
        }
        std::vector<int> reads(inst.files, 0);
        std::string after;
        int passes = 0;
        for (std::size_t covered = 0; covered < inst.files && passes < 10000; ++passes) {
            const std::vector<bool> marks = big.Reverify(names, {}, after, after);
            std::size_t files = 0, firstReads = 0;
            std::uint64_t bytes = 0, biggest = 0;
            for (std::size_t i = 0; i < marks.size(); ++i) {
                if (!marks[i]) continue;
                firstReads += reads[i]++ == 0;
                ++files;
                bytes += inst.size(i);
                biggest = std::max(biggest, inst.size(i));
            }
            ASSERT_GE(files, 1u);
            // Within the budget: it was not spent before the pass's last file.
            ASSERT_LE(files, kReverifyFiles);
            ASSERT_LT(bytes - biggest, kReverifyBytes);
            // Round the list: no file is read twice before every file was read once.
            covered += firstReads;
            if (covered < inst.files) {
                ASSERT_EQ(firstReads, files) << "pass " << passes;
            }
        }
        EXPECT_EQ(passes, inst.passes);
        EXPECT_LE(static_cast<std::uint64_t>(passes), inst.files / kReverifyFiles + total / kReverifyBytes + 1);
    }
}

TEST(DigestCacheRules, ADamagedTruncatedOrForeignCacheIsIgnored)
{
    DigestTable table;
    for (const char* name : { "one.bin", "sub\\two.bin", "三.bin" }) table.Put(Entry(name, 100));
    const std::string text = table.Serialize();
    const char* why = nullptr;
    ASSERT_TRUE(table.Parse(text, &why)) << why;
    EXPECT_EQ(table.Size(), 3u);
    EXPECT_EQ(table.Serialize(), text);

    std::string damaged = text;
    damaged[text.find("two")] = 'T';
    EXPECT_FALSE(table.Parse(damaged, &why));
    EXPECT_STREQ(why, "it is cut short or damaged (its checksum does not match)");
    EXPECT_EQ(table.Size(), 0u);

    for (size_t keep : { size_t(0), size_t(8), text.find("\r\n") + 2, text.size() / 2, text.size() - 1 }) {
        table.Parse(text, nullptr);
        EXPECT_FALSE(table.Parse(text.substr(0, keep), nullptr)) << keep << " bytes";
        EXPECT_EQ(table.Size(), 0u);
    }

    // Another version, well formed and with a right checksum, is still not read.
    std::string foreign = text.substr(0, text.size() - 38);
    foreign.replace(foreign.find(" 1\r\n"), 2, " 2");
    foreign += "md5 " + Md5Of(foreign) + "\r\n";
    EXPECT_FALSE(table.Parse(foreign, &why));
    EXPECT_STREQ(why, "it is of another version");
    EXPECT_FALSE(table.Parse("<html>not a cache</html>", &why));
    EXPECT_STREQ(why, "it is not a digest cache");
}

TEST(DigestCacheFiles, APassAnswersFromTheCacheAndReadsTheOldestAndTheChangedAgain)
{
    ScratchDir app("dc");
    const std::string temp = app / "Update";
    ::CreateDirectoryA(temp.c_str(), nullptr);
    const std::vector<std::string> names{ "a.bin", "b.bin", "c.bin" };
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(WriteBytes(app / names[i], PatternBytes(1000, static_cast<unsigned>(i + 1))));
        ASSERT_TRUE(Settle(app / names[i]));
    }
    // The folder's listing and the file's attributes say what the one call says,
    // also for a file replaced after the listing.
    ASSERT_TRUE(WriteBytes(app / "d.bin", "before") && WriteBytes(app / "d.new", "after, longer"));
    CFileStamper stamper;
    FileStamp quick;
    ASSERT_TRUE(stamper.Stamp((app / "a.bin").c_str(), quick));
    EXPECT_TRUE(quick == ReferenceStamp(app / "a.bin"));
    EXPECT_NE(quick.fileIndex, 0u);
    ASSERT_TRUE(::MoveFileExA((app / "d.new").c_str(), (app / "d.bin").c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(stamper.Stamp((app / "d.bin").c_str(), quick));
    EXPECT_TRUE(quick == ReferenceStamp(app / "d.bin"));
    // A damaged cache is as good as none: every file is read, and a sound one replaces it.
    ASSERT_TRUE(WriteBytes(temp + "\\digests.cache", std::string(kDigestCacheHeader) + "\r\ngarbage"));
    {
        CDigestCache pass(temp, names, { 1 });
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(std::string(pass.Digest(names[i], (app / names[i]).c_str())),
                      Md5Of(PatternBytes(1000, static_cast<unsigned>(i + 1))));
        EXPECT_EQ(pass.Read(), 3u);
        EXPECT_EQ(pass.ReadBytes(), 3000u);
        EXPECT_TRUE(pass.Commit());
    }
    std::string bytes;
    ASSERT_TRUE(ReadBytes(temp + "\\digests.cache", bytes));
    EXPECT_TRUE(DigestTable().Parse(bytes, nullptr));
    EXPECT_FALSE(FileExists(temp + "\\digests.cache.new"));

    // b changes without a sign in its stamp; c is replaced by another file
    // with the same size and times (a new file index).
    const std::string newB = PatternBytes(1000, 7), newC = PatternBytes(1000, 8);
    ASSERT_TRUE(RewriteKeepingStamp(app / "b.bin", newB));
    ASSERT_TRUE(WriteBytes(app / "c.new", newC));
    FileStamp oldC, movedC;
    ASSERT_TRUE(StampFile((app / "c.bin").c_str(), oldC));
    ASSERT_TRUE(SetTimes(app / "c.new", oldC.creation, oldC.lastWrite));
    ASSERT_TRUE(::MoveFileExA((app / "c.new").c_str(), (app / "c.bin").c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(StampFile((app / "c.bin").c_str(), movedC));
    ASSERT_NE(movedC.fileIndex, oldC.fileIndex);
    {
        // a has the oldest entry: read again. b's entry still stands. c is a new file.
        CDigestCache pass(temp, names, { 1 });
        EXPECT_EQ(std::string(pass.Digest("A.BIN", (app / "a.bin").c_str())), Md5Of(PatternBytes(1000, 1)));
        EXPECT_EQ(std::string(pass.Digest("b.bin", (app / "b.bin").c_str())), Md5Of(PatternBytes(1000, 2)));
        EXPECT_EQ(std::string(pass.Digest("c.bin", (app / "c.bin").c_str())), Md5Of(newC));
        EXPECT_EQ(pass.Hits(), 1u);
        EXPECT_EQ(pass.Read(), 2u);
        EXPECT_TRUE(pass.Commit());
    }
    {
        // b's entry, kept with its age, is now the oldest: its damage is found.
        CDigestCache pass(temp, names, { 1 });
        EXPECT_EQ(std::string(pass.Digest("a.bin", (app / "a.bin").c_str())), Md5Of(PatternBytes(1000, 1)));
        EXPECT_EQ(std::string(pass.Digest("b.bin", (app / "b.bin").c_str())), Md5Of(newB));
        EXPECT_EQ(std::string(pass.Digest("c.bin", (app / "c.bin").c_str())), Md5Of(newC));
        EXPECT_EQ(pass.Hits(), 2u);
        EXPECT_EQ(pass.Read(), 1u);
        // Listed names only: a pass over one file leaves a cache of one entry.
        CDigestCache one(temp, { "a.bin" }, { 1 });
        one.Digest("a.bin", (app / "a.bin").c_str());
        EXPECT_TRUE(one.Commit());
        ASSERT_TRUE(ReadBytes(temp + "\\digests.cache", bytes));
        DigestTable left;
        ASSERT_TRUE(left.Parse(bytes, nullptr));
        EXPECT_EQ(left.Size(), 1u);
        EXPECT_TRUE(one.Written());
    }
    // Nothing changed: the file read again matches its entry, and the cache
    // file is left as it is (not even replaced by the same bytes).
    FileStamp before, after;
    ASSERT_TRUE(StampFile((temp + "\\digests.cache").c_str(), before));
    for (int pass = 0; pass < 2; ++pass) {
        CDigestCache same(temp, { "a.bin" }, { 1 });
        EXPECT_EQ(std::string(same.Digest("a.bin", (app / "a.bin").c_str())), Md5Of(PatternBytes(1000, 1)));
        EXPECT_EQ(same.Read(), 1u);
        EXPECT_TRUE(same.Commit());
        EXPECT_FALSE(same.Written());
    }
    ASSERT_TRUE(StampFile((temp + "\\digests.cache").c_str(), after));
    EXPECT_TRUE(before == after);
}

TEST(DigestCacheFiles, InstalledFilesGetEntriesFromTheDigestTheyWereVerifiedWith)
{
    ScratchDir app("dc");
    const std::string temp = app / "Update";
    ::CreateDirectoryA(temp.c_str(), nullptr);
    for (const char* name : { "old.bin", "settled.bin", "fresh.bin" }) ASSERT_TRUE(WriteBytes(app / name, PatternBytes(500)));
    ASSERT_TRUE(Settle(app / "old.bin"));
    ASSERT_TRUE(Settle(app / "settled.bin"));
    {
        CDigestCache pass(temp, { "old.bin" }, { 1 });
        pass.Digest("old.bin", (app / "old.bin").c_str());
        ASSERT_TRUE(pass.Commit());
    }
    // A digest the bytes do not have shows which answer came from the entry.
    const std::string verified = "00000000000000000000000000000001";
    ASSERT_TRUE(CDigestCache::RecordInstalled(temp, { { "settled.bin", app / "settled.bin", verified },
                                                      { "fresh.bin", app / "fresh.bin", verified } }));
    CDigestCache pass(temp, { "old.bin", "settled.bin", "fresh.bin" }, { 1 });
    EXPECT_EQ(std::string(pass.Digest("settled.bin", (app / "settled.bin").c_str())), verified);
    // Written less than 2 s before its entry: read again.
    EXPECT_EQ(std::string(pass.Digest("fresh.bin", (app / "fresh.bin").c_str())), Md5Of(PatternBytes(500)));
    EXPECT_EQ(pass.Hits(), 1u);

    // A cache that cannot be written changes nothing but itself.
    ASSERT_TRUE(::CreateDirectoryA((temp + "\\digests.cache.new").c_str(), nullptr));
    EXPECT_FALSE(pass.Commit());
    EXPECT_FALSE(CDigestCache::RecordInstalled(temp, { { "old.bin", app / "old.bin", verified } }));
}
