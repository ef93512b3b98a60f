// The socket calls the console program's link uses on Linux, picked once the command line and the settings
// are read: the IrDA loopback emulation to the simulator on 127.0.0.1 when QX2205R_IRDA_LOOPBACK names a
// port; else the program's own IrDA stack on the serial device or USB dongle (through libusb) that --port or
// the settings' Port names; else the system's own calls, whose sockets fail as on a Windows PC without IrDA.
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
#include "posix/libusb_host.h"
#include "posix/system_calls.h"

namespace qx {

class PosixPlatformLinks {
  public:
    // `portSetting`: the Port value in force (empty: none). `capture`, when given, receives every IrLAP frame
    // of the serial stack and must outlive this object. `profile`: the adapter's line profile; none for an
    // Adapter value that names no profile, which fails the run before anything is sent. `usbTrace`, when
    // set, takes a line about each transfer of a USB dongle.
    explicit PosixPlatformLinks(std::string_view portSetting = {}, irda::FrameSink* capture = nullptr,
                                std::optional<irda::LineProfile> profile = irda::DEFAULT_LINE_PROFILE,
                                irda::UsbTraceSink usbTrace = {});
    PosixPlatformLinks(const PosixPlatformLinks&) = delete;
    PosixPlatformLinks& operator=(const PosixPlatformLinks&) = delete;

    SocketCalls& Calls();
    SocketCalls& System() { return system_; }
    std::optional<std::uint16_t> LoopbackPort() const { return choice_.loopbackPort; }
    // From any thread: ends at once the discovery try or connect under way (the emulation's, or the own
    // stack's before anything was written) and refuses later ones.
    void Interrupt() {
        if (loopback_) {
            loopback_->Interrupt();
        }
        if (serial_) {
            serial_->Interrupt();
        }
    }

  private:
    PosixSystemCalls system_;
    LinkChoice choice_;
    std::unique_ptr<LoopbackCalls> loopback_;
    std::unique_ptr<posix::LibusbHost> usbHost_;
    std::unique_ptr<irda::TracedUsbHost> tracedUsb_;
    std::unique_ptr<irda::PlatformClock> usbClock_;
    std::unique_ptr<irda::SerialPort> port_;
    std::unique_ptr<irda::SerialIrdaCalls> serial_;
};

}  // namespace qx
