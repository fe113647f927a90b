#pragma once

#include <cstdint>
#include <optional>

// Integers as SQLite's file formats store them: big-endian, and varints.
namespace platform::engine::format {

inline std::uint16_t bigEndian16(const unsigned char* p) {
    return std::uint16_t(p[0] << 8 | p[1]);
}

inline std::uint32_t bigEndian32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

inline void putBigEndian16(unsigned char* p, std::uint16_t value) {
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

inline void putBigEndian32(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

struct Varint {
    std::uint64_t value;
    int length;  // bytes it took, 1 to 9
};

// The varint at p, if it ends before `end`.
std::optional<Varint> readVarint(const unsigned char* p, const unsigned char* end);

}  // namespace platform::engine::format
