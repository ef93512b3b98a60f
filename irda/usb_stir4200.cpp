// SigmaTel STIr4200 (Linux stir4200.c): registers written one at a time with a vendor request, read with
// another; SIR-wrapped frames go out on bulk endpoint 1 behind a four-byte header (0x55 0xAA, the length
// little-endian), and the received SIR bytes come in raw on bulk endpoint 2, an empty transfer when the FIFO
// had none. Before receiving, the transmit FIFO is let drain, and before a frame that follows another there
// must be room for it: its status register says when. A FIFO whose count grows while it should drain is
// confused, and cleared, as the driver does.
#include <algorithm>
#include <array>
#include <optional>

#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::uint8_t REQUEST_READ_REGISTERS = 0x01;
constexpr std::uint8_t REQUEST_WRITE_REGISTER = 0x03;
constexpr std::uint16_t REG_MODE = 1;
constexpr std::uint16_t REG_PDCLK = 2;
constexpr std::uint16_t REG_CTRL1 = 3;
constexpr std::uint16_t REG_CTRL2 = 4;
constexpr std::uint16_t REG_FIFOCTL = 5;
constexpr std::uint16_t REG_DPLL = 8;
constexpr std::uint8_t MODE_SIR = 0x20;
constexpr std::uint8_t MODE_FASTRX = 0x08;
constexpr std::uint8_t MODE_NRESET = 0x02;
constexpr std::uint8_t MODE_2400 = 0x01;
constexpr std::uint8_t CTRL1_SDMODE = 0x80;
constexpr std::uint8_t CTRL1_SRESET = 0x01;
constexpr std::uint8_t FIFOCTL_DIR = 0x10;
constexpr std::uint8_t FIFOCTL_CLR = 0x08;
constexpr std::uint8_t FIFOCTL_EMPTY = 0x04;
constexpr std::uint8_t DPLL_TUNING = 0x15;  // the driver's value, not documented further
constexpr std::uint8_t TX_POWER = 0;        // highest
constexpr std::uint8_t RX_SENSITIVITY = 1;  // the driver's default
constexpr std::uint8_t OUT_ENDPOINT = 0x01;
constexpr std::uint8_t IN_ENDPOINT = 0x82;
constexpr std::size_t FIFO_SIZE = 4096;
constexpr std::size_t HEADER_SIZE = 4;
constexpr std::uint32_t CONTROL_TIMEOUT_MS = 100;
constexpr std::uint32_t SEND_TIMEOUT_MS = 200;
// The longest the transmit FIFO is waited for, after which it is cleared as a confused one is: one frame at
// 9600 takes far less than this.
constexpr std::uint32_t DRAIN_LIMIT_MS = 3000;

constexpr std::array<std::pair<std::uint32_t, std::uint8_t>, 6> CLOCK_DIVISORS{{
    {2400, 0xDF},
    {9600, 0x77},
    {19200, 0x3B},
    {38400, 0x1D},
    {57600, 0x13},
    {115200, 0x09},
}};

class Stir4200Dongle : public UsbDongle {
  public:
    Stir4200Dongle(UsbDevice& device, StackClock& clock) : device_(device), clock_(clock) {}

    DongleFamily Family() const override { return DongleFamily::Stir4200; }

    UsbResult Start() override {
        UsbResult result = device_.ClearHalt(OUT_ENDPOINT);
        if (result.Ok()) {
            result = device_.ClearHalt(IN_ENDPOINT);
        }
        return result.Ok() ? SetSpeed(9600) : result;
    }

    UsbResult SetSpeed(std::uint32_t baud) override {
        const auto divisor = std::find_if(CLOCK_DIVISORS.begin(), CLOCK_DIVISORS.end(),
                                          [&](const auto& entry) { return entry.first == baud; });
        if (divisor == CLOCK_DIVISORS.end()) {
            return UsbFailure(UsbStatus::Failed);
        }
        const std::uint8_t mode =
            static_cast<std::uint8_t>(MODE_NRESET | MODE_FASTRX | MODE_SIR | (baud == 2400 ? MODE_2400 : 0));
        // The chip takes one register per request ("write multiple" does not work, says the driver).
        const std::array<std::pair<std::uint16_t, std::uint8_t>, 7> writes{{
            {REG_CTRL1, CTRL1_SRESET},  // modulator reset
            {REG_DPLL, DPLL_TUNING},
            {REG_PDCLK, divisor->second},
            {REG_MODE, mode},
            {REG_CTRL1, static_cast<std::uint8_t>(CTRL1_SDMODE | TX_POWER << 1)},  // resets the transceiver
            {REG_CTRL1, static_cast<std::uint8_t>(TX_POWER << 1)},
            {REG_CTRL2, static_cast<std::uint8_t>(RX_SENSITIVITY << 5)},
        }};
        for (const auto& [reg, value] : writes) {
            const UsbResult written = WriteRegister(reg, value);
            if (!written.Ok()) {
                return written;
            }
        }
        baud_ = baud;
        return UsbDone(0);
    }

    UsbResult Send(std::span<const std::uint8_t> wrapped) override {
        if (wrapped.size() > FIFO_SIZE - HEADER_SIZE) {
            return UsbFailure(UsbStatus::Failed);
        }
        std::vector<std::uint8_t> transfer(HEADER_SIZE + wrapped.size());
        transfer[0] = 0x55;
        transfer[1] = 0xAA;
        transfer[2] = static_cast<std::uint8_t>(wrapped.size());
        transfer[3] = static_cast<std::uint8_t>(wrapped.size() >> 8);
        std::copy(wrapped.begin(), wrapped.end(), transfer.begin() + HEADER_SIZE);
        if (draining_) {
            // The frame before may still fill the FIFO: a frame that does not fit would overrun it.
            const UsbResult room = WaitForFifo(wrapped.size());
            if (!room.Ok()) {
                return room;
            }
        }
        const UsbResult sent = device_.BulkOut(OUT_ENDPOINT, transfer, SEND_TIMEOUT_MS);
        if (sent.Ok() && sent.length != transfer.size()) {
            return UsbFailure(UsbStatus::Failed);  // part of a frame: what goes on the air is broken
        }
        draining_ = draining_ || sent.Ok();
        return sent;
    }

    UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) override {
        const std::uint32_t deadline = clock_.NowMs() + timeoutMs;
        if (draining_) {
            // Receiving while the FIFO still sends confuses the chip.
            const UsbResult drained = WaitForFifo(std::nullopt);
            if (!drained.Ok()) {
                return drained;
            }
            draining_ = false;
        }
        std::array<std::uint8_t, FIFO_SIZE> transfer{};
        do {
            const UsbResult got = device_.BulkIn(IN_ENDPOINT, transfer, MsLeft(clock_, deadline));
            if (!got.Ok() && got.status != UsbStatus::Timeout) {
                return got;
            }
            // Bytes before a timeout are bytes heard: the stream goes on in the next transfer.
            if (got.length > 0) {
                const std::size_t count = std::min(got.length, transfer.size());
                bytes.insert(bytes.end(), transfer.begin(),
                             transfer.begin() + static_cast<std::ptrdiff_t>(count));
                return UsbDone(count);
            }
            if (got.status == UsbStatus::Timeout) {
                break;
            }
        } while (MsLeft(clock_, deadline) > 0);
        return UsbDone(0);
    }

  private:
    UsbResult WriteRegister(std::uint16_t reg, std::uint8_t value) {
        return device_.ControlOut({USB_VENDOR_DEVICE_OUT, REQUEST_WRITE_REGISTER, value, reg}, {},
                                  CONTROL_TIMEOUT_MS);
    }

    // Until the FIFO has stopped sending, or (with `space`) has room for that many bytes. A count that grows
    // between two reads, or a FIFO still sending after DRAIN_LIMIT_MS, is cleared (FIFOCTL clear, then 0).
    UsbResult WaitForFifo(std::optional<std::size_t> space) {
        const std::uint32_t limit = clock_.NowMs() + DRAIN_LIMIT_MS;
        std::uint32_t before = 0x1FFF;
        for (;;) {
            std::array<std::uint8_t, 3> status{};  // FIFOCTL, FIFOLSB, FIFOMSB
            const UsbResult read = device_.ControlIn(
                {USB_VENDOR_DEVICE_IN, REQUEST_READ_REGISTERS, 0, REG_FIFOCTL}, status, CONTROL_TIMEOUT_MS);
            if (!read.Ok()) {
                return read;
            }
            if (read.length != status.size()) {
                return UsbFailure(UsbStatus::Failed);
            }
            if ((status[0] & FIFOCTL_DIR) == 0 || (status[0] & FIFOCTL_EMPTY) != 0) {
                return UsbDone(0);
            }
            const auto count = static_cast<std::uint32_t>((status[2] & 0x1F) << 8 | status[1]);
            if (space && FIFO_SIZE - HEADER_SIZE > *space + count) {
                return UsbDone(0);
            }
            const std::uint32_t left = MsLeft(clock_, limit);
            if (count > before || left == 0) {
                break;
            }
            before = count;
            // The time the bytes still in the FIFO take on the wire, at least a millisecond.
            clock_.SleepMs(std::min(std::max<std::uint32_t>(count * 8000 / baud_, 1), left));
        }
        const UsbResult cleared = WriteRegister(REG_FIFOCTL, FIFOCTL_CLR);
        return cleared.Ok() ? WriteRegister(REG_FIFOCTL, 0) : cleared;
    }

    UsbDevice& device_;
    StackClock& clock_;
    std::uint32_t baud_ = 9600;
    bool draining_ = false;
};

}  // namespace

std::unique_ptr<UsbDongle> MakeStir4200Dongle(const UsbInterface&, UsbDevice& device, StackClock& clock) {
    return std::make_unique<Stir4200Dongle>(device, clock);
}

}  // namespace qx::irda
