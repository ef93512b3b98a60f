#include <optional>

#include "sim_chips.h"

namespace dongle_sim {
namespace {

using qx::irda::UsbFailure;
using qx::irda::UsbStatus;

// An opened chip: the transfers go to the chip the bus holds.
class ChipHandle : public qx::irda::UsbDevice {
  public:
    explicit ChipHandle(SimChip& chip) : chip_(chip) {}
    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        return chip_.ControlOut(setup, data, timeoutMs);
    }
    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        return chip_.ControlIn(setup, data, timeoutMs);
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        return chip_.BulkOut(endpoint, data, timeoutMs);
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        return chip_.BulkIn(endpoint, data, timeoutMs);
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        return chip_.InterruptIn(endpoint, data, timeoutMs);
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        return chip_.InterruptOut(endpoint, data, timeoutMs);
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override { return chip_.ClearHalt(endpoint); }

  private:
    SimChip& chip_;
};

}  // namespace

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

std::unique_ptr<qx::irda::UsbDevice> SimUsbHost::Open(const qx::irda::UsbDeviceInfo& device, std::uint8_t,
                                                      UsbResult& failure) {
    ++opens_;
    if (openFailure_) {
        failure = *openFailure_;
        openFailure_.reset();
        return nullptr;
    }
    for (SimChip* chip : chips_) {
        if (!chip->Gone() && chip->Info().path == device.path) {
            return std::make_unique<ChipHandle>(*chip);
        }
    }
    failure = UsbFailure(UsbStatus::Gone);
    return nullptr;
}

}  // namespace dongle_sim
