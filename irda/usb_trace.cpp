#include "irda/usb_trace.h"

#include <cstdio>
#include <span>
#include <utility>

#include "irda/usb_dongle.h"

namespace qx::irda {
namespace {

// Enough for a register or a class descriptor read at open; longer data are frames the socket trace shows
// already, and their first bytes show the chip's own header.
constexpr std::size_t DATA_SHOWN = 16;

std::string Hex(std::span<const std::uint8_t> bytes, std::size_t most) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", bytes[i]);
        text += byte;
    }
    if (bytes.size() > most) {
        text += " ...";
    }
    return text;
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

std::string Hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string SetupText(const UsbSetup& s) {
    return "type " + Hex2(s.requestType) + " request " + Hex2(s.request) + " value " + Hex4(s.value) +
           " index " + Hex4(s.index);
}

// "asked 64, moved 12 [C0 01 ...]: ok"
std::string Moved(std::size_t asked, const UsbResult& result, std::span<const std::uint8_t> data) {
    std::string text = "asked " + std::to_string(asked) + ", moved " + std::to_string(result.length);
    const std::size_t moved = std::min(result.length, data.size());
    if (moved > 0) {
        text += " [" + Hex(data.first(moved), DATA_SHOWN) + "]";
    }
    return text + ": " + UsbResultText(result);
}

class TracedUsbDevice final : public UsbDevice {
  public:
    TracedUsbDevice(std::unique_ptr<UsbDevice> inner, TracedUsbHost& host)
        : inner_(std::move(inner)), host_(host) {}
    ~TracedUsbDevice() override {
        inner_.reset();
        host_.Line("usb close");
        host_.Flush();
    }
    TracedUsbDevice(const TracedUsbDevice&) = delete;
    TracedUsbDevice& operator=(const TracedUsbDevice&) = delete;

    UsbResult ControlOut(const UsbSetup& setup, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->ControlOut(setup, data, timeoutMs);
        // What was sent is the request's data, whatever came back.
        std::string text = "usb control out " + SetupText(setup) + ", asked " + std::to_string(data.size()) +
                           ", moved " + std::to_string(result.length);
        if (!data.empty()) {
            text += " [" + Hex(data, DATA_SHOWN) + "]";
        }
        host_.Line(text + ": " + UsbResultText(result));
        return result;
    }
    UsbResult ControlIn(const UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->ControlIn(setup, data, timeoutMs);
        host_.Line("usb control in " + SetupText(setup) + ", " + Moved(data.size(), result, data));
        return result;
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->BulkOut(endpoint, data, timeoutMs);
        host_.Line("usb bulk out " + Hex2(endpoint) + ", " + Moved(data.size(), result, data));
        return result;
    }
    UsbResult BulkOutFrame(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->BulkOutFrame(endpoint, data, timeoutMs);
        host_.Line("usb bulk out frame " + Hex2(endpoint) + ", " + Moved(data.size(), result, data));
        return result;
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->BulkIn(endpoint, data, timeoutMs);
        host_.Line("usb bulk in " + Hex2(endpoint) + ", " + Moved(data.size(), result, data));
        return result;
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->InterruptIn(endpoint, data, timeoutMs);
        host_.Line("usb interrupt in " + Hex2(endpoint) + ", " + Moved(data.size(), result, data));
        return result;
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        const UsbResult result = inner_->InterruptOut(endpoint, data, timeoutMs);
        host_.Line("usb interrupt out " + Hex2(endpoint) + ", " + Moved(data.size(), result, data));
        return result;
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override {
        const UsbResult result = inner_->ClearHalt(endpoint);
        host_.Line("usb clear halt " + Hex2(endpoint) + ": " + UsbResultText(result));
        return result;
    }

  private:
    std::unique_ptr<UsbDevice> inner_;
    TracedUsbHost& host_;
};

}  // namespace

std::string UsbResultText(const UsbResult& result) {
    std::string text;
    switch (result.status) {
        case UsbStatus::Ok:
            return "ok";
        case UsbStatus::Timeout:
            text = "timeout";
            break;
        case UsbStatus::Stall:
            text = "stall";
            break;
        case UsbStatus::Gone:
            text = "gone";
            break;
        case UsbStatus::Busy:
            text = "busy";
            break;
        case UsbStatus::Failed:
            text = "failed";
            break;
    }
    return result.systemCode != 0 ? text + " (" + std::to_string(result.systemCode) + ")" : text;
}

TracedUsbHost::TracedUsbHost(UsbHost& inner, UsbTraceSink sink) : inner_(inner), sink_(std::move(sink)) {}

TracedUsbHost::~TracedUsbHost() {
    Flush();
}

std::vector<UsbDeviceInfo> TracedUsbHost::Enumerate() {
    std::vector<UsbDeviceInfo> devices = inner_.Enumerate();
    // Only the dongles: the other devices on the bus are none of this program's business.
    std::size_t dongles = 0;
    for (const UsbDeviceInfo& device : devices) {
        const auto match = MatchDongle(device);
        if (!match) {
            continue;
        }
        ++dongles;
        std::string text = "usb found " + device.path + " " + Hex4(device.vendor) + ":" +
                           Hex4(device.product) + " " + std::string(FamilyName(match->family)) +
                           ", interface " + std::to_string(match->interfaceNumber);
        for (const UsbInterface& usbInterface : device.interfaces) {
            if (usbInterface.number != match->interfaceNumber) {
                continue;
            }
            for (const UsbEndpoint& endpoint : usbInterface.endpoints) {
                text += std::string(", ") + (endpoint.type == USB_TRANSFER_BULK ? "bulk " : "interrupt ") +
                        Hex2(endpoint.address) + " packet " + std::to_string(endpoint.maxPacket);
            }
        }
        if (device.access == UsbAccess::NoDriver) {
            text += ", not bound to WinUSB (" + std::to_string(device.systemCode) + ")";
        } else if (device.access == UsbAccess::NoPermission) {
            text += ", no permission (" + std::to_string(device.systemCode) + ")";
        }
        Line(text);
    }
    Line("usb enumerate: " + std::to_string(devices.size()) + " devices, " + std::to_string(dongles) +
         " dongles");
    return devices;
}

std::unique_ptr<UsbDevice> TracedUsbHost::Open(const UsbDeviceInfo& device, std::uint8_t interfaceNumber,
                                               UsbResult& failure) {
    std::unique_ptr<UsbDevice> opened = inner_.Open(device, interfaceNumber, failure);
    Line("usb open " + device.path + " interface " + std::to_string(interfaceNumber) + ": " +
         (opened ? std::string("ok") : UsbResultText(failure)));
    if (!opened) {
        return nullptr;
    }
    return std::make_unique<TracedUsbDevice>(std::move(opened), *this);
}

void TracedUsbHost::Line(const std::string& text) {
    if (text == last_) {
        ++repeats_;
        return;
    }
    Flush();
    sink_(text);
    last_ = text;
}

void TracedUsbHost::Flush() {
    if (repeats_ > 0) {
        sink_("usb (the line above " + std::to_string(repeats_) + " more times)");
    }
    repeats_ = 0;
    last_.clear();
}

}  // namespace qx::irda
