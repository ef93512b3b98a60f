// Whatever a dongle answers on its IN transfers (any bytes, any length, stalls, timeouts, a vanished device),
// each family's receive path hands the stack only what the answer held, ends every call, and fails only when
// the device did; the bridge, a frame medium, hands IrLAP exactly the frame behind the header the dongle
// gave, or none, and says the medium is busy only for a header alone that carries the media-busy bit.
//
// Input: a family selector byte, then records of [kind, length, bytes...] answering the IN transfers in turn
// (kind & 3: 0 data, 1 timeout, 2 stall, 3 gone). The STIr4200 first sends a frame, so its FIFO status reads
// take answers too; the selector picks Bridge, STIr4200, MCS7780, KS-959, KingSun Dazzle, KingSun/DonShine in
// that order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "irda/irda_medium.h"
#include "irda/sir_framing.h"
#include "irda/usb_dongle.h"
#include "support/broken_rules.h"

namespace {

using namespace qx::irda;

class FuzzDevice : public UsbDevice {
  public:
    explicit FuzzDevice(std::span<const std::uint8_t> script) : script_(script) {}
    bool failed = false;  // the last IN transfer answered with a failure
    std::vector<std::uint8_t> lastData;

    UsbResult ControlOut(const UsbSetup&, std::span<const std::uint8_t> data, std::uint32_t) override {
        return UsbDone(data.size());
    }
    UsbResult ControlIn(const UsbSetup&, std::span<std::uint8_t> data, std::uint32_t) override {
        return In(data);
    }
    UsbResult BulkOut(std::uint8_t, std::span<const std::uint8_t> data, std::uint32_t) override {
        return UsbDone(data.size());
    }
    UsbResult BulkOutFrame(std::uint8_t, std::span<const std::uint8_t> data, std::uint32_t) override {
        return UsbDone(data.size());
    }
    UsbResult BulkIn(std::uint8_t, std::span<std::uint8_t> data, std::uint32_t) override { return In(data); }
    UsbResult InterruptIn(std::uint8_t, std::span<std::uint8_t> data, std::uint32_t) override {
        return In(data);
    }
    UsbResult InterruptOut(std::uint8_t, std::span<const std::uint8_t> data, std::uint32_t) override {
        return UsbDone(data.size());
    }
    UsbResult ClearHalt(std::uint8_t) override { return UsbDone(0); }
    bool Exhausted() const { return script_.empty(); }

  private:
    UsbResult In(std::span<std::uint8_t> data) {
        lastData.clear();
        failed = false;
        if (script_.size() < 2) {
            script_ = {};
            return UsbFailure(UsbStatus::Timeout);
        }
        const std::uint8_t kind = script_[0] & 3;
        const std::size_t length = std::min<std::size_t>(script_[1], script_.size() - 2);
        const auto bytes = script_.subspan(2, length);
        script_ = script_.subspan(2 + length);
        if (kind != 0) {
            failed = kind != 1;
            return UsbFailure(kind == 1   ? UsbStatus::Timeout
                              : kind == 2 ? UsbStatus::Stall
                                          : UsbStatus::Gone);
        }
        const std::size_t count = std::min(bytes.size(), data.size());
        std::copy_n(bytes.begin(), count, data.begin());
        lastData.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
        return UsbDone(count);
    }
    std::span<const std::uint8_t> script_;
};

class TickingClock : public StackClock {
  public:
    std::uint32_t now = 0;
    std::uint32_t NowMs() override { return now++; }
    void SleepMs(std::uint32_t ms) override { now += ms; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    qx::fuzz::BrokenRules broken;
    const auto family = static_cast<DongleFamily>(data[0] % 6);
    FuzzDevice device(std::span<const std::uint8_t>(data + 1, size - 1));
    TickingClock clock;
    const UsbInterface usbInterface{0,
                                    0xFE,
                                    0x02,
                                    {{0x02, USB_TRANSFER_BULK, 64},
                                     {0x81, USB_TRANSFER_BULK, 64},
                                     {0x83, USB_TRANSFER_INTERRUPT, 8},
                                     {0x04, USB_TRANSFER_INTERRUPT, 8}}};
    auto dongle = MakeDongle({family, 0}, usbInterface, device, clock);
    if (family == DongleFamily::Bridge) {
        IrdaMedium* medium = dongle->FrameMedium();
        broken.Expect(medium != nullptr, "the bridge is no frame medium");
        for (int call = 0; medium != nullptr && call < 64 && !device.Exhausted(); ++call) {
            std::vector<std::uint8_t> frame;
            const MediumReceive got = medium->Receive(Deadline::After(clock, 100), frame);
            broken.Expect(got != MediumReceive::Arriving, "half a frame from a dongle that gives whole ones");
            broken.Expect(got != MediumReceive::Failed || device.failed, "a failure the device never gave");
            broken.Expect(got == MediumReceive::Frame || frame.empty(), "a frame handed on with no frame");
            broken.Expect(
                got != MediumReceive::Busy || (!device.lastData.empty() && device.lastData.size() < 3 &&
                                               (device.lastData[0] & 0x80) != 0),
                "a busy medium the dongle never reported");
            if (got == MediumReceive::Frame) {
                const std::vector<std::uint8_t> given(device.lastData.begin() + 1, device.lastData.end());
                broken.Expect(frame == given, "the frame is not the one behind the header");
                broken.Expect(frame.size() >= 2 && frame.size() <= SIR_MAX_FRAME,
                              "a frame of an impossible size");
            }
        }
        broken.AbortIfAny();
        return 0;
    }
    // The KingSun families learn their endpoints at open (the KingSun/DonShine its buffer's size); neither
    // reads anything there.
    if (family == DongleFamily::KsDazzle || family == DongleFamily::KingSun) {
        broken.Expect(dongle->Start().Ok(), "an open on a device that takes everything failed");
    }
    if (family == DongleFamily::Stir4200) {
        const std::vector<std::uint8_t> frame{0xFF, 0x93};
        broken.Expect(dongle->Send(SirWrap(frame)).Ok(), "a send to a device that takes everything failed");
    }
    for (int call = 0; call < 64 && !device.Exhausted(); ++call) {
        std::vector<std::uint8_t> bytes;
        const UsbResult result = dongle->Receive(bytes, 100);
        broken.Expect(result.Ok() || device.failed || result.status == UsbStatus::Timeout ||
                          result.status == UsbStatus::Failed,
                      "a failure the device never gave");
        if (!result.Ok()) {
            broken.Expect(bytes.empty(), "bytes handed on from a failed receive");
            continue;
        }
        broken.Expect(bytes.size() == result.length, "the length said is not the bytes appended");
        broken.Expect(bytes.size() <= 4096 + 2, "more bytes than one transfer holds");
    }
    broken.AbortIfAny();
    return 0;
}
