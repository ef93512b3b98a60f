#include "instrument.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace sim {

namespace {

// The instrument's frames, spelled out here rather than taken from the program, so that a wrong byte on the
// program's side shows up against the simulator.
constexpr std::array<std::uint8_t, 18> GREETING = {0x80, 0x00, 0x12, 0x10, 0x00, 0x08, 0x00, 0x70, 0x00,
                                                   0x0B, 'Q',  'X',  '7',  '7',  '1',  '0',  'Z',  '_'};
constexpr std::array<std::uint8_t, 12> GREETING_REPLY = {0xA0, 0x00, 0x0C, 0x10, 0x00, 0x00,
                                                         0x40, 0xF0, 0x00, 0x00, 0x77, 0x10};
constexpr std::array<std::uint8_t, 5> READ_REQUEST = {0x83, 0x00, 0x05, 0xB1, 0xD3};
constexpr std::array<std::uint8_t, 8> WRITE_REQUEST_HEAD = {0x82, 0x00, 0x0A, 0xB1, 0xD3, 0x72, 0x00, 0x05};
constexpr std::size_t WRITE_REQUEST_SIZE = 10;
constexpr std::array<std::uint8_t, 3> WRITE_ACK = {0xA0, 0x00, 0x03};
constexpr std::array<std::uint8_t, 3> NEGATIVE_REPLY = {0xC0, 0x00, 0x03};
constexpr std::uint16_t IRDA_FAMILY = 26;
constexpr std::size_t SERVICE_NAME_OFFSET = 6;
constexpr std::size_t SERVICE_NAME_SIZE = 25;

void PutLittleEndian32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

bool Equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The service name up to its first zero, with bytes outside printable ASCII as \xNN so the JSON stays valid.
std::string ServiceName(std::span<const std::uint8_t> bytes) {
    std::string name;
    for (const std::uint8_t byte : bytes) {
        if (byte == 0) {
            break;
        }
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            name += static_cast<char>(byte);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            name += escaped;
        }
    }
    return name;
}

bool Plays(const std::optional<FrameFault>& fault) {
    return fault && fault->remaining != 0;
}

}  // namespace

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        if (!text.empty()) {
            text += ' ';
        }
        text += digits;
    }
    return text;
}

void FrameSplitter::Add(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Bytes> FrameSplitter::Next() {
    if (buffer_.size() < 3) {
        return std::nullopt;
    }
    std::size_t length = static_cast<std::size_t>(buffer_[1]) * 256 + buffer_[2];
    if (length < 3 || length > FRAME_LIMIT) {
        length = buffer_.size();
    }
    if (buffer_.size() < length) {
        return std::nullopt;
    }
    Bytes frame(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    return frame;
}

Instrument::Instrument(const Options& options) : options_(options), word_(options.word) {}

Instrument::Connection* Instrument::Current() {
    return connectionOpen_ ? &connections_.back() : nullptr;
}

DiscoveryOutcome Instrument::Discover() {
    if (auto& fault = options_.discoveryError; fault && fault->remaining != 0) {
        if (fault->remaining > 0) {
            --fault->remaining;
        }
        discoveries_.push_back({{"result", fault->code}});
        return {fault->code, {}};
    }
    discoveries_.push_back({{"result", 0}, {"count", options_.devices.size()}});
    return {0, options_.devices};
}

Bytes Instrument::AnswerDiscovery() {
    const DiscoveryOutcome outcome = Discover();
    Bytes answer;
    PutLittleEndian32(answer, static_cast<std::uint32_t>(outcome.result));
    if (outcome.result != 0) {
        return answer;
    }
    PutLittleEndian32(answer, static_cast<std::uint32_t>(outcome.devices.size()));
    for (const Device& device : outcome.devices) {
        const std::size_t start = answer.size();
        PutLittleEndian32(answer, device.id);
        answer.insert(answer.end(), device.name.begin(), device.name.end());
        answer.resize(start + DEVICE_RECORD_SIZE, 0);  // zero padding, both hint bytes and the character set
    }
    return answer;
}

std::array<std::uint8_t, ADDRESS_SIZE> ConnectAddress(std::uint32_t deviceId,
                                                      const std::string& serviceName) {
    Bytes record;
    record.push_back(static_cast<std::uint8_t>(IRDA_FAMILY));
    record.push_back(static_cast<std::uint8_t>(IRDA_FAMILY >> 8));
    PutLittleEndian32(record, deviceId);
    record.insert(
        record.end(), serviceName.begin(),
        serviceName.begin() + static_cast<std::ptrdiff_t>(std::min(serviceName.size(), SERVICE_NAME_SIZE)));
    std::array<std::uint8_t, ADDRESS_SIZE> address{};
    std::copy(record.begin(), record.end(), address.begin());
    return address;
}

std::int32_t Instrument::AnswerConnect(std::span<const std::uint8_t, ADDRESS_SIZE> address) {
    const std::uint16_t family = static_cast<std::uint16_t>(address[0] | (address[1] << 8));
    const std::uint32_t deviceId =
        address[2] | (address[3] << 8) | (address[4] << 16) | (static_cast<std::uint32_t>(address[5]) << 24);
    const auto nameBytes = address.subspan(SERVICE_NAME_OFFSET, SERVICE_NAME_SIZE);
    const auto nameEnd = std::find(nameBytes.begin(), nameBytes.end(), std::uint8_t{0});
    const std::string serviceName(nameBytes.begin(), nameEnd);

    Connection connection;
    connection.address.assign(address.begin(), address.end());
    if (auto& fault = options_.connectError; fault && fault->remaining != 0) {
        if (fault->remaining > 0) {
            --fault->remaining;
        }
        connection.result = fault->code;
    } else if (family != IRDA_FAMILY) {
        connection.result = ADDRESS_FAMILY_UNSUPPORTED;
    } else {
        const auto device =
            std::find_if(options_.devices.begin(), options_.devices.end(),
                         [&](const Device& d) { return d.id == deviceId && d.name == serviceName; });
        connection.result = device == options_.devices.end()            ? CONNECT_REFUSED
                            : device->kind == DeviceKind::Instrument    ? 0
                            : device->kind == DeviceKind::DiscoveryOnly ? CONNECT_TIMED_OUT
                                                                        : CONNECT_REFUSED;
    }
    connections_.push_back(std::move(connection));
    connectionOpen_ = connections_.back().result == 0;
    return connections_.back().result;
}

Reply Instrument::WithFault(Bytes reply, std::optional<FrameFault>& fault) {
    if (!Plays(fault)) {
        return {std::move(reply), 0, After::Nothing, false};
    }
    if (fault->remaining > 0) {
        --fault->remaining;
    }
    const std::size_t half = std::max<std::size_t>(reply.size() / 2, 1);
    switch (fault->kind) {
        case FaultKind::Status:
            reply[0] = fault->value;
            break;
        case FaultKind::Length:
            reply[2] = static_cast<std::uint8_t>(reply[2] + 1);
            break;
        case FaultKind::Byte:
            reply[fault->value] = static_cast<std::uint8_t>(~reply[fault->value]);
            break;
        case FaultKind::Short:
            reply.resize(half);
            break;
        case FaultKind::Silent:
            reply.clear();
            break;
        case FaultKind::Drop:
            reply.resize(half);
            return {std::move(reply), 0, After::Close, false};
        case FaultKind::Reset:
            reply.resize(half);
            return {std::move(reply), 0, After::Reset, false};
        case FaultKind::Delay:
            return {std::move(reply), options_.delayMs, After::Nothing, false};
        case FaultKind::Late:
            return {std::move(reply), 0, After::Nothing, true};
    }
    return {std::move(reply), 0, After::Nothing, false};
}

bool Instrument::IsWriteRequest(std::span<const std::uint8_t> frame) {
    return frame.size() == WRITE_REQUEST_SIZE &&
           Equal(frame.first(WRITE_REQUEST_HEAD.size()), WRITE_REQUEST_HEAD);
}

Reply Instrument::AnswerFrame(std::span<const std::uint8_t> frame) {
    Connection* connection = Current();
    if (connection == nullptr) {
        return {};
    }
    Reply reply = OwnReply(*connection, frame);
    Bytes earlier = std::exchange(held_, {});
    if (reply.late) {
        held_ = std::move(reply.bytes);
        reply = {};
    }
    reply.bytes.insert(reply.bytes.begin(), earlier.begin(), earlier.end());
    return reply;
}

Reply Instrument::OwnReply(Connection& connection, std::span<const std::uint8_t> frame) {
    connection.received.push_back(Hex(frame));
    if (Equal(frame, GREETING)) {
        connection.greeted = true;
        return WithFault(Bytes(GREETING_REPLY.begin(), GREETING_REPLY.end()), options_.greetingFault);
    }
    if (connection.greeted && Equal(frame, READ_REQUEST)) {
        const Bytes reply = {0xA0,
                             0x00,
                             0x08,
                             0x72,
                             0x00,
                             0x05,
                             static_cast<std::uint8_t>(word_ & 0xFF),
                             static_cast<std::uint8_t>(word_ >> 8)};
        return WithFault(reply, options_.readFault);
    }
    if (connection.greeted && frame.size() == WRITE_REQUEST_SIZE &&
        Equal(frame.first(WRITE_REQUEST_HEAD.size()), WRITE_REQUEST_HEAD)) {
        Reply reply = WithFault(Bytes(WRITE_ACK.begin(), WRITE_ACK.end()), options_.writeFault);
        // The instrument stores the word as the request arrives; what happens to its acknowledgement on the
        // way back does not undo that. Only an answer with another status says it did not take the write.
        if (reply.bytes.empty() || reply.bytes[0] == WRITE_ACK[0]) {
            word_ = static_cast<std::uint16_t>(frame[8] | (frame[9] << 8));
            writesApplied_.push_back(word_);
        }
        return reply;
    }
    return {Bytes(NEGATIVE_REPLY.begin(), NEGATIVE_REPLY.end()), 0, After::Nothing, false};
}

void Instrument::RecordSent(std::span<const std::uint8_t> bytes) {
    if (Connection* connection = Current(); connection != nullptr && !bytes.empty()) {
        connection->sent.push_back(Hex(bytes));
    }
}

void Instrument::EndConnection() {
    connectionOpen_ = false;
    held_.clear();
}

nlohmann::ordered_json Instrument::Record(const std::string& stopReason) const {
    nlohmann::ordered_json connections = nlohmann::ordered_json::array();
    for (const Connection& c : connections_) {
        const auto address = std::span<const std::uint8_t>(c.address);
        connections.push_back({
            {"address", Hex(address)},
            {"family", address[0] | (address[1] << 8)},
            {"device_id", address[2] | (address[3] << 8) | (address[4] << 16) |
                              (static_cast<std::uint32_t>(address[5]) << 24)},
            {"service_name", ServiceName(address.subspan(SERVICE_NAME_OFFSET, SERVICE_NAME_SIZE))},
            {"result", c.result},
            {"received", c.received},
            {"sent", c.sent},
        });
    }
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const Device& d : options_.devices) {
        devices.push_back({{"id", d.id}, {"name", d.name}});
    }
    return {
        {"initial_word", options_.word},    {"final_word", word_},
        {"writes_applied", writesApplied_}, {"devices", devices},
        {"discoveries", discoveries_},      {"connections", connections},
        {"stop_reason", stopReason},
    };
}

}  // namespace sim
