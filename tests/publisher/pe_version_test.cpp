// The file version read from a Windows executable's version resource.
#include <gtest/gtest.h>
#include "PeVersion.h"
#include "PublisherTestUtil.h"

namespace {
std::optional<std::string> VersionOf(const std::string& bytes)
{
    MemorySource src(bytes.data(), bytes.size());
    return ReadPeFileVersion(src);
}
} // namespace

TEST(PeVersion, FileVersionComesFromTheFixedInfoOfBothImageKinds)
{
    EXPECT_EQ(VersionOf(MakePeImage(3, 2, 0, 17)), "3.2.0.17");
    EXPECT_EQ(VersionOf(MakePeImage(65535, 1, 2, 40000, false)), "65535.1.2.40000");
}

TEST(PeVersion, NoVersionForOtherFilesOrImagesWithoutTheResource)
{
    EXPECT_FALSE(VersionOf(MakePeImage(1, 2, 3, 4, true, false)));
    EXPECT_FALSE(VersionOf(""));
    EXPECT_FALSE(VersionOf("MZ"));
    EXPECT_FALSE(VersionOf(Pattern(5000, 3)));
    std::string notPe = MakePeImage(1, 2, 3, 4);
    notPe[0x80] = 'N';  // "NE\0\0"
    EXPECT_FALSE(VersionOf(notPe));
}

TEST(PeVersion, TruncatedImagesNeverYieldAnythingButTheTrueVersion)
{
    const std::string image = MakePeImage(7, 8, 9, 10);
    for (size_t n = 0; n < image.size(); ++n) {
        auto v = VersionOf(image.substr(0, n));
        if (v) EXPECT_EQ(*v, "7.8.9.10") << "length " << n;
    }
    // The fixed info ends 0x400 + 0x60 + 92 bytes in: shorter images cannot have it.
    EXPECT_FALSE(VersionOf(image.substr(0, 0x400 + 0x60 + 80)));
}

TEST(PeVersion, DamagedHeadersAndTreesAreRejected)
{
    struct Damage { const char* what; size_t at; int width; uint32_t value; };
    const Damage cases[] = {
        { "PE offset past the end", 60, 4, 0x7FFFFFF0 },
        { "section count huge", 0x80 + 6, 2, 0xFFFF },
        { "optional header too small", 0x80 + 20, 2, 8 },
        { "resource RVA outside every section", 0x80 + 24 + 112 + 16, 4, 0x9000 },
        { "no RT_VERSION type", 0x400 + 16, 4, 6 },
        { "name subdirectory outside the section", 0x400 + 20, 4, 0x80000000u | 0x7000 },
        { "language entry is a directory", 0x400 + 0x30 + 20, 4, 0x80000000u | 0x30 },
        { "data RVA below the section", 0x400 + 0x48, 4, 0x100 },
        { "data size past the section", 0x400 + 0x48 + 4, 4, 0x5000 },
        { "key misspelt", 0x400 + 0x60 + 6, 2, 'W' },
        { "signature wrong", 0x400 + 0x60 + 40, 4, 0xFEEF04BC },
    };
    for (const auto& d : cases) {
        std::string image = MakePeImage(1, 2, 3, 4);
        ASSERT_TRUE(VersionOf(image));
        for (int i = 0; i < d.width; ++i) image[d.at + i] = char(d.value >> (8 * i));
        EXPECT_FALSE(VersionOf(image)) << d.what;
    }
}

TEST(PeVersion, TheProjectsOwnExecutablesCarryTheirVersions)
{
    const fs::path bin = UPDATER_WIN_BIN;
    if (!fs::exists(bin / "updater.exe") || !fs::exists(bin / "Quorvanta.exe"))
        GTEST_SKIP() << "no cross-built programs in " << bin;
    EXPECT_EQ(VersionOf(ReadFile(bin / "updater.exe")), "1.0.0.0");
    EXPECT_EQ(VersionOf(ReadFile(bin / "Quorvanta.exe")), "3.2.0.17");
}
