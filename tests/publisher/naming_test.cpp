// Name conversion, URL and XML text of the publisher.
#include <gtest/gtest.h>
#include "Naming.h"

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

TEST(Naming, AttributeTextIsEscaped)
{
    EXPECT_EQ(XmlAttribute("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    EXPECT_EQ(XmlAttribute("tab\there\nline\r"), "tab&#9;here&#10;line&#13;");
    EXPECT_EQ(XmlAttribute("资料\\x"), "资料\\x");
}

TEST(Naming, WindowsDeviceNamesAreKnownWithAnyExtensionOrCase)
{
    for (const char* n : { "CON", "con.txt", "Nul", "aux.dat.bak", "COM1", "lpt9.log", "prn .txt" })
        EXPECT_TRUE(IsReservedDeviceName(n)) << n;
    for (const char* n : { "console", "com10", "comx", "nul2.txt", "xcon", "lpt" })
        EXPECT_FALSE(IsReservedDeviceName(n)) << n;
}
