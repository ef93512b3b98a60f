// Bytes as the frame tables write them: "83 00 05 B1 D3". Failure messages and call records use it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace qx::test {

inline std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (const auto b : bytes) {
        char part[4];
        std::snprintf(part, sizeof part, "%s%02X", out.empty() ? "" : " ", b);
        out += part;
    }
    return out;
}

}  // namespace qx::test
