#include "app/run_outcome.h"

#include <cstdio>

namespace qx {

std::string DeviceName(std::span<const std::uint8_t, DEVICE_RECORD_SIZE> record) {
    std::string name;
    for (std::size_t i = DEVICE_NAME_OFFSET; i < DEVICE_NAME_OFFSET + DEVICE_NAME_SIZE && record[i] != 0;
         ++i) {
        const std::uint8_t c = record[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            name += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            name += escaped;
        }
    }
    return name;
}

std::optional<ConfigWord> WordHeld(const RunOutcome& outcome) {
    if (outcome.written) {
        return outcome.wordSent;
    }
    if (outcome.wordSent && outcome.stage != RunStage::WriteRefused) {
        return std::nullopt;
    }
    return outcome.wordRead;
}

}  // namespace qx
