// A SigmaTel STIr4200: sixteen byte registers (written one per vendor request 0x03, read in a run with 0x01),
// a transmit FIFO fed by bulk OUT endpoint 1 with SIR bytes behind a 0x55 0xAA length header, which drains
// onto the light at the rate the clock divisor sets, and a receive path that hands the bytes heard to bulk IN
// endpoint 2 as they come, an empty transfer when none came. It sends and hears only once set up for SIR
// (MODE with NRESET and SIR, a known clock divisor, CTRL1 out of reset and power-down); the FIFO status
// register says whether the FIFO still sends.
#include <algorithm>
#include <array>
#include <chrono>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbDone;
using qx::irda::UsbFailure;
using qx::irda::UsbStatus;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t OUT_ENDPOINT = 0x01;
constexpr std::uint8_t IN_ENDPOINT = 0x82;
constexpr std::size_t REG_MODE = 1;
constexpr std::size_t REG_PDCLK = 2;
constexpr std::size_t REG_CTRL1 = 3;
constexpr std::size_t REG_FIFOCTL = 5;
constexpr std::uint16_t FIFOCTL_CLR = 0x08;
constexpr std::size_t REG_FIFOLSB = 6;
constexpr std::size_t REG_FIFOMSB = 7;
constexpr std::size_t FIFO_SIZE = 4096;
// How long the chip holds a bulk IN request open before it answers it empty.
constexpr std::uint32_t RECEIVE_INTERVAL_MS = 5;

std::uint32_t BaudOf(std::uint8_t divisor) {
    switch (divisor) {
        case 0xDF:
            return 2400;
        case 0x77:
            return 9600;
        case 0x3B:
            return 19200;
        case 0x1D:
            return 38400;
        case 0x13:
            return 57600;
        case 0x09:
            return 115200;
        default:
            return 0;
    }
}

class Stir4200Chip : public SimChip {
  public:
    using SimChip::SimChip;

    qx::irda::UsbDeviceInfo Info() const override {
        qx::irda::UsbDeviceInfo info;
        info.vendor = 0x066F;
        info.product = 0x4200;
        info.path = "sim:stir4200";
        info.interfaces.push_back({0,
                                   0xFF,
                                   0x00,
                                   {{OUT_ENDPOINT, qx::irda::USB_TRANSFER_BULK, 64},
                                    {IN_ENDPOINT, qx::irda::USB_TRANSFER_BULK, 64}}});
        return info;
    }

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.requestType != qx::irda::USB_VENDOR_DEVICE_OUT || setup.request != 0x03 ||
            setup.index >= registers_.size() || !data.empty() || setup.value > 0xFF) {
            return Unavailable();
        }
        registers_[setup.index] = static_cast<std::uint8_t>(setup.value);
        if (setup.index == REG_FIFOCTL && (setup.value & FIFOCTL_CLR) != 0) {
            queued_ = 0;
            drainFrom_ = 0;
            confused_ = false;
        }
        return UsbDone(0);
    }

    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.requestType != qx::irda::USB_VENDOR_DEVICE_IN || setup.request != 0x01 ||
            setup.index + data.size() > registers_.size()) {
            return Unavailable();
        }
        UpdateFifo();
        std::copy_n(registers_.begin() + setup.index, data.size(), data.begin());
        return UsbDone(data.size());
    }

    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || endpoint != OUT_ENDPOINT || data.size() < 4 || data[0] != 0x55 || data[1] != 0xAA ||
            static_cast<std::size_t>(data[2] | data[3] << 8) != data.size() - 4 ||
            data.size() - 4 > FIFO_SIZE) {
            return Unavailable();
        }
        UpdateFifo();
        if (Ready()) {
            // What does not fit in the FIFO is lost.
            const auto bytes = data.subspan(4);
            Emit(bytes.first(std::min(bytes.size(), FIFO_SIZE - queued_)));
            queued_ = std::min(FIFO_SIZE, queued_ + bytes.size());
            drainStart_ = Clock::now();
            drainFrom_ = queued_;
        }
        return UsbDone(data.size());
    }

    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        if (gone_ || endpoint != IN_ENDPOINT) {
            return Unavailable();
        }
        const std::size_t got =
            Hear(data.first(std::min(data.size(), FIFO_SIZE)), std::min(timeoutMs, RECEIVE_INTERVAL_MS));
        return UsbDone(Ready() ? got : 0);
    }

    bool ConfuseFifo() override {
        confused_ = true;
        return true;
    }

  protected:
    bool HasEndpoint(std::uint8_t endpoint) const override {
        return endpoint == OUT_ENDPOINT || endpoint == IN_ENDPOINT;
    }

  private:
    bool Ready() const {
        const std::uint8_t mode = registers_[REG_MODE];
        return (mode & 0x02) != 0 && (mode & 0x20) != 0 && (mode & 0x80) == 0 &&
               BaudOf(registers_[REG_PDCLK]) != 0 && (registers_[REG_CTRL1] & 0x99) == 0;
    }

    // The FIFO drains at the line rate, 10 bits a byte; a confused one only grows.
    void UpdateFifo() {
        const std::uint32_t baud = BaudOf(registers_[REG_PDCLK]);
        if (confused_) {
            queued_ = std::min(FIFO_SIZE, queued_ + 1);
            drainStart_ = Clock::now();
            drainFrom_ = queued_;
        } else if (queued_ > 0 && baud != 0) {
            const auto elapsedUs =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - drainStart_).count();
            const auto sent = static_cast<std::size_t>(elapsedUs * baud / 10 / 1000000);
            queued_ = sent >= drainFrom_ ? 0 : drainFrom_ - sent;
        }
        registers_[REG_FIFOCTL] = queued_ > 0 ? 0x10 : 0x04;  // DIR while sending, else EMPTY
        registers_[REG_FIFOLSB] = static_cast<std::uint8_t>(queued_);
        registers_[REG_FIFOMSB] = static_cast<std::uint8_t>((queued_ >> 8) & 0x1F);
    }

    bool confused_ = false;
    std::array<std::uint8_t, 16> registers_{};
    std::size_t queued_ = 0;
    std::size_t drainFrom_ = 0;
    Clock::time_point drainStart_{};
};

}  // namespace

std::unique_ptr<SimChip> MakeStir4200Chip(qx::irda::SerialPort& light) {
    return std::make_unique<Stir4200Chip>(light);
}

}  // namespace dongle_sim
