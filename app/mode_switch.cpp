#include "app/mode_switch.h"

namespace qx {

bool SetSearchMode(bool enable, IrdaLink& link, const MessageSlots& slots, ModeSwitchHost& host) {
    // Each run starts from fresh records of its own.
    auto greeting = GreetingFrame;
    auto expectedReply = GreetingReply;
    AddressRecord address{};
    DeviceList devices{};
    bool ok = true;
    ConfigWord word = 0;
    bool result = false;

    if (link.HasLink()) {
        link.CloseLink();
        link.Pause(STALE_LINK_PAUSE_MS);
    }

    if (!host.Confirm(slots[Slot::PromptLine1] + "\n" + slots[Slot::PromptLine2])) {
        return false;
    }

    if (link.StartLink(address) == LINK_NO_SOCKETS) {
        host.SetStatusText(slots[Slot::WinsockError]);
        ok = false;
    } else {
        host.SetStatusText(slots[Slot::Searching]);
    }

    if (ok) {
        const int found = link.EnumerateDevices(devices);
        if (found == ENUM_NO_DEVICES) {
            host.SetStatusText(slots[Slot::DevicesNotFound]);
        } else if (found == LINK_OK) {
            host.SetStatusText(slots[Slot::DevicesFound]);
        } else {
            host.SetStatusText(slots[Slot::SearchError] + std::to_string(found));
        }
        // Only the count decides: a discovery that reported an error but still listed a device goes on.
        if (devices.Count() != 0 &&
            link.ConnectAndGreet(0, greeting, expectedReply, devices, address) == LINK_OK &&
            ReadConfigWord(link, word)) {
            const ConfigWord changed = enable ? static_cast<ConfigWord>(word | SEARCH_MODE_BIT)
                                              : static_cast<ConfigWord>(word & ~SEARCH_MODE_BIT);
            result = WriteConfigWord(link, changed);
        }
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
