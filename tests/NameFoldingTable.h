// Names and their folding as Windows compares them (UTF-8), one table for the
// updater's folding (Windows) and the native publisher's, so the two agree.
#pragma once

struct NameFolding {
    const char* name;
    const char* folded;
};

inline constexpr NameFolding kNameFoldings[] = {
    { "abc-XYZ_09.dat", "ABC-XYZ_09.DAT" },
    { "\xC3\xA9t\xC3\xA9 \xC3\xBF", "\xC3\x89T\xC3\x89 \xC5\xB8" },            // é É, ÿ Ÿ
    { "stra\xC3\x9F" "e", "STRA\xC3\x9F" "E" },                                    // ß has no single upper case
    { "\xCF\x83\xCE\xAC", "\xCE\xA3\xCE\x86" },                                 // σ ά
    { "\xCF\x82\xC4\xB1\xC2\xB5\xC7\x85", "\xCF\x82\xC4\xB1\xC2\xB5\xC7\x85" },       // ς ı µ ǅ stay as they are
    { "\xD0\xB6\xD1\x91", "\xD0\x96\xD0\x81" },                                 // ж ё
    { "\xD5\xA1", "\xD4\xB1" },                                                 // Armenian ա
    { "\xEF\xBD\x81", "\xEF\xBC\xA1" },                                         // fullwidth ａ
    { "\xE6\xB8\xB8\xE6\x88\x8F.pak", "\xE6\xB8\xB8\xE6\x88\x8F.PAK" },         // 游戏 has no case
};
