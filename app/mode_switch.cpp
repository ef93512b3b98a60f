#include "app/mode_switch.h"

namespace qx {

void CloseLinkLeftOpen(IrdaLink& link) {
    if (link.HasLink()) {
        link.CloseLink();
        link.Pause(STALE_LINK_PAUSE_MS);
    }
}

RunOutcome StartAndReadWord(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    // Each run starts from fresh records of its own.
    auto greeting = GreetingFrame;
    auto expectedReply = GreetingReply;
    AddressRecord address{};
    DeviceList devices{};
    RunOutcome outcome;

    if (link.StartLink(address) == LINK_NO_SOCKETS) {
        status(slots[Slot::WinsockError]);
        outcome.stage = RunStage::NoSockets;
        outcome.code = LINK_NO_SOCKETS;
        return outcome;
    }
    status(slots[Slot::Searching]);
    const int found = link.EnumerateDevices(devices);
    if (found == ENUM_NO_DEVICES) {
        status(slots[Slot::DevicesNotFound]);
    } else if (found == LINK_OK) {
        status(slots[Slot::DevicesFound]);
    } else {
        status(slots[Slot::SearchError] + std::to_string(found));
    }
    // Only the count decides: a discovery that reported an error but still listed a device goes on.
    if (devices.Count() == 0) {
        // A socket that could not be made shows up here, as the discovery's error on an invalid handle.
        outcome.stage = link.Handle() == INVALID_SOCKET_HANDLE ? RunStage::SocketFailed
                        : found == ENUM_NO_DEVICES             ? RunStage::NoDevice
                                                               : RunStage::SearchFailed;
        outcome.code = found;
        return outcome;
    }
    outcome.device = DeviceName(devices.Record(0));
    if (const int greeted = link.ConnectAndGreet(0, greeting, expectedReply, devices, address);
        greeted != LINK_OK) {
        outcome.stage = RunStage::ConnectFailed;
        outcome.code = greeted;
        return outcome;
    }
    ConfigWord word = 0;
    if (!ReadConfigWord(link, word)) {
        outcome.stage = RunStage::ReadFailed;
        return outcome;
    }
    outcome.wordRead = word;
    return outcome;
}

bool SetSearchMode(bool enable, IrdaLink& link, const MessageSlots& slots, ModeSwitchHost& host) {
    CloseLinkLeftOpen(link);
    if (!host.Confirm(slots[Slot::PromptLine1] + "\n" + slots[Slot::PromptLine2])) {
        return false;
    }

    bool result = false;
    const RunOutcome read =
        StartAndReadWord(link, slots, [&](const std::string& text) { host.SetStatusText(text); });
    if (read.wordRead) {
        const ConfigWord word = *read.wordRead;
        const ConfigWord changed = enable ? static_cast<ConfigWord>(word | SEARCH_MODE_BIT)
                                          : static_cast<ConfigWord>(word & ~SEARCH_MODE_BIT);
        result = WriteConfigWord(link, changed);
    }

    if (link.HasLink()) {
        link.CloseLink();
    }
    host.SetStatusText("");
    if (result) {
        host.ShowResult(slots[Slot::WriteDone], slots[Slot::SuccessCaption], ResultIcon::Information);
    } else {
        host.ShowResult(slots[Slot::WriteFailed], slots[Slot::FailureCaption], ResultIcon::Error);
    }
    return result;
}

}  // namespace qx
