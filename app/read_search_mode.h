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

}  // namespace qx
