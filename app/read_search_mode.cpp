#include "app/read_search_mode.h"

#include "app/mode_switch.h"
#include "link/device_frames.h"

namespace qx {

RunOutcome ReadSearchMode(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    auto greeting = GreetingFrame;
    auto expectedReply = GreetingReply;
    AddressRecord address{};
    DeviceList devices{};
    RunOutcome outcome;

    if (link.HasLink()) {
        link.CloseLink();
        link.Pause(STALE_LINK_PAUSE_MS);
    }

    if (link.StartLink(address) == LINK_NO_SOCKETS) {
        status(slots[Slot::WinsockError]);
        outcome.stage = RunStage::NoSockets;
        outcome.code = LINK_NO_SOCKETS;
    } else {
        status(slots[Slot::Searching]);
        const int found = link.EnumerateDevices(devices);
        if (found == ENUM_NO_DEVICES) {
            status(slots[Slot::DevicesNotFound]);
        } else if (found == LINK_OK) {
            status(slots[Slot::DevicesFound]);
        } else {
            status(slots[Slot::SearchError] + std::to_string(found));
        }
        if (devices.Count() == 0) {
            // A socket that could not be made shows up here, as the discovery's error on an invalid handle.
            outcome.stage = link.Handle() == INVALID_SOCKET_HANDLE ? RunStage::SocketFailed
                            : found == ENUM_NO_DEVICES             ? RunStage::NoDevice
                                                                   : RunStage::SearchFailed;
            outcome.code = found;
        } else {
            outcome.device = DeviceName(devices.Record(0));
            ConfigWord word = 0;
            if (const int greeted = link.ConnectAndGreet(0, greeting, expectedReply, devices, address);
                greeted != LINK_OK) {
                outcome.stage = RunStage::ConnectFailed;
                outcome.code = greeted;
            } else if (ReadConfigWord(link, word)) {
                outcome.wordRead = word;
            } else {
                outcome.stage = RunStage::ReadFailed;
            }
        }
    }

    if (link.HasLink()) {
        link.CloseLink();
    }
    status("");
    return outcome;
}

}  // namespace qx
