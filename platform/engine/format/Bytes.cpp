#include "platform/engine/format/Bytes.h"

namespace platform::engine::format {

std::optional<Varint> readVarint(const unsigned char* p, const unsigned char* end) {
    std::uint64_t value = 0;
    for (int i = 0; i < 9; ++i) {
        if (p + i >= end) return std::nullopt;
        // The ninth byte gives all eight of its bits.
        if (i == 8) return Varint{(value << 8) | p[i], 9};
        value = (value << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) return Varint{value, i + 1};
    }
    return std::nullopt;
}

}  // namespace platform::engine::format
