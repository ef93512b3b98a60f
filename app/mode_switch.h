// The program's one piece of work: confirm with the user, read the instrument's configuration word, set or
// clear the search mode bit, write the word back, close the link and report. The window that hosts it
// supplies the status panel and the two boxes through ModeSwitchHost; what happened comes back to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/message_slots.h"
#include "app/run_outcome.h"
#include "link/device_frames.h"
#include "link/irda_link.h"

namespace qx {

inline constexpr std::uint32_t STALE_LINK_PAUSE_MS = 200;

enum class ResultIcon { Information, Error };

class ModeSwitchHost {
  public:
    virtual ~ModeSwitchHost() = default;
    // Sets the text of status panel 1.
    virtual void SetStatusText(const std::string& text) = 0;
    // The modal confirmation box (information icon, title "Information", OK and Cancel); true for OK.
    virtual bool Confirm(const std::string& text) = 0;
    // The modal result box with one OK button.
    virtual void ShowResult(const std::string& text, const std::string& caption, ResultIcon icon) = 0;
};

// The whole run, boxes and panel included; returns what happened (RunStage::Cancelled when the user did not
// confirm).
RunOutcome RunModeSwitch(bool enable, IrdaLink& link, const MessageSlots& slots, ModeSwitchHost& host);
// The same, as the window's buttons see it: true only when the instrument acknowledged the write.
bool SetSearchMode(bool enable, IrdaLink& link, const MessageSlots& slots, ModeSwitchHost& host);

// The steps every run shares, so that a read-only run takes exactly the same ones.
using StatusSink = std::function<void(const std::string&)>;
// The devices the user named with `text`: its name as printed, or its address ("0x0000ABCD", or eight hex
// digits), for IrdaLink::SetDeviceFilter.
IrdaLink::DeviceFilter DeviceNamed(std::string text);
// A link still open from an earlier run is closed, with the pause that follows it.
void CloseLinkLeftOpen(IrdaLink& link);
// From the socket library's start to the read: start, discover (each status text to `status`), connect and
// greet the first device listed, read the word. Done with the device and the word read, or the stage where it
// stopped. The link is left as the steps leave it: the caller closes it.
// Devices refused by the connection are passed over (IrdaLink::ConnectAndGreet); the outcome lists every
// device and its role. With the link's device filter set and no listed device accepted by it, the run stops
// at NoDevice with `deviceAsked` set.
RunOutcome StartAndReadWord(IrdaLink& link, const MessageSlots& slots, const StatusSink& status);
// After a run that used a device, with the link closed: asks each device listed after it whether it takes
// the connection as well (nothing is sent to it), so that the outcome can say how many instruments answered.
// Does nothing when one device was listed.
void FindOtherInstruments(IrdaLink& link, RunOutcome& outcome);

}  // namespace qx
