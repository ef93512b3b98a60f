#include "win/platform_calls.h"

#include "irda/usb_dongle.h"
#include "win/win32_serial_port.h"

namespace qx {

PlatformCalls::PlatformCalls(std::string_view portSetting, irda::FrameSink* capture,
                             std::optional<irda::LineProfile> profile, irda::UsbTraceSink usbTrace)
    : choice_(ChooseLink(LoopbackPortFromEnvironment(), portSetting)) {
    switch (choice_.kind) {
        case LinkKind::Loopback:
            loopback_ = std::make_unique<LoopbackCalls>(*choice_.loopbackPort, winsock_);
            break;
        case LinkKind::Serial:
            if (profile) {
                port_ = std::make_unique<Win32SerialPort>();
                port_->SetLineProfile(*profile);
            } else {
                port_ = std::make_unique<irda::UnopenablePort>(INVALID_ADAPTER_ERROR);
            }
            break;
        case LinkKind::Usb:
            usbHost_ = std::make_unique<WinUsbHost>();
            usbClock_ = std::make_unique<irda::PlatformClock>(winsock_);
            if (usbTrace) {
                tracedUsb_ = std::make_unique<irda::TracedUsbHost>(*usbHost_, std::move(usbTrace));
            }
            port_ = std::make_unique<irda::UsbSerialPort>(
                tracedUsb_ ? static_cast<irda::UsbHost&>(*tracedUsb_) : *usbHost_, *usbClock_);
            if (const auto usb = irda::ParseUsbPort(choice_.port)) {
                const auto dongles = irda::FindDongles(*usbHost_);
                if (const irda::FoundDongle* dongle = irda::PickDongle(dongles, *usb)) {
                    choice_.dongle = std::string(irda::FamilyName(dongle->match.family));
                }
            }
            break;
        case LinkKind::InvalidPort:
            port_ = std::make_unique<irda::UnopenablePort>(INVALID_PORT_ERROR);
            break;
        case LinkKind::Winsock:
            break;
    }
    if (port_) {
        // Pauses and the clock stay Windows' own, through the Winsock binding.
        serial_ = std::make_unique<irda::SerialIrdaCalls>(choice_.port, *port_, winsock_, capture);
    }
}

SocketCalls& PlatformCalls::Calls() {
    if (loopback_) {
        return *loopback_;
    }
    if (serial_) {
        return *serial_;
    }
    return winsock_;
}

}  // namespace qx
