// The SIR byte-stream medium: IrLAP frames wrapped in SIR framing (flags, escapes, frame check) over a serial
// port with a serial IrDA adapter, at the contention speed.
#pragma once

#include <cstdint>
#include <deque>

#include "irda/irda_medium.h"
#include "irda/serial_port.h"
#include "irda/sir_framing.h"

namespace qx::irda {

class SirMedium : public IrdaMedium {
  public:
    // `port` and `clock` must outlive this medium; the port is opened and closed by its owner.
    SirMedium(SerialPort& port, StackClock& clock) : port_(port), clock_(clock) {}

    std::optional<std::uint32_t> Send(std::span<const std::uint8_t> frame, std::size_t extraBofs) override;
    MediumReceive Receive(Deadline deadline, std::vector<std::uint8_t>& frame) override;
    void Reset() override;
    std::uint32_t LastError() const override { return port_.LastError(); }

  private:
    SerialPort& port_;
    StackClock& clock_;
    SirDeframer deframer_;
    std::deque<std::vector<std::uint8_t>> frames_;  // complete frames read with earlier bytes
};

}  // namespace qx::irda
