#include "irda/usb_dongle.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "irda/usb_families.h"

namespace qx::irda {
namespace {

// From the id tables of the Linux drivers irda-usb.c (the bridge devices that do not say their class),
// stir4200.c, mcs7780.c, ks959-sir.c, ksdazzle-sir.c and kingsun-sir.c. The bridge's SigmaTel
// STIr4210/4220/4116 are left out: they need their firmware loaded first.
constexpr std::array<DongleId, 9> KNOWN_IDS{{
    {0x09C4, 0x0011, DongleFamily::Bridge},    // ACTiSYS ACT-IR2000U
    {0x4428, 0x0012, DongleFamily::Bridge},    // IBM UltraPort IrDA (the ACTiSYS's quirks)
    {0x050F, 0x0180, DongleFamily::Bridge},    // KC Technology KC-180
    {0x08E9, 0x0100, DongleFamily::Bridge},    // Extended Systems XTNDAccess ESI-9685
    {0x066F, 0x4200, DongleFamily::Stir4200},  // SigmaTel STIr4200
    {0x9710, 0x7780, DongleFamily::Mcs7780},   // MosChip MCS7780
    {0x07D0, 0x4959, DongleFamily::Ks959},     // KingSun KS-959
    {0x07D0, 0x4100, DongleFamily::KsDazzle},  // KingSun Dazzle (MA-660)
    {0x07C0, 0x4200, DongleFamily::KingSun},   // KingSun/DonShine
}};

std::optional<std::uint16_t> ParseHex4(std::string_view text) {
    if (text.size() != 4) {
        return std::nullopt;
    }
    std::uint16_t value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = static_cast<std::uint16_t>(value * 16 + digit);
    }
    return value;
}

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
               return upper(x) == upper(y);
           });
}

}  // namespace

std::span<const DongleId> KnownDongleIds() {
    return KNOWN_IDS;
}

std::string_view FamilyName(DongleFamily family) {
    switch (family) {
        case DongleFamily::Bridge:
            return "IrDA Bridge";
        case DongleFamily::Stir4200:
            return "STIr4200";
        case DongleFamily::Mcs7780:
            return "MCS7780";
        case DongleFamily::Ks959:
            return "KS-959";
        case DongleFamily::KsDazzle:
            return "KingSun Dazzle";
        case DongleFamily::KingSun:
            return "KingSun/DonShine";
    }
    return "";
}

std::optional<DongleMatch> MatchDongle(const UsbDeviceInfo& device) {
    const std::uint8_t firstInterface = device.interfaces.empty() ? 0 : device.interfaces.front().number;
    for (const DongleId& id : KNOWN_IDS) {
        if (id.vendor == device.vendor && id.product == device.product) {
            if (id.family != DongleFamily::Bridge) {
                return DongleMatch{id.family, firstInterface};
            }
            break;
        }
    }
    for (const UsbInterface& usbInterface : device.interfaces) {
        if (usbInterface.interfaceClass == USB_CLASS_APPLICATION &&
            usbInterface.interfaceSubClass == USB_SUBCLASS_IRDA_BRIDGE) {
            return DongleMatch{DongleFamily::Bridge, usbInterface.number};
        }
    }
    for (const DongleId& id : KNOWN_IDS) {
        if (id.vendor == device.vendor && id.product == device.product) {
            return DongleMatch{id.family, firstInterface};
        }
    }
    return std::nullopt;
}

std::unique_ptr<UsbDongle> MakeDongle(const DongleMatch& match, const UsbInterface& usbInterface,
                                      UsbDevice& device, StackClock& clock) {
    switch (match.family) {
        case DongleFamily::Bridge:
            return MakeBridgeDongle(usbInterface, device, clock);
        case DongleFamily::Stir4200:
            return MakeStir4200Dongle(usbInterface, device, clock);
        case DongleFamily::Mcs7780:
            return MakeMcs7780Dongle(usbInterface, device, clock);
        case DongleFamily::Ks959:
            return MakeKs959Dongle(usbInterface, device, clock);
        case DongleFamily::KsDazzle:
            return MakeKsDazzleDongle(usbInterface, device, clock);
        case DongleFamily::KingSun:
            return MakeKingSunDongle(usbInterface, device, clock);
    }
    return nullptr;
}

std::uint8_t FindEndpoint(const UsbInterface& usbInterface, std::uint8_t type, bool in) {
    for (const UsbEndpoint& endpoint : usbInterface.endpoints) {
        if (endpoint.type == type && ((endpoint.address & USB_ENDPOINT_IN) != 0) == in) {
            return endpoint.address;
        }
    }
    return 0;
}

std::optional<UsbPortChoice> ParseUsbPort(std::string_view text) {
    if (text.size() < USB_PORT_PREFIX.size() || !SameLetters(text.substr(0, 3), USB_PORT_PREFIX)) {
        return std::nullopt;
    }
    const std::string_view rest = text.substr(USB_PORT_PREFIX.size());
    if (rest.empty()) {
        return UsbPortChoice{};
    }
    if (rest.size() != 10 || rest[0] != ':' || rest[5] != ':') {
        return std::nullopt;
    }
    const auto vendor = ParseHex4(rest.substr(1, 4));
    const auto product = ParseHex4(rest.substr(6, 4));
    if (!vendor || !product) {
        return std::nullopt;
    }
    return UsbPortChoice{vendor, product};
}

std::string UsbPortName(const UsbPortChoice& choice) {
    if (!choice.vendor || !choice.product) {
        return std::string(USB_PORT_PREFIX);
    }
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "USB:%04X:%04X", *choice.vendor, *choice.product);
    return text.data();
}

std::uint32_t UsbErrorCode(const UsbResult& result) {
    switch (result.status) {
        case UsbStatus::Ok:
            return 0;
        case UsbStatus::Gone:
            return USB_ERROR_UNPLUGGED;
        case UsbStatus::Busy:
            return USB_ERROR_IN_USE;
        case UsbStatus::Timeout:
        case UsbStatus::Stall:
        case UsbStatus::Failed:
            break;
    }
    return USB_ERROR_DEVICE;
}

std::vector<FoundDongle> FindDongles(UsbHost& host) {
    std::vector<FoundDongle> found;
    for (UsbDeviceInfo& device : host.Enumerate()) {
        if (const auto match = MatchDongle(device)) {
            found.push_back({std::move(device), *match});
        }
    }
    return found;
}

const FoundDongle* PickDongle(const std::vector<FoundDongle>& dongles, const UsbPortChoice& choice) {
    const FoundDongle* unreachable = nullptr;
    for (const FoundDongle& dongle : dongles) {
        if (choice.vendor &&
            (dongle.device.vendor != *choice.vendor || dongle.device.product != *choice.product)) {
            continue;
        }
        if (dongle.device.access == UsbAccess::Reachable) {
            return &dongle;
        }
        unreachable = unreachable != nullptr ? unreachable : &dongle;
    }
    return unreachable;
}

// The opened device as a family's driver uses it, noting every transfer out: the SIR bytes of a frame handed
// to the dongle in one may go on the air whatever the transfer's outcome (a stall, a timeout, the device
// gone after it took them).
class OutTransferWatch : public UsbDevice {
  public:
    explicit OutTransferWatch(UsbDevice& inner) : inner_(inner) {}
    bool outMade = false;

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        outMade = true;
        return inner_.ControlOut(setup, data, timeoutMs);
    }
    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        return inner_.ControlIn(setup, data, timeoutMs);
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        outMade = true;
        return inner_.BulkOut(endpoint, data, timeoutMs);
    }
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        outMade = true;
        return inner_.BulkOutFrame(endpoint, data, timeoutMs);
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        return inner_.BulkIn(endpoint, data, timeoutMs);
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        return inner_.InterruptIn(endpoint, data, timeoutMs);
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        outMade = true;
        return inner_.InterruptOut(endpoint, data, timeoutMs);
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override { return inner_.ClearHalt(endpoint); }

  private:
    UsbDevice& inner_;
};

UsbSerialPort::UsbSerialPort(UsbHost& host, StackClock& clock) : host_(host), clock_(clock) {}

UsbSerialPort::~UsbSerialPort() {
    Close();
}

bool UsbSerialPort::Fail(std::uint32_t error) {
    lastError_ = error;
    return false;
}

bool UsbSerialPort::FailTransfer(const UsbResult& result) {
    lastError_ = UsbErrorCode(result);
    return false;
}

bool UsbSerialPort::Open(const std::string& name) {
    Close();
    const auto choice = ParseUsbPort(name);
    if (!choice) {
        return Fail(PORT_ERROR_INVALID_NAME);
    }
    if (!host_.Started()) {
        return Fail(USB_ERROR_LIBRARY);  // not "no dongle": nobody could look
    }
    const std::vector<FoundDongle> dongles = FindDongles(host_);
    const FoundDongle* chosen = PickDongle(dongles, *choice);
    if (chosen == nullptr) {
        return Fail(USB_ERROR_NO_DONGLE);
    }
    if (chosen->device.access != UsbAccess::Reachable) {
        return Fail(chosen->device.access == UsbAccess::NoDriver ? USB_ERROR_NOT_WINUSB
                                                                 : USB_ERROR_NO_PERMISSION);
    }
    const auto usbInterface =
        std::find_if(chosen->device.interfaces.begin(), chosen->device.interfaces.end(),
                     [&](const UsbInterface& i) { return i.number == chosen->match.interfaceNumber; });
    if (usbInterface == chosen->device.interfaces.end()) {
        return Fail(USB_ERROR_DEVICE);
    }
    UsbResult failure;
    device_ = host_.Open(chosen->device, chosen->match.interfaceNumber, failure);
    if (device_ == nullptr) {
        return FailTransfer(failure);
    }
    watch_ = std::make_unique<OutTransferWatch>(*device_);
    dongle_ = MakeDongle(chosen->match, *usbInterface, *watch_, clock_);
    family_ = chosen->match.family;
    const UsbResult started = dongle_ != nullptr ? dongle_->Start() : UsbFailure(UsbStatus::Failed);
    if (!started.Ok()) {
        Close();
        return FailTransfer(started);
    }
    return true;
}

void UsbSerialPort::Close() {
    dongle_.reset();
    watch_.reset();
    device_.reset();
    pending_.clear();
}

bool UsbSerialPort::Write(std::span<const std::uint8_t> bytes) {
    handedOver_ = false;
    if (dongle_ == nullptr) {
        return Fail(PORT_ERROR_INVALID_HANDLE);
    }
    watch_->outMade = false;
    const UsbResult sent = dongle_->Send(bytes);
    handedOver_ = watch_->outMade;
    return sent.Ok() ? true : FailTransfer(sent);
}

int UsbSerialPort::Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    if (dongle_ == nullptr) {
        Fail(PORT_ERROR_INVALID_HANDLE);
        return -1;
    }
    if (pending_.empty()) {
        const UsbResult received = dongle_->Receive(pending_, timeoutMs);
        if (!received.Ok()) {
            FailTransfer(received);
            return -1;
        }
    }
    const std::size_t count = std::min(buffer.size(), pending_.size());
    std::copy_n(pending_.begin(), count, buffer.begin());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    return static_cast<int>(count);
}

}  // namespace qx::irda
