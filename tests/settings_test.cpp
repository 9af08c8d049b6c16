// Where the settings file lies, how the site value becomes the manifest's
// address, and which manifest names may be joined to our folders.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <memory>
#include <string>
#include "rules/PathRules.h"
#include "Settings.h"
#include "NameFoldingTable.h"
#include "TestUtil.h"
#include "install/InstallLock.h"
#include "support/Task.h"
#include "support/WindowsNames.h"

namespace {
std::wstring Wide(const std::string& text) { return WidenAnsi(text.c_str()); }
} // namespace

TEST(Settings, FileSitesBesideTheExecutableWithOnlyTheLastExtensionReplaced)
{
    EXPECT_STREQ(SettingsPathFor("D:\\Games\\x\\updater.exe"), "D:\\Games\\x\\updater.INI");
    EXPECT_STREQ(SettingsPathFor("C:\\abc.exe"), "C:\\abc.INI");
    EXPECT_STREQ(SettingsPathFor("D:\\a.b\\upd.exe"), "D:\\a.b\\upd.INI");
    EXPECT_STREQ(SettingsPathFor("D:\\a.b\\noext"), "D:\\a.b\\noext.INI");
    // A path that just fits keeps fitting; one that cannot take ".INI" gives no settings file.
    const std::string fits = "C:\\" + std::string(251, 'p') + ".exe";  // 258 characters
    EXPECT_EQ(SettingsPathFor(fits.c_str()).GetLength(), 258);
    const std::string tooLong = "C:\\" + std::string(255, 'p');       // 258, no extension to drop
    EXPECT_TRUE(SettingsPathFor(tooLong.c_str()).IsEmpty());
}

TEST(Settings, SiteValueBecomesTheManifestBase)
{
    EXPECT_STREQ(ManifestBaseUrl("update.example.com"), "http://update.example.com/update/");
    EXPECT_STREQ(ManifestBaseUrl("http://H/"), "http://H//update/");  // a final slash still doubles
    EXPECT_STREQ(ManifestBaseUrl(""), "http:///update/");
    EXPECT_STREQ(ManifestBaseUrl("127.0.0.1:8080"), "http://127.0.0.1:8080/update/");
    // A scheme that is already there is kept, in any letter case.
    EXPECT_STREQ(ManifestBaseUrl("HTTP://H"), "HTTP://H/update/");
    EXPECT_STREQ(ManifestBaseUrl("https://H"), "https://H/update/");
    EXPECT_STREQ(ManifestBaseUrl("HttpS://H"), "HttpS://H/update/");
    EXPECT_STREQ(ManifestBaseUrl("ftp://H"), "http://ftp://H/update/");
    EXPECT_STREQ(ManifestBaseUrl("http:/H"), "http://http:/H/update/");
}

TEST(PathRules, OnlyNamesThatStayInsideTheFolderAreSafe)
{
    auto gbk = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
    for (const char* ok : { "a.txt", "data\\maps\\m1.map", "data/x.bin", "...name", "a..b", "更新.exe" })
        EXPECT_TRUE(IsSafeRelativeName(ok, gbk)) << ok;
    for (const char* bad : { "", "..", "..\\x", "a\\..\\..\\x", "a/../x", ".", ".\\x", "...", ". .\\x", "\\x", "/x",
                             "\\\\server\\share\\x", "C:x", "C:\\x", "a.txt:stream", "a\\\\b", "a\\", "tab\there",
                             "x.", "updater.exe ", "sub\\con", "a\\LPT9.log\\b" })
        EXPECT_FALSE(IsSafeRelativeName(bad, gbk)) << bad;
    EXPECT_FALSE(IsSafeRelativeName(nullptr, gbk));
    // In code page 936 a trail byte may be 0x5C; it does not split the name.
    const char trail[] = { 'a', static_cast<char>(0x81), '\\', '\\', 'b', 0 };
    EXPECT_TRUE(IsSafeRelativeName(trail, gbk));
    EXPECT_FALSE(IsSafeRelativeName(trail, nullptr));
}

TEST(PathRules, FormatPathRefusesWhatDoesNotFit)
{
    char buf[8];
    EXPECT_TRUE(FormatPath(buf, sizeof(buf), "%s\\%s", "ab", "cd"));
    EXPECT_STREQ(buf, "ab\\cd");
    EXPECT_FALSE(FormatPath(buf, sizeof(buf), "%s\\%s", "abcd", "efg"));
    EXPECT_STREQ(buf, "");
}

TEST(WindowsNames, ConversionsAreExactOrSayNotAndNamesCompareAsWindowsDoes)
{
    bool exact = false;
    // Code page 65001 takes no best-fit flag: the conversion still works, and is exact.
    EXPECT_EQ(NarrowExact(L"\x6E38\x620F.dat", CP_UTF8, exact), "\xE6\xB8\xB8\xE6\x88\x8F.dat");
    EXPECT_TRUE(exact);
    EXPECT_EQ(NarrowExact(L"\x6E38\x620F.dat", 936, exact), "\xD3\xCE\xCF\xB7.dat");
    EXPECT_TRUE(exact);
    // A lone surrogate in UTF-8, a character without its own form in 936: never an exact name.
    NarrowExact(L"a\xD800" L"b", CP_UTF8, exact);
    EXPECT_FALSE(exact);
    for (const wchar_t* inexact : { L"COM\x00B9", L"a\x00A6" L"b" }) {
        NarrowExact(inexact, 936, exact);
        EXPECT_FALSE(exact);
    }
    // Under code page 936, as the tests run.
    EXPECT_TRUE(SameWindowsName("\xA6\xB2.bin", "\xA6\xD2.BIN"));  // Greek capital and small sigma
    EXPECT_TRUE(SameWindowsName("data/Maps\\x", "DATA\\maps/X"));
    EXPECT_FALSE(SameWindowsName("a.bin", "a.bin "));
    // The folding the native publisher is checked against.
    auto wide = [](const char* utf8) {
        std::wstring w(64, L'\0');
        w.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], 64) - 1));
        return w;
    };
    for (const NameFolding& f : kNameFoldings) EXPECT_TRUE(UpperAsWindows(wide(f.name)) == wide(f.folded)) << f.name;
    // ASCII names skip the system's calls: every ASCII character must come out as the system's would.
    for (int c = 1; c < 0x80; ++c) {
        const char narrow[] = { 'x', static_cast<char>(c), 'y', '\0' };
        wchar_t system[4] = {};
        ASSERT_EQ(::MultiByteToWideChar(CP_ACP, 0, narrow, 3, system, 3), 3);
        std::wstring folded(system, 3);
        std::replace(folded.begin(), folded.end(), L'/', L'\\');
        folded = UpperAsWindows(folded);
        EXPECT_TRUE(WidenAnsi(narrow) == std::wstring(system, 3)) << c;
        EXPECT_TRUE(FoldWindowsName(WidenAnsi(narrow)) == folded) << c;
        EXPECT_EQ(WindowsNameKeyUtf8(narrow, 3), std::string(folded.begin(), folded.end())) << c;
    }
}

// Started through an 8.3 path (Windows keeps it in the module's name, Wine
// does not), the updater still knows its own name; and the temporary folder is
// placed by what it is, however the settings spell it.
TEST(WindowsNames, TheOwnNameAndTheTemporaryFoldersPlaceDoNotFollowTheSpelling)
{
    ScratchDir dir("a long folder name");
    WriteBytes(dir / "The Updater.exe", "x");
    const std::string shortDir = ShortForm(dir.Path());
    EXPECT_EQ(LongFileName(ShortForm(dir / "The Updater.exe").c_str()), "The Updater.exe");
    EXPECT_EQ(LongFileName((dir / "not there.exe").c_str()), "not there.exe");
    ::CreateDirectoryA((dir / "Update").c_str(), nullptr);
    ::CreateDirectoryA((dir / "sibling").c_str(), nullptr);
    struct Case {
        std::string installation, temp;
        const char* inside;
        bool covers;
    };
    const Case cases[] = {
        { dir.Path(), shortDir + "\\Update", "Update", false },
        { dir.Path(), dir / "sibling\\..\\NEW", "NEW", false },  // not made yet
        { shortDir, dir.Path(), "", true },
        { dir / "Update", shortDir, "", true },
        { dir / "Update", dir / "sibling", "", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installation + " / " + c.temp);
        const TempFolderPlace place = PlaceTempFolder(c.installation.c_str(), c.temp.c_str());
        EXPECT_EQ(place.inside, c.inside);
        EXPECT_EQ(place.coversInstallation, c.covers);
    }
}

TEST(InstallationLock, OneNamePerFolderAndASecondTakerFindsItTaken)
{
    const std::wstring a = CInstallationLock::NameFor(L"C:\\Games\\Hall", L"Local\\");
    EXPECT_EQ(a, CInstallationLock::NameFor(L"c:/GAMES/hall", L"Local\\"));
    EXPECT_NE(a, CInstallationLock::NameFor(L"C:\\Games\\Hall2", L"Local\\"));
    EXPECT_EQ(a.find(L'\\', 6), std::wstring::npos);  // one namespace separator, no more
    // A folder that exists has one name however its path is spelled.
    ScratchDir dir("a long folder name");
    ScratchDir other("a long folder name");
    const std::wstring named = CInstallationLock::NameFor(Wide(dir.Path()), L"Local\\");
    EXPECT_NE(ShortForm(dir.Path()), dir.Path());
    EXPECT_EQ(CInstallationLock::NameFor(Wide(ShortForm(dir.Path())), L"Local\\"), named);
    EXPECT_NE(CInstallationLock::NameFor(Wide(other.Path()), L"Local\\"), named);
    EXPECT_EQ(named.size(), CInstallationLock::NameFor(Wide(other.Path()), L"Local\\").size());

    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    auto first = std::make_unique<CInstallationLock>();
    ASSERT_EQ(first->Take(exe), CInstallationLock::State::Held);
    {
        CInstallationLock second;
        EXPECT_EQ(second.Take(exe), CInstallationLock::State::TakenByAnother);
    }
    first.reset();
    CInstallationLock third;
    EXPECT_EQ(third.Take(exe), CInstallationLock::State::Held);
    // A global name that is something else altogether: no lock, and no local
    // one taken instead. (One we may not open is taken: see the end-to-end test.)
    const std::wstring global = CInstallationLock::NameFor(Wide(dir.Path()), L"Global\\");
    CScopedHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, global.c_str()));
    ASSERT_TRUE(squatter);
    CInstallationLock lock;
    EXPECT_EQ(lock.Take((dir / "updater.exe").c_str()), CInstallationLock::State::Unavailable);
    EXPECT_EQ(lock.Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(::OpenMutexW(SYNCHRONIZE, FALSE, named.c_str()), nullptr);
}
