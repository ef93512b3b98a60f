#include "app/run_outcome.h"

#include <algorithm>
#include <cstdio>

namespace qx {

std::string PrintableName(std::string_view name) {
    std::string printable;
    for (const char byte : name) {
        const auto c = static_cast<std::uint8_t>(byte);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            printable += byte;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            printable += escaped;
        }
    }
    return printable;
}

std::string DeviceName(std::span<const std::uint8_t, DEVICE_RECORD_SIZE> record) {
    const auto field = record.subspan(DEVICE_NAME_OFFSET, DEVICE_NAME_SIZE);
    const auto end = std::find(field.begin(), field.end(), 0);
    return PrintableName(std::string_view(reinterpret_cast<const char*>(field.data()),
                                          static_cast<std::size_t>(end - field.begin())));
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

std::optional<std::size_t> DeviceUsed(const RunOutcome& outcome) {
    const auto used = std::find_if(outcome.devices.begin(), outcome.devices.end(),
                                   [](const ListedDevice& d) { return d.role == DeviceRole::Used; });
    if (used == outcome.devices.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(used - outcome.devices.begin());
}

std::size_t InstrumentsInRange(const RunOutcome& outcome) {
    return static_cast<std::size_t>(
        std::count_if(outcome.devices.begin(), outcome.devices.end(), [](const ListedDevice& d) {
            return d.role == DeviceRole::Used || d.role == DeviceRole::Instrument;
        }));
}

std::string DeviceAddressText(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(address));
    return text;
}

}  // namespace qx
