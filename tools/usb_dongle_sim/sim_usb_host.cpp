#include <algorithm>
#include <optional>
#include <thread>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbFailure;
using qx::irda::UsbStatus;

constexpr std::uint8_t TYPE_MASK = 0x60;
constexpr std::uint8_t TYPE_VENDOR = 0x40;
constexpr std::uint8_t RECIPIENT_MASK = 0x1F;
constexpr std::uint8_t RECIPIENT_INTERFACE = 1;
constexpr std::uint8_t RECIPIENT_ENDPOINT = 2;
constexpr std::int32_t LIBUSB_IO_ERROR = -1;

bool HasInterface(const qx::irda::UsbDeviceInfo& device, std::uint8_t number) {
    return std::any_of(device.interfaces.begin(), device.interfaces.end(),
                       [&](const qx::irda::UsbInterface& i) { return i.number == number; });
}

bool AnyEndpoint(const qx::irda::UsbDeviceInfo& device, std::uint8_t endpoint) {
    return std::any_of(
        device.interfaces.begin(), device.interfaces.end(), [&](const qx::irda::UsbInterface& i) {
            return std::any_of(i.endpoints.begin(), i.endpoints.end(),
                               [&](const qx::irda::UsbEndpoint& e) { return e.address == endpoint; });
        });
}

// An opened chip: the transfers go to the chip the bus holds, through the platform's rules.
class ChipHandle : public qx::irda::UsbDevice {
  public:
    ChipHandle(SimChip& chip, UsbRules rules, std::uint8_t claimed)
        : chip_(chip), rules_(rules), claimed_(claimed), info_(chip.Info()) {}
    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        const auto wire = SetupOnTheWire(rules_, info_, claimed_, setup);
        return wire ? chip_.ControlOut(*wire, data, timeoutMs) : Refused();
    }
    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        const auto wire = SetupOnTheWire(rules_, info_, claimed_, setup);
        if (!wire) {
            return Refused();
        }
        UsbResult got = chip_.ControlIn(*wire, data, timeoutMs);
        // Neither libusb's nor WinUSB's control call says how much came before a timeout.
        if (got.status == UsbStatus::Timeout) {
            got.length = 0;
        }
        return got;
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        return Claimed(endpoint) ? chip_.BulkOut(endpoint, data, timeoutMs) : Refused();
    }
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        return Claimed(endpoint) ? chip_.BulkOutFrame(endpoint, data, timeoutMs) : Refused();
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        return Claimed(endpoint) ? chip_.BulkIn(endpoint, data, timeoutMs) : Refused();
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        return Claimed(endpoint) ? chip_.InterruptIn(endpoint, data, timeoutMs) : Refused();
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        return Claimed(endpoint) ? chip_.InterruptOut(endpoint, data, timeoutMs) : Refused();
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override {
        return Claimed(endpoint) ? chip_.ClearHalt(endpoint) : Refused();
    }

  private:
    bool Claimed(std::uint8_t endpoint) const { return ClaimedEndpoint(info_, claimed_, endpoint); }

    SimChip& chip_;
    UsbRules rules_;
    std::uint8_t claimed_;
    qx::irda::UsbDeviceInfo info_;
};

}  // namespace

std::optional<UsbSetup> SetupOnTheWire(UsbRules rules, const qx::irda::UsbDeviceInfo& device,
                                       std::uint8_t claimed, UsbSetup setup) {
    if ((setup.requestType & TYPE_MASK) == TYPE_VENDOR) {
        return setup;
    }
    const auto low = static_cast<std::uint8_t>(setup.index & 0xFF);
    switch (setup.requestType & RECIPIENT_MASK) {
        case RECIPIENT_INTERFACE:
            if (rules == UsbRules::WinUsb) {
                setup.index = static_cast<std::uint16_t>((setup.index & 0xFF00) | claimed);
                return setup;
            }
            // usbfs claims an interface that exists and is free; one that does not exist fails the request.
            return HasInterface(device, low) ? std::optional(setup) : std::nullopt;
        case RECIPIENT_ENDPOINT:
            if (rules == UsbRules::WinUsb || (low & 0x7F) == 0) {
                return setup;
            }
            // usbfs also takes an endpoint number given without its direction bit.
            return AnyEndpoint(device, low) || AnyEndpoint(device, static_cast<std::uint8_t>(low ^ 0x80))
                       ? std::optional(setup)
                       : std::nullopt;
        default:
            return setup;  // the device, or other: passed as it is
    }
}

bool ClaimedEndpoint(const qx::irda::UsbDeviceInfo& device, std::uint8_t claimed, std::uint8_t endpoint) {
    for (const qx::irda::UsbInterface& usbInterface : device.interfaces) {
        if (usbInterface.number == claimed) {
            return std::any_of(usbInterface.endpoints.begin(), usbInterface.endpoints.end(),
                               [&](const qx::irda::UsbEndpoint& e) { return e.address == endpoint; });
        }
    }
    return false;
}

UsbResult Refused() {
    return UsbFailure(UsbStatus::Failed, LIBUSB_IO_ERROR);
}

void SimChip::StartAnswer() {
    lastPacket_ = std::chrono::steady_clock::now();
}

bool SimChip::PacketDue(std::chrono::steady_clock::time_point deadline) {
    if (lateMs_ == 0) {
        return true;
    }
    const auto due = lastPacket_ + std::chrono::milliseconds(lateMs_);
    if (due > deadline) {
        std::this_thread::sleep_until(deadline);
        return false;
    }
    std::this_thread::sleep_until(due);
    lastPacket_ = due;
    return true;
}

UsbResult SimChip::Unavailable() const {
    return UsbFailure(gone_ ? UsbStatus::Gone : UsbStatus::Stall);
}

UsbResult SimChip::ControlOut(const UsbSetup&, std::span<const std::uint8_t>, std::uint32_t) {
    return Unavailable();
}

UsbResult SimChip::ControlIn(const UsbSetup&, std::span<std::uint8_t>, std::uint32_t) {
    return Unavailable();
}

UsbResult SimChip::BulkOut(std::uint8_t, std::span<const std::uint8_t>, std::uint32_t) {
    return Unavailable();
}

UsbResult SimChip::BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                                std::uint32_t timeoutMs) {
    return BulkOut(endpoint, data, timeoutMs);
}

UsbResult SimChip::BulkIn(std::uint8_t, std::span<std::uint8_t>, std::uint32_t) {
    return Unavailable();
}

UsbResult SimChip::InterruptIn(std::uint8_t, std::span<std::uint8_t>, std::uint32_t) {
    return Unavailable();
}

UsbResult SimChip::InterruptOut(std::uint8_t, std::span<const std::uint8_t>, std::uint32_t) {
    return Unavailable();
}

UsbResult SimChip::ClearHalt(std::uint8_t endpoint) {
    if (gone_ || !HasEndpoint(endpoint)) {
        return Unavailable();
    }
    return qx::irda::UsbDone(0);
}

void SimChip::Emit(std::span<const std::uint8_t> sirBytes) {
    if (!firstSent_) {
        firstSent_ = std::chrono::steady_clock::now();
    }
    if (light_.IsOpen() && light_.Write(sirBytes)) {
        bytesSent_ += sirBytes.size();
    }
}

std::size_t SimChip::Hear(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    if (!light_.IsOpen()) {
        return 0;
    }
    const int got = light_.Read(buffer, timeoutMs);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::unique_ptr<SimChip> MakeChip(qx::irda::DongleFamily family, qx::irda::SerialPort& light) {
    switch (family) {
        case qx::irda::DongleFamily::Bridge:
            return MakeBridgeChip(light);
        case qx::irda::DongleFamily::Stir4200:
            return MakeStir4200Chip(light);
        case qx::irda::DongleFamily::Mcs7780:
            return MakeMcs7780Chip(light);
        case qx::irda::DongleFamily::Ks959:
            return MakeKs959Chip(light);
        case qx::irda::DongleFamily::KsDazzle:
            return MakeKsDazzleChip(light);
        case qx::irda::DongleFamily::KingSun:
            return MakeKingSunChip(light);
    }
    return nullptr;
}

std::vector<qx::irda::UsbDeviceInfo> SimUsbHost::Enumerate() {
    std::vector<qx::irda::UsbDeviceInfo> devices = others_;
    for (SimChip* chip : chips_) {
        if (!chip->Gone()) {
            devices.push_back(chip->Info());
        }
    }
    return devices;
}

std::unique_ptr<qx::irda::UsbDevice> SimUsbHost::Open(const qx::irda::UsbDeviceInfo& device,
                                                      std::uint8_t interfaceNumber, UsbResult& failure) {
    ++opens_;
    if (openFailure_) {
        failure = *openFailure_;
        openFailure_.reset();
        return nullptr;
    }
    for (SimChip* chip : chips_) {
        if (!chip->Gone() && chip->Info().path == device.path) {
            if (!HasInterface(chip->Info(), interfaceNumber)) {
                failure = UsbFailure(UsbStatus::Failed);  // no such interface to claim
                return nullptr;
            }
            return std::make_unique<ChipHandle>(*chip, rules_, interfaceNumber);
        }
    }
    failure = UsbFailure(UsbStatus::Gone);
    return nullptr;
}

}  // namespace dongle_sim
