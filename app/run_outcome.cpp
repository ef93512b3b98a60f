#include "app/run_outcome.h"

#include <cstdio>

namespace qx {

std::string_view StageName(RunStage stage) {
    switch (stage) {
        case RunStage::Done:
            return "done";
        case RunStage::Cancelled:
            return "cancelled";
        case RunStage::NoSockets:
            return "no_sockets";
        case RunStage::SocketFailed:
            return "socket_failed";
        case RunStage::SearchFailed:
            return "search_failed";
        case RunStage::NoDevice:
            return "no_device";
        case RunStage::ConnectFailed:
            return "connect_failed";
        case RunStage::ReadFailed:
            return "read_failed";
        case RunStage::NotWritten:
            return "not_written";
        case RunStage::WriteRefused:
            return "write_refused";
        case RunStage::WriteUnconfirmed:
            return "write_unconfirmed";
    }
    return "unknown";
}

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
