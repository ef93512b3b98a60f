// A USB IrDA Bridge class dongle: it answers the class descriptor request, frames what comes in on its bulk
// OUT endpoint behind the one-byte header (speed and extra BOFs taking effect after the frame), and hands
// each good frame it hears to its bulk IN endpoint behind a one-byte header. Frames with a bad FCS never
// reach the host, as the class has the dongle check them. After the host's Check Media Busy request the chip
// watches the medium: the next inbound header after it hears traffic carries the media-busy bit 0x80, a
// header alone when no frame is there to carry it; then it stops watching until asked again.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <thread>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbDone;
using qx::irda::UsbFailure;
using qx::irda::UsbStatus;

constexpr std::uint8_t OUT_ENDPOINT = 0x02;
constexpr std::uint8_t IN_ENDPOINT = 0x81;
constexpr std::uint8_t INTERRUPT_ENDPOINT = 0x83;
constexpr std::size_t PACKET_SIZE = 64;  // of the bulk endpoints
// bLength 12, type 0x21, revision 1.00, data sizes up to 2048, window 1, turnaround 0, 2400 ... 115200 baud,
// extra BOFs any, no rate sniffing, no unicast list.
constexpr std::array<std::uint8_t, 12> CLASS_DESCRIPTOR{0x0C, 0x21, 0x00, 0x01, 0x3F, 0x01,
                                                        0x80, 0x3F, 0x00, 0xFF, 0x00, 0x00};
constexpr std::uint8_t CLASS_INTERFACE_OUT = 0x21;
constexpr std::uint8_t REQUEST_CHECK_MEDIA_BUSY = 0x03;
constexpr std::uint8_t MEDIA_BUSY = 0x80;
// The least time between two reports of a busy medium (the traffic of a few bytes at 9600 baud).
constexpr std::chrono::milliseconds REPORT_PACE{10};
// Extra BOFs by the header's high nibble (0 keeps the setting).
constexpr std::array<int, 9> XBOFS_BY_CODE{-1, 48, 24, 12, 6, 3, 2, 1, 0};

class BridgeChip : public SimChip {
    using Clock = std::chrono::steady_clock;

  public:
    using SimChip::SimChip;

    qx::irda::UsbDeviceInfo Info() const override {
        qx::irda::UsbDeviceInfo info;
        info.vendor = 0x1D6B;  // not in any id table: the class alone makes it a bridge
        info.product = 0x0F02;
        info.path = "sim:bridge";
        info.interfaces.push_back({0,
                                   qx::irda::USB_CLASS_APPLICATION,
                                   qx::irda::USB_SUBCLASS_IRDA_BRIDGE,
                                   {{OUT_ENDPOINT, qx::irda::USB_TRANSFER_BULK, PACKET_SIZE},
                                    {IN_ENDPOINT, qx::irda::USB_TRANSFER_BULK, PACKET_SIZE},
                                    {INTERRUPT_ENDPOINT, qx::irda::USB_TRANSFER_INTERRUPT, 1}}});
        return info;
    }

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.requestType != CLASS_INTERFACE_OUT || setup.request != REQUEST_CHECK_MEDIA_BUSY ||
            setup.value != 0 || setup.index != 0 || !data.empty()) {
            return Unavailable();
        }
        watching_ = true;
        return UsbDone(0);
    }

    bool HearTraffic(std::uint32_t ms) override {
        trafficEnds_ = ms == std::numeric_limits<std::uint32_t>::max()
                           ? Clock::time_point::max()
                           : Clock::now() + std::chrono::milliseconds(ms);
        return true;
    }

    std::optional<Clock::time_point> LastBusyReport() const override {
        return lastReport_ == Clock::time_point{} ? std::nullopt : std::optional(lastReport_);
    }

    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.requestType != qx::irda::USB_CLASS_INTERFACE_IN || setup.request != 0x06 ||
            setup.index != 0) {
            return Unavailable();
        }
        const std::size_t count = std::min(data.size(), CLASS_DESCRIPTOR.size());
        std::copy_n(CLASS_DESCRIPTOR.begin(), count, data.begin());
        return UsbDone(count);
    }

    // The chip finds a frame's end by a short packet: a transfer of whole packets without the zero-length
    // packet after it leaves the frame open, and the next transfer's bytes join it.
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, std::uint32_t) override {
        return TakeOut(endpoint, data, data.size() % PACKET_SIZE != 0);
    }
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t) override {
        return TakeOut(endpoint, data, true);
    }

    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        if (gone_ || endpoint != IN_ENDPOINT) {
            return Unavailable();
        }
        if (!answer_.empty()) {
            return Answer(data, timeoutMs);
        }
        if (frames_.empty() && watching_ && TrafficNow()) {
            // Reports are paced as traffic is heard; the host's wait bounds the pause.
            const auto due = lastReport_ + REPORT_PACE;
            const auto limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
            std::this_thread::sleep_until(std::min(due, limit));
            if (Clock::now() < due) {
                return UsbFailure(UsbStatus::Timeout);
            }
            watching_ = false;
            lastReport_ = Clock::now();
            data[0] = MEDIA_BUSY;
            return UsbDone(1);
        }
        if (frames_.empty()) {
            std::array<std::uint8_t, 256> heard{};
            const std::size_t got = Hear(heard, timeoutMs);
            for (std::size_t i = 0; i < got; ++i) {
                if (deframer_.Push(heard[i])) {
                    const auto frame = deframer_.Frame();
                    frames_.emplace_back(frame.begin(), frame.end());
                }
            }
        }
        if (frames_.empty()) {
            return UsbFailure(UsbStatus::Timeout);
        }
        const std::vector<std::uint8_t> frame = std::move(frames_.front());
        frames_.pop_front();
        if (data.size() < frame.size() + 1) {
            return UsbFailure(UsbStatus::Failed);  // the host asked for less than a frame: an overflow
        }
        // The frame itself is traffic heard while watching.
        answer_.assign(1, watching_ ? MEDIA_BUSY : 0x00);
        watching_ = false;
        answer_.insert(answer_.end(), frame.begin(), frame.end());
        StartAnswer();
        return Answer(data, timeoutMs);
    }

  protected:
    bool HasEndpoint(std::uint8_t endpoint) const override {
        return endpoint == OUT_ENDPOINT || endpoint == IN_ENDPOINT || endpoint == INTERRUPT_ENDPOINT;
    }

  private:
    UsbResult TakeOut(std::uint8_t endpoint, std::span<const std::uint8_t> data, bool ended) {
        if (gone_ || endpoint != OUT_ENDPOINT || data.empty()) {
            return Unavailable();
        }
        open_.insert(open_.end(), data.begin(), data.end());
        if (ended) {
            EndFrame();
        }
        return UsbDone(data.size());
    }

    void EndFrame() {
        const std::vector<std::uint8_t> frame = std::move(open_);
        open_.clear();
        if (frame.size() > 1 && speedCode_ == 0x02) {
            Emit(qx::irda::SirWrap(std::span(frame).subspan(1),
                                   static_cast<std::size_t>(std::max(xbofs_, 0))));
        }
        // The header's settings apply after the frame.
        const std::uint8_t speed = frame[0] & 0x0F;
        const std::uint8_t xbofs = frame[0] >> 4;
        if (speed != 0) {
            speedCode_ = speed;
        }
        if (xbofs != 0 && xbofs < XBOFS_BY_CODE.size()) {
            xbofs_ = XBOFS_BY_CODE[xbofs];
        }
    }

    bool TrafficNow() const { return Clock::now() < trafficEnds_; }

    // The inbound transfer under way, in packets; those the host's timeout beats stay for its next transfer,
    // which goes on with the same frame up to the short packet that ends it.
    UsbResult Answer(std::span<std::uint8_t> data, std::uint32_t timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::size_t count = 0;
        while (sentOfAnswer_ < answer_.size()) {
            if (!PacketDue(deadline)) {
                return {UsbStatus::Timeout, count, 0};
            }
            const std::size_t n = std::min(PACKET_SIZE, answer_.size() - sentOfAnswer_);
            if (n > data.size() - count) {
                return UsbFailure(UsbStatus::Failed);  // more than the host asked for: an overflow
            }
            std::copy_n(answer_.begin() + static_cast<std::ptrdiff_t>(sentOfAnswer_), n,
                        data.begin() + static_cast<std::ptrdiff_t>(count));
            sentOfAnswer_ += n;
            count += n;
        }
        answer_.clear();
        sentOfAnswer_ = 0;
        return UsbDone(count);
    }

    bool watching_ = false;  // asked to report the medium busy
    Clock::time_point trafficEnds_{};
    Clock::time_point lastReport_{};
    std::uint8_t speedCode_ = 0x02;  // the class starts at 9600
    int xbofs_ = 12;
    qx::irda::SirDeframer deframer_;
    std::deque<std::vector<std::uint8_t>> frames_;
    std::vector<std::uint8_t> open_;    // the frame coming in on the OUT endpoint, not ended yet
    std::vector<std::uint8_t> answer_;  // header and frame of the inbound transfer under way
    std::size_t sentOfAnswer_ = 0;
};

}  // namespace

std::unique_ptr<SimChip> MakeBridgeChip(qx::irda::SerialPort& light) {
    return std::make_unique<BridgeChip>(light);
}

}  // namespace dongle_sim
