// A KingSun/DonShine dongle: one interface with an interrupt IN and an interrupt OUT endpoint, both of 8-byte
// packets, and no request of its own (any control request stalls). What the host writes to the OUT endpoint
// goes on the light as it is (the chip stays at 9600 baud). Each read of the IN endpoint is the chip's whole
// 8-byte buffer: the count of new bytes (1 to 7) and the bytes, the rest left from before. The buffer is not
// cleared once read: once the light has been quiet for a while, a read hands the same buffer again, and
// before anything came it holds what it held at plug-in (an impossible count). While bytes are still coming,
// a read with nothing new waits for them (a timeout when none came).
#include <algorithm>
#include <array>
#include <chrono>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbDone;

constexpr std::uint8_t IN_ENDPOINT = 0x81;
constexpr std::uint8_t OUT_ENDPOINT = 0x02;
constexpr std::size_t BUFFER_SIZE = 8;
constexpr std::size_t SEND_FIFO_SIZE = 4096;
// How long the light must have been quiet before a read hands the old buffer again.
constexpr std::chrono::milliseconds REPEAT_AFTER{20};
// The longest a read waits for the light (the endpoint is polled about every millisecond).
constexpr std::uint32_t READ_WAIT_MS = 2;

class KingSunChip : public SimChip {
    using Clock = std::chrono::steady_clock;

  public:
    using SimChip::SimChip;

    qx::irda::UsbDeviceInfo Info() const override {
        qx::irda::UsbDeviceInfo info;
        info.vendor = 0x07C0;
        info.product = 0x4200;
        info.path = "sim:kingsun";
        info.interfaces.push_back({0,
                                   0xFF,
                                   0x00,
                                   {{IN_ENDPOINT, qx::irda::USB_TRANSFER_INTERRUPT, BUFFER_SIZE},
                                    {OUT_ENDPOINT, qx::irda::USB_TRANSFER_INTERRUPT, BUFFER_SIZE}}});
        return info;
    }

    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t) override {
        if (gone_ || endpoint != OUT_ENDPOINT || data.empty() || data.size() > SEND_FIFO_SIZE) {
            return Unavailable();
        }
        Emit(data);
        return UsbDone(data.size());
    }

    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        if (gone_ || endpoint != IN_ENDPOINT) {
            return Unavailable();
        }
        std::array<std::uint8_t, BUFFER_SIZE - 1> heard{};
        const std::size_t got = Hear(heard, std::min(timeoutMs, READ_WAIT_MS));
        if (got > 0) {
            buffer_[0] = static_cast<std::uint8_t>(got);
            std::copy_n(heard.begin(), got, buffer_.begin() + 1);
            lastHeard_ = Clock::now();
        } else if (Clock::now() - lastHeard_ < REPEAT_AFTER) {
            return qx::irda::UsbFailure(qx::irda::UsbStatus::Timeout);
        }
        const std::size_t count = std::min(data.size(), buffer_.size());
        std::copy_n(buffer_.begin(), count, data.begin());
        return UsbDone(count);
    }

  protected:
    bool HasEndpoint(std::uint8_t endpoint) const override {
        return endpoint == IN_ENDPOINT || endpoint == OUT_ENDPOINT;
    }

  private:
    // What the buffer holds at plug-in: a count no read can have.
    std::array<std::uint8_t, BUFFER_SIZE> buffer_{0x36, 0x5A, 0xA5, 0x00, 0xFF, 0x12, 0x34, 0x56};
    Clock::time_point lastHeard_{};
};

}  // namespace

std::unique_ptr<SimChip> MakeKingSunChip(qx::irda::SerialPort& light) {
    return std::make_unique<KingSunChip>(light);
}

}  // namespace dongle_sim
