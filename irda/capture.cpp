#include "irda/capture.h"

#include <chrono>
#include <utility>

namespace qx::irda {
namespace {

constexpr std::uint32_t PCAP_SNAPLEN = 65535;
constexpr std::uint16_t ARPHRD_IRDA = 783;
constexpr std::uint16_t IRDA_PROTOCOL = 0x0017;

// The file and record headers are little-endian; the pseudo header is big-endian.
void PutLittle(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
    }
}

void PutBig16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

}  // namespace

std::uint64_t PcapWriter::SystemMicros() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

PcapWriter::PcapWriter(ByteWriter write, MicrosClock clock)
    : write_(std::move(write)), clock_(std::move(clock)) {
    std::vector<std::uint8_t> header;
    PutLittle(header, PCAP_MAGIC, 4);
    PutLittle(header, 2, 2);  // version 2.4
    PutLittle(header, 4, 2);
    PutLittle(header, 0, 4);  // time zone: UTC
    PutLittle(header, 0, 4);  // accuracy
    PutLittle(header, PCAP_SNAPLEN, 4);
    PutLittle(header, PCAP_LINKTYPE_LINUX_IRDA, 4);
    Put(header);
}

void PcapWriter::Put(const std::vector<std::uint8_t>& bytes) {
    if (good_ && !write_(bytes)) {
        good_ = false;
    }
}

void PcapWriter::Frame(bool sent, std::span<const std::uint8_t> frame) {
    const std::uint64_t micros = clock_();
    const auto length = static_cast<std::uint32_t>(PCAP_IRDA_PSEUDO_HEADER_SIZE + frame.size());
    std::vector<std::uint8_t> record;
    record.reserve(16 + length);
    PutLittle(record, static_cast<std::uint32_t>(micros / 1000000), 4);
    PutLittle(record, static_cast<std::uint32_t>(micros % 1000000), 4);
    PutLittle(record, length, 4);
    PutLittle(record, length, 4);
    PutBig16(record, sent ? PCAP_PACKET_SENT : PCAP_PACKET_RECEIVED);
    PutBig16(record, ARPHRD_IRDA);
    PutBig16(record, 0);                // address length
    record.insert(record.end(), 8, 0);  // address
    PutBig16(record, IRDA_PROTOCOL);
    record.insert(record.end(), frame.begin(), frame.end());
    Put(record);
}

}  // namespace qx::irda
