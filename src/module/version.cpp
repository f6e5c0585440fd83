#include "vantorix/version.hpp"

namespace vtx {

namespace {
constexpr std::uint32_t component_max = 255;
constexpr int components_max = 4;
}  // namespace

std::uint32_t parse_version_hex(const char* text) {
    std::uint32_t packed = 0;
    const char* p = text;
    for (int index = 0; index < components_max; ++index) {
        std::uint32_t component = 0;
        while (*p >= '0' && *p <= '9') {
            component = component * 10 + static_cast<std::uint32_t>(*p - '0');
            if (component > component_max) component = component_max;
            ++p;
        }
        packed |= component << (8 * (3 - index));
        if (*p != '.') break;
        ++p;
    }
    return packed;
}

int packed_major(std::uint32_t packed) { return static_cast<int>(packed >> 24); }
int packed_minor(std::uint32_t packed) { return static_cast<int>((packed >> 16) & 0xff); }

bool same_major_minor(std::uint32_t packed, int major, int minor) {
    return packed_major(packed) == major && packed_minor(packed) == minor;
}

}  // namespace vtx
