// A KingSun Dazzle: one interface with an interrupt IN and an interrupt OUT endpoint. Class request 0x09 with
// value 0x0200 and index 1 takes the 8-byte speed record (baud, little-endian, then the data bits), whether
// addressed to the interface, as the driver does, or to the device (which of the two the firmware looks at
// is not known: the chip takes both). Each
// transfer on the OUT endpoint is exactly 8 bytes, the first 0xF8 plus the count (1 to 7) of the bytes after
// it that go on the light, once the speed is 9600 with 8 data bits. The IN endpoint hands what the light
// brought, at most 8 bytes a transfer, and answers nothing (a timeout) while nothing came. Any other request
// stalls.
#include <algorithm>
#include <array>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbDone;

constexpr std::uint8_t CLASS_DEVICE_OUT = 0x20;
constexpr std::uint8_t CLASS_INTERFACE_OUT = 0x21;
constexpr std::uint8_t IN_ENDPOINT = 0x81;
constexpr std::uint8_t OUT_ENDPOINT = 0x02;
constexpr std::size_t PAYLOAD_SIZE = 8;
constexpr std::uint8_t PIECE_PREFIX = 0xF8;

bool IsSpeedRecord(const UsbSetup& setup) {
    return (setup.requestType == CLASS_DEVICE_OUT || setup.requestType == CLASS_INTERFACE_OUT) &&
           setup.request == 0x09 && setup.value == 0x0200 && setup.index == 0x0001;
}

class KsDazzleChip : public SimChip {
  public:
    using SimChip::SimChip;

    qx::irda::UsbDeviceInfo Info() const override {
        qx::irda::UsbDeviceInfo info;
        info.vendor = 0x07D0;
        info.product = 0x4100;
        info.path = "sim:ksdazzle";
        info.interfaces.push_back({0,
                                   0xFF,
                                   0x00,
                                   {{IN_ENDPOINT, qx::irda::USB_TRANSFER_INTERRUPT, PAYLOAD_SIZE},
                                    {OUT_ENDPOINT, qx::irda::USB_TRANSFER_INTERRUPT, PAYLOAD_SIZE}}});
        return info;
    }

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data, std::uint32_t) override {
        if (gone_ || !IsSpeedRecord(setup) || data.size() != 8) {
            return Unavailable();
        }
        baud_ = static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24);
        dataBits8_ = (data[4] & 0x03) == 0x03;
        return UsbDone(data.size());
    }

    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t) override {
        if (gone_ || endpoint != OUT_ENDPOINT || data.size() != PAYLOAD_SIZE || data[0] <= PIECE_PREFIX) {
            return Unavailable();
        }
        const std::size_t count = data[0] - PIECE_PREFIX;
        if (baud_ == 9600 && dataBits8_) {
            Emit(data.subspan(1, count));
        }
        return UsbDone(data.size());
    }

    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        if (gone_ || endpoint != IN_ENDPOINT) {
            return Unavailable();
        }
        std::array<std::uint8_t, PAYLOAD_SIZE> heard{};
        const std::size_t got =
            Hear(std::span<std::uint8_t>(heard).first(std::min(data.size(), PAYLOAD_SIZE)), timeoutMs);
        if (got == 0 || baud_ != 9600 || !dataBits8_) {
            return qx::irda::UsbFailure(qx::irda::UsbStatus::Timeout);
        }
        std::copy_n(heard.begin(), got, data.begin());
        return UsbDone(got);
    }

  protected:
    bool HasEndpoint(std::uint8_t endpoint) const override {
        return endpoint == IN_ENDPOINT || endpoint == OUT_ENDPOINT;
    }

  private:
    std::uint32_t baud_ = 0;  // not set until the host sets it
    bool dataBits8_ = false;
};

}  // namespace

std::unique_ptr<SimChip> MakeKsDazzleChip(qx::irda::SerialPort& light) {
    return std::make_unique<KsDazzleChip>(light);
}

}  // namespace dongle_sim
