// Every IrLAP frame in and out of the stack, for a capture file: the stack hands each frame to an optional
// sink, and PcapWriter writes them as a pcap file of link type 144 (LINKTYPE_LINUX_IRDA) that Wireshark and
// tshark decode as IrLAP, IrLMP and IAS.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>

namespace qx::irda {

class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // One IrLAP frame (address, control, information; no flags, escapes or FCS), sent or received.
    virtual void Frame(bool sent, std::span<const std::uint8_t> frame) = 0;
};

inline constexpr std::uint32_t PCAP_LINKTYPE_LINUX_IRDA = 144;
inline constexpr std::size_t PCAP_IRDA_PSEUDO_HEADER_SIZE = 16;
inline constexpr std::uint16_t PCAP_PACKET_RECEIVED = 0;
inline constexpr std::uint16_t PCAP_PACKET_SENT = 4;

class PcapWriter : public FrameSink {
  public:
    // Microseconds since 1970 for each record's time stamp.
    using MicrosClock = std::function<std::uint64_t()>;
    static std::uint64_t SystemMicros();

    // Writes the file header at once; `out` must outlive the writer.
    explicit PcapWriter(std::ostream& out, MicrosClock clock = SystemMicros);
    void Frame(bool sent, std::span<const std::uint8_t> frame) override;
    // False once a write to the stream failed.
    bool Good() const { return out_.good(); }

  private:
    std::ostream& out_;
    MicrosClock clock_;
};

}  // namespace qx::irda
