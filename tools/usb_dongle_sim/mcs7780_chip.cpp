// A MosChip MCS7780: 16-bit registers (vendor request 0x0E writes one, 0x0F reads one), SIR bytes out on its
// bulk OUT endpoint behind their length (counting its own two bytes), and each frame it hears handed to its
// bulk IN endpoint whole, without BOF and EOF. It sends and hears only with the MODE register at SIR 9600 out
// of reset and power-down and the transceiver out of its configuration mode. The driver reads each register
// before it changes it, so the power-on values here (MODE in reset with the PLL powered down) are this
// simulation's: the public driver does not state them.
#include <algorithm>
#include <array>
#include <chrono>
#include <deque>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbDone;
using qx::irda::UsbFailure;
using qx::irda::UsbStatus;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t OUT_ENDPOINT = 0x02;
constexpr std::uint8_t IN_ENDPOINT = 0x81;
constexpr std::size_t REG_MODE = 0;
constexpr std::size_t REG_XCVR = 2;
constexpr std::size_t REG_RESV = 7;
constexpr std::size_t TRANSFER_SIZE = 4096;
constexpr std::size_t PACKET_SIZE = 64;

class Mcs7780Chip : public SimChip {
  public:
    using SimChip::SimChip;

    qx::irda::UsbDeviceInfo Info() const override {
        qx::irda::UsbDeviceInfo info;
        info.vendor = 0x9710;
        info.product = 0x7780;
        info.path = "sim:mcs7780";
        info.interfaces.push_back({0,
                                   0xFF,
                                   0x00,
                                   {{IN_ENDPOINT, qx::irda::USB_TRANSFER_BULK, PACKET_SIZE},
                                    {OUT_ENDPOINT, qx::irda::USB_TRANSFER_BULK, PACKET_SIZE}}});
        return info;
    }

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.requestType != qx::irda::USB_VENDOR_DEVICE_OUT || setup.request != 0x0E ||
            setup.index >= registers_.size() || !data.empty()) {
            return Unavailable();
        }
        registers_[setup.index] = setup.value;
        return UsbDone(0);
    }

    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.requestType != qx::irda::USB_VENDOR_DEVICE_IN || setup.request != 0x0F ||
            setup.index >= registers_.size() || data.size() < 2) {
            return Unavailable();
        }
        if (setup.index == REG_RESV) {
            registers_[REG_RESV] = Clock::now() < sendingUntil_ ? 0x0001 : 0x0000;  // IRINTX
        }
        data[0] = static_cast<std::uint8_t>(registers_[setup.index]);
        data[1] = static_cast<std::uint8_t>(registers_[setup.index] >> 8);
        return UsbDone(2);
    }

    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || endpoint != OUT_ENDPOINT || data.size() < 2 ||
            static_cast<std::size_t>(data[0] | data[1] << 8) != data.size() || data.size() > TRANSFER_SIZE) {
            return Unavailable();
        }
        if (Ready()) {
            Emit(data.subspan(2));
            sendingUntil_ = Clock::now() + std::chrono::microseconds((data.size() - 2) * 10 * 1000000 / 9600);
        }
        return UsbDone(data.size());
    }

    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        if (gone_ || endpoint != IN_ENDPOINT) {
            return Unavailable();
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (frames_.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            std::array<std::uint8_t, 256> heard{};
            const std::size_t got = Hear(heard, static_cast<std::uint32_t>(left));
            if (Ready()) {
                for (std::size_t i = 0; i < got; ++i) {
                    Take(heard[i]);
                }
            }
        }
        if (frames_.empty()) {
            return UsbFailure(UsbStatus::Timeout);
        }
        // The frame goes in packets; one the host's timeout beats stays for the next transfer.
        const std::vector<std::uint8_t>& frame = frames_.front();
        std::size_t count = 0;
        if (!answering_) {
            StartAnswer();
            answering_ = true;
        }
        while (sentOfFront_ < frame.size() && count < data.size()) {
            if (!PacketDue(deadline)) {
                return {UsbStatus::Timeout, count, 0};
            }
            const std::size_t n = std::min({PACKET_SIZE, frame.size() - sentOfFront_, data.size() - count});
            std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(sentOfFront_), n,
                        data.begin() + static_cast<std::ptrdiff_t>(count));
            sentOfFront_ += n;
            count += n;
        }
        frames_.pop_front();
        sentOfFront_ = 0;
        answering_ = false;
        return UsbDone(count);
    }

  protected:
    bool HasEndpoint(std::uint8_t endpoint) const override {
        return endpoint == OUT_ENDPOINT || endpoint == IN_ENDPOINT;
    }

  private:
    bool Ready() const {
        const std::uint16_t mode = registers_[REG_MODE];
        return (mode & 0x8000) == 0 && (mode & 0x0100) == 0 && (mode & 0x0001) == 0 &&
               (mode & 0x00E0) == 0x0020 && (registers_[REG_XCVR] & 0x0004) == 0;
    }

    // A frame is what lies between BOF and EOF, as the line carried it.
    void Take(std::uint8_t byte) {
        if (byte == qx::irda::SIR_BOF) {
            inFrame_ = true;
            current_.clear();
        } else if (!inFrame_) {
        } else if (byte == qx::irda::SIR_EOF) {
            inFrame_ = false;
            if (!current_.empty()) {
                frames_.push_back(std::move(current_));
            }
            current_.clear();
        } else if (current_.size() < TRANSFER_SIZE) {
            current_.push_back(byte);
        } else {
            inFrame_ = false;
            current_.clear();
        }
    }

    std::array<std::uint16_t, 8> registers_{0x8100, 0, 0, 0, 0, 0, 0, 0};
    Clock::time_point sendingUntil_{};
    bool inFrame_ = false;
    std::vector<std::uint8_t> current_;
    std::deque<std::vector<std::uint8_t>> frames_;
    std::size_t sentOfFront_ = 0;  // of the first frame, already handed to the host
    bool answering_ = false;       // the first frame has begun to go
};

}  // namespace

std::unique_ptr<SimChip> MakeMcs7780Chip(qx::irda::SerialPort& light) {
    return std::make_unique<Mcs7780Chip>(light);
}

}  // namespace dongle_sim
