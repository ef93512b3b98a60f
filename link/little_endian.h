// Little-endian integers in byte records: the IrDA device address in discovery frames and address records,
// and the loopback emulation's counts and results. Both the link and the IrDA stack read and write them here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qx {

// The 32-bit value in the first four bytes, low byte first; 0 when fewer than four bytes are given.
inline std::uint32_t ReadLittle32(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4) {
        return 0;
    }
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Appends `value`, low byte first.
inline void PutLittle32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Writes `value` into the first four bytes of `out` (which must hold them), low byte first.
inline void WriteLittle32(std::span<std::uint8_t> out, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace qx
