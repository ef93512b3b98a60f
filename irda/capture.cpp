#include "irda/capture.h"

#include <array>
#include <chrono>

namespace qx::irda {
namespace {

constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4;
constexpr std::uint32_t PCAP_SNAPLEN = 65535;
constexpr std::uint16_t ARPHRD_IRDA = 783;
constexpr std::uint16_t IRDA_PROTOCOL = 0x0017;

// The file and record headers are little-endian; the pseudo header is big-endian.
void PutLittle(std::ostream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void PutBig16(std::ostream& out, std::uint16_t value) {
    out.put(static_cast<char>(value >> 8));
    out.put(static_cast<char>(value & 0xFF));
}

}  // namespace

std::uint64_t PcapWriter::SystemMicros() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

PcapWriter::PcapWriter(std::ostream& out, MicrosClock clock) : out_(out), clock_(std::move(clock)) {
    PutLittle(out_, PCAP_MAGIC, 4);
    PutLittle(out_, 2, 2);  // version 2.4
    PutLittle(out_, 4, 2);
    PutLittle(out_, 0, 4);  // time zone: UTC
    PutLittle(out_, 0, 4);  // accuracy
    PutLittle(out_, PCAP_SNAPLEN, 4);
    PutLittle(out_, PCAP_LINKTYPE_LINUX_IRDA, 4);
    out_.flush();
}

void PcapWriter::Frame(bool sent, std::span<const std::uint8_t> frame) {
    const std::uint64_t micros = clock_();
    const auto length = static_cast<std::uint32_t>(PCAP_IRDA_PSEUDO_HEADER_SIZE + frame.size());
    PutLittle(out_, static_cast<std::uint32_t>(micros / 1000000), 4);
    PutLittle(out_, static_cast<std::uint32_t>(micros % 1000000), 4);
    PutLittle(out_, length, 4);
    PutLittle(out_, length, 4);
    PutBig16(out_, sent ? PCAP_PACKET_SENT : PCAP_PACKET_RECEIVED);
    PutBig16(out_, ARPHRD_IRDA);
    PutBig16(out_, 0);  // address length
    const std::array<char, 8> address{};
    out_.write(address.data(), address.size());
    PutBig16(out_, IRDA_PROTOCOL);
    out_.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    // Flushed per frame: a capture stays readable up to the last frame even when the program is stopped.
    out_.flush();
}

}  // namespace qx::irda
