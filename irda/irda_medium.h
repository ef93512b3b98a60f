// The IrDA medium seam under IrLAP: whole IrLAP frames (address, control, information) out and in, each with
// its frame check already done. A byte stream with SIR framing over a serial port is one medium
// (irda/sir_medium.h); a dongle that frames for itself is another. IrLAP decides everything else: what to
// send, how long to wait, what a silence means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "irda/stack_clock.h"

namespace qx::irda {

// Discovery and connection set-up run at 9600 baud on every medium, and this stack never offers another rate.
inline constexpr std::uint32_t IRDA_CONTENTION_BAUD = 9600;

// How a receive ended.
enum class MediumReceive {
    Frame,     // a frame with a good frame check arrived
    Silent,    // the deadline passed with no frame under way
    Arriving,  // the deadline passed while a frame was still coming in
    Busy,      // the adapter reports traffic on the medium that made no frame (a dongle's media-busy report);
               // returned as it comes, before the deadline
    Failed,    // the medium failed (LastError() says how)
};

class IrdaMedium {
  public:
    virtual ~IrdaMedium() = default;

    // Sends one frame after `extraBofs` additional start flags (the contention rule's 10 before a connection
    // exists, the peer's negotiated number after): the milliseconds it takes on the air, or nothing with
    // LastError() set when the medium failed.
    virtual std::optional<std::uint32_t> Send(std::span<const std::uint8_t> frame, std::size_t extraBofs) = 0;
    // After a Send that failed: whether the frame's bytes had been handed to the adapter first (a write the
    // port took part of, a transfer carrying them that then failed). A failed hand-over does not prove the
    // frame stayed off the air, so such a frame counts as possibly sent.
    virtual bool LastSendHandedOver() const = 0;
    // Waits until `deadline` for the next frame; frames already in hand come first, even after the deadline.
    virtual MediumReceive Receive(Deadline deadline, std::vector<std::uint8_t>& frame) = 0;
    // Forgets frames in hand and any frame in progress (the line was reopened).
    virtual void Reset() = 0;
    // The system's error code of the last failed call.
    virtual std::uint32_t LastError() const = 0;
};

}  // namespace qx::irda
