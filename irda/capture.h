// Every IrLAP frame in and out of the stack, for a capture file: the stack hands each frame to an optional
// sink, and PcapWriter writes them as a pcap file of link type 144 (LINKTYPE_LINUX_IRDA) that Wireshark and
// tshark decode as IrLAP, IrLMP and IAS.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <utility>
#include <vector>

namespace qx::irda {

class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // One IrLAP frame (address, control, information; no flags, escapes or FCS), sent or received.
    virtual void Frame(bool sent, std::span<const std::uint8_t> frame) = 0;
};

// The file header PcapWriter writes first: the magic (little-endian, microsecond time stamps), then 20 bytes.
inline constexpr std::uint32_t PCAP_MAGIC = 0xA1B2C3D4;
inline constexpr std::size_t PCAP_FILE_HEADER_SIZE = 24;
inline constexpr std::uint32_t PCAP_LINKTYPE_LINUX_IRDA = 144;
inline constexpr std::size_t PCAP_IRDA_PSEUDO_HEADER_SIZE = 16;
inline constexpr std::uint16_t PCAP_PACKET_RECEIVED = 0;
inline constexpr std::uint16_t PCAP_PACKET_SENT = 4;

class PcapWriter : public FrameSink {
  public:
    // Microseconds since 1970 for each record's time stamp.
    using MicrosClock = std::function<std::uint64_t()>;
    static std::uint64_t SystemMicros();

    // Takes the file's bytes, the header and then one whole record at a time; false when they could not be
    // written. (The Windows console program writes the file itself, so as not to carry the C++ streams.)
    using ByteWriter = std::function<bool(std::span<const std::uint8_t>)>;

    // Both write the file header at once; `out` must outlive the writer.
    explicit PcapWriter(ByteWriter write, MicrosClock clock = SystemMicros);
    explicit PcapWriter(std::ostream& out, MicrosClock clock = SystemMicros)
        : PcapWriter(
              [&out](std::span<const std::uint8_t> bytes) {
                  out.write(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<std::streamsize>(bytes.size()));
                  // Flushed per record: a capture stays readable up to the last frame even when the program
                  // is stopped.
                  out.flush();
                  return out.good();
              },
              std::move(clock)) {}
    void Frame(bool sent, std::span<const std::uint8_t> frame) override;
    // False once a write failed.
    bool Good() const { return good_; }

  private:
    void Put(const std::vector<std::uint8_t>& bytes);

    ByteWriter write_;
    MicrosClock clock_;
    bool good_ = true;
};

}  // namespace qx::irda
