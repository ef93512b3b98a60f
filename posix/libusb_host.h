// The USB seam on Linux through libusb-1.0: the devices usbfs shows, opened with the interface claimed (a
// kernel driver bound to it is detached for the time this program holds it). A device whose node this user
// may not open is listed as not reachable.
#pragma once

#include <memory>
#include <string>

#include "irda/usb_seam.h"

struct libusb_context;

namespace qx::posix {

class LibusbHost : public irda::UsbHost {
  public:
    LibusbHost();
    ~LibusbHost() override;
    LibusbHost(const LibusbHost&) = delete;
    LibusbHost& operator=(const LibusbHost&) = delete;

    // False when libusb could not start (no usbfs): the bus then looks empty.
    bool Started() const override { return context_ != nullptr; }
    // libusb's name and text of the error it could not start with ("LIBUSB_ERROR_IO, Input/Output Error");
    // empty when it started.
    std::string StartProblem() const;
    std::vector<irda::UsbDeviceInfo> Enumerate() override;
    std::unique_ptr<irda::UsbDevice> Open(const irda::UsbDeviceInfo& device, std::uint8_t interfaceNumber,
                                          irda::UsbResult& failure) override;

  private:
    libusb_context* context_ = nullptr;
    int startError_ = 0;
};

// The seam's result for a libusb return code (a count when not negative).
irda::UsbResult LibusbResult(int code, std::size_t transferred = 0);

}  // namespace qx::posix
