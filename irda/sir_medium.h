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
    bool LastSendHandedOver() const override { return port_.LastWriteHandedOver(); }
    MediumReceive Receive(Deadline deadline, std::vector<std::uint8_t>& frame) override;
    void Reset() override;
    std::uint32_t LastError() const override { return port_.LastError(); }

  private:
    SerialPort& port_;
    StackClock& clock_;
    SirDeframer deframer_;
    std::deque<std::vector<std::uint8_t>> frames_;  // complete frames read with earlier bytes
};

// The medium a port gives IrLAP: the adapter's own frame medium where it frames for itself
// (SerialPort::FrameMedium), else SIR framing over the port's bytes. The port is asked at every call, as it
// is opened and closed under this medium.
class PortMedium : public IrdaMedium {
  public:
    // `port` and `clock` must outlive this medium.
    PortMedium(SerialPort& port, StackClock& clock) : port_(port), sir_(port, clock) {}

    std::optional<std::uint32_t> Send(std::span<const std::uint8_t> frame, std::size_t extraBofs) override {
        return Current().Send(frame, extraBofs);
    }
    bool LastSendHandedOver() const override {
        const IrdaMedium* own = port_.FrameMedium();
        return own != nullptr ? own->LastSendHandedOver() : sir_.LastSendHandedOver();
    }
    MediumReceive Receive(Deadline deadline, std::vector<std::uint8_t>& frame) override {
        return Current().Receive(deadline, frame);
    }
    void Reset() override {
        sir_.Reset();
        if (IrdaMedium* own = port_.FrameMedium()) {
            own->Reset();
        }
    }
    std::uint32_t LastError() const override {
        const IrdaMedium* own = port_.FrameMedium();
        return own != nullptr ? own->LastError() : sir_.LastError();
    }

  private:
    IrdaMedium& Current() {
        IrdaMedium* own = port_.FrameMedium();
        return own != nullptr ? *own : sir_;
    }

    SerialPort& port_;
    SirMedium sir_;
};

}  // namespace qx::irda
