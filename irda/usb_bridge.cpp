// The USB IrDA Bridge class (USB IrDA Bridge Device Definition 1.0; Linux irda-usb.c): the dongle does the
// framing and the FCS itself. Each bulk transfer out is one frame behind a one-byte header whose low nibble
// sets the line speed and whose high nibble sets the extra BOFs, both taking effect after that frame; a
// transfer of the header alone only sets them. Each bulk transfer in is one good frame behind a one-byte
// header. The class descriptor, read with a class request at open, says what the dongle can do.
#include <algorithm>
#include <array>

#include "irda/sir_framing.h"
#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::uint8_t REQUEST_GET_CLASS_DESCRIPTOR = 0x06;
constexpr std::uint8_t CLASS_DESCRIPTOR_TYPE = 0x21;
constexpr std::size_t CLASS_DESCRIPTOR_SIZE = 12;
constexpr std::size_t BAUD_RATE_OFFSET = 7;  // wBaudRate, little-endian: bit 1 is 9600
constexpr std::uint16_t BAUD_9600_BIT = 0x0002;
constexpr std::uint32_t CONTROL_TIMEOUT_MS = 500;
constexpr std::uint32_t SEND_TIMEOUT_MS = 200;

// The header's speed codes, from 2400 up.
constexpr std::array<std::pair<std::uint32_t, std::uint8_t>, 6> SPEED_CODES{{
    {2400, 0x01},
    {9600, 0x02},
    {19200, 0x03},
    {38400, 0x04},
    {57600, 0x05},
    {115200, 0x06},
}};
// Extra BOFs 12 (the class's code for the default of 10 at 9600 and below).
constexpr std::uint8_t XBOFS_12 = 0x30;
constexpr std::size_t RECEIVE_SIZE = 1 + SIR_MAX_FRAME;

class BridgeDongle : public UsbDongle {
  public:
    BridgeDongle(const UsbInterface& usbInterface, UsbDevice& device)
        : device_(device),
          interfaceNumber_(usbInterface.number),
          out_(FindEndpoint(usbInterface, USB_TRANSFER_BULK, false)),
          in_(FindEndpoint(usbInterface, USB_TRANSFER_BULK, true)) {}

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
        return SetHeader(static_cast<std::uint8_t>(XBOFS_12 | SpeedCode(9600)));
    }

    UsbResult SetSpeed(std::uint32_t baud) override {
        const std::uint8_t code = SpeedCode(baud);
        return code == 0 ? UsbFailure(UsbStatus::Failed) : SetHeader(code);
    }

    UsbResult Send(std::span<const std::uint8_t> wrapped) override {
        // The stack hands over one wrapped frame; the dongle wants it bare.
        deframer_.Reset();
        bool complete = false;
        for (std::uint8_t byte : wrapped) {
            complete = deframer_.Push(byte);
        }
        if (!complete) {
            return UsbFailure(UsbStatus::Failed);
        }
        const auto frame = deframer_.Frame();
        std::vector<std::uint8_t> transfer(1 + frame.size());
        transfer[0] = 0;  // no change of speed or BOFs
        std::copy(frame.begin(), frame.end(), transfer.begin() + 1);
        return device_.BulkOut(out_, transfer, SEND_TIMEOUT_MS);
    }

    UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) override {
        std::array<std::uint8_t, RECEIVE_SIZE> transfer{};
        const UsbResult got = device_.BulkIn(in_, transfer, timeoutMs);
        if (got.status == UsbStatus::Timeout) {
            return UsbDone(0);
        }
        if (!got.Ok()) {
            return got;
        }
        // A header alone (or less) carries no frame; longer than a frame can be is a dongle gone wrong.
        if (got.length <= 1 || got.length > transfer.size()) {
            return UsbDone(0);
        }
        const std::vector<std::uint8_t> wire =
            SirWrap(std::span<const std::uint8_t>(transfer).subspan(1, got.length - 1), 0);
        bytes.insert(bytes.end(), wire.begin(), wire.end());
        return UsbDone(wire.size());
    }

  private:
    static std::uint8_t SpeedCode(std::uint32_t baud) {
        const auto code = std::find_if(SPEED_CODES.begin(), SPEED_CODES.end(),
                                       [&](const auto& entry) { return entry.first == baud; });
        return code == SPEED_CODES.end() ? 0 : code->second;
    }

    UsbResult SetHeader(std::uint8_t header) {
        const std::array<std::uint8_t, 1> transfer{header};
        return device_.BulkOut(out_, transfer, SEND_TIMEOUT_MS);
    }

    UsbDevice& device_;
    std::uint16_t interfaceNumber_;
    std::uint8_t out_;
    std::uint8_t in_;
    SirDeframer deframer_;
};

}  // namespace

std::unique_ptr<UsbDongle> MakeBridgeDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                            StackClock&) {
    return std::make_unique<BridgeDongle>(usbInterface, device);
}

}  // namespace qx::irda
