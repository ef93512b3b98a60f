// The KingSun KS-959 (Linux ks959-sir.c): everything goes over control transfers to its interface (its one
// interrupt endpoint is never used). A frame goes out SIR-wrapped, in pieces of at most 240 bytes, each a
// class request 0x09 whose value is the piece's length, its bytes XORed with a mask that the piece's length
// picks from the key string the driver names and padded with zeros to a multiple of 8 plus 16. What the
// dongle heard comes back to a class request 0x01 (value 0x0200, up to 2048 bytes), each byte XORed with a
// counter kept for the whole session (incremented before each byte) and with 0x55; the byte at which the
// counter wraps to 0 is filler and skipped. The speed is an 8-byte record (baud, little-endian, then 8 data
// bits) to request 0x09 with value 0x0200 and index 1 (SetKingSunSpeed says to which recipient).
#include <algorithm>
#include <array>

#include "irda/usb_families.h"

namespace qx::irda {
namespace {

constexpr std::uint8_t USB_CLASS_INTERFACE_OUT = 0x21;
constexpr std::uint8_t USB_CLASS_DEVICE_OUT = 0x20;
constexpr std::uint8_t REQUEST_SEND = 0x09;
constexpr std::uint8_t REQUEST_RECEIVE = 0x01;
constexpr std::uint16_t RECEIVE_VALUE = 0x0200;
constexpr std::size_t RECEIVE_SIZE = 2048;
constexpr std::size_t PACKET_SIZE = 256;                          // the most the dongle takes in one request
constexpr std::size_t PIECE_SIZE = (PACKET_SIZE & ~0x7u) - 0x10;  // 240 bytes before the padding
constexpr std::uint8_t RECEIVE_XOR = 0x55;
constexpr std::array<std::uint8_t, 16> KEY{'w', 'a', 'n', 'g', 's', 'h', 'u', 'o',
                                           'f', 'e', 'i', '1', '9', '7', '1', '0'};
constexpr std::uint32_t CONTROL_TIMEOUT_MS = 500;
// How long to wait before asking again when the dongle had nothing.
constexpr std::uint32_t POLL_PAUSE_MS = 5;

class Ks959Dongle : public UsbDongle {
  public:
    Ks959Dongle(UsbDevice& device, StackClock& clock) : device_(device), clock_(clock) {}

    DongleFamily Family() const override { return DongleFamily::Ks959; }

    UsbResult Start() override { return StartKingSunSpeed(device_, CONTROL_TIMEOUT_MS); }

    UsbResult SetSpeed(std::uint32_t baud) override {
        return SetKingSunSpeed(device_, baud, CONTROL_TIMEOUT_MS);
    }

    UsbResult Send(std::span<const std::uint8_t> wrapped) override {
        while (!wrapped.empty()) {
            const std::size_t length = std::min(wrapped.size(), PIECE_SIZE);
            const auto piece = wrapped.first(length);
            std::vector<std::uint8_t> padded(((length + 7) & ~std::size_t{7}) + 0x10, 0);
            const auto mask = static_cast<std::uint8_t>(KEY[(length & 0x0F) ^ 0x06] ^ 0x55);
            std::transform(piece.begin(), piece.end(), padded.begin(),
                           [mask](std::uint8_t byte) { return static_cast<std::uint8_t>(byte ^ mask); });
            const UsbResult sent = device_.ControlOut(
                {USB_CLASS_INTERFACE_OUT, REQUEST_SEND, static_cast<std::uint16_t>(length), 0}, padded,
                CONTROL_TIMEOUT_MS);
            if (!sent.Ok()) {
                return sent;
            }
            wrapped = wrapped.subspan(length);
        }
        return UsbDone(0);
    }

    UsbResult Receive(std::vector<std::uint8_t>& bytes, std::uint32_t timeoutMs) override {
        const std::uint32_t deadline = clock_.NowMs() + timeoutMs;
        for (;;) {
            // Never cut short by our own deadline: a control read's timeout hands back no count, and the
            // bytes it loses would leave the counter behind the dongle's for the rest of the session. The
            // dongle answers each request at once, with what it has.
            const UsbResult got = device_.ControlIn(
                {USB_CLASS_INTERFACE_IN, REQUEST_RECEIVE, RECEIVE_VALUE, 0}, buffer_, CONTROL_TIMEOUT_MS);
            if (!got.Ok() && got.status != UsbStatus::Timeout) {
                return got;
            }
            // More than was asked for is a dongle gone wrong: none of it is taken.
            if (got.length > 0 && got.length <= buffer_.size()) {
                const std::size_t before = bytes.size();
                for (std::size_t i = 0; i < got.length; ++i) {
                    ++counter_;
                    if (counter_ != 0) {
                        bytes.push_back(static_cast<std::uint8_t>(buffer_[i] ^ counter_ ^ RECEIVE_XOR));
                    }
                }
                if (bytes.size() > before) {
                    return UsbDone(bytes.size() - before);
                }
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
    std::uint8_t counter_ = 0;  // the receive mask's counter, kept for the session
    std::array<std::uint8_t, RECEIVE_SIZE> buffer_{};
};

}  // namespace

UsbResult SetKingSunSpeed(UsbDevice& device, std::uint32_t baud, std::uint32_t timeoutMs) {
    // The SIR rates of the drivers' speed table.
    constexpr std::array<std::uint32_t, 6> SPEEDS{2400, 9600, 19200, 38400, 57600, 115200};
    constexpr std::uint16_t SPEED_VALUE = 0x0200;
    constexpr std::uint16_t SPEED_INDEX = 0x0001;
    constexpr std::uint8_t DATA_8_BITS = 0x03;
    if (std::find(SPEEDS.begin(), SPEEDS.end(), baud) == SPEEDS.end()) {
        return UsbFailure(UsbStatus::Failed);
    }
    const std::array<std::uint8_t, 8> record{static_cast<std::uint8_t>(baud),
                                             static_cast<std::uint8_t>(baud >> 8),
                                             static_cast<std::uint8_t>(baud >> 16),
                                             static_cast<std::uint8_t>(baud >> 24),
                                             DATA_8_BITS,
                                             0,
                                             0,
                                             0};
    return device.ControlOut({USB_CLASS_DEVICE_OUT, REQUEST_SEND, SPEED_VALUE, SPEED_INDEX}, record,
                             timeoutMs);
}

UsbResult StartKingSunSpeed(UsbDevice& device, std::uint32_t timeoutMs) {
    const UsbResult set = SetKingSunSpeed(device, IRDA_CONTENTION_BAUD, timeoutMs);
    return set.status == UsbStatus::Stall ? UsbDone(0) : set;
}

std::unique_ptr<UsbDongle> MakeKs959Dongle(const UsbInterface&, UsbDevice& device, StackClock& clock) {
    return std::make_unique<Ks959Dongle>(device, clock);
}

}  // namespace qx::irda
