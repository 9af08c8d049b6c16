// Publishing a release folder: the manifest, the site's files, what is refused
// and how an existing site is updated.
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstring>
#include <fstream>
#include <sstream>
#include "rules/LevelledIndex.h"
#include "Crypto.h"
#include "Progress.h"
#include "Publisher.h"
#include "PublisherTestUtil.h"

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

class Publishing : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path release = tmp / "release";
    fs::path site = tmp / "site";
    std::string base = "http://127.0.0.1:8080";

    void Put(const std::string& rel, const std::string& bytes) { WriteFile(release / fs::u8path(rel), bytes); }

    Outcome Publish(const fs::path& from, const std::string& url)
    {
        PublishOptions o;
        o.release = from;
        o.baseUrl = url;
        o.site = site;
        std::ostringstream out, err;
        const int st = ::Publish(o, out, err);
        return { st, out.str(), err.str() };
    }
    Outcome Publish() { return Publish(release, base); }

    std::string Manifest() const { return ReadFile(site / "update" / "update.xml"); }
    std::string Served(const std::string& rel) const { return ReadFile(site / "files" / fs::u8path(rel)); }

    // Every file under the site, relative, sorted.
    std::vector<std::string> SiteListing() const
    {
        std::vector<std::string> names;
        if (!fs::exists(site)) return names;
        for (auto& e : fs::recursive_directory_iterator(site))
            if (!e.is_directory()) names.push_back(e.path().lexically_relative(site).generic_u8string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

std::string Md5sum(const fs::path& p)
{
    const CommandResult r = RunCommand("md5sum " + ShellQuote(p.string()));
    return r.output.substr(0, 32);
}

std::string Sha256hex(const std::string& bytes)
{
    Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    return sha.FinalHex();
}

std::string Sha256sum(const fs::path& p)
{
    const CommandResult r = RunCommand("sha256sum " + ShellQuote(p.string()));
    return r.output.substr(0, 64);
}

} // namespace

TEST_F(Publishing, ManifestListsEveryFileAsTheUpdaterReadsIt)
{
    Put("game.dat", Pattern(150000, 1));
    Put("maps/level1.map", "level one: the first map of the game\n");
    Put("资料/说明.txt", "说明：这是新版本的说明文件。\n");
    Put("a b&c'd.dat", Pattern(30, 2));
    Put("bin/Quorvanta.exe", MakePeImage(3, 2, 0, 17));
    const Outcome r = Publish(release, "127.0.0.1:8080/");
    ASSERT_EQ(r.status, kPublished) << r.err;

    const auto entries = ParseManifest(Manifest());
    ASSERT_EQ(entries.size(), 5u) << Manifest();
    // Byte order of the UTF-8 names, with backslashes as the updater joins them.
    const char* expected[][3] = {
        { "a b&c'd.dat", "a b&c'd.dat", "a%20b%26c%27d.dat" },
        { "bin\\Quorvanta.exe", "bin/Quorvanta.exe", "bin/Quorvanta.exe" },
        { "game.dat", "game.dat", "game.dat" },
        { "maps\\level1.map", "maps/level1.map", "maps/level1.map" },
        { "资料\\说明.txt", "资料/说明.txt", "%E8%B5%84%E6%96%99/%E8%AF%B4%E6%98%8E.txt" },
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        SCOPED_TRACE(expected[i][1]);
        EXPECT_EQ(e.filename, expected[i][0]);
        const fs::path src = release / fs::u8path(expected[i][1]);
        EXPECT_EQ(e.filesize, std::to_string(fs::file_size(src)));
        EXPECT_EQ(e.md5, Md5sum(src));
        EXPECT_EQ(e.sha256, Sha256sum(src));
        EXPECT_EQ(e.fileload, std::string("http://127.0.0.1:8080/files/") + expected[i][2]);
        EXPECT_EQ(Served(expected[i][1]), ReadFile(src));
        EXPECT_EQ(e.fileversion, i == 1 ? "3.2.0.17" : "0.0.0.0");
    }
    EXPECT_NE(Manifest().find("filename=\"a b&amp;c&apos;d.dat\""), std::string::npos);
    EXPECT_EQ(Manifest().rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest serial=\"", 0), 0u);
    EXPECT_EQ(Manifest().find("<!--"), std::string::npos);  // not signed
    EXPECT_NE(r.out.find("[3/5] game.dat  146 KiB"), std::string::npos) << r.out;
}

// The address the publisher reports is the one the updater requests for the
// same site text; file URLs never get a doubled slash.
TEST_F(Publishing, ReportedManifestUrlIsTheUpdatersAndFileUrlsAreClean)
{
    Put("game.dat", Pattern(100, 1));
    const struct { const char* site; const char* manifest; const char* file; } cases[] = {
        { "127.0.0.1:8080", "http://127.0.0.1:8080/update/update.xml", "http://127.0.0.1:8080/files/game.dat" },
        { "http://h:81/game", "http://h:81/game/update/update.xml", "http://h:81/game/files/game.dat" },
        { "HTTPS://cdn.example.com", "HTTPS://cdn.example.com/update/update.xml",
          "HTTPS://cdn.example.com/files/game.dat" },
        { "127.0.0.1:8080/", "http://127.0.0.1:8080//update/update.xml", "http://127.0.0.1:8080/files/game.dat" },
        { "HttpS://h/game/", "HttpS://h/game//update/update.xml", "HttpS://h/game/files/game.dat" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.site);
        EXPECT_EQ(ManifestBaseUrlFor(c.site) + "update.xml", c.manifest);
        const Outcome r = Publish(release, c.site);
        ASSERT_EQ(r.status, kPublished) << r.err;
        const size_t line = r.out.find("Manifest URL");
        ASSERT_NE(line, std::string::npos) << r.out;
        const size_t at = r.out.find("): ", line) + 3;
        EXPECT_EQ(r.out.substr(at, r.out.find('\n', at) - at), c.manifest);
        EXPECT_EQ(ParseManifest(Manifest()).at(0).fileload, c.file);
        const std::string site = c.site;
        const bool slash = site.back() == '/';
        EXPECT_EQ(r.err.find("warning: BASE_URL ends in '/'") != std::string::npos, slash) << r.err;
        if (slash) {
            EXPECT_NE(r.err.find(c.manifest), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("Use site=" + site.substr(0, site.size() - 1) + " "), std::string::npos) << r.err;
        }
    }
}

TEST_F(Publishing, NamesAreMeasuredInCodePage936Bytes)
{
    Put(std::string(31, 'n'), Pattern(40, 1));               // 31 bytes: the most a task takes
    Put("长名字长名字长名字长名.dat", Pattern(40, 2));  // 11 characters + ".dat" = 26 bytes
    Put("资料/一二三四五六七八九十一.x", Pattern(40, 3));  // 4 + 1 + 22 + 2 = 29 bytes
    const Outcome ok = Publish();
    ASSERT_EQ(ok.status, kPublished) << ok.err;
    EXPECT_EQ(ParseManifest(Manifest()).size(), 3u);

    TempDir other;
    WriteFile(other / "一二三四五六七八九十一二三四五六", Pattern(40, 4));  // 16 characters = 32 bytes
    WriteFile(other / (std::string(32, 'n')), Pattern(40, 5));
    WriteFile(other / "fine.dat", Pattern(40, 6));
    const Outcome refused = Publish(other.Path(), base);
    EXPECT_EQ(refused.status, kRefused);
    EXPECT_NE(refused.err.find("一二三四五六七八九十一二三四五六: name is 32 bytes in code page 936"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find(std::string(32, 'n') + ": name is 32 bytes"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find("fine.dat"), std::string::npos);
}

TEST_F(Publishing, EveryEntryTheUpdaterWouldSkipOrRejectIsRefusedAndNothingIsWritten)
{
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;
        std::string baseUrl = "http://127.0.0.1:8080";
    };
    const std::vector<Case> cases = {
        { "c:d.dat", Pattern(40, 1), "contains ':'" },
        { "tab\tname.dat", Pattern(40, 1), "control character" },
        { "maps/.../x.dat", Pattern(40, 1), "only of dots and spaces" },
        { " /x.dat", Pattern(40, 1), "only of dots and spaces" },
        { ". ./y.dat", Pattern(40, 1), "only of dots and spaces" },
        { "back\\slash.dat", Pattern(40, 1), "folder separator" },
        { "nul.txt", Pattern(40, 1), "device name" },
        { "maps/COM3/x.dat", Pattern(40, 1), "device name (CON, NUL, COM1, ...) as a folder or file name: \"COM3\"" },
        { "maps/aux .dat", Pattern(40, 1), "device name" },
        // Linux keeps these names; Windows would strip the end and write another file.
        { "updater.exe.", Pattern(40, 1), "ending in a dot or a space, which Windows strips: \"updater.exe.\"" },
        { "updater.exe ", Pattern(40, 1), "ending in a dot or a space, which Windows strips: \"updater.exe \"" },
        { "dir. /x.dat", Pattern(40, 1), "ending in a dot or a space, which Windows strips: \"dir. \"" },
        { "game\xF0\x9F\x8E\xAE.dat", Pattern(40, 1), "code page 936" },
        { "caf\xC3\xA4.dat", Pattern(40, 1), "code page 936" },
        { "bad\xFFutf8.dat", Pattern(40, 1), "code page 936" },
        { "short.dat", std::string(21, 'x'), "only 21 bytes" },
        { "empty.dat", "", "only 0 bytes" },
        { "page.htm", "<html><body>new page for the game</body></html>", "web server's error page" },
        { "old.htm", "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", "web server's error page" },
        { "x.dat.updater-publish.tmp", Pattern(40, 1), "staging" },
        { "long.dat", Pattern(40, 1), "download URL is 256 bytes",
          "http://h/" + std::string(256 - 9 - 15, 'p') },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        WriteFile(t / "rel" / "ok.dat", Pattern(100, 9));
        WriteFile(t / "rel" / c.name, c.bytes);
        site = t / "site";
        const Outcome run = Publish(t / "rel", c.baseUrl);
        EXPECT_EQ(run.status, kRefused);
        EXPECT_NE(run.err.find(std::string("refused: ") + c.name + ": "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("refused: ok.dat"), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(site));
    }
}

TEST_F(Publishing, TheUpdatersLimitsAreInclusive)
{
    Put("exact22.dat", std::string(22, 'x'));
    Put("lower.htm", "<HTML><body>not the updater's signature</body></HTML>");
    Put("lowerdoc.htm", "<!doctype html public \"-//W3C//DTD HTML 4.01//EN\">");
    Put("spaced.htm", " <html><body>a space comes first</body></html>");
    ASSERT_EQ(Publish().status, kPublished);
    EXPECT_EQ(ParseManifest(Manifest()).size(), 4u);

    TempDir t;
    WriteFile(t / "url255.dat", Pattern(40, 1));
    const std::string url255 = "http://h/" + std::string(255 - 9 - 7 - 10, 'p');  // + "/files/" + "url255.dat"
    const Outcome r = Publish(t.Path(), url255);
    ASSERT_EQ(r.status, kPublished) << r.err;
    EXPECT_EQ(ParseManifest(Manifest()).at(0).fileload.size(), 255u);
}

TEST_F(Publishing, NamesThatAreOneFileForWindowsOrTheUpdatersOwnAreRefused)
{
    Put("Maps/level.map", Pattern(40, 1));
    Put("maps/LEVEL.map", Pattern(40, 2));
    Put("maps/other.map", Pattern(40, 9));  // another file, but in "Maps" for Windows
    Put("\u03A3.dat", Pattern(40, 3));  // Σ and σ: one name for Windows, not only in ASCII
    Put("\u03C3.dat", Pattern(40, 4));
    Put("updater.EX_", Pattern(40, 5));  // both would end up as the side file
    Put("updater.exe", Pattern(40, 6));
    Put("update/x.dat", Pattern(40, 7));
    Put("Updates/ok.dat", Pattern(40, 8));
    const Outcome r = Publish();
    EXPECT_EQ(r.status, kRefused);
    for (const char* refusal : { "refused: maps/LEVEL.map: same file as \"Maps/level.map\"",
                                 "refused: \u03C3.dat: same file as \"\u03A3.dat\"",
                                 "refused: updater.exe: same file as \"updater.EX_\"",
                                 "refused: maps/other.map: folder \"maps\" is the folder \"Maps\" for Windows",
                                 "refused: update/x.dat: name is or lies inside \"Update\"" })
        EXPECT_NE(r.err.find(refusal), std::string::npos) << refusal << "\n" << r.err;
    EXPECT_EQ(r.err.find("Updates/ok.dat"), std::string::npos) << r.err;
}

TEST_F(Publishing, FilesOfFourGibibytesAreRefusedWithoutReadingThem)
{
    Put("small.dat", Pattern(40, 1));
    {
        std::ofstream big(release / "huge.pak", std::ios::binary);
    }
    fs::resize_file(release / "huge.pak", 0x100000000ull);  // sparse
    const Outcome r = Publish();
    EXPECT_EQ(r.status, kRefused);
    EXPECT_NE(r.err.find("refused: huge.pak: is 4294967296 bytes"), std::string::npos) << r.err;
}

TEST_F(Publishing, LinksInsideAreFollowedAndLinksOutOrToFoldersRefused)
{
    Put("data/real.dat", Pattern(60, 1));
    fs::create_symlink("data/real.dat", release / "alias.dat");
    ASSERT_EQ(Publish().status, kPublished);
    auto entries = ParseManifest(Manifest());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].filename, "alias.dat");
    EXPECT_EQ(Served("alias.dat"), Pattern(60, 1));
    EXPECT_FALSE(fs::is_symlink(site / "files" / "alias.dat"));  // a copy, not a link

    WriteFile(tmp / "outside" / "secret.dat", Pattern(60, 2));
    const std::string before = Manifest();
    struct { const char* name; fs::path target; const char* reason; } links[] = {
        { "leak.dat", tmp / "outside" / "secret.dat", "symbolic link leaving the release folder" },
        { "up.dat", "../outside/secret.dat", "symbolic link leaving the release folder" },
        { "gone.dat", "nowhere.dat", "target does not exist" },
        { "folder", "data", "link to a folder" },
    };
    for (const auto& l : links) {
        SCOPED_TRACE(l.name);
        fs::create_symlink(l.target, release / l.name);
        const Outcome r = Publish();
        EXPECT_EQ(r.status, kRefused);
        EXPECT_NE(r.err.find(std::string("refused: ") + l.name + ": " ), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(l.reason), std::string::npos) << r.err;
        EXPECT_EQ(Manifest(), before);
        fs::remove(release / l.name);
    }
}

TEST_F(Publishing, UnreadableFilesAreRefused)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    Put("locked.dat", Pattern(60, 1));
    fs::permissions(release / "locked.dat", fs::perms::none);
    const Outcome r = Publish();
    EXPECT_EQ(r.status, kRefused);
    EXPECT_NE(r.err.find("refused: locked.dat: cannot be"), std::string::npos) << r.err;
}

TEST_F(Publishing, MissingEmptyOrMisplacedFoldersAreRefused)
{
    Outcome r = Publish(tmp / "nothing", base);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_NE(r.err.find("release folder does not exist"), std::string::npos) << r.err;

    fs::create_directories(release / "empty" / "deeper");
    r = Publish();
    EXPECT_EQ(r.status, kRefused);
    EXPECT_NE(r.err.find("release folder holds no files"), std::string::npos) << r.err;

    Put("game.dat", Pattern(60, 1));
    r = Publish(release / "game.dat", base);
    EXPECT_EQ(r.status, kRefused);
    EXPECT_NE(r.err.find("not a folder"), std::string::npos) << r.err;

    site = release / "site";
    r = Publish();
    EXPECT_EQ(r.status, kRefused);
    EXPECT_NE(r.err.find("overlap"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(site));

    site = tmp / "site";
    EXPECT_EQ(Publish(release, "bad url").status, kUsage);
    EXPECT_FALSE(fs::exists(site));
}

TEST_F(Publishing, ARefusedPublishLeavesTheOldSiteAsItWas)
{
    Put("game.dat", Pattern(500, 1));
    Put("readme.txt", "read me: this file does not change\n");
    ASSERT_EQ(Publish().status, kPublished);
    const std::string manifest = Manifest();
    const auto listing = SiteListing();

    Put("game.dat", Pattern(700, 2));  // changed, but the release also has a bad file
    Put("new.dat", Pattern(40, 3));
    Put("tiny.dat", "too short");
    EXPECT_EQ(Publish().status, kRefused);
    EXPECT_EQ(Manifest(), manifest);
    EXPECT_EQ(Served("game.dat"), Pattern(500, 1));
    EXPECT_EQ(SiteListing(), listing);
}

TEST_F(Publishing, ASiteThatCannotTakeTheFilesIsLeftAsItWas)
{
    Put("game.dat", Pattern(500, 1));
    Put("maps.dat", Pattern(500, 2));
    ASSERT_EQ(Publish().status, kPublished);
    const std::string manifest = Manifest();

    // A folder of the site where the new release has a file.
    Put("game.dat", Pattern(600, 3));
    WriteFile(site / "files" / "maps" / "keep.txt", "someone's folder");
    Put("maps/level.map", Pattern(40, 4));
    fs::rename(release / "maps.dat", release / "maps.old");
    fs::create_directories(site / "files" / "zz.dat");
    Put("zz.dat", Pattern(40, 5));
    const Outcome r = Publish();
    EXPECT_EQ(r.status, kSiteWriteFailed);
    EXPECT_NE(r.err.find("cannot place zz.dat"), std::string::npos) << r.err;
    EXPECT_EQ(Manifest(), manifest);
    EXPECT_EQ(Served("game.dat"), Pattern(500, 1));
    for (const auto& name : SiteListing()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST_F(Publishing, AnUpdateInPlaceReplacesAddsAndRemovesStaleFilesAfterTheManifest)
{
    Put("game.dat", Pattern(500, 1));
    Put("readme.txt", "read me: this file does not change\n");
    Put("maps/old.map", Pattern(300, 2));
    ASSERT_EQ(Publish().status, kPublished);
    WriteFile(site / "index.html", "<html>the vendor's own page</html>");
    WriteFile(site / "files" / "late.dat.updater-publish.tmp", "left by a run that was killed");

    Put("game.dat", Pattern(800, 3));
    fs::remove_all(release / "maps");
    Put("textures/stone.pak", Pattern(2000, 4));
    const Outcome r = Publish();
    ASSERT_EQ(r.status, kPublished) << r.err;
    EXPECT_NE(r.out.find("1 added, 1 changed, 1 unchanged, 2 removed"), std::string::npos) << r.out;

    const std::vector<std::string> expected = { "files/game.dat", "files/readme.txt", "files/textures/stone.pak",
                                                "index.html", "update/update.xml", "update/update.xml.gz" };
    EXPECT_EQ(SiteListing(), expected);
    EXPECT_FALSE(fs::exists(site / "files" / "maps"));  // emptied folders go too
    EXPECT_EQ(Served("game.dat"), Pattern(800, 3));
    const auto entries = ParseManifest(Manifest());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].filename, "textures\\stone.pak");
    EXPECT_EQ(entries[0].md5, Md5sum(release / "game.dat"));
    // The new manifest was in place before anything was removed.
    const size_t manifestAt = r.out.find("manifest   ");
    const size_t removedAt = r.out.find("removed    maps/old.map");
    ASSERT_NE(manifestAt, std::string::npos) << r.out;
    ASSERT_NE(removedAt, std::string::npos) << r.out;
    EXPECT_LT(manifestAt, removedAt);

    // Publishing the same release again changes nothing.
    const Outcome again = Publish();
    EXPECT_NE(again.out.find("0 added, 0 changed, 3 unchanged, 0 removed"), std::string::npos) << again.out;
}

// Every file of 1 MiB or more gets an index of its chunks under chunks/, named
// in its manifest entry with its digest; an index that cannot be placed or
// reached is left out and the output says why.
TEST_F(Publishing, BigFilesGetAChunkIndexThatTheirEntryNames)
{
    Put("big.dat", Pattern(3 << 20, 1));
    Put("资料/大 文件.pak", Pattern(kIndexFromBytes, 2));
    Put("small.dat", Pattern(kIndexFromBytes - 1, 3));
    Put("x.pak", Pattern(kIndexFromBytes, 4));  // its index would be the folder of the next one's
    Put("x.pak.idx/y.pak", Pattern(kIndexFromBytes, 5));
    const Outcome r = Publish();
    ASSERT_EQ(r.status, kPublished) << r.err;

    const auto entries = ParseManifest(Manifest());
    ASSERT_EQ(entries.size(), 5u) << Manifest();
    const char* expected[][2] = {  // release name, index URL after the base
        { "big.dat", "/chunks/big.dat.idx" },
        { "small.dat", "" },
        { "x.pak", "" },
        { "x.pak.idx/y.pak", "/chunks/x.pak.idx/y.pak.idx" },
        { "资料/大 文件.pak", "/chunks/%E8%B5%84%E6%96%99/%E5%A4%A7%20%E6%96%87%E4%BB%B6.pak.idx" },
    };
    std::uint64_t indexBytes = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(expected[i][0]);
        const fs::path idx = site / "chunks" / fs::u8path(std::string(expected[i][0]) + ".idx");
        if (!*expected[i][1]) {
            EXPECT_EQ(entries[i].chunks, "");
            EXPECT_EQ(entries[i].chunkssha256, "");
            EXPECT_FALSE(fs::is_regular_file(idx));
            continue;
        }
        EXPECT_EQ(entries[i].chunks, base + expected[i][1]);
        const std::string bytes = ReadFile(idx), file = ReadFile(release / fs::u8path(expected[i][0]));
        indexBytes += bytes.size();
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        IndexHead head;
        std::vector<IndexChunk> chunks;
        ASSERT_EQ(DecodeLevelledIndex(data, bytes.size(), file.size(), head, chunks), IndexFault::None);
        // The manifest covers the head: its digest and its exact length.
        EXPECT_EQ(entries[i].chunkshead, std::to_string(head.headBytes));
        EXPECT_EQ(entries[i].chunkssha256, Sha256hex(bytes.substr(0, head.headBytes)));
        // Each identity is the CHash64 of its chunk's bytes, and the groups cut
        // as the updater cuts its copy.
        const auto* content = reinterpret_cast<const unsigned char*>(file.data());
        size_t offset = 0;
        for (const IndexChunk& c : chunks) {
            ASSERT_EQ(c.id, CHash64::Of(content + offset, c.length)) << "chunk at " << offset;
            offset += c.length;
        }
        CIndexCutter cut;
        cut.Update(content, file.size());
        cut.Finish();
        EXPECT_EQ(EncodeLevelledIndex(cut, file.size()), std::vector<unsigned char>(bytes.begin(), bytes.end()));
        EXPECT_NE(r.out.find("  index      " + std::string(expected[i][0]) + ".idx (" + std::to_string(bytes.size()) +
                             " B) written"), std::string::npos) << r.out;
    }
    EXPECT_NE(r.out.find("note: no chunk index for x.pak: chunks/x.pak.idx is also the folder of the index of "
                         "x.pak.idx/y.pak"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Chunk indexes: 3 (" + HumanSize(indexBytes) + " in all): 3 written, 0 unchanged, 0 removed"),
              std::string::npos) << r.out;

    // 253 bytes of file URL leave no room for the index's, 5 bytes longer.
    site = tmp / "site2";
    fs::remove_all(release);
    Put("big.dat", Pattern(3 << 20, 1));
    const Outcome longUrl = Publish(release, "http://h/" + std::string(230, 'p'));
    ASSERT_EQ(longUrl.status, kPublished) << longUrl.err;
    EXPECT_EQ(ParseManifest(Manifest()).at(0).fileload.size(), 253u);
    EXPECT_EQ(ParseManifest(Manifest()).at(0).chunks, "");
    EXPECT_FALSE(fs::exists(site / "chunks"));
    EXPECT_NE(longUrl.out.find("note: no chunk index for big.dat: its index URL would be 258 bytes; the updater takes "
                               "at most 255"), std::string::npos) << longUrl.out;
}

TEST_F(Publishing, IndexesFollowTheirFilesAndStaleOnesGoAfterTheManifest)
{
    Put("big.dat", Pattern(2 << 20, 1));
    Put("gone.pak", Pattern(kIndexFromBytes + 10, 2));
    Put("shrinks.dat", Pattern(kIndexFromBytes, 3));
    ASSERT_EQ(Publish().status, kPublished);
    const std::string oldIndex = ReadFile(site / "chunks" / "big.dat.idx");
    ASSERT_TRUE(fs::exists(site / "chunks" / "gone.pak.idx"));
    ASSERT_TRUE(fs::exists(site / "chunks" / "shrinks.dat.idx"));

    std::string grown = Pattern(2 << 20, 1);
    grown.insert(100000, Pattern(1000, 9));
    Put("big.dat", grown);
    fs::remove(release / "gone.pak");
    Put("shrinks.dat", Pattern(kIndexFromBytes - 1, 3));
    const Outcome r = Publish();
    ASSERT_EQ(r.status, kPublished) << r.err;
    const std::vector<std::string> listing = { "chunks/big.dat.idx", "files/big.dat", "files/shrinks.dat",
                                               "update/update.xml", "update/update.xml.gz" };
    EXPECT_EQ(SiteListing(), listing);
    const std::string newIndex = ReadFile(site / "chunks" / "big.dat.idx");
    EXPECT_NE(newIndex, oldIndex);
    EXPECT_EQ(ParseManifest(Manifest()).at(0).chunkssha256,
              Sha256hex(newIndex.substr(0, std::stoull(ParseManifest(Manifest()).at(0).chunkshead))));
    EXPECT_EQ(ParseManifest(Manifest()).at(1).chunks, "");
    const size_t manifestAt = r.out.find("manifest   ");
    const size_t removedAt = r.out.find("removed    chunks/gone.pak.idx (no longer needed)");
    ASSERT_NE(removedAt, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("removed    chunks/shrinks.dat.idx"), std::string::npos) << r.out;
    EXPECT_LT(manifestAt, removedAt);
    EXPECT_NE(r.out.find("Chunk indexes: 1 ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 written, 0 unchanged, 2 removed"), std::string::npos) << r.out;

    const Outcome again = Publish();
    EXPECT_NE(again.out.find("  index      big.dat.idx (" + std::to_string(newIndex.size()) + " B) unchanged"),
              std::string::npos) << again.out;
    EXPECT_NE(again.out.find("0 written, 1 unchanged, 0 removed"), std::string::npos) << again.out;
    EXPECT_EQ(SiteListing(), listing);
}

TEST(PublisherTool, CommandLine)
{
    CommandResult help = RunCommand(std::string(PUBLISHER_EXE) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("Usage: updater-publish"), std::string::npos);
    EXPECT_NE(help.output.find("31 bytes in code page 936"), std::string::npos);

    EXPECT_EQ(RunCommand(std::string(PUBLISHER_EXE) + " only-two args").status, kUsage);
    EXPECT_EQ(RunCommand(std::string(PUBLISHER_EXE) + " --frobnicate a b c").status, kUsage);

    TempDir t;
    WriteFile(t / "rel" / "game.dat", Pattern(100, 1));
    WriteFile(t / "rel" / "x.dat", "short");
    const std::string args = ShellQuote((t / "rel").string()) + " 127.0.0.1:1 " + ShellQuote((t / "site").string());
    CommandResult refused = RunCommand(std::string(PUBLISHER_EXE) + " " + args);
    EXPECT_EQ(refused.status, kRefused);
    EXPECT_NE(refused.output.find("refused: x.dat: is only 5 bytes"), std::string::npos) << refused.output;

    fs::remove(t / "rel" / "x.dat");
    CommandResult ok = RunCommand(std::string(PUBLISHER_EXE) + " --quiet " + args);
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_EQ(ok.output.find("[1/1]"), std::string::npos) << ok.output;
    EXPECT_NE(ok.output.find("Published 1 files"), std::string::npos) << ok.output;
    EXPECT_NE(ReadFile(t / "site" / "update" / "update.xml").find("fileload=\"http://127.0.0.1:1/files/game.dat\""),
              std::string::npos);
}
