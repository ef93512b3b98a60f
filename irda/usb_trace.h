// A witness at the USB seam for --trace=all: the host and the devices it opens pass every call through
// unchanged and write one line about each (the open, then each transfer: its kind, the setup packet or the
// endpoint, the length asked and moved, the bytes of a control transfer, the result with the platform's own
// code). A first dongle of a family on real hardware shows in these lines what its open did. Lines that
// repeat one another (a poll that found nothing) are folded into one with their count.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "irda/usb_seam.h"

namespace qx::irda {

// One trace line without its line end.
using UsbTraceSink = std::function<void(const std::string&)>;

// "ok", "timeout", "stall", "gone", "busy", "failed", with the platform's code after a failure.
std::string UsbResultText(const UsbResult& result);

class TracedUsbHost final : public UsbHost {
  public:
    // `inner` must outlive this host.
    TracedUsbHost(UsbHost& inner, UsbTraceSink sink);
    ~TracedUsbHost() override;
    TracedUsbHost(const TracedUsbHost&) = delete;
    TracedUsbHost& operator=(const TracedUsbHost&) = delete;

    bool Started() const override { return inner_.Started(); }
    std::vector<UsbDeviceInfo> Enumerate() override;
    std::unique_ptr<UsbDevice> Open(const UsbDeviceInfo& device, std::uint8_t interfaceNumber,
                                    UsbResult& failure) override;

    // Writes a line, folding it into the one before when it is the same.
    void Line(const std::string& text);
    // Writes out the count of lines folded and not yet said.
    void Flush();

  private:
    UsbHost& inner_;
    UsbTraceSink sink_;
    std::string last_;
    int repeats_ = 0;
};

}  // namespace qx::irda
