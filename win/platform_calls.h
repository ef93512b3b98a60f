// The socket calls a program's link uses, picked once at its entry point: the IrDA loopback emulation to the
// simulator on 127.0.0.1 when QX2205R_IRDA_LOOPBACK names a port; else the program's own IrDA stack on the
// COM port or USB dongle that the settings (or the console's --port) name; else Winsock with IrDA. The window
// and the console program pick the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "app/link_choice.h"
#include "irda/capture.h"
#include "irda/serial_irda_calls.h"
#include "irda/usb_trace.h"
#include "link/socket_calls.h"
#include "loopback/loopback_calls.h"
#include "win/winsock_calls.h"
#include "win/winusb_host.h"

namespace qx {

class PlatformCalls {
  public:
    // `portSetting`: the Port value in force (empty: none). `capture`, when given, receives every IrLAP frame
    // of the serial stack and must outlive this object.
    // `profile`: the adapter's line profile; nothing when the Adapter value named none, which makes every run
    // over a COM port fail at discovery with INVALID_ADAPTER_ERROR before anything is sent.
    // `usbTrace`, when set, takes a line about each transfer of a USB dongle.
    explicit PlatformCalls(std::string_view portSetting = {}, irda::FrameSink* capture = nullptr,
                           std::optional<irda::LineProfile> profile = irda::DEFAULT_LINE_PROFILE,
                           irda::UsbTraceSink usbTrace = {});
    PlatformCalls(const PlatformCalls&) = delete;
    PlatformCalls& operator=(const PlatformCalls&) = delete;

    SocketCalls& Calls();
    const LinkChoice& Choice() const { return choice_; }
    // The emulation's port when it stands in for IrDA.
    std::optional<std::uint16_t> LoopbackPort() const { return choice_.loopbackPort; }
    // From any thread: ends at once the discovery try or connect under way, the emulation's or the own
    // stack's, and refuses later ones. Winsock's own calls are bounded by the link and cannot be cut short.
    void Interrupt() {
        if (loopback_) {
            loopback_->Interrupt();
        }
        if (serial_) {
            serial_->Interrupt();
        }
    }

  private:
    WinsockCalls winsock_;
    LinkChoice choice_;
    std::unique_ptr<LoopbackCalls> loopback_;
    std::unique_ptr<WinUsbHost> usbHost_;
    std::unique_ptr<irda::TracedUsbHost> tracedUsb_;
    std::unique_ptr<irda::PlatformClock> usbClock_;
    std::unique_ptr<irda::SerialPort> port_;
    std::unique_ptr<irda::SerialIrdaCalls> serial_;
};

}  // namespace qx
