// A KingSun KS-959: one interface whose only endpoint, an interrupt IN, is never used; everything goes over
// class requests to it. Request 0x09 with value 0x0200 and index 1 takes the 8-byte speed record (baud,
// little-endian, then the data bits), to the interface or to the device; request 0x09 with index 0 takes a
// piece of SIR bytes, its length the value, XORed with the mask the length picks from the key string and
// padded with zeros to a multiple of 8 plus 16, and puts it on the light once the speed is 9600 with 8 data
// bits. Request 0x01 (value 0x0200) hands what the light brought, each byte XORed with a counter kept for the
// session and with 0x55, a filler byte where the counter wraps to 0; nothing when nothing came. Any other
// request stalls.
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

constexpr std::uint8_t CLASS_DEVICE_OUT = 0x20;
constexpr std::uint8_t CLASS_INTERFACE_OUT = 0x21;
constexpr std::uint8_t INTERRUPT_ENDPOINT = 0x81;
constexpr std::array<std::uint8_t, 16> KEY{'w', 'a', 'n', 'g', 's', 'h', 'u', 'o',
                                           'f', 'e', 'i', '1', '9', '7', '1', '0'};
constexpr std::size_t PACKET_SIZE = 256;
constexpr std::size_t CONTROL_PACKET_SIZE = 8;  // endpoint 0's
// The filler byte, as the host reads it after undoing the mask.
constexpr std::uint8_t FILLER = 0x95;
// How long the chip holds a receive request open for the light before it answers it empty.
constexpr std::uint32_t RECEIVE_INTERVAL_MS = 5;

class Ks959Chip : public SimChip {
  public:
    using SimChip::SimChip;

    qx::irda::UsbDeviceInfo Info() const override {
        qx::irda::UsbDeviceInfo info;
        info.vendor = 0x07D0;
        info.product = 0x4959;
        info.path = "sim:ks959";
        info.interfaces.push_back(
            {0, 0xFF, 0x00, {{INTERRUPT_ENDPOINT, qx::irda::USB_TRANSFER_INTERRUPT, 8}}});
        return info;
    }

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || setup.request != 0x09 ||
            (setup.requestType != CLASS_INTERFACE_OUT && setup.requestType != CLASS_DEVICE_OUT)) {
            return Unavailable();
        }
        // The speed record, whether addressed to the interface as the driver does or to the device (which
        // of the two the firmware looks at is not known: the chip takes both).
        if (setup.index == 0x0001 && setup.value == 0x0200 && data.size() == 8) {
            baud_ = static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
            dataBits8_ = (data[4] & 0x03) == 0x03;
            return UsbDone(data.size());
        }
        if (setup.requestType != CLASS_INTERFACE_OUT) {
            return Unavailable();
        }
        const std::size_t length = setup.value;
        if (setup.index != 0 || length == 0 || data.size() > PACKET_SIZE ||
            data.size() != ((length + 7) & ~std::size_t{7}) + 0x10) {
            return Unavailable();
        }
        const auto mask = static_cast<std::uint8_t>(KEY[(length & 0x0F) ^ 0x06] ^ 0x55);
        std::vector<std::uint8_t> bytes(length);
        std::transform(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length), bytes.begin(),
                       [mask](std::uint8_t byte) { return static_cast<std::uint8_t>(byte ^ mask); });
        if (baud_ == 9600 && dataBits8_) {
            Emit(bytes);
        }
        return UsbDone(data.size());
    }

    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        if (gone_ || setup.requestType != qx::irda::USB_CLASS_INTERFACE_IN || setup.request != 0x01 ||
            setup.value != 0x0200 || setup.index != 0) {
            return Unavailable();
        }
        if (heard_.empty()) {
            std::array<std::uint8_t, 256> heard{};
            const std::size_t got = Hear(heard, std::min(timeoutMs, RECEIVE_INTERVAL_MS));
            if (baud_ == 9600 && dataBits8_) {
                heard_.insert(heard_.end(), heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(got));
            }
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        StartAnswer();
        std::size_t count = 0;
        while (count < data.size() && !heard_.empty()) {
            // A late packet that the host's timeout beats is not sent, and its bytes not counted.
            if (count % CONTROL_PACKET_SIZE == 0 && !PacketDue(deadline)) {
                return {UsbStatus::Timeout, count, 0};
            }
            ++counter_;
            std::uint8_t plain = FILLER;
            if (counter_ != 0) {
                plain = heard_.front();
                heard_.pop_front();
            }
            data[count++] = static_cast<std::uint8_t>(plain ^ counter_ ^ 0x55);
        }
        return UsbDone(count);
    }

  protected:
    bool HasEndpoint(std::uint8_t endpoint) const override { return endpoint == INTERRUPT_ENDPOINT; }

  private:
    std::uint32_t baud_ = 0;  // not set until the host sets it
    bool dataBits8_ = false;
    std::uint8_t counter_ = 0;
    std::deque<std::uint8_t> heard_;
};

}  // namespace

std::unique_ptr<SimChip> MakeKs959Chip(qx::irda::SerialPort& light) {
    return std::make_unique<Ks959Chip>(light);
}

}  // namespace dongle_sim
