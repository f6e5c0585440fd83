// A fast hash of a str's stored text, for the converted_list index.
//
// Equal str objects store their text alike (the narrowest width that holds
// it), so hashing the stored bytes gives equal texts equal hashes. Four
// independent lanes take 32 bytes a round, so that a path name of tens of
// thousands of characters hashes in about the time it takes to copy it.
// Pure C++, with no Python dependency: the unit tests link it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vtx::text_hash {

constexpr std::uint64_t prime_1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t prime_2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t prime_3 = 0x165667B19E3779F9ull;

inline std::uint64_t rotated(std::uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

// Unaligned reads: a str's data may start anywhere.
inline std::uint64_t word_at(const unsigned char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

inline std::uint64_t round(std::uint64_t lane, std::uint64_t word) {
    return rotated(lane + word * prime_2, 31) * prime_1;
}

// Spreads every input bit over the whole result.
inline std::uint64_t finished(std::uint64_t hash) {
    hash ^= hash >> 33;
    hash *= prime_2;
    hash ^= hash >> 29;
    hash *= prime_3;
    return hash ^ (hash >> 32);
}

inline std::uint64_t of(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t lanes[4] = {prime_1 + prime_2, prime_2, 0, 0 - prime_1};
    std::size_t at = 0;
    for (; at + 32 <= size; at += 32) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = round(lanes[lane], word_at(bytes + at + 8 * lane));
    }
    std::uint64_t hash = rotated(lanes[0], 1) + rotated(lanes[1], 7) + rotated(lanes[2], 12) +
                         rotated(lanes[3], 18) + size * prime_3;
    for (; at + 8 <= size; at += 8) hash = round(hash, word_at(bytes + at));
    for (; at < size; ++at) hash = round(hash, bytes[at] + 1);
    return finished(hash);
}

}  // namespace vtx::text_hash
