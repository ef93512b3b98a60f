// The dongle families' drivers, one file each (usb_bridge.cpp, usb_stir4200.cpp, usb_mcs7780.cpp,
// usb_ks959.cpp, usb_ksdazzle.cpp, usb_kingsun.cpp), made through MakeDongle. Each is written from its public
// Linux driver; the bytes of each transfer are in its tests.
#pragma once

#include <memory>

#include "irda/usb_dongle.h"

namespace qx::irda {

std::unique_ptr<UsbDongle> MakeBridgeDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                            StackClock& clock);
std::unique_ptr<UsbDongle> MakeStir4200Dongle(const UsbInterface& usbInterface, UsbDevice& device,
                                              StackClock& clock);
std::unique_ptr<UsbDongle> MakeMcs7780Dongle(const UsbInterface& usbInterface, UsbDevice& device,
                                             StackClock& clock);
std::unique_ptr<UsbDongle> MakeKs959Dongle(const UsbInterface& usbInterface, UsbDevice& device,
                                           StackClock& clock);
std::unique_ptr<UsbDongle> MakeKsDazzleDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                              StackClock& clock);
std::unique_ptr<UsbDongle> MakeKingSunDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                             StackClock& clock);

// The speed as the KingSun KS-959 and the KingSun Dazzle both take it (ks959-sir.c, ksdazzle-sir.c): an
// 8-byte record (the baud rate, little-endian, then 8 data bits) to class request 0x09 with value 0x0200 and
// index 1. The drivers address it to interface 1 of these one-interface dongles, which user space cannot:
// usbfs refuses an interface that does not exist and WinUSB writes the handle's interface, 0, over the
// index. Addressed to the device, the same request passes both unchanged, only its recipient bits differ
// from the drivers'. A rate outside their drivers' table (2400 to 115200) fails without a transfer.
UsbResult SetKingSunSpeed(UsbDevice& device, std::uint32_t baud, std::uint32_t timeoutMs);
// The open's speed record, 9600. The drivers send it without waiting for the answer and only log a
// refusal, so a dongle that stalls it (one whose firmware would want the interface recipient) is left at
// the rate it runs at, as under Linux; a device gone or a failed transfer still fails the open.
UsbResult StartKingSunSpeed(UsbDevice& device, std::uint32_t timeoutMs);

// The first endpoint of `type` in the direction `in`, or 0 when the interface has none.
std::uint8_t FindEndpoint(const UsbInterface& usbInterface, std::uint8_t type, bool in);

// A deadline on the stack's clock and the milliseconds left to it (0 once it has passed).
inline std::uint32_t MsLeft(StackClock& clock, std::uint32_t deadline) {
    const auto left = static_cast<std::int32_t>(deadline - clock.NowMs());
    return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

}  // namespace qx::irda
