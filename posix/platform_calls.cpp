#include "posix/platform_calls.h"

#include "irda/usb_dongle.h"
#include "posix/posix_serial_port.h"

namespace qx {

PosixPlatformLinks::PosixPlatformLinks(std::string_view portSetting, irda::FrameSink* capture,
                                       std::optional<irda::LineProfile> profile, irda::UsbTraceSink usbTrace)
    : choice_(ChooseLink(LoopbackPortFromEnvironment(), portSetting, HostPlatform::Linux)) {
    switch (choice_.kind) {
        case LinkKind::Loopback:
            loopback_ = std::make_unique<LoopbackCalls>(*choice_.loopbackPort, system_);
            break;
        case LinkKind::Serial:
            if (profile) {
                port_ = std::make_unique<PosixSerialPort>();
                port_->SetLineProfile(*profile);
            } else {
                port_ = std::make_unique<irda::UnopenablePort>(INVALID_ADAPTER_ERROR);
            }
            break;
        case LinkKind::Usb:
            usbHost_ = std::make_unique<posix::LibusbHost>();
            usbClock_ = std::make_unique<irda::PlatformClock>(system_);
            if (usbTrace) {
                tracedUsb_ = std::make_unique<irda::TracedUsbHost>(*usbHost_, std::move(usbTrace));
            }
            port_ = std::make_unique<irda::UsbSerialPort>(
                tracedUsb_ ? static_cast<irda::UsbHost&>(*tracedUsb_) : *usbHost_, *usbClock_);
            break;
        case LinkKind::InvalidPort:
            port_ = std::make_unique<irda::UnopenablePort>(INVALID_PORT_ERROR);
            break;
        case LinkKind::Winsock:
            break;
    }
    if (port_) {
        serial_ = std::make_unique<irda::SerialIrdaCalls>(choice_.port, *port_, system_, capture);
    }
}

SocketCalls& PosixPlatformLinks::Calls() {
    if (loopback_) {
        return *loopback_;
    }
    if (serial_) {
        return *serial_;
    }
    return system_;
}

}  // namespace qx
