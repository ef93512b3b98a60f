// The USB IrDA Bridge class (USB IrDA Bridge Device Definition 1.0; Linux irda-usb.c): a frame medium below
// IrLAP, as the dongle does the framing and the FCS itself. Each bulk transfer out is one IrLAP frame behind
// a one-byte header whose low nibble sets the line speed and whose high nibble the extra BOFs (0 in either:
// unchanged), both taking effect after that frame; a transfer of the header alone only sets them. Each bulk
// transfer in is one frame whose FCS the dongle found good, behind a one-byte header; a transfer of the
// header alone carries no frame. The class descriptor, read with a class request at open, says what the
// dongle can do. The inbound header's top bit (irda-usb.h MEDIA_BUSY 0x80) says the dongle heard traffic
// since the host asked it to watch the medium (the class's Check Media Busy request, 3 in Linux
// include/linux/usb/irda.h); a header alone carrying it is how the dongle reports traffic that made no frame.
// The medium asks at open and again after every report, and hands each report to IrLAP as the medium busy.
#include <algorithm>
#include <array>

#include "irda/irda_medium.h"
#include "irda/sir_framing.h"
#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::uint8_t REQUEST_GET_CLASS_DESCRIPTOR = 0x06;
constexpr std::uint8_t REQUEST_CHECK_MEDIA_BUSY = 0x03;
constexpr std::uint8_t USB_CLASS_INTERFACE_OUT = 0x21;
constexpr std::uint8_t INBOUND_MEDIA_BUSY = 0x80;
constexpr std::uint8_t CLASS_DESCRIPTOR_TYPE = 0x21;
constexpr std::size_t CLASS_DESCRIPTOR_SIZE = 12;
constexpr std::size_t BAUD_RATE_OFFSET = 7;  // wBaudRate, little-endian: bit 1 is 9600
constexpr std::uint16_t BAUD_9600_BIT = 0x0002;
constexpr std::uint32_t CONTROL_TIMEOUT_MS = 500;
constexpr std::uint32_t SEND_TIMEOUT_MS = 200;
constexpr std::size_t HEADER_SIZE = 1;
// The least an IrLAP frame holds: its address and control fields.
constexpr std::size_t MIN_FRAME = 2;

// The header's speed codes, from 2400 up.
constexpr std::array<std::pair<std::uint32_t, std::uint8_t>, 6> SPEED_CODES{{
    {2400, 0x01},
    {9600, 0x02},
    {19200, 0x03},
    {38400, 0x04},
    {57600, 0x05},
    {115200, 0x06},
}};
// The header's extra BOF codes (high nibble), fewest BOFs first.
constexpr std::array<std::pair<std::size_t, std::uint8_t>, 8> XBOFS_CODES{{
    {0, 0x80},
    {1, 0x70},
    {2, 0x60},
    {3, 0x50},
    {6, 0x40},
    {12, 0x30},
    {24, 0x20},
    {48, 0x10},
}};
// The class's code for the 10 extra BOFs of the contention rule: 12, the nearest it offers that is not fewer.
constexpr std::uint8_t XBOFS_12 = 0x30;

// The code for at least `extraBofs` extra BOFs (48, the most the class offers, for more).
std::pair<std::size_t, std::uint8_t> XbofsCode(std::size_t extraBofs) {
    const auto code = std::find_if(XBOFS_CODES.begin(), XBOFS_CODES.end(),
                                   [&](const auto& entry) { return entry.first >= extraBofs; });
    return code == XBOFS_CODES.end() ? XBOFS_CODES.back() : *code;
}

class BridgeMedium : public IrdaMedium {
  public:
    BridgeMedium(UsbDevice& device, std::uint16_t interfaceNumber, std::uint8_t out, std::uint8_t in,
                 StackClock& clock)
        : device_(device), interfaceNumber_(interfaceNumber), out_(out), in_(in), clock_(clock) {}

    // Asks the dongle to watch the medium and report traffic in its next inbound header. A dongle that
    // stalls the request does not watch; it is not asked again, and its silence is taken as it comes.
    UsbResult WatchMedium() {
        if (!watches_) {
            return UsbDone(0);
        }
        const UsbResult asked = device_.ControlOut(
            {USB_CLASS_INTERFACE_OUT, REQUEST_CHECK_MEDIA_BUSY, 0, interfaceNumber_}, {}, CONTROL_TIMEOUT_MS);
        if (asked.status == UsbStatus::Stall) {
            watches_ = false;
            return UsbDone(0);
        }
        return asked;
    }

    // The header alone, setting speed and extra BOFs for the frames after it.
    UsbResult SetHeader(std::uint8_t header) {
        const std::array<std::uint8_t, HEADER_SIZE> transfer{header};
        const UsbResult sent = device_.BulkOutFrame(out_, transfer, SEND_TIMEOUT_MS);
        if (sent.Ok() && (header & 0xF0) != 0) {
            xbofsCode_ = header & 0xF0;
        }
        return sent;
    }

    std::optional<std::uint32_t> Send(std::span<const std::uint8_t> frame, std::size_t extraBofs) override {
        handedOver_ = false;
        if (frame.size() < MIN_FRAME || frame.size() > SIR_MAX_FRAME) {
            lastError_ = USB_ERROR_DEVICE;
            return std::nullopt;
        }
        // A header's settings apply after its frame: where this frame needs other extra BOFs than the dongle
        // has, a header alone sets them first.
        const auto [bofs, code] = XbofsCode(extraBofs);
        if (code != xbofsCode_) {
            const UsbResult set = SetHeader(code);
            if (!set.Ok()) {
                return Fail(set);
            }
        }
        std::vector<std::uint8_t> transfer(HEADER_SIZE + frame.size());
        transfer[0] = 0;  // no change of speed or BOFs
        std::copy(frame.begin(), frame.end(), transfer.begin() + HEADER_SIZE);
        // From here on the dongle may put the frame on the air, whatever the transfer's outcome says.
        handedOver_ = true;
        const UsbResult sent = device_.BulkOutFrame(out_, transfer, SEND_TIMEOUT_MS);
        if (!sent.Ok()) {
            return Fail(sent);
        }
        if (sent.length != transfer.size()) {
            lastError_ = USB_ERROR_DEVICE;  // the dongle took part of a frame, and may frame that part
            return std::nullopt;
        }
        // On the air the dongle sends it SIR-wrapped, as a serial adapter would.
        return WireMs(SirWrap(frame, bofs).size());
    }

    MediumReceive Receive(Deadline deadline, std::vector<std::uint8_t>& frame) override {
        bool lookedOnce = false;
        for (;;) {
            const std::int32_t left = deadline.LeftAt(clock_.NowMs());
            if (left <= 0) {
                // Once past the deadline, a frame the dongle already holds is still taken, without waiting.
                if (lookedOnce) {
                    return MediumReceive::Silent;
                }
                lookedOnce = true;
            }
            const UsbResult got = device_.BulkIn(in_, std::span(buffer_).subspan(held_),
                                                 static_cast<std::uint32_t>(std::max<std::int32_t>(left, 0)));
            if (got.status != UsbStatus::Ok && got.status != UsbStatus::Timeout) {
                held_ = 0;
                lastError_ = UsbErrorCode(got);
                return MediumReceive::Failed;
            }
            // Longer than a frame can be is a dongle gone wrong: no frame, and no word on the medium either.
            if (got.length > buffer_.size() - held_) {
                held_ = 0;
                continue;
            }
            // A transfer our timeout cut short holds the start of a frame whose end the next transfer
            // brings: the bytes are kept and joined to it, so the end never comes up as a frame of its own.
            held_ += got.length;
            if (got.status == UsbStatus::Timeout) {
                if (held_ == buffer_.size()) {
                    held_ = 0;  // a whole buffer with no end to it is no frame, nor is its rest
                    droppingRest_ = true;
                }
                continue;
            }
            const std::size_t length = held_;
            held_ = 0;
            if (droppingRest_) {
                droppingRest_ = false;  // the end of a frame whose start Reset let go
                continue;
            }
            const bool busy = length >= HEADER_SIZE && (buffer_[0] & INBOUND_MEDIA_BUSY) != 0;
            if (busy) {
                // The report is spent: the dongle is asked to watch again for the next one.
                const UsbResult asked = WatchMedium();
                if (!asked.Ok()) {
                    lastError_ = UsbErrorCode(asked);
                    return MediumReceive::Failed;
                }
            }
            // A header alone carries no frame; shorter than an address and a control field is none either.
            if (length < HEADER_SIZE + MIN_FRAME) {
                if (busy) {
                    return MediumReceive::Busy;
                }
                continue;
            }
            frame.assign(buffer_.begin() + HEADER_SIZE,
                         buffer_.begin() + static_cast<std::ptrdiff_t>(length));
            return MediumReceive::Frame;
        }
    }

    bool LastSendHandedOver() const override { return handedOver_; }
    // The start of a frame held from a cut transfer is let go; the rest of that frame, still to come, is
    // dropped with it.
    void Reset() override {
        droppingRest_ = held_ > 0;
        held_ = 0;
    }
    std::uint32_t LastError() const override { return lastError_; }

  private:
    std::nullopt_t Fail(const UsbResult& result) {
        lastError_ = UsbErrorCode(result);
        return std::nullopt;
    }

    UsbDevice& device_;
    std::uint16_t interfaceNumber_;
    std::uint8_t out_;
    std::uint8_t in_;
    StackClock& clock_;
    bool watches_ = true;         // until the dongle stalls Check Media Busy
    bool handedOver_ = false;     // the last Send's frame transfer was made
    std::uint8_t xbofsCode_ = 0;  // unknown until a header set it
    std::uint32_t lastError_ = 0;
    std::array<std::uint8_t, HEADER_SIZE + SIR_MAX_FRAME> buffer_{};
    std::size_t held_ = 0;       // bytes in buffer_ of a transfer in that a timeout cut short
    bool droppingRest_ = false;  // the next transfer in ends a frame whose start was let go
};

class BridgeDongle : public UsbDongle {
  public:
    BridgeDongle(const UsbInterface& usbInterface, UsbDevice& device, StackClock& clock)
        : device_(device),
          interfaceNumber_(usbInterface.number),
          out_(FindEndpoint(usbInterface, USB_TRANSFER_BULK, false)),
          in_(FindEndpoint(usbInterface, USB_TRANSFER_BULK, true)),
          medium_(device, interfaceNumber_, out_, in_, clock) {}

    DongleFamily Family() const override { return DongleFamily::Bridge; }

    UsbResult Start() override {
        if (out_ == 0 || in_ == 0) {
            return UsbFailure(UsbStatus::Failed);
        }
        std::array<std::uint8_t, CLASS_DESCRIPTOR_SIZE> descriptor{};
        const UsbResult read =
            device_.ControlIn({USB_CLASS_INTERFACE_IN, REQUEST_GET_CLASS_DESCRIPTOR, 0, interfaceNumber_},
                              descriptor, CONTROL_TIMEOUT_MS);
        if (!read.Ok()) {
            return read;
        }
        const auto rates =
            static_cast<std::uint16_t>(descriptor[BAUD_RATE_OFFSET] | descriptor[BAUD_RATE_OFFSET + 1] << 8);
        if (read.length < CLASS_DESCRIPTOR_SIZE || descriptor[1] != CLASS_DESCRIPTOR_TYPE ||
            (rates & BAUD_9600_BIT) == 0) {
            return UsbFailure(UsbStatus::Failed);
        }
        const UsbResult set = medium_.SetHeader(static_cast<std::uint8_t>(XBOFS_12 | SpeedCode(9600)));
        return set.Ok() ? medium_.WatchMedium() : set;
    }

    UsbResult SetSpeed(std::uint32_t baud) override {
        const std::uint8_t code = SpeedCode(baud);
        return code == 0 ? UsbFailure(UsbStatus::Failed) : medium_.SetHeader(code);
    }

    // The dongle takes frames, not SIR bytes: IrLAP reaches it through FrameMedium().
    UsbResult Send(std::span<const std::uint8_t>) override { return UsbFailure(UsbStatus::Failed); }
    UsbResult Receive(std::vector<std::uint8_t>&, std::uint32_t) override {
        return UsbFailure(UsbStatus::Failed);
    }
    IrdaMedium* FrameMedium() override { return &medium_; }

  private:
    static std::uint8_t SpeedCode(std::uint32_t baud) {
        const auto code = std::find_if(SPEED_CODES.begin(), SPEED_CODES.end(),
                                       [&](const auto& entry) { return entry.first == baud; });
        return code == SPEED_CODES.end() ? 0 : code->second;
    }

    UsbDevice& device_;
    std::uint16_t interfaceNumber_;
    std::uint8_t out_;
    std::uint8_t in_;
    BridgeMedium medium_;
};

}  // namespace

std::unique_ptr<UsbDongle> MakeBridgeDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                            StackClock& clock) {
    return std::make_unique<BridgeDongle>(usbInterface, device, clock);
}

}  // namespace qx::irda
