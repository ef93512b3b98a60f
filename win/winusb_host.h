// The USB seam on Windows through WinUSB: winusb.dll and SetupAPI are loaded when the program first looks for
// a dongle, so a Windows without WinUSB (XP before its redistributable) just has no USB dongles and the
// program's import table stays what the oldest Windows offers. Devices come from the USB device interface;
// one that WinUSB will not open there is listed as not bound to WinUSB, with the interface class its
// compatible ids give, so an unbound bridge-class dongle still reads as a dongle.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "irda/usb_seam.h"

namespace qx {

class WinUsbHost : public irda::UsbHost {
  public:
    WinUsbHost();
    ~WinUsbHost() override;
    WinUsbHost(const WinUsbHost&) = delete;
    WinUsbHost& operator=(const WinUsbHost&) = delete;

    // False when winusb.dll or SetupAPI (or a function of theirs) is missing: the bus then looks empty.
    bool Loaded() const;
    std::vector<irda::UsbDeviceInfo> Enumerate() override;
    std::unique_ptr<irda::UsbDevice> Open(const irda::UsbDeviceInfo& device, std::uint8_t interfaceNumber,
                                          irda::UsbResult& failure) override;

    struct Api;

  private:
    std::unique_ptr<Api> api_;
};

// The seam's kind of failure for a Windows error code of a WinUSB call.
irda::UsbResult WinUsbFailure(unsigned long error);
// Vendor and product id from a USB device path ("\\?\usb#vid_066f&pid_4200#..."), 0 when it has none.
bool VendorProductOfPath(const wchar_t* path, std::uint16_t& vendor, std::uint16_t& product);
// The interface class and subclass named by a device's compatible ids, a multi-string of at most `chars`
// characters ("USB\Class_FE&SubClass_02&Prot_00", "USB\Class_FE&SubClass_02", "USB\Class_FE"); no driver
// needs to be bound to read them. The interface's number and endpoints stay unknown (0, none).
std::optional<irda::UsbInterface> InterfaceOfCompatibleIds(const wchar_t* ids, std::size_t chars);

}  // namespace qx
