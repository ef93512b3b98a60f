// The read-only companion of the mode switch: start, discover, connect and greet, read the configuration
// word and close, exactly as a run does up to its read, and never a write. Status texts go out as the run
// shows them in its status panel.
#pragma once

#include <functional>
#include <string>

#include "app/message_slots.h"
#include "app/run_outcome.h"
#include "link/irda_link.h"

namespace qx {

using StatusSink = std::function<void(const std::string&)>;

// Done with the word read, or the stage where the run stopped. The link is closed afterwards in every case.
RunOutcome ReadSearchMode(IrdaLink& link, const MessageSlots& slots, const StatusSink& status);

}  // namespace qx
