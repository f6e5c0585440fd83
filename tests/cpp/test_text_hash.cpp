// Unit tests of the text hash of the converted_list index.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "vantorix/text_hash.hpp"

namespace {

std::uint64_t hashed(const std::string& text) { return vtx::text_hash::of(text.data(), text.size()); }

// The same bytes hash alike wherever they are stored, at every length
// around the 8- and 32-byte steps.
TEST(TextHash, DependsOnTheBytesAloneNotOnWhereTheyLie) {
    const std::string text = ".encoder.blocks[12].attention.self.query.weight";
    char buffer[128];
    for (std::size_t size = 0; size <= text.size(); ++size) {
        for (std::size_t offset = 1; offset < 8; ++offset) {
            std::memcpy(buffer + offset, text.data(), size);
            EXPECT_EQ(vtx::text_hash::of(buffer + offset, size), hashed(text.substr(0, size)))
                << "size " << size << ", offset " << offset;
        }
    }
}

// Names that differ in one character anywhere, or only in length (trailing
// NULs included), hash apart.
TEST(TextHash, OneChangedCharacterChangesTheHash) {
    const std::string name(".blocks[0]" + std::string(100, 'm'));
    std::set<std::uint64_t> seen{hashed(name)};
    for (std::size_t at = 0; at < name.size(); ++at) {
        std::string changed = name;
        changed[at] ^= 1;
        EXPECT_TRUE(seen.insert(hashed(changed)).second) << "at " << at;
    }
    std::string zeros;
    for (int length = 0; length < 70; ++length, zeros.push_back('\0'))
        EXPECT_TRUE(seen.insert(hashed(zeros)).second) << "length " << length;
}

// The index files a name by the high half of its hash, masked: path names
// that differ only in an index spread over the low bits of that half too.
TEST(TextHash, IndexedNamesSpreadOverTheTable) {
    std::set<std::uint32_t> places;
    for (int block = 0; block < 4096; ++block)
        places.insert(static_cast<std::uint32_t>(
            hashed(".blocks[" + std::to_string(block) + "].layer0") >> 32) & 4095);
    EXPECT_GT(places.size(), 2400u);  // a uniform spread fills about 2590
}

}  // namespace
