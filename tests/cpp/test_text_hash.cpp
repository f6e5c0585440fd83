// Unit tests of the path-name hashes of the converted_list index.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "vantorix/text_hash.hpp"

namespace {

using vtx::text_hash::NameHashes;

NameHashes hashed(const std::u32string& text, NameHashes known = {}) {
    return vtx::text_hash::extended(known, text.data(), text.size());
}

void expect_same(const NameHashes& a, const NameHashes& b) {
    EXPECT_EQ(a.full, b.full);
    EXPECT_EQ(a.head, b.head);
    EXPECT_EQ(a.tail, b.tail);
}

// Extending a name's hashes by what is appended gives the hashes of the
// whole name, wherever the names split, dots included.
TEST(TextHash, ExtendingEqualsHashingTheWhole) {
    const std::u32string name = U".encoder.blocks[0].attn.out\u20ac.w";
    for (std::size_t split = 0; split <= name.size(); ++split) {
        SCOPED_TRACE(split);
        expect_same(hashed(name.substr(split), hashed(name.substr(0, split))), hashed(name));
    }
}

// The head and tail are the hashes of the texts around the last dot.
TEST(TextHash, HeadAndTailSplitAtTheLastDot) {
    NameHashes name = hashed(U".a.bc.member");
    EXPECT_EQ(name.head, hashed(U".a.bc").full);
    EXPECT_EQ(name.tail, hashed(U"member").full);
    NameHashes undotted = hashed(U"member");
    EXPECT_EQ(undotted.head, NameHashes{}.full);
    EXPECT_EQ(undotted.tail, undotted.full);
}

// Code points hash alike whatever the width of the units that hold them.
TEST(TextHash, UnitWidthDoesNotMatter) {
    const std::string narrow = ".x.y";
    const std::u16string wide = u".x.y";
    auto a = vtx::text_hash::extended(NameHashes{}, reinterpret_cast<const unsigned char*>(narrow.data()),
                                      narrow.size());
    expect_same(a, vtx::text_hash::extended(NameHashes{}, wide.data(), wide.size()));
    expect_same(a, hashed(U".x.y"));
}

// Texts that differ, in length, order or a NUL, hash apart.
TEST(TextHash, DistinctTextsDiffer) {
    const std::u32string texts[] = {U"", std::u32string(1, U'\0'), U"ab", U"ba", U"abc",
                                    U".n.n", U".n.n.n", U".nn.n"};
    for (const auto& a : texts) {
        for (const auto& b : texts) {
            if (a != b) {
                EXPECT_NE(hashed(a).full, hashed(b).full);
            }
        }
    }
}

}  // namespace
