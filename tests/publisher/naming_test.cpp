// Name conversion, URL and XML text of the publisher, and the name rule it
// shares with the updater.
#include <gtest/gtest.h>
#include "Naming.h"
#include "../NameFoldingTable.h"
#include "rules/PathRules.h"

TEST(Naming, CodePage936BytesAreExactOrNothing)
{
    EXPECT_EQ(ToCodePage936("游"), std::string("\xD3\xCE"));
    EXPECT_EQ(ToCodePage936("maps\\资料.txt"), std::string("maps\\\xD7\xCA\xC1\xCF.txt"));
    EXPECT_EQ(ToCodePage936("é")->size(), 2u);  // pinyin letters are in the code page
    // No best fit: a character without its own form is refused, not approximated.
    EXPECT_FALSE(ToCodePage936("ä.dat"));
    EXPECT_FALSE(ToCodePage936("\xF0\x9F\x8E\xAE.dat"));  // an emoji
    EXPECT_FALSE(ToCodePage936("bad\xFF.dat"));           // not UTF-8
    EXPECT_FALSE(ToCodePage936("cut\xE6\xB8"));           // a truncated sequence
}

TEST(Naming, BaseUrlGetsAScheme_OnceAndLosesFinalSlashes)
{
    EXPECT_EQ(NormalizeBaseUrl("127.0.0.1:8080"), "http://127.0.0.1:8080");
    EXPECT_EQ(NormalizeBaseUrl("update.example.com/game/"), "http://update.example.com/game");
    EXPECT_EQ(NormalizeBaseUrl("HTTP://Host//"), "HTTP://Host");
    EXPECT_EQ(NormalizeBaseUrl("https://host"), "https://host");
    EXPECT_EQ(NormalizeBaseUrl("httpx.example.com"), "http://httpx.example.com");
}

TEST(Naming, PathEncodingKeepsOnlyUnreservedAndSlash)
{
    EXPECT_EQ(PercentEncodePath("maps/Level-1_v2.~map"), "maps/Level-1_v2.~map");
    EXPECT_EQ(PercentEncodePath("a b#c%d?e&f+g"), "a%20b%23c%25d%3Fe%26f%2Bg");
    EXPECT_EQ(PercentEncodePath("资料/x"), "%E8%B5%84%E6%96%99/x");
}

TEST(Naming, LettersFoldAsTheUpdaterFoldsThem)
{
    for (const NameFolding& f : kNameFoldings) EXPECT_EQ(FoldCaseAsWindows(f.name), f.folded) << f.name;
}

TEST(Naming, AttributeTextIsEscaped)
{
    EXPECT_EQ(XmlAttribute("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    EXPECT_EQ(XmlAttribute("tab\there\nline\r"), "tab&#9;here&#10;line&#13;");
    EXPECT_EQ(XmlAttribute("资料\\x"), "资料\\x");
}

// The rule the updater applies to manifest names, on code page 936 bytes.
TEST(NameRules, EveryElementIsJudgedAsWindowsWouldReadIt)
{
    using F = NameFault;
    const struct { const char* name; NameFault fault; } cases[] = {
        // Device names in any letter case, with any extension, in any element.
        { "CON", F::DeviceName }, { "aux.dat", F::DeviceName }, { "nul.tar.gz", F::DeviceName },
        { "COM1.txt", F::DeviceName }, { "Lpt9", F::DeviceName }, { "com0", F::DeviceName },
        { "prn  .txt", F::DeviceName }, { "CONOUT$.log", F::DeviceName }, { "con.", F::DeviceName },
        { "sub\\con", F::DeviceName }, { "a\\LPT9\\b.txt", F::DeviceName }, { "a/Com3/b.dat", F::DeviceName },
        // Only ASCII digits count: this superscript one is a device only after
        // a best-fit conversion.
        { "COM\xC2\xB9.dat", F::None },
        { "console", F::None }, { "com10.dat", F::None }, { "lpt", F::None }, { "nul2.txt", F::None },
        { "xcon", F::None }, { "con_x.dat", F::None }, { "my.con", F::None },
        // Windows strips a final dot or space, so the name means another file.
        { "updater.exe.", F::TrailingDotOrSpace }, { "updater.exe ", F::TrailingDotOrSpace },
        { "dir. \\x.dat", F::TrailingDotOrSpace }, { "a \\b", F::TrailingDotOrSpace }, { "x.", F::TrailingDotOrSpace },
        { "...name", F::None }, { "a..b", F::None }, { " lead.txt", F::None }, { "data\\maps\\m1.map", F::None },
        // What could leave the folder.
        { "", F::Empty }, { "\\x", F::Rooted }, { "/x", F::Rooted }, { "C:x", F::Colon }, { "a.txt:s", F::Colon },
        { "tab\there", F::ControlCharacter }, { "a\\\\b", F::EmptyElement }, { "a\\", F::EmptyElement },
        { "..", F::DotsOnlyElement }, { "a\\..\\x", F::DotsOnlyElement }, { ". .\\x", F::DotsOnlyElement },
        // A trail byte 0x5C ("乗" is 81 5C) neither separates nor ends anything.
        { "a\x81\x5C", F::None }, { "\x81\x5C\\nul", F::DeviceName },
        // A lead byte before a byte that cannot be a trail hides nothing.
        { "a\x81.", F::TrailingDotOrSpace }, { "\x81:x", F::Colon },
        // Characters Windows does not allow in names.
        { "a?b.dat", F::ReservedCharacter }, { "a|b", F::ReservedCharacter }, { "<x>.dat", F::ReservedCharacter },
        { "\"q\".dat", F::ReservedCharacter }, { "sub\\*.dat", F::ReservedCharacter },
        // The form of generated short names, which may be another file's.
        { "QUORVA~1.EXE", F::ShortNameForm }, { "update~1.exe", F::ShortNameForm }, { "a~12", F::ShortNameForm },
        { "PROGRA~1\\x.dat", F::ShortNameForm }, { "x\\AB~9.t", F::ShortNameForm },
        { "abcdefg~1.exe", F::None }, { "~1.txt", F::None }, { "ab~.txt", F::None }, { "ab~1.text", F::None },
        { "ab~1x.txt", F::None }, { "a.b~1", F::None }, { "ab~1.t.x", F::None },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckRelativeName(c.name, &IsLeadByte936), c.fault) << c.name;
        EXPECT_EQ(IsSafeRelativeName(c.name, &IsLeadByte936), c.fault == F::None) << c.name;
    }
    EXPECT_EQ(CheckRelativeName("a\x81\x5C", nullptr), F::EmptyElement);
    EXPECT_EQ(CheckRelativeName(nullptr, &IsLeadByte936), F::Empty);
    // COM and LPT with a superscript digit are devices: a single byte where it
    // is no lead byte, UTF-8 (code page 65001) where 0xC2 is none; in code
    // page 936 the same bytes are a Chinese character.
    for (const char* device : { "COM\xB9.dat", "lpt\xB2", "COM\xC2\xB3.txt", "sub\\LPT\xC2\xB9" })
        EXPECT_EQ(CheckRelativeName(device, nullptr), F::DeviceName) << device;
    EXPECT_EQ(CheckRelativeName("COM\xB9\xA8.dat", &IsLeadByte936), F::None);
}

TEST(NameRules, WithinAFolderIsJudgedElementByElement)
{
    auto same = [](const char* a, size_t an, const char* b, size_t bn) {
        return EqualIgnoringAsciiCase(std::string(a, an).c_str(), std::string(b, bn).c_str());
    };
    for (const char* within : { "Update\\x.dat", "update/x", "UPDATE", "Update\\a\\b", "Update\\" })
        EXPECT_TRUE(IsWithinFolder(within, "Update", &IsLeadByte936, same)) << within;
    for (const char* outside : { "Updates\\x", "Updat", "a\\Update\\x", "x.dat", "" })
        EXPECT_FALSE(IsWithinFolder(outside, "Update", &IsLeadByte936, same)) << outside;
    EXPECT_TRUE(IsWithinFolder("a\\Update\\x", "a/update", &IsLeadByte936, same));
    EXPECT_FALSE(IsWithinFolder("a\\x", "a\\Update", &IsLeadByte936, same));
    // A trail byte 0x5C does not end an element.
    EXPECT_FALSE(IsWithinFolder("\x81\x5C\\x", "\x81", &IsLeadByte936, same));
}
