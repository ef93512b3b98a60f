#include "app/mode_switch.h"

#include <algorithm>
#include <optional>

namespace qx {

namespace {

// One hex digit's value, or none; kept here rather than <cctype> and strtoul, which the Windows builds would
// then import from the C runtime for eight digits.
std::optional<std::uint32_t> HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<std::uint32_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<std::uint32_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<std::uint32_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

}  // namespace

IrdaLink::DeviceFilter DeviceNamed(std::string text) {
    std::optional<std::uint32_t> address;
    std::string_view digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        digits.remove_prefix(2);
    }
    if (!digits.empty() && digits.size() <= 8 && (digits.size() != text.size() || digits.size() == 8)) {
        std::uint32_t value = 0;
        bool allHex = true;
        for (char c : digits) {
            const std::optional<std::uint32_t> digit = HexDigit(c);
            allHex = allHex && digit.has_value();
            value = value << 4 | digit.value_or(0);
        }
        if (allHex) {
            address = value;
        }
    }
    return [text = std::move(text), address](std::span<const std::uint8_t, DEVICE_RECORD_SIZE> record) {
        return DeviceName(record) == text || (address && ReadLittle32(record) == *address);
    };
}

void CloseLinkLeftOpen(IrdaLink& link) {
    if (link.CloseIfOpen()) {
        link.Pause(STALE_LINK_PAUSE_MS);
    }
}

RunOutcome StartAndReadWord(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    RunOutcome outcome;
    if (link.StartLink() == LINK_NO_SOCKETS) {
        status(slots[Slot::WinsockError]);
        outcome.stage = RunStage::NoSockets;
        outcome.code = LINK_NO_SOCKETS;
        return outcome;
    }
    status(slots[Slot::Searching]);
    const int found = link.EnumerateDevices();
    if (found == ENUM_NO_DEVICES) {
        status(slots[Slot::DevicesNotFound]);
    } else if (found == LINK_OK) {
        status(slots[Slot::DevicesFound]);
    } else {
        status(slots[Slot::SearchError] + std::to_string(found));
    }
    // Only the count decides: a discovery that reported an error but still listed a device goes on.
    const DeviceList& devices = link.Devices();
    if (devices.Count() == 0) {
        // A socket that could not be made shows up here, as the discovery's error on an invalid handle; the
        // socket's own error came first and says more.
        if (link.Handle() == INVALID_SOCKET_HANDLE) {
            outcome.stage = RunStage::SocketFailed;
            outcome.code = link.SocketError() != 0 ? link.SocketError() : found;
        } else {
            outcome.stage = found == ENUM_NO_DEVICES ? RunStage::NoDevice : RunStage::SearchFailed;
            outcome.code = found;
        }
        // With no device found, a failure says why nobody could be asked (the medium held by another).
        outcome.failure = link.LastStackFailure();
        return outcome;
    }
    for (std::size_t i = 0; i < devices.Listed(); ++i) {
        outcome.devices.push_back({DeviceName(devices.Record(i)), ReadLittle32(devices.Record(i)),
                                   DeviceRole::NotTried, std::nullopt});
    }
    const int greeted = link.ConnectAndGreet(GreetingFrame, GreetingReply);
    for (const std::size_t i : link.PassedOver()) {
        outcome.devices[i].role = DeviceRole::PassedOver;
    }
    const std::optional<std::size_t> tried = link.DeviceTried();
    if (!tried) {
        // The user named a device that did not answer the search.
        outcome.stage = RunStage::NoDevice;
        outcome.code = ENUM_NO_DEVICES;
        outcome.deviceAsked = link.DeviceAsked();
        return outcome;
    }
    outcome.device = DeviceName(devices.Record(*tried));
    if (*tried < outcome.devices.size()) {
        outcome.devices[*tried].role = greeted == LINK_OK ? DeviceRole::Used : DeviceRole::Failed;
    }
    if (greeted != LINK_OK) {
        outcome.stage = RunStage::ConnectFailed;
        outcome.code = greeted;
        outcome.failure = link.LastStackFailure();
        return outcome;
    }
    const ReadResult read = ReadWord(link);
    if (!read.word) {
        outcome.stage = RunStage::ReadFailed;
        outcome.code = read.exchange.code;
        outcome.failure = link.LastStackFailure();
        return outcome;
    }
    outcome.wordRead = read.word;
    return outcome;
}

void FindOtherInstruments(IrdaLink& link, RunOutcome& outcome) {
    const std::optional<std::size_t> used = DeviceUsed(outcome);
    if (!used || !outcome.wordRead || link.HasLink()) {
        return;
    }
    for (std::size_t i = 0; i < outcome.devices.size(); ++i) {
        if (outcome.devices[i].role != DeviceRole::NotTried) {
            continue;
        }
        const int probed = link.ProbeDevice(i);
        if (probed == LINK_OK) {
            outcome.devices[i].role = DeviceRole::Instrument;
        } else if (probed == WSAECONNREFUSED_CODE) {
            outcome.devices[i].role = DeviceRole::PassedOver;
        }
    }
}

namespace {

// Writes the changed word and notes how the write ended.
void WriteChangedWord(bool enable, IrdaLink& link, RunOutcome& outcome) {
    const ConfigWord word = *outcome.wordRead;
    const ConfigWord changed = enable ? static_cast<ConfigWord>(word | SEARCH_MODE_BIT)
                                      : static_cast<ConfigWord>(word & ~SEARCH_MODE_BIT);
    const ExchangeResult write = WriteWord(link, changed);
    outcome.code = write.code;
    if (write.end != ExchangeEnd::NotSent) {
        outcome.wordSent = changed;
    }
    if (write.end != ExchangeEnd::Acknowledged && write.end != ExchangeEnd::Refused) {
        outcome.failure = link.LastStackFailure();
    }
    switch (write.end) {
        case ExchangeEnd::Acknowledged:
            outcome.stage = RunStage::Done;
            outcome.written = true;
            break;
        case ExchangeEnd::Refused:
            outcome.stage = RunStage::WriteRefused;
            break;
        case ExchangeEnd::Unanswered:
            outcome.stage = RunStage::WriteUnconfirmed;
            break;
        case ExchangeEnd::NotSent:
            outcome.stage = RunStage::NotWritten;
            break;
    }
}

}  // namespace

RunOutcome RunModeSwitch(bool enable, IrdaLink& link, const MessageSlots& slots, ModeSwitchHost& host) {
    CloseLinkLeftOpen(link);
    RunOutcome outcome;
    if (!host.Confirm(slots[Slot::PromptLine1] + "\n" + slots[Slot::PromptLine2])) {
        outcome.stage = RunStage::Cancelled;
        return outcome;
    }

    {
        const OpenLinkCloser closer(link);
        outcome = StartAndReadWord(link, slots, [&](const std::string& text) { host.SetStatusText(text); });
        if (outcome.wordRead) {
            WriteChangedWord(enable, link, outcome);
        }
    }
    FindOtherInstruments(link, outcome);
    host.SetStatusText("");
    if (outcome.written) {
        host.ShowResult(slots[Slot::WriteDone], slots[Slot::SuccessCaption], ResultIcon::Information);
    } else {
        host.ShowResult(slots[Slot::WriteFailed], slots[Slot::FailureCaption], ResultIcon::Error);
    }
    return outcome;
}

bool SetSearchMode(bool enable, IrdaLink& link, const MessageSlots& slots, ModeSwitchHost& host) {
    return RunModeSwitch(enable, link, slots, host).written;
}

}  // namespace qx
