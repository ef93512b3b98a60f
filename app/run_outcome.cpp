#include "app/run_outcome.h"

#include <algorithm>
#include <cstdio>

namespace qx {

std::string_view StageName(RunStage stage) {
    switch (stage) {
        case RunStage::Done:
            return "done";
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

RunOutcome OutcomeOfSwitch(const RunRecord& record, bool acknowledged) {
    RunOutcome outcome;
    if (record.startupFailed) {
        outcome.stage = RunStage::NoSockets;
        outcome.code = LINK_NO_SOCKETS;
        return outcome;
    }
    if (record.socketFailed) {
        outcome.stage = RunStage::SocketFailed;
        outcome.code = record.socketError;
        return outcome;
    }
    // As in the run itself, the device count decides, whatever the tries before reported.
    if (record.devices.Count() == 0) {
        outcome.stage = record.discovered ? RunStage::NoDevice : RunStage::SearchFailed;
        outcome.code = record.discovered ? ENUM_NO_DEVICES : record.discoveryError;
        return outcome;
    }
    outcome.device = DeviceName(record.devices.Record(0));

    const auto& frames = record.frames;
    const auto greeted = std::find_if(frames.begin(), frames.end(), [](const TracedFrame& f) {
        return !f.sent &&
               std::equal(f.bytes.begin(), f.bytes.end(), GreetingReply.begin(), GreetingReply.end());
    });
    if (!record.connected || greeted == frames.end()) {
        outcome.stage = RunStage::ConnectFailed;
        outcome.code = record.connected ? SOCKET_ERROR_RESULT : record.connectError;
        return outcome;
    }
    // The word is the one a valid read reply carried.
    for (auto f = greeted; f != frames.end(); ++f) {
        if (!f->sent) {
            if (const std::optional<ConfigWord> word = WordOfReadReply(f->bytes)) {
                outcome.wordRead = word;
            }
        }
    }
    const auto lastWrite = std::find_if(frames.rbegin(), frames.rend(), [](const TracedFrame& f) {
        return f.sent && WordOfWriteRequest(f.bytes).has_value();
    });
    if (lastWrite == frames.rend()) {
        outcome.stage = outcome.wordRead ? RunStage::NotWritten : RunStage::ReadFailed;
        return outcome;
    }
    outcome.wordSent = WordOfWriteRequest(lastWrite->bytes);
    if (acknowledged) {
        outcome.written = true;
        return outcome;
    }
    // Refused only when the one write request the instrument got was answered with the negative status: after
    // any other answer to an earlier attempt, the instrument may have taken the word.
    const auto writes = std::count_if(frames.begin(), frames.end(), [](const TracedFrame& f) {
        return f.sent && !f.bytes.empty() && f.bytes[0] == FRAME_WRITE_WORD;
    });
    const bool refused = writes == 1 && std::any_of(frames.rbegin(), lastWrite, [](const TracedFrame& f) {
                             return !f.sent && !f.bytes.empty() && f.bytes[0] == REPLY_NEGATIVE;
                         });
    outcome.stage = refused ? RunStage::WriteRefused : RunStage::WriteUnconfirmed;
    return outcome;
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
