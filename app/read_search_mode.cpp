#include "app/read_search_mode.h"

#include "app/mode_switch.h"

namespace qx {

RunOutcome ReadSearchMode(IrdaLink& link, const MessageSlots& slots, const StatusSink& status) {
    CloseLinkLeftOpen(link);
    RunOutcome outcome;
    {
        const OpenLinkCloser closer(link);
        outcome = StartAndReadWord(link, slots, status);
    }
    FindOtherInstruments(link, outcome);
    status("");
    return outcome;
}

}  // namespace qx
