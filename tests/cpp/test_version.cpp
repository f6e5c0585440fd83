// Unit tests of the interpreter version parser used by the import-time check.
#include <gtest/gtest.h>

#include <cstdint>

#include "vantorix/version.hpp"

namespace {

struct ParseCase {
    const char* text;
    std::uint32_t packed;
};

class ParseVersionHex : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseVersionHex, PacksLeadingComponents) {
    const ParseCase& c = GetParam();
    EXPECT_EQ(vtx::parse_version_hex(c.text), c.packed) << "text: \"" << c.text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    VersionTexts, ParseVersionHex,
    ::testing::Values(
        // A full banner: parsing stops at the space after the micro version.
        ParseCase{"3.8.0 (default, Oct 14 2019, 12:00:00) \n[GCC 9.2.0]", 0x03080000u},
        ParseCase{"3.11.7", 0x030b0700u},
        ParseCase{"3.7.9", 0x03070900u},
        ParseCase{"3.7.16+ (heads/3.7:abc)", 0x03071000u},
        // Nothing numeric at the start: the first run is empty and no "." follows.
        ParseCase{"x3.11", 0u},
        ParseCase{"", 0u},
        // Only four components are read.
        ParseCase{"1.2.3.4.5", 0x01020304u},
        // An empty run between two dots counts as 0.
        ParseCase{"3..1", 0x03000100u},
        // Oversized components are held at 255 instead of spilling upwards.
        ParseCase{"3.267", 0x03ff0000u},
        ParseCase{"300.1", 0xff010000u},
        ParseCase{"1.2.3.99999", 0x010203ffu}));

bool same(const char* text, int major, int minor) {
    return vtx::same_major_minor(vtx::parse_version_hex(text), major, minor);
}

TEST(SameMajorMinor, ComparesOnlyMajorAndMinor) {
    EXPECT_TRUE(same("3.7.9", 3, 7));
    EXPECT_TRUE(same("3.11.7", 3, 11));
    EXPECT_FALSE(same("3.8.0 (default)", 3, 7));
    EXPECT_FALSE(same("3.11.7", 3, 1));
    EXPECT_FALSE(same("4.7", 3, 7));
    EXPECT_FALSE(same("x3.7", 3, 7));
}

TEST(SameMajorMinor, OversizedMinorDoesNotReadAsNextMajor) {
    const std::uint32_t packed = vtx::parse_version_hex("3.267");
    EXPECT_EQ(vtx::packed_major(packed), 3);
    EXPECT_EQ(vtx::packed_minor(packed), 255);
    EXPECT_FALSE(vtx::same_major_minor(packed, 4, 11));
}

}  // namespace
