// The KingSun/DonShine dongle (Linux kingsun-sir.c; USB 07C0:4200): one interface with an interrupt IN and an
// interrupt OUT endpoint, the SIR bytes carried as they are, and no request at all at open or for the speed
// (no speed command is known: it stays at 9600 baud). A frame goes out SIR-wrapped in one interrupt transfer.
// Each read of the interrupt IN endpoint is its whole buffer (the endpoint's packet size, 8 on the known
// dongles): the first byte the count of valid bytes after it, 1 to the buffer's size less one; any other
// count is a buffer not filled yet (just after plug-in) and is skipped, as is a read of another length.
// The dongle does not clear its buffer once read: with nothing new it hands the same buffer again. Linux
// leaves the repeats to SIR unwrapping, which drops those outside a frame; a repeat of a buffer that holds
// the end of a frame would hand a whole small frame twice, so a buffer equal to the one before it that held
// an EOF is taken for a repeat and skipped (a frame sent twice in a row loses its second copy, which IrLAP
// recovers as a lost frame).
#include <algorithm>
#include <array>

#include "irda/sir_framing.h"
#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::size_t SEND_FIFO_SIZE = 4096;  // the most the driver sends in one transfer
constexpr std::uint32_t TRANSFER_TIMEOUT_MS = 500;
// How long to wait before asking again after a read that brought nothing new.
constexpr std::uint32_t POLL_PAUSE_MS = 1;
// The endpoint's packet sizes the driver accepts for its IN endpoint.
constexpr std::uint16_t MIN_PACKET = 2;
constexpr std::uint16_t MAX_PACKET = 255;

UsbEndpoint FindInterruptIn(const UsbInterface& usbInterface) {
    for (const UsbEndpoint& endpoint : usbInterface.endpoints) {
        if (endpoint.type == USB_TRANSFER_INTERRUPT && (endpoint.address & USB_ENDPOINT_IN) != 0) {
            return endpoint;
        }
    }
    return {};
}

class KingSunDongle : public UsbDongle {
  public:
    KingSunDongle(const UsbInterface& usbInterface, UsbDevice& device, StackClock& clock)
        : device_(device),
          clock_(clock),
          in_(FindInterruptIn(usbInterface)),
          out_(FindEndpoint(usbInterface, USB_TRANSFER_INTERRUPT, false)) {}

    DongleFamily Family() const override { return DongleFamily::KingSun; }

    // Nothing goes to the dongle at open; the driver only checks its endpoints.
    UsbResult Start() override {
        if (in_.address == 0 || out_ == 0 || in_.maxPacket < MIN_PACKET || in_.maxPacket > MAX_PACKET) {
            return UsbFailure(UsbStatus::Failed);
        }
        buffer_.assign(in_.maxPacket, 0);
        return UsbDone(0);
    }

    UsbResult SetSpeed(std::uint32_t baud) override {
        return baud == IRDA_CONTENTION_BAUD ? UsbDone(0) : UsbFailure(UsbStatus::Failed);
    }

    UsbResult Send(std::span<const std::uint8_t> wrapped) override {
        if (wrapped.size() > SEND_FIFO_SIZE) {
            return UsbFailure(UsbStatus::Failed);
        }
        const UsbResult sent = device_.InterruptOut(out_, wrapped, TRANSFER_TIMEOUT_MS);
        if (sent.Ok() && sent.length != wrapped.size()) {
            return UsbFailure(UsbStatus::Failed);  // part of a frame: what went on the air is broken
        }
        return sent;
    }

    UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) override {
        if (buffer_.empty()) {
            return UsbFailure(UsbStatus::Failed);  // not started
        }
        const std::uint32_t deadline = clock_.NowMs() + timeoutMs;
        for (;;) {
            const UsbResult got = device_.InterruptIn(in_.address, buffer_, MsLeft(clock_, deadline));
            if (!got.Ok() && got.status != UsbStatus::Timeout) {
                return got;
            }
            if (got.Ok() && got.length == buffer_.size()) {
                const std::size_t count = buffer_[0];
                const bool valid = count >= 1 && count < buffer_.size();
                const bool repeat = valid && heldEof_ && buffer_ == last_;
                if (valid && !repeat) {
                    const auto first = buffer_.begin() + 1;
                    const auto end = first + static_cast<std::ptrdiff_t>(count);
                    bytes.insert(bytes.end(), first, end);
                    heldEof_ = std::find(first, end, SIR_EOF) != end;
                    last_ = buffer_;
                    return UsbDone(count);
                }
            }
            const std::uint32_t left = MsLeft(clock_, deadline);
            if (left == 0) {
                return UsbDone(0);
            }
            if (got.Ok()) {
                clock_.SleepMs(std::min(left, POLL_PAUSE_MS));  // an interrupt endpoint's pace at the least
            }
        }
    }

  private:
    UsbDevice& device_;
    StackClock& clock_;
    UsbEndpoint in_;
    std::uint8_t out_;
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> last_;  // the last buffer taken
    bool heldEof_ = false;            // it held the end of a frame
};

}  // namespace

std::unique_ptr<UsbDongle> MakeKingSunDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                             StackClock& clock) {
    return std::make_unique<KingSunDongle>(usbInterface, device, clock);
}

}  // namespace qx::irda
