// The instrument itself, without sockets or serial lines: what it answers to discovery, connect and each
// frame (faults included), the configuration word it keeps, and the record of everything it saw. The TCP mode
// speaks it in the loopback emulation's terms, the serial mode through its IrDA stack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "options.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t ADDRESS_SIZE = 32;
inline constexpr std::size_t DEVICE_RECORD_SIZE = 29;
// Longer than any request the instrument knows; a length field beyond it marks garbage.
inline constexpr std::size_t FRAME_LIMIT = 64;
inline constexpr std::int32_t CONNECT_REFUSED = 10061;
inline constexpr std::int32_t CONNECT_TIMED_OUT = 10060;
inline constexpr std::int32_t ADDRESS_FAMILY_UNSUPPORTED = 10047;

// What follows a reply on the connection.
enum class After { Nothing, Close, Reset };

struct Reply {
    Bytes bytes;
    std::uint32_t delayMs = 0;
    After after = After::Nothing;
    bool late = false;  // held back until the next request
};

// Splits a byte stream into frames by their length field (bytes 1-2, high byte first).
class FrameSplitter {
  public:
    void Add(std::span<const std::uint8_t> bytes);
    // The next complete frame; a length field below 3 or beyond FRAME_LIMIT makes everything buffered one
    // frame.
    std::optional<Bytes> Next();

  private:
    Bytes buffer_;
};

// One discovery: 0 and the devices in range, or the Winsock code it fails with (and no device).
struct DiscoveryOutcome {
    std::int32_t result = 0;
    std::vector<Device> devices;
};

// The 32-byte address record a connect gets: IrDA family, device id, service name.
std::array<std::uint8_t, ADDRESS_SIZE> ConnectAddress(std::uint32_t deviceId, const std::string& serviceName);

class Instrument {
  public:
    explicit Instrument(const Options& options);

    // One discovery, fault included, as the record keeps it.
    DiscoveryOutcome Discover();
    // The whole answer to a discovery request, sent before the connection closes.
    Bytes AnswerDiscovery();
    // The result of a connect request; 0 opens a frame connection until EndConnection.
    std::int32_t AnswerConnect(std::span<const std::uint8_t, ADDRESS_SIZE> address);
    // What goes out after one complete frame of the open frame connection: a late reply to the request
    // before it first, then this frame's own reply unless that one is late in turn. A write is stored as it
    // arrives, unless the instrument refuses it.
    Reply AnswerFrame(std::span<const std::uint8_t> frame);
    // A frame that asks the instrument to store a word.
    static bool IsWriteRequest(std::span<const std::uint8_t> frame);
    // Bytes that went out on the frame connection.
    void RecordSent(std::span<const std::uint8_t> bytes);
    void EndConnection();

    std::uint16_t Word() const { return word_; }
    nlohmann::ordered_json Record(const std::string& stopReason) const;

  private:
    struct Connection {
        Bytes address;
        std::int32_t result = 0;
        bool greeted = false;
        std::vector<std::string> received;
        std::vector<std::string> sent;
    };

    // Applies the fault, if it still plays, to the right reply.
    Reply WithFault(Bytes reply, std::optional<FrameFault>& fault);
    Reply OwnReply(Connection& connection, std::span<const std::uint8_t> frame);
    Connection* Current();

    Options options_;
    std::uint16_t word_;
    std::vector<std::uint16_t> writesApplied_;
    nlohmann::ordered_json discoveries_ = nlohmann::ordered_json::array();
    std::vector<Connection> connections_;
    bool connectionOpen_ = false;
    Bytes held_;  // a late reply, waiting for the next request
};

// "80 00 12 ..." as the record writes frames.
std::string Hex(std::span<const std::uint8_t> bytes);

}  // namespace sim
