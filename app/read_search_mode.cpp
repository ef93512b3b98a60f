#include "app/read_search_mode.h"

#include "app/mode_switch.h"

namespace qx {

RunOutcome ReadSearchMode(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    CloseLinkLeftOpen(link);
    const RunOutcome outcome = StartAndReadWord(link, slots, status);
    if (link.HasLink()) {
        link.CloseLink();
    }
    status("");
    return outcome;
}

}  // namespace qx
