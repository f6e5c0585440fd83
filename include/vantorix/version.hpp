// Reading the interpreter's version text: pure C++, no Python dependency.
#pragma once

#include <cstdint>

namespace vtx {

// Packs the leading "A.B.C.D" of a version text as A<<24 | B<<16 | C<<8 | D.
// Parsing starts at the first character; a run of digits that is empty
// counts as 0, and the next component is read only while the run is followed
// by "." and fewer than four components have been read. Components larger
// than 255 are held at 255 so that they cannot spill into the component
// above (a minor of 267 must not read as the next major version).
std::uint32_t parse_version_hex(const char* text);

// True when the packed version's major and minor are the ones given.
bool same_major_minor(std::uint32_t packed, int major, int minor);

int packed_major(std::uint32_t packed);
int packed_minor(std::uint32_t packed);

}  // namespace vtx
