// Hashes of path names that extend as the names do.
//
// Every path name below the root is another path name with something
// appended, and the walk asks about a module's members by its own path name
// followed by "." and the member. A polynomial hash over code points,
// modulo the prime 2^61 - 1, extends one code point at a time, so the hash
// of such a name costs only what was appended, however long the name it
// extends. Pure C++, with no Python dependency: the unit tests link it alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtx::text_hash {

constexpr std::uint64_t modulus = (std::uint64_t{1} << 61) - 1;
// Any value between 2^32 and the modulus serves.
constexpr std::uint64_t base = 0x0B873593A9E1F3B5ull % modulus;

__extension__ typedef unsigned __int128 Wide;

// (hash * base + code_point + 1) mod 2^61 - 1. The + 1 keeps a NUL from
// hashing like nothing at all.
inline std::uint64_t step(std::uint64_t hash, std::uint32_t code_point) {
    Wide product = static_cast<Wide>(hash) * base;
    // 2^61 = 1 (mod 2^61 - 1): fold the high bits onto the low ones.
    std::uint64_t folded = (static_cast<std::uint64_t>(product) & modulus) +
                           static_cast<std::uint64_t>(product >> 61);
    if (folded >= modulus) folded -= modulus;
    std::uint64_t result = folded + code_point + 1;
    return result >= modulus ? result - modulus : result;
}

// The hashes of one name that the index files it under: the whole text, and
// the texts before and after its last "." (the whole text after, and the
// empty text before, when it has none). A name that the walk asks about
// splits at its last "." into the path name of its module and the member.
struct NameHashes {
    std::uint64_t full = 0;
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
};

// The hashes of the known text followed by the code units [units, units +
// count), in one pass.
template <class Unit>
NameHashes extended(NameHashes known, const Unit* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t code_point = units[i];
        if (code_point == '.') {
            known.head = known.full;
            known.tail = 0;
        } else {
            known.tail = step(known.tail, code_point);
        }
        known.full = step(known.full, code_point);
    }
    return known;
}

}  // namespace vtx::text_hash
