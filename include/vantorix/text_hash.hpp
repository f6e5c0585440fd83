// A fast hash of a str's stored text, for the converted_list index.
//
// Equal str objects store their text alike (the narrowest width that holds
// it), so hashing the stored bytes gives equal texts equal hashes. Four
// independent lanes take 64 bytes a round, one multiplication per 16 bytes,
// so that a path name of tens of thousands of characters hashes in about
// the time it takes to copy it.
// Pure C++, with no Python dependency: the unit tests link it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vtx::text_hash {

// Four lanes, and a key for each; any odd constants with bits spread well.
constexpr std::uint64_t keys[5] = {0xA0761D6478BD642Full, 0xE7037ED1A0B428DBull,
                                   0x8EBC6AF09C88C6E3ull, 0x589965CC75374CC3ull,
                                   0x1D8E4E27C47D124Full};

__extension__ typedef unsigned __int128 Wide;

// The two halves of a full product, folded: one multiplication mixes 16
// bytes.
inline std::uint64_t mixed(std::uint64_t a, std::uint64_t b) {
    Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Unaligned reads: a str's data may start anywhere.
inline std::uint64_t word_at(const unsigned char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The last 1 to 7 bytes, as the low bytes of a word.
inline std::uint64_t short_word_at(const unsigned char* bytes, std::size_t size) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, size);
    return word;
}

inline std::uint64_t of(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // Each lane starts from another key than the one its words meet, or
    // its first product would be the same whichever of its two words changed.
    std::uint64_t lanes[4] = {keys[1], keys[2], keys[3], keys[4]};
    std::size_t at = 0;
    for (; at + 64 <= size; at += 64) {
        for (int lane = 0; lane < 4; ++lane) {
            const unsigned char* block = bytes + at + 16 * lane;
            lanes[lane] = mixed(word_at(block) ^ keys[lane], word_at(block + 8) ^ lanes[lane]);
        }
    }
    std::uint64_t hash = (lanes[0] ^ lanes[1]) + (lanes[2] ^ lanes[3]) + size * keys[4];
    for (; at + 16 <= size; at += 16)
        hash = mixed(word_at(bytes + at) ^ keys[1], word_at(bytes + at + 8) ^ hash);
    std::uint64_t last = 0, before_last = 0;
    if (at + 8 <= size) {
        before_last = word_at(bytes + at);
        at += 8;
    }
    if (at < size) last = short_word_at(bytes + at, size - at);
    hash = mixed(before_last ^ keys[2], last ^ keys[3] ^ hash);
    return mixed(hash ^ keys[4], size ^ keys[0]);
}

}  // namespace vtx::text_hash
