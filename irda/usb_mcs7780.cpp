// MosChip MCS7780 (Linux mcs7780.c): 16-bit registers written and read with vendor requests; at SIR speeds
// each bulk transfer out is one SIR-wrapped frame behind its length (two bytes, little-endian, counting
// themselves), and each bulk transfer in is one received frame's SIR bytes without its BOF and EOF, which are
// put back here. The open sequence sets the chip up for a Vishay transceiver, the driver's default.
#include <algorithm>
#include <array>

#include "irda/sir_framing.h"
#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::uint8_t REQUEST_READ = 0x0F;
constexpr std::uint8_t REQUEST_WRITE = 0x0E;
constexpr std::uint16_t REG_MODE = 0;
constexpr std::uint16_t REG_XCVR = 2;
constexpr std::uint16_t REG_MINRXPW = 4;
constexpr std::uint16_t REG_RESV = 7;
// MODE
constexpr std::uint16_t MODE_FIR = 0x0001;
constexpr std::uint16_t MODE_SIR16US = 0x0002;
constexpr std::uint16_t MODE_BBTG = 0x0004;
constexpr std::uint16_t MODE_ASK = 0x0008;
constexpr std::uint16_t MODE_SPEED_MASK = 0x00E0;
constexpr std::uint16_t MODE_PLLPWDN = 0x0100;
constexpr std::uint16_t MODE_DRIVER = 0x0200;
constexpr std::uint16_t MODE_DTD = 0x0400;
constexpr std::uint16_t MODE_SIPEN = 0x1000;
constexpr std::uint16_t MODE_RESET = 0x8000;
// XCVR
constexpr std::uint16_t XCVR_MODE0 = 0x0001;
constexpr std::uint16_t XCVR_STFIR = 0x0002;
constexpr std::uint16_t XCVR_CONF = 0x0004;
constexpr std::uint16_t XCVR_RXFAST = 0x0008;
constexpr std::uint16_t XCVR_MODE1 = 0x0080;
// RESV
constexpr std::uint16_t RESV_IRINTX = 0x0001;
constexpr int TX_BUSY_POLLS = 100;

constexpr std::uint32_t CONTROL_TIMEOUT_MS = 500;
constexpr std::uint32_t SEND_TIMEOUT_MS = 500;
constexpr std::size_t TRANSFER_SIZE = 4096;
constexpr std::size_t LENGTH_SIZE = 2;

constexpr std::array<std::pair<std::uint32_t, std::uint16_t>, 6> SPEED_CODES{{
    {2400, 0x0000},
    {9600, 0x0020},
    {19200, 0x0040},
    {38400, 0x0060},
    {57600, 0x0080},
    {115200, 0x00A0},
}};

class Mcs7780Dongle : public UsbDongle {
  public:
    Mcs7780Dongle(const UsbInterface& usbInterface, UsbDevice& device)
        : device_(device),
          out_(FindEndpoint(usbInterface, USB_TRANSFER_BULK, false)),
          in_(FindEndpoint(usbInterface, USB_TRANSFER_BULK, true)) {}

    DongleFamily Family() const override { return DongleFamily::Mcs7780; }

    UsbResult Start() override {
        if (out_ == 0 || in_ == 0) {
            return UsbFailure(UsbStatus::Failed);
        }
        UsbResult result = device_.ClearHalt(in_);
        if (result.Ok()) {
            result = device_.ClearHalt(out_);
        }
        if (!result.Ok()) {
            return result;
        }
        std::uint16_t mode = 0;
        // Configuration mode, then the SIR settings at 9600 with the chip deciding the direction.
        if (!(result = Read(REG_MODE, mode)).Ok() || !(result = Write(REG_MODE, mode | MODE_DRIVER)).Ok() ||
            !(result = Write(REG_MINRXPW, 0)).Ok() || !(result = Read(REG_MODE, mode)).Ok()) {
            return result;
        }
        mode = static_cast<std::uint16_t>(mode & ~MODE_FIR);
        mode |= MODE_SIR16US;
        mode = static_cast<std::uint16_t>(mode & ~(MODE_BBTG | MODE_ASK | MODE_SPEED_MASK | MODE_PLLPWDN));
        mode |= SpeedCode(9600) | MODE_DTD | MODE_SIPEN;
        if (!(result = Write(REG_MODE, mode)).Ok() || !(result = SetUpTransceiver()).Ok()) {
            return result;
        }
        std::uint16_t xcvr = 0;
        if (!(result = Read(REG_XCVR, xcvr)).Ok() || !(result = Write(REG_XCVR, xcvr | XCVR_RXFAST)).Ok()) {
            return result;
        }
        return LeaveReset();
    }

    UsbResult SetSpeed(std::uint32_t baud) override {
        const auto code = std::find_if(SPEED_CODES.begin(), SPEED_CODES.end(),
                                       [&](const auto& entry) { return entry.first == baud; });
        if (code == SPEED_CODES.end()) {
            return UsbFailure(UsbStatus::Failed);
        }
        // Not while a frame is still going out.
        std::uint16_t resv = 0;
        int polls = 0;
        UsbResult result;
        do {
            if (!(result = Read(REG_RESV, resv)).Ok()) {
                return result;
            }
        } while ((resv & RESV_IRINTX) != 0 && ++polls < TX_BUSY_POLLS);
        if ((resv & RESV_IRINTX) != 0) {
            return UsbFailure(UsbStatus::Timeout);
        }
        std::uint16_t mode = 0;
        if (!(result = Read(REG_MODE, mode)).Ok()) {
            return result;
        }
        mode = static_cast<std::uint16_t>(mode & ~(MODE_FIR | MODE_SPEED_MASK));
        mode |= code->second;
        if (!(result = Write(REG_MODE, mode)).Ok()) {
            return result;
        }
        return LeaveReset();
    }

    UsbResult Send(std::span<const std::uint8_t> wrapped) override {
        if (wrapped.size() > TRANSFER_SIZE - LENGTH_SIZE) {
            return UsbFailure(UsbStatus::Failed);
        }
        const std::size_t length = LENGTH_SIZE + wrapped.size();
        std::vector<std::uint8_t> transfer(length);
        transfer[0] = static_cast<std::uint8_t>(length);
        transfer[1] = static_cast<std::uint8_t>(length >> 8);
        std::copy(wrapped.begin(), wrapped.end(), transfer.begin() + LENGTH_SIZE);
        return device_.BulkOut(out_, transfer, SEND_TIMEOUT_MS);
    }

    // A transfer that our timeout cut short holds the start of a frame: its end comes with the transfer
    // the chip ends, and only then is the frame closed.
    UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) override {
        std::array<std::uint8_t, TRANSFER_SIZE> transfer{};
        const UsbResult got = device_.BulkIn(in_, transfer, timeoutMs);
        if (!got.Ok() && got.status != UsbStatus::Timeout) {
            return got;
        }
        const std::size_t before = bytes.size();
        const std::size_t count = std::min(got.length, transfer.size());
        if (count > 0 && !inFrame_) {
            bytes.push_back(SIR_BOF);
            inFrame_ = true;
        }
        bytes.insert(bytes.end(), transfer.begin(), transfer.begin() + static_cast<std::ptrdiff_t>(count));
        if (got.Ok() && inFrame_) {
            bytes.push_back(SIR_EOF);
            inFrame_ = false;
        }
        return UsbDone(bytes.size() - before);
    }

  private:
    static std::uint16_t SpeedCode(std::uint32_t baud) {
        return std::find_if(SPEED_CODES.begin(), SPEED_CODES.end(),
                            [&](const auto& entry) { return entry.first == baud; })
            ->second;
    }

    UsbResult Read(std::uint16_t reg, std::uint16_t& value) {
        std::array<std::uint8_t, 2> data{};
        const UsbResult read =
            device_.ControlIn({USB_VENDOR_DEVICE_IN, REQUEST_READ, 0, reg}, data, CONTROL_TIMEOUT_MS);
        if (read.Ok() && read.length != data.size()) {
            return UsbFailure(UsbStatus::Failed);
        }
        value = static_cast<std::uint16_t>(data[0] | data[1] << 8);
        return read;
    }

    UsbResult Write(std::uint16_t reg, unsigned value) {
        return device_.ControlOut(
            {USB_VENDOR_DEVICE_OUT, REQUEST_WRITE, static_cast<std::uint16_t>(value), reg}, {},
            CONTROL_TIMEOUT_MS);
    }

    // The Vishay transceiver's configuration: MODE0 high with the configuration bit, then MODE0 low, then the
    // configuration bit off.
    UsbResult SetUpTransceiver() {
        std::uint16_t xcvr = 0;
        UsbResult result;
        if (!(result = Read(REG_XCVR, xcvr)).Ok()) {
            return result;
        }
        xcvr = static_cast<std::uint16_t>((xcvr | XCVR_MODE0 | XCVR_CONF) & ~(XCVR_STFIR | XCVR_MODE1));
        if (!(result = Write(REG_XCVR, xcvr)).Ok()) {
            return result;
        }
        xcvr = static_cast<std::uint16_t>(xcvr & ~XCVR_MODE0);
        if (!(result = Write(REG_XCVR, xcvr)).Ok()) {
            return result;
        }
        return Write(REG_XCVR, xcvr & ~XCVR_CONF);
    }

    // Clearing the reset bit makes the changes take effect.
    UsbResult LeaveReset() {
        std::uint16_t mode = 0;
        const UsbResult read = Read(REG_MODE, mode);
        return read.Ok() ? Write(REG_MODE, mode & ~MODE_RESET) : read;
    }

    UsbDevice& device_;
    std::uint8_t out_;
    std::uint8_t in_;
    bool inFrame_ = false;  // a frame's first bytes came, its end not yet
};

}  // namespace

std::unique_ptr<UsbDongle> MakeMcs7780Dongle(const UsbInterface& usbInterface, UsbDevice& device,
                                             StackClock&) {
    return std::make_unique<Mcs7780Dongle>(usbInterface, device);
}

}  // namespace qx::irda
