#include "irda_secondary.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <utility>

namespace sim {

namespace {

constexpr std::uint8_t BROADCAST = 0x7F;
constexpr std::uint8_t COMMAND_BIT = 0x01;
constexpr std::uint8_t POLL_BIT = 0x10;
constexpr std::uint8_t SNRM = 0x83;
constexpr std::uint8_t DISC = 0x43;
constexpr std::uint8_t XID_COMMAND = 0x2F;
constexpr std::uint8_t XID_RESPONSE = 0xAF;
constexpr std::uint8_t UA = 0x63;
constexpr std::uint8_t DM = 0x0F;
constexpr std::uint8_t RR = 0x01;
constexpr std::uint8_t RNR = 0x05;
constexpr std::uint8_t RD = 0x43;
constexpr std::uint8_t FRMR = 0x87;
constexpr std::uint8_t CONTENTION_XBOFS = 10;
constexpr std::array<std::size_t, 8> ADDITIONAL_BOFS = {48, 24, 12, 5, 3, 2, 1, 0};
// A second of RNR while a write is stored.
constexpr std::chrono::milliseconds WRITE_BUSY{1000};
constexpr std::uint8_t XID_FORMAT = 0x01;
constexpr std::uint8_t FINAL_SLOT = 0xFF;
constexpr std::uint32_t BROADCAST_DEVICE = 0xFFFFFFFF;
constexpr std::array<int, 4> SLOT_COUNTS = {1, 6, 8, 16};
// A handheld instrument (PDA/palmtop hint), ASCII nickname.
constexpr std::array<std::uint8_t, 2> HINTS = {0x82, 0x00};
constexpr std::uint8_t CHARSET_ASCII = 0x00;

// Negotiation parameters (PI) and the bit tables behind their values.
constexpr std::uint8_t PI_BAUD = 0x01;
constexpr std::uint8_t PI_MAX_TURNAROUND = 0x82;
constexpr std::uint8_t PI_DATA_SIZE = 0x83;
constexpr std::uint8_t PI_WINDOW = 0x84;
constexpr std::uint8_t PI_ADDITIONAL_BOFS = 0x85;
constexpr std::uint8_t PI_MIN_TURNAROUND = 0x86;
constexpr std::uint8_t PI_DISCONNECT_THRESHOLD = 0x08;
constexpr std::uint16_t BAUD_9600 = 0x02;
constexpr std::uint8_t OWN_THRESHOLDS = 0x03;  // 3 s and 8 s
constexpr std::array<int, 8> THRESHOLD_S = {3, 8, 12, 16, 20, 25, 30, 40};
constexpr std::array<int, 8> MIN_TURNAROUND_US = {10000, 5000, 1000, 500, 100, 50, 10, 0};
constexpr std::array<std::size_t, 6> DATA_SIZES = {64, 128, 256, 512, 1024, 2048};
// What the instrument states for itself: 500 ms maximum turnaround, frames up to 128 bytes, window 1, no
// additional BOFs, 10 ms minimum turnaround.
constexpr std::uint8_t OWN_MAX_TURNAROUND = 0x01;
constexpr std::uint8_t OWN_DATA_SIZES = 0x03;
constexpr std::uint8_t OWN_WINDOW = 0x01;
constexpr std::uint8_t OWN_ADDITIONAL_BOFS = 0x80;
constexpr std::uint8_t OWN_MIN_TURNAROUND = 0x01;

// IrLMP and IAS.
constexpr std::uint8_t LM_CONTROL = 0x80;
constexpr std::uint8_t LM_CONNECT = 0x01;
constexpr std::uint8_t LM_CONNECT_CONFIRM = 0x81;
constexpr std::uint8_t LM_DISCONNECT = 0x02;
constexpr std::uint8_t LM_USER_REQUEST = 0x01;
constexpr std::uint8_t LM_NOT_CONNECTED = 0x06;
constexpr std::uint8_t LM_NO_CLIENT = 0x08;
constexpr std::uint8_t IAS_LSAP = 0x00;
constexpr std::uint8_t IAP_LAST = 0x80;
constexpr std::uint8_t IAP_ACK = 0x40;
constexpr std::uint8_t IAP_GET_VALUE_BY_CLASS = 0x04;
constexpr std::uint8_t IAS_SUCCESS = 0x00;
constexpr std::uint8_t IAS_NO_SUCH_CLASS = 0x01;
constexpr std::uint8_t IAS_NO_SUCH_ATTRIBUTE = 0x02;
constexpr std::uint8_t IAS_UNSUPPORTED = 0xFF;
constexpr std::uint8_t IAS_INTEGER = 0x01;
constexpr std::uint8_t IAS_STRING = 0x03;
constexpr std::uint16_t INSTRUMENT_OBJECT = 0x0001;
constexpr std::uint16_t DEVICE_OBJECT = 0x0000;
constexpr const char* DEVICE_CLASS = "Device";
constexpr const char* DEVICE_NAME_ATTRIBUTE = "DeviceName";

// TinyTP.
constexpr std::uint8_t TTP_MORE = 0x80;
constexpr std::uint8_t TTP_CREDIT = 0x7F;
constexpr std::size_t LM_TTP_HEADER = 3;

std::uint32_t LittleEndian32(std::span<const std::uint8_t> bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void PutLittleEndian32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void PutBigEndian16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// The index of the highest bit set, or -1.
int HighestBit(unsigned bits) {
    int index = -1;
    for (int i = 0; bits != 0; ++i, bits >>= 1) {
        if ((bits & 1) != 0) {
            index = i;
        }
    }
    return index;
}

// The negotiation parameters as PI -> value (little-endian, at most two bytes read); a cut parameter ends the
// list.
std::vector<std::pair<std::uint8_t, unsigned>> Parameters(std::span<const std::uint8_t> bytes) {
    std::vector<std::pair<std::uint8_t, unsigned>> parameters;
    while (bytes.size() >= 2 && bytes.size() >= 2u + bytes[1]) {
        const std::uint8_t length = bytes[1];
        unsigned value = 0;
        for (std::size_t i = 0; i < std::min<std::size_t>(length, 2); ++i) {
            value |= static_cast<unsigned>(bytes[2 + i]) << (8 * i);
        }
        parameters.emplace_back(bytes[0], value);
        bytes = bytes.subspan(2u + length);
    }
    return parameters;
}

std::optional<unsigned> Find(const std::vector<std::pair<std::uint8_t, unsigned>>& parameters,
                             std::uint8_t pi) {
    for (const auto& [id, value] : parameters) {
        if (id == pi) {
            return value;
        }
    }
    return std::nullopt;
}

std::string Text(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

IrdaSecondary::IrdaSecondary(const Options& options, Instrument& instrument, std::uint32_t seed)
    : options_(options), faults_(options.linkFaults), instrument_(instrument), random_(seed) {
    if (faults_.staleLink && !options_.devices.empty()) {
        HoldStaleLink(Clock::now());
    }
}

void IrdaSecondary::HoldStaleLink(TimePoint now) {
    link_.emplace();
    link_->primary = 0x0BADF00D;
    link_->device = options_.devices.front();
    link_->connectionAddress = 0x35;
    link_->lastHeard = now;
    link_->stale = true;
    link_->fresh = false;
    link_->record = {{"primary", link_->primary},
                     {"device_id", link_->device.id},
                     {"connection_address", link_->connectionAddress},
                     {"result", "stale"},
                     {"frames_received", 0},
                     {"frames_sent", 0},
                     {"retransmissions", 0},
                     {"duplicates", 0},
                     {"rnr_sent", 0},
                     {"credit_violations", 0},
                     {"ias", nlohmann::ordered_json::array()},
                     {"lm", nlohmann::ordered_json::array()}};
}

void IrdaSecondary::Send(Bytes frame, TimePoint at, bool badFcs) {
    if (link_ && link_->silenced) {
        return;
    }
    std::size_t xbofs = CONTENTION_XBOFS;
    if (link_) {
        link_->record["frames_sent"] = link_->record["frames_sent"].get<int>() + 1;
        // The UA still goes out under the contention rule; after it, the primary's own number.
        if (!(frame.size() > 1 && (frame[1] & ~POLL_BIT) == UA && link_->fresh)) {
            xbofs = link_->primaryBofs;
        }
    }
    // Responses are due in the order they were made; a later one never overtakes an earlier.
    if (!due_.empty()) {
        at = std::max(at, due_.back().first);
    }
    due_.emplace_back(at, Transmission{std::move(frame), badFcs, xbofs});
}

TimePoint IrdaSecondary::ResponseTime(TimePoint now) const {
    if (faults_.slowTurnaround) {
        return now + std::chrono::milliseconds(options_.turnaroundMs);
    }
    return link_ ? now + link_->minTurnaround : now;
}

void IrdaSecondary::Receive(std::span<const std::uint8_t> frame, TimePoint now) {
    if (frame.size() < 2 || (frame[0] & COMMAND_BIT) == 0) {
        ++ignoredFrames_;  // too short, or a response: never meant for a secondary
        return;
    }
    const std::uint8_t address = frame[0] >> 1;
    const std::uint8_t control = frame[1];
    const std::uint8_t command = control & static_cast<std::uint8_t>(~POLL_BIT);
    if (faults_.staleLink && link_) {
        link_->lastHeard = now;  // as Linux: every frame heard keeps the link, whoever sent it
    }
    if (faults_.staleLink && link_ && address == BROADCAST && (command == XID_COMMAND || command == SNRM)) {
        // A station that still holds a link answers discovery from it with RR, and takes no new connection.
        if (command == XID_COMMAND && (control & POLL_BIT) != 0 && frame.size() > 12 &&
            frame[12] != FINAL_SLOT) {
            Send({static_cast<std::uint8_t>(link_->connectionAddress << 1),
                  static_cast<std::uint8_t>((link_->vr << 5) | POLL_BIT | RR)},
                 ResponseTime(now));
        }
        ++ignoredFrames_;
        return;
    }
    if (address == BROADCAST && command == XID_COMMAND) {
        OnXid(frame, now);
    } else if (address == BROADCAST && command == SNRM) {
        OnSnrm(frame, now);
    } else if (link_ && address == link_->connectionAddress) {
        OnLinkFrame(control, frame.subspan(2), now);
    } else if (!link_ && command == DISC) {
        Send({static_cast<std::uint8_t>(address << 1), DM | POLL_BIT}, now);
    } else {
        ++ignoredFrames_;
    }
}

void IrdaSecondary::OnXid(std::span<const std::uint8_t> frame, TimePoint now) {
    constexpr std::size_t XID_HEADER = 14;
    if (link_ || frame.size() < XID_HEADER || frame[2] != XID_FORMAT) {
        ++ignoredFrames_;  // a connected station takes no part in discovery
        return;
    }
    const std::uint32_t primary = LittleEndian32(frame.subspan(3, 4));
    const std::uint32_t destination = LittleEndian32(frame.subspan(7, 4));
    const std::uint8_t flags = frame[11];
    const std::uint8_t slot = frame[12];
    if (slot == FINAL_SLOT) {
        if (discovery_ && discovery_->primary == primary) {
            discovery_->record["primary_info"] = Hex(frame.subspan(XID_HEADER));
            discoveries_.push_back(std::move(discovery_->record));
            discovery_.reset();
        }
        return;
    }
    const int slotCount = SLOT_COUNTS[flags & 0x03];
    if (!discovery_ || discovery_->primary != primary || slot <= discovery_->lastSlot) {
        if (discovery_) {
            discoveries_.push_back(std::move(discovery_->record));  // one that never saw its final slot
        }
        discovery_.emplace();
        if (faults_.missDiscovery != 0) {
            // Minimal firmware busy elsewhere: this whole discovery goes by unheard.
            faults_.missDiscovery -= faults_.missDiscovery > 0 ? 1 : 0;
            ++discoveriesMissed_;
            discovery_->primary = primary;
            discovery_->lastSlot = slot;
            discovery_->record = {{"primary", primary},
                                  {"slots", slotCount},
                                  {"result", "missed"},
                                  {"answered", nlohmann::ordered_json::array()}};
            return;
        }
        discovery_->primary = primary;
        DiscoveryOutcome outcome = instrument_.Discover();
        for (Device& device : outcome.devices) {
            if (destination == BROADCAST_DEVICE || destination == device.id) {
                discovery_->devices.push_back(std::move(device));
            }
        }
        std::vector<int> slots(static_cast<std::size_t>(slotCount));
        std::iota(slots.begin(), slots.end(), 0);
        std::shuffle(slots.begin(), slots.end(), random_);
        // Each device its own slot; those beyond the slot count stay unheard, as two answers in one slot
        // would.
        slots.resize(std::min(slots.size(), discovery_->devices.size()));
        discovery_->devices.resize(slots.size());
        discovery_->slots = slots;
        discovery_->answered.assign(slots.size(), false);
        discovery_->record = {{"primary", primary},
                              {"slots", slotCount},
                              {"result", outcome.result},
                              {"answered", nlohmann::ordered_json::array()}};
    }
    discovery_->lastSlot = slot;
    if (discovery_->record.value("result", nlohmann::ordered_json()) == "missed") {
        return;
    }
    for (std::size_t i = 0; i < discovery_->devices.size(); ++i) {
        if (discovery_->answered[i] || discovery_->slots[i] > slot) {
            continue;
        }
        const Device& device = discovery_->devices[i];
        Bytes response = {BROADCAST << 1, XID_RESPONSE | POLL_BIT, XID_FORMAT};
        PutLittleEndian32(response, device.id);
        PutLittleEndian32(response, primary);
        response.insert(response.end(), {flags, slot, 0x00});
        response.insert(response.end(), HINTS.begin(), HINTS.end());
        response.push_back(CHARSET_ASCII);
        response.insert(response.end(), device.name.begin(), device.name.end());
        Send(std::move(response), now);
        discovery_->answered[i] = true;
        discovery_->record["answered"].push_back({{"name", device.name}, {"slot", slot}});
    }
}

void IrdaSecondary::OnSnrm(std::span<const std::uint8_t> frame, TimePoint now) {
    constexpr std::size_t SNRM_HEADER = 11;
    if (frame.size() < SNRM_HEADER) {
        ++ignoredFrames_;
        return;
    }
    const std::uint32_t primary = LittleEndian32(frame.subspan(2, 4));
    const std::uint32_t destination = LittleEndian32(frame.subspan(6, 4));
    const std::uint8_t connectionAddress = frame[10] >> 1;
    const auto device = std::find_if(options_.devices.begin(), options_.devices.end(),
                                     [&](const Device& d) { return d.id == destination; });
    if (device == options_.devices.end() || connectionAddress == 0 || connectionAddress == BROADCAST ||
        device->kind == DeviceKind::DiscoveryOnly) {
        ++ignoredFrames_;  // for another device, an address no connection may have, or a device that only
                           // answers discovery
        return;
    }
    if (link_) {
        EndLink("new connection request");
    }
    const auto parameters = Parameters(frame.subspan(SNRM_HEADER));
    nlohmann::ordered_json record = {{"primary", primary},
                                     {"device_id", device->id},
                                     {"connection_address", connectionAddress},
                                     {"snrm_parameters", Hex(frame.subspan(SNRM_HEADER))}};
    const unsigned baud = Find(parameters, PI_BAUD).value_or(BAUD_9600) & BAUD_9600;
    const Bytes dm = {BROADCAST << 1, DM | POLL_BIT};
    if (faults_.dmSnrm != 0 || baud == 0) {
        if (faults_.dmSnrm > 0) {
            --faults_.dmSnrm;
        }
        record["result"] = baud == 0 ? "dm: no common baud rate" : "dm";
        record["end"] = "dm";
        links_.push_back(std::move(record));
        Send(dm, now);
        return;
    }
    link_.emplace();
    Link& link = *link_;
    link.primary = primary;
    link.device = *device;
    link.connectionAddress = connectionAddress;
    link.lastHeard = now;
    const unsigned thresholds = Find(parameters, PI_DISCONNECT_THRESHOLD).value_or(0x01) & OWN_THRESHOLDS;
    link.threshold =
        std::chrono::seconds(THRESHOLD_S[static_cast<std::size_t>(std::max(HighestBit(thresholds), 0))]);
    const int turnaround = HighestBit(Find(parameters, PI_MIN_TURNAROUND).value_or(0x01) & 0xFF);
    link.minTurnaround =
        std::chrono::microseconds(MIN_TURNAROUND_US[static_cast<std::size_t>(std::max(turnaround, 0))]);
    // The additional BOFs the primary states for 115200 baud, scaled to 9600.
    const int bofs = HighestBit(Find(parameters, PI_ADDITIONAL_BOFS).value_or(0x04) & 0xFF);
    link.primaryBofs = ADDITIONAL_BOFS[static_cast<std::size_t>(std::max(bofs, 0))] * 9600 / 115200;
    const int dataSize = HighestBit(Find(parameters, PI_DATA_SIZE).value_or(0x01) & 0x3F);
    link.primaryDataSize = DATA_SIZES[static_cast<std::size_t>(std::max(dataSize, 0))];
    record["result"] = "ua";
    record["threshold_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(link.threshold).count();
    record["primary_min_turnaround_us"] = link.minTurnaround.count();
    record["primary_data_size"] = link.primaryDataSize;
    record["primary_bofs"] = link.primaryBofs;
    record["frames_received"] = 1;
    record["frames_sent"] = 0;
    record["retransmissions"] = 0;
    record["duplicates"] = 0;
    record["rnr_sent"] = 0;
    record["credit_violations"] = 0;
    record["ias"] = nlohmann::ordered_json::array();
    record["lm"] = nlohmann::ordered_json::array();
    link.record = std::move(record);

    Bytes ua = {static_cast<std::uint8_t>(connectionAddress << 1), UA | POLL_BIT};
    PutLittleEndian32(ua, device->id);
    PutLittleEndian32(ua, primary);
    ua.insert(ua.end(), {PI_BAUD,
                         1,
                         static_cast<std::uint8_t>(baud),
                         PI_MAX_TURNAROUND,
                         1,
                         OWN_MAX_TURNAROUND,
                         PI_DATA_SIZE,
                         1,
                         OWN_DATA_SIZES,
                         PI_WINDOW,
                         1,
                         OWN_WINDOW,
                         PI_ADDITIONAL_BOFS,
                         1,
                         OWN_ADDITIONAL_BOFS,
                         PI_MIN_TURNAROUND,
                         1,
                         OWN_MIN_TURNAROUND,
                         PI_DISCONNECT_THRESHOLD,
                         1,
                         static_cast<std::uint8_t>(thresholds != 0 ? thresholds : 0x01)});
    Send(std::move(ua), ResponseTime(now));
}

void IrdaSecondary::OnLinkFrame(std::uint8_t control, std::span<const std::uint8_t> info, TimePoint now) {
    Link& link = *link_;
    link.lastHeard = now;
    link.record["frames_received"] = link.record["frames_received"].get<int>() + 1;
    const bool poll = (control & POLL_BIT) != 0;
    const std::uint8_t nr = control >> 5;
    const bool first = std::exchange(link.fresh, false);
    if (first && faults_.rdAfterConnect != 0 && poll &&
        (control & static_cast<std::uint8_t>(~POLL_BIT)) != DISC) {
        faults_.rdAfterConnect -= faults_.rdAfterConnect > 0 ? 1 : 0;
        link.record["rd_sent"] = true;
        Send({static_cast<std::uint8_t>(link.connectionAddress << 1), RD | POLL_BIT}, ResponseTime(now));
        return;  // the primary is to answer with DISC
    }
    if ((control & 0x01) == 0) {  // I frame
        const std::uint8_t ns = (control >> 1) & 0x07;
        OnAck(nr);
        const bool tinyTpData = link.tinyTpLsap && info.size() > LM_TTP_HEADER &&
                                info[0] == INSTRUMENT_LSAP && (info[1] & 0x7F) == *link.tinyTpLsap;
        if (faults_.frmrOnData != 0 && tinyTpData && ns == link.vr) {
            faults_.frmrOnData -= faults_.frmrOnData > 0 ? 1 : 0;
            link.record["frmr_sent"] = link.record.value("frmr_sent", 0) + 1;
            // The rejected control field, our V(r) and V(s), and W (a control field it cannot take).
            Send({static_cast<std::uint8_t>(link.connectionAddress << 1), FRMR | POLL_BIT, control,
                  static_cast<std::uint8_t>((link.vr << 5) | (link.vs << 1)), 0x01},
                 ResponseTime(now));
            return;  // the primary is to reset or end the link
        }
        if (faults_.rnr != 0 && tinyTpData && ns == link.vr) {
            if (faults_.rnr > 0) {
                --faults_.rnr;
            }
            link.record["rnr_sent"] = link.record["rnr_sent"].get<int>() + 1;
            if (poll) {
                Send({static_cast<std::uint8_t>(link.connectionAddress << 1),
                      static_cast<std::uint8_t>((link.vr << 5) | POLL_BIT | RNR)},
                     ResponseTime(now));
            }
            return;
        }
        if (ns == link.vr && link.copiesLost < faults_.lostCopies) {
            // Lost on the way in: the poll alone was heard.
            ++link.copiesLost;
            link.record["copies_lost"] = link.record.value("copies_lost", 0) + 1;
            if (poll) {
                Send({static_cast<std::uint8_t>(link.connectionAddress << 1),
                      static_cast<std::uint8_t>((link.vr << 5) | POLL_BIT | RR)},
                     ResponseTime(now));
            }
            return;
        }
        if (ns == link.vr) {
            link.vr = (link.vr + 1) & 0x07;
            link.copiesLost = 0;
            OnLmPdu(info, now);
            if (link_ && link_->writeTaken && LoseAfterWrite(control, now)) {
                return;
            }
        } else {
            link.record["duplicates"] = link.record["duplicates"].get<int>() + 1;
        }
        if (link_ && poll) {
            Respond(now);
        }
        return;
    }
    if ((control & 0x03) == 0x01) {  // S frame
        link.primaryBusy = (control & 0x0F) == RNR;
        OnAck(nr);
        if (poll) {
            Respond(now);
        }
        return;
    }
    if ((control & static_cast<std::uint8_t>(~POLL_BIT)) == DISC) {
        Send({static_cast<std::uint8_t>(link.connectionAddress << 1), UA | POLL_BIT}, ResponseTime(now));
        EndLink("disc");
        return;
    }
    ++ignoredFrames_;
}

bool IrdaSecondary::LoseAfterWrite(std::uint8_t control, TimePoint now) {
    Link& link = *link_;
    link.writeTaken = false;
    const auto address = static_cast<std::uint8_t>(link.connectionAddress << 1);
    switch (faults_.afterWrite) {
        case AfterWrite::Nothing:
            return false;
        case AfterWrite::Silent:
            link.record["after_write"] = "silent";
            link.silenced = true;
            return true;
        case AfterWrite::Dm:
            Send({address, DM | POLL_BIT}, ResponseTime(now));
            EndLink("dm after the write");
            return true;
        case AfterWrite::Frmr:
            Send({address, FRMR | POLL_BIT, control,
                  static_cast<std::uint8_t>((link.vr << 5) | (link.vs << 1)), 0x01},
                 ResponseTime(now));
            EndLink("frmr after the write");
            return true;
        case AfterWrite::BadNr:
            link.record["after_write"] = "bad N(r)";
            Send({address, static_cast<std::uint8_t>((((link.vr + 1) & 0x07) << 5) | POLL_BIT | RR)},
                 ResponseTime(now));
            return true;
        case AfterWrite::Gone:
            EndLink("adapter gone after the write");
            hungUp_ = true;
            return true;
    }
    return false;
}

void IrdaSecondary::OnAck(std::uint8_t nr) {
    if (link_->unacked && nr == ((link_->unackedNs + 1) & 0x07)) {
        link_->unacked.reset();
    }
}

void IrdaSecondary::Respond(TimePoint now) {
    Link& link = *link_;
    const std::uint8_t address = static_cast<std::uint8_t>(link.connectionAddress << 1);
    if (link.busyUntil && now < *link.busyUntil) {
        link.record["rnr_sent"] = link.record["rnr_sent"].get<int>() + 1;
        Send({address, static_cast<std::uint8_t>((link.vr << 5) | POLL_BIT | RNR)}, ResponseTime(now));
        return;
    }
    if (link.unacked) {
        link.record["retransmissions"] = link.record["retransmissions"].get<int>() + 1;
        Bytes frame = {address, static_cast<std::uint8_t>((link.vr << 5) | POLL_BIT | (link.unackedNs << 1))};
        frame.insert(frame.end(), link.unacked->begin(), link.unacked->end());
        Send(std::move(frame), ResponseTime(now));
        return;
    }
    std::optional<Outgoing> next = link.primaryBusy ? std::nullopt : NextOutgoing(now);
    if (!next) {
        Send({address, static_cast<std::uint8_t>((link.vr << 5) | POLL_BIT | RR)}, ResponseTime(now));
        return;
    }
    if (next->resetLink) {
        Send({address, DM | POLL_BIT}, ResponseTime(now));
        EndLink("reset by the instrument");
        return;
    }
    Bytes info = std::move(next->info);
    bool badFcs = false;
    bool dropped = false;
    if (next->tinyTp) {
        const int give = std::max(INSTRUMENT_CREDIT - link.primaryCredit, 0);
        info[2] = static_cast<std::uint8_t>(info[2] | give);
        link.primaryCredit += give;
        if (info.size() > LM_TTP_HEADER) {
            --link.sendCredit;
            instrument_.RecordSent(std::span<const std::uint8_t>(info).subspan(LM_TTP_HEADER));
            if (faults_.dropReply != 0) {
                faults_.dropReply -= faults_.dropReply > 0 ? 1 : 0;
                dropped = true;
            } else if (faults_.badFcs != 0) {
                faults_.badFcs -= faults_.badFcs > 0 ? 1 : 0;
                badFcs = true;
            }
        }
    }
    const std::uint8_t ns = link.vs;
    link.vs = (link.vs + 1) & 0x07;
    link.unacked = info;
    link.unackedNs = ns;
    Bytes frame = {address, static_cast<std::uint8_t>((link.vr << 5) | POLL_BIT | (ns << 1))};
    frame.insert(frame.end(), info.begin(), info.end());
    if (dropped) {
        link.record["replies_dropped"] = link.record.value("replies_dropped", 0) + 1;
    } else {
        Send(std::move(frame), ResponseTime(now), badFcs);
    }
    if (next->silenceAfter && faults_.silentAfterConnect) {
        link.silenced = true;
    }
}

std::optional<IrdaSecondary::Outgoing> IrdaSecondary::NextOutgoing(TimePoint now) {
    Link& link = *link_;
    if (link.out.empty() || link.out.front().ready > now) {
        return std::nullopt;
    }
    const Outgoing& front = link.out.front();
    if (front.tinyTp && front.info.size() > LM_TTP_HEADER && link.sendCredit <= 0) {
        link.record["credit_waits"] = link.record.value("credit_waits", 0) + 1;
        return std::nullopt;
    }
    Outgoing next = std::move(link.out.front());
    link.out.pop_front();
    return next;
}

void IrdaSecondary::OnLmPdu(std::span<const std::uint8_t> pdu, TimePoint now) {
    Link& link = *link_;
    if (pdu.size() < 2) {
        ++ignoredFrames_;
        return;
    }
    const std::uint8_t dlsap = pdu[0] & 0x7F;
    const std::uint8_t slsap = pdu[1] & 0x7F;
    if ((pdu[0] & LM_CONTROL) != 0) {
        OnLmControl(dlsap, slsap, pdu.subspan(2), now);
    } else if (dlsap == IAS_LSAP && link.iasLsap == slsap) {
        OnIasQuery(slsap, pdu.subspan(2), now);
    } else if (dlsap == INSTRUMENT_LSAP && link.tinyTpLsap == slsap) {
        OnTinyTpData(pdu.subspan(2), now);
    } else {
        link.record["lm"].push_back({{"data_on_unconnected_lsap", dlsap}});
        link.out.push_back(
            {{static_cast<std::uint8_t>(LM_CONTROL | slsap), dlsap, LM_DISCONNECT, LM_NOT_CONNECTED}, now});
    }
}

void IrdaSecondary::OnLmControl(std::uint8_t dlsap, std::uint8_t slsap, std::span<const std::uint8_t> body,
                                TimePoint now) {
    Link& link = *link_;
    if (body.size() < 2) {
        ++ignoredFrames_;
        return;
    }
    const std::uint8_t opcode = body[0];
    const Bytes refuse = {static_cast<std::uint8_t>(LM_CONTROL | slsap), dlsap, LM_DISCONNECT, LM_NO_CLIENT};
    if (opcode == LM_DISCONNECT && faults_.liteFirmware) {
        link.record["lm"].push_back({{"disconnect", dlsap}, {"reason", body[1]}});
        EndLink("lmp disconnect ends the link");  // and says nothing: the next frame finds no link
        return;
    }
    if (opcode == LM_DISCONNECT) {
        link.record["lm"].push_back({{"disconnect", dlsap}, {"reason", body[1]}});
        if (dlsap == IAS_LSAP && link.iasLsap == slsap) {
            link.iasLsap.reset();
        } else if (dlsap == INSTRUMENT_LSAP && link.tinyTpLsap == slsap) {
            link.tinyTpLsap.reset();
            EndInstrumentConnection();
        }
        return;
    }
    if (opcode != LM_CONNECT) {
        return;
    }
    const Bytes confirm = {static_cast<std::uint8_t>(LM_CONTROL | slsap), dlsap, LM_CONNECT_CONFIRM, 0x00};
    if (dlsap == IAS_LSAP) {
        link.iasLsap = slsap;
        link.record["lm"].push_back({{"connect", dlsap}, {"result", "confirmed"}});
        link.out.push_back({confirm, now});
        return;
    }
    const auto user = body.subspan(2);
    if (dlsap != INSTRUMENT_LSAP || user.empty() || link.instrumentOpen) {
        link.record["lm"].push_back({{"connect", dlsap}, {"result", "refused"}});
        link.out.push_back({refuse, now});
        return;
    }
    // Without a query the service is named by its LSAP, which the instrument does not know by that name.
    const std::string service =
        link.iasClass.empty() ? "LSAP-SEL" + std::to_string(INSTRUMENT_LSAP) : link.iasClass;
    const std::int32_t result = instrument_.AnswerConnect(ConnectAddress(link.device.id, service));
    link.record["lm"].push_back({{"connect", dlsap},
                                 {"result", result == 0 ? "confirmed" : "refused"},
                                 {"tinytp_credit", user[0] & TTP_CREDIT},
                                 {"tinytp_parameters", Hex(user.subspan(1))}});
    if (result != 0) {
        link.out.push_back({refuse, now});
        return;
    }
    link.tinyTpLsap = slsap;
    link.instrumentOpen = true;
    link.sendCredit = user[0] & TTP_CREDIT;
    link.primaryCredit = INSTRUMENT_CREDIT;
    Bytes withCredit = confirm;
    withCredit.push_back(static_cast<std::uint8_t>(INSTRUMENT_CREDIT));
    Outgoing out{std::move(withCredit), now};
    out.silenceAfter = true;
    link.out.push_back(std::move(out));
}

void IrdaSecondary::OnIasQuery(std::uint8_t slsap, std::span<const std::uint8_t> query, TimePoint now) {
    Link& link = *link_;
    if (query.empty() || (query[0] & IAP_ACK) != 0) {
        return;
    }
    const std::uint8_t opcode = query[0] & 0x3F;
    Bytes reply = {slsap, IAS_LSAP, static_cast<std::uint8_t>(IAP_LAST | opcode)};
    const auto field = [&](std::size_t at) -> std::optional<std::string> {
        if (at >= query.size() || at + 1 + query[at] > query.size()) {
            return std::nullopt;
        }
        return Text(query.subspan(at + 1, query[at]));
    };
    const auto className = field(1);
    const auto attribute = className ? field(2 + className->size()) : std::nullopt;
    if (opcode != IAP_GET_VALUE_BY_CLASS || !attribute) {
        reply.push_back(IAS_UNSUPPORTED);
        link.record["ias"].push_back({{"query", Hex(query)}, {"result", IAS_UNSUPPORTED}});
        link.out.push_back({std::move(reply), now});
        return;
    }
    std::uint8_t result = IAS_NO_SUCH_CLASS;
    if (faults_.noIasClass) {
        result = IAS_NO_SUCH_CLASS;
    } else if (*className == link.device.name && link.device.kind == DeviceKind::Instrument) {
        result = *attribute == TINYTP_LSAP_ATTRIBUTE ? IAS_SUCCESS : IAS_NO_SUCH_ATTRIBUTE;
        if (result == IAS_SUCCESS) {
            link.iasClass = *className;
            reply.insert(reply.end(), {IAS_SUCCESS, 0x00, 0x01});
            PutBigEndian16(reply, INSTRUMENT_OBJECT);
            reply.insert(reply.end(), {IAS_INTEGER, 0x00, 0x00, 0x00, INSTRUMENT_LSAP});
        }
    } else if (*className == DEVICE_CLASS) {
        result = *attribute == DEVICE_NAME_ATTRIBUTE ? IAS_SUCCESS : IAS_NO_SUCH_ATTRIBUTE;
        if (result == IAS_SUCCESS) {
            reply.insert(reply.end(), {IAS_SUCCESS, 0x00, 0x01});
            PutBigEndian16(reply, DEVICE_OBJECT);
            reply.insert(reply.end(),
                         {IAS_STRING, CHARSET_ASCII, static_cast<std::uint8_t>(link.device.name.size())});
            reply.insert(reply.end(), link.device.name.begin(), link.device.name.end());
        }
    }
    if (result != IAS_SUCCESS) {
        reply.push_back(result);
    }
    link.record["ias"].push_back({{"class", *className}, {"attribute", *attribute}, {"result", result}});
    if (faults_.iasAck != 0) {
        faults_.iasAck -= faults_.iasAck > 0 ? 1 : 0;
        link.out.push_back({{slsap, IAS_LSAP, static_cast<std::uint8_t>(IAP_ACK | opcode)}, now});
    }
    link.out.push_back({std::move(reply), now});
}

void IrdaSecondary::OnTinyTpData(std::span<const std::uint8_t> pdu, TimePoint now) {
    Link& link = *link_;
    if (pdu.empty()) {
        ++ignoredFrames_;
        return;
    }
    link.sendCredit += pdu[0] & TTP_CREDIT;
    const auto payload = pdu.subspan(1);
    if (payload.empty()) {
        return;  // credit only
    }
    if (link.primaryCredit <= 0) {
        link.record["credit_violations"] = link.record["credit_violations"].get<int>() + 1;
    }
    --link.primaryCredit;
    if ((pdu[0] & TTP_MORE) != 0) {
        link.record["segmented"] = true;  // the instrument's frames never need it; the bytes still count
    }
    link.frames.Add(payload);
    while (auto frame = link.frames.Next()) {
        if (Instrument::IsWriteRequest(*frame)) {
            link.writeTaken = true;  // the after-write fault plays on this frame
            if (faults_.rnrWhileWriting) {
                link.busyUntil = now + WRITE_BUSY;  // storing the word: RNR until it is done
            }
        }
        QueueInstrumentReply(instrument_.AnswerFrame(*frame), now);
        if (!link_ || !link.instrumentOpen) {
            return;
        }
    }
    // The primary has spent its credit and nothing that would return some is on its way: a dataless PDU does.
    const bool creditOnItsWay =
        std::any_of(link.out.begin(), link.out.end(), [](const Outgoing& o) { return o.tinyTp; });
    if (link.primaryCredit <= 0 && !creditOnItsWay) {
        link.out.push_back({{*link.tinyTpLsap, INSTRUMENT_LSAP, 0x00}, now, true});
    }
}

void IrdaSecondary::QueueInstrumentReply(Reply reply, TimePoint now) {
    Link& link = *link_;
    const TimePoint ready = now + std::chrono::milliseconds(reply.delayMs);
    const std::uint8_t lsap = *link.tinyTpLsap;
    const std::size_t chunkLimit = link.primaryDataSize - LM_TTP_HEADER;
    for (std::size_t at = 0; at < reply.bytes.size(); at += chunkLimit) {
        Bytes info = {lsap, INSTRUMENT_LSAP, 0x00};
        const auto chunk = std::span<const std::uint8_t>(reply.bytes)
                               .subspan(at, std::min(chunkLimit, reply.bytes.size() - at));
        info.insert(info.end(), chunk.begin(), chunk.end());
        link.out.push_back({std::move(info), ready, true});
    }
    if (reply.after == After::Close) {
        link.out.push_back(
            {{static_cast<std::uint8_t>(LM_CONTROL | lsap), INSTRUMENT_LSAP, LM_DISCONNECT, LM_USER_REQUEST},
             ready});
        link.tinyTpLsap.reset();
        EndInstrumentConnection();
    } else if (reply.after == After::Reset) {
        Outgoing reset{{}, ready};
        reset.resetLink = true;
        link.out.push_back(std::move(reset));
        link.tinyTpLsap.reset();
        EndInstrumentConnection();
    }
}

void IrdaSecondary::EndInstrumentConnection() {
    if (link_ && link_->instrumentOpen) {
        link_->instrumentOpen = false;
        instrument_.EndConnection();
        ++connectionsEnded_;
    }
}

void IrdaSecondary::EndLink(const std::string& why) {
    EndInstrumentConnection();
    link_->record["end"] = why;
    links_.push_back(std::move(link_->record));
    link_.reset();
    ++connectionsEnded_;
}

std::vector<Transmission> IrdaSecondary::TakeDue(TimePoint now) {
    if (link_ && now - link_->lastHeard > link_->threshold) {
        EndLink("watchdog");
    }
    std::vector<Transmission> out;
    while (!due_.empty() && due_.front().first <= now) {
        out.push_back(std::move(due_.front().second));
        due_.pop_front();
    }
    return out;
}

std::optional<TimePoint> IrdaSecondary::NextWake() const {
    std::optional<TimePoint> wake;
    if (!due_.empty()) {
        wake = due_.front().first;
    }
    if (link_) {
        const TimePoint watchdog = link_->lastHeard + link_->threshold + std::chrono::milliseconds(1);
        wake = wake ? std::min(*wake, watchdog) : watchdog;
    }
    return wake;
}

nlohmann::ordered_json IrdaSecondary::Record() const {
    nlohmann::ordered_json links = links_;
    if (link_) {
        nlohmann::ordered_json open = link_->record;
        open["end"] = "open";
        links.push_back(std::move(open));
    }
    nlohmann::ordered_json discoveries = discoveries_;
    if (discovery_) {
        discoveries.push_back(discovery_->record);
    }
    return {{"discoveries", discoveries},
            {"links", links},
            {"ignored_frames", ignoredFrames_},
            {"discoveries_missed", discoveriesMissed_}};
}

}  // namespace sim
