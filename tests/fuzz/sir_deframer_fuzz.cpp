// Whatever bytes come off the serial line, the deframer hands on only frames with a good FCS, never longer
// than the largest frame and never shorter than address and control, each of which wraps and deframes back to
// itself; it never holds more than its bound.
//
// Input: the received bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "irda/sir_framing.h"
#include "support/broken_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qx::irda;
    qx::fuzz::BrokenRules broken;
    SirDeframer deframer;
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const bool complete = deframer.Push(data[i]);
        broken.Expect(deframer.Dropped() >= dropped, "the dropped count went down");
        dropped = deframer.Dropped();
        if (!complete) {
            broken.Expect(deframer.Frame().empty(), "a frame shown that was not completed");
            continue;
        }
        const auto frame = deframer.Frame();
        broken.Expect(frame.size() >= 2 && frame.size() <= SIR_MAX_FRAME, "a frame of an impossible length");
        const std::vector<std::uint8_t> copy(frame.begin(), frame.end());
        SirDeframer again;
        std::vector<std::uint8_t> back;
        for (std::uint8_t byte : SirWrap(copy, 1)) {
            if (again.Push(byte)) {
                back.assign(again.Frame().begin(), again.Frame().end());
            }
        }
        broken.Expect(back == copy, "a frame that does not wrap back to itself");
    }
    broken.AbortIfAny();
    return 0;
}
