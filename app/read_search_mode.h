// The read-only companion of the mode switch: start, discover, connect and greet, read the configuration
// word and close, exactly as a run does up to its read, and never a write. Status texts go out as the run
// shows them in its status panel.
#pragma once

#include "app/message_slots.h"
#include "app/mode_switch.h"
#include "app/run_outcome.h"
#include "link/irda_link.h"

namespace qx {

// Done with the word read, or the stage where the run stopped. The link is closed afterwards in every case.
RunOutcome ReadSearchMode(IrdaLink& link, const MessageSlots& slots, const StatusSink& status);

// The same for every instrument in range, one link after another within the run's bound, never a write:
// after the read above, each device listed after the one used is connected, greeted and read; its word goes
// to its entry in `devices` (role Instrument; the first one read keeps Used, and is the outcome's device).
// A device that refuses the connection is passed over; one that fails is marked so and the next is tried,
// as nothing is written to any. The outcome is Done when every device was read or passed over; else it
// carries the first device that was not read, where and why it stopped (a device left once the bound has
// passed stays NotTried and counts as a connection that timed out).
RunOutcome ReadEveryInstrument(IrdaLink& link, const MessageSlots& slots, const StatusSink& status);

}  // namespace qx
