#include "app/capture_files.h"

#include <algorithm>
#include <array>

namespace qx {

std::string CaptureWorkPath(const std::string& target) {
    return target + ".partial";
}

bool MayReplaceWithCapture(std::span<const std::uint8_t> start) {
    if (start.empty()) {
        return true;
    }
    // pcap's magic numbers in either byte order: microsecond and nanosecond time stamps.
    constexpr std::array<std::array<std::uint8_t, 4>, 4> MAGICS = {{
        {0xD4, 0xC3, 0xB2, 0xA1},
        {0xA1, 0xB2, 0xC3, 0xD4},
        {0x4D, 0x3C, 0xB2, 0xA1},
        {0xA1, 0xB2, 0x3C, 0x4D},
    }};
    for (const auto& magic : MAGICS) {
        if (start.size() >= magic.size() && std::equal(magic.begin(), magic.end(), start.begin())) {
            return true;
        }
    }
    return false;
}

}  // namespace qx
