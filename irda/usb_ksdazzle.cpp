// The KingSun Dazzle (Linux ksdazzle-sir.c; USB 07D0:4100, also sold as MA-660): one interface with an
// interrupt IN and an interrupt OUT endpoint, the SIR bytes carried as they are. A frame goes out SIR-wrapped
// in pieces of at most 7 bytes, each an 8-byte interrupt transfer whose first byte is 0xF8 plus the piece's
// length, the bytes after the piece zero. What the dongle heard comes back on the interrupt IN endpoint in
// transfers of 0 to 8 bytes that join into the SIR stream. The speed is an 8-byte record (baud,
// little-endian, then 8 data bits) to class request 0x09 with value 0x0200 and index 1, as the KS-959 takes
// it (SetKingSunSpeed).
#include <algorithm>
#include <array>

#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::size_t PAYLOAD_SIZE = 8;
constexpr std::size_t PIECE_SIZE = PAYLOAD_SIZE - 1;
constexpr std::uint8_t PIECE_PREFIX = 0xF8;  // plus the piece's length
constexpr std::size_t RECEIVE_SIZE = 2048;
constexpr std::uint32_t TRANSFER_TIMEOUT_MS = 500;
// How long to wait before asking again when the dongle answered with nothing.
constexpr std::uint32_t POLL_PAUSE_MS = 5;

class KsDazzleDongle : public UsbDongle {
  public:
    KsDazzleDongle(const UsbInterface& usbInterface, UsbDevice& device, StackClock& clock)
        : device_(device),
          clock_(clock),
          in_(FindEndpoint(usbInterface, USB_TRANSFER_INTERRUPT, true)),
          out_(FindEndpoint(usbInterface, USB_TRANSFER_INTERRUPT, false)) {}

    DongleFamily Family() const override { return DongleFamily::KsDazzle; }

    UsbResult Start() override {
        if (in_ == 0 || out_ == 0) {
            return UsbFailure(UsbStatus::Failed);  // not the two interrupt endpoints the driver expects
        }
        return StartKingSunSpeed(device_, TRANSFER_TIMEOUT_MS);
    }

    // The driver announces the same rates as the KS-959's table.
    UsbResult SetSpeed(std::uint32_t baud) override {
        return SetKingSunSpeed(device_, baud, TRANSFER_TIMEOUT_MS);
    }

    UsbResult Send(std::span<const std::uint8_t> wrapped) override {
        while (!wrapped.empty()) {
            const std::size_t length = std::min(wrapped.size(), PIECE_SIZE);
            std::array<std::uint8_t, PAYLOAD_SIZE> payload{};
            payload[0] = static_cast<std::uint8_t>(PIECE_PREFIX + length);
            std::copy_n(wrapped.begin(), length, payload.begin() + 1);
            const UsbResult sent = device_.InterruptOut(out_, payload, TRANSFER_TIMEOUT_MS);
            if (!sent.Ok()) {
                return sent;
            }
            if (sent.length != payload.size()) {
                return UsbFailure(UsbStatus::Failed);  // part of a piece: the frame on the air is broken
            }
            wrapped = wrapped.subspan(length);
        }
        return UsbDone(0);
    }

    UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) override {
        const std::uint32_t deadline = clock_.NowMs() + timeoutMs;
        for (;;) {
            const UsbResult got = device_.InterruptIn(in_, buffer_, MsLeft(clock_, deadline));
            if (!got.Ok() && got.status != UsbStatus::Timeout) {
                return got;
            }
            // More than was asked for is a dongle gone wrong: none of it is taken. Bytes before a timeout
            // are bytes heard.
            if (got.length > 0 && got.length <= buffer_.size()) {
                bytes.insert(bytes.end(), buffer_.begin(),
                             buffer_.begin() + static_cast<std::ptrdiff_t>(got.length));
                return UsbDone(got.length);
            }
            const std::uint32_t left = MsLeft(clock_, deadline);
            if (left == 0) {
                return UsbDone(0);
            }
            if (got.Ok()) {
                clock_.SleepMs(std::min(left, POLL_PAUSE_MS));
            }
        }
    }

  private:
    UsbDevice& device_;
    StackClock& clock_;
    std::uint8_t in_;
    std::uint8_t out_;
    std::array<std::uint8_t, RECEIVE_SIZE> buffer_{};
};

}  // namespace

std::unique_ptr<UsbDongle> MakeKsDazzleDongle(const UsbInterface& usbInterface, UsbDevice& device,
                                              StackClock& clock) {
    return std::make_unique<KsDazzleDongle>(usbInterface, device, clock);
}

}  // namespace qx::irda
