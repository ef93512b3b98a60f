// The instrument's side of IrDA on a serial line: the secondary station of IrLAP, with IrLMP, its IAS server
// and TinyTP above it, and the Instrument's own frames inside TinyTP. It works on whole IrLAP frames
// (address, control, information) and on times handed in, so the serial port, the framing and the clock stay
// outside and a test can drive it frame by frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "instrument.h"
#include "options.h"

namespace sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// The LSAP of the instrument's TinyTP service, as its IAS entry names it.
inline constexpr std::uint8_t INSTRUMENT_LSAP = 0x2B;
inline constexpr const char* TINYTP_LSAP_ATTRIBUTE = "IrDA:TinyTP:LsapSel";
// Credit the instrument gives the primary at connect, and keeps it topped up to.
inline constexpr int INSTRUMENT_CREDIT = 2;

// A frame ready for the line.
struct Transmission {
    Bytes frame;
    bool badFcs = false;     // sent with its FCS spoilt
    std::size_t xbofs = 10;  // start flags ahead of it: 10 until a connection says otherwise
};

// An LM-PDU waiting to go out, with what it takes.
struct SecondaryOutgoing {
    Bytes info;
    TimePoint ready;
    bool tinyTp = false;        // a TinyTP PDU: carries a delta credit, and costs one when it has data
    bool resetLink = false;     // not sent: the link is dropped with DM in its place
    bool silenceAfter = false;  // the TinyTP connect confirm, after which silent-after-connect plays
};

// The IrLAP connection and what runs over it.
struct SecondaryLink {
    std::uint32_t primary = 0;
    Device device;
    std::uint8_t connectionAddress = 0;
    std::uint8_t vs = 0;
    std::uint8_t vr = 0;
    std::optional<Bytes> unacked;  // the I-frame's information, until the primary's Nr passes it
    std::uint8_t unackedNs = 0;
    bool primaryBusy = false;
    TimePoint lastHeard;
    std::chrono::milliseconds threshold{3000};
    std::chrono::microseconds minTurnaround{0};
    std::size_t primaryDataSize = 64;
    std::deque<SecondaryOutgoing> out;
    std::optional<std::uint8_t> iasLsap;  // the primary's LSAP of its IAS connection
    std::optional<std::uint8_t> tinyTpLsap;
    std::string iasClass;   // the class of the last IAS query that found the TinyTP LSAP
    int sendCredit = 0;     // data PDUs the instrument may still send
    int primaryCredit = 0;  // data PDUs the primary may still send
    bool instrumentOpen = false;
    bool silenced = false;
    bool writeTaken = false;             // a write request arrived: the after-write fault plays on its frame
    int copiesLost = 0;                  // of the I-frame expected next
    bool fresh = true;                   // nothing heard on it since the UA
    bool stale = false;                  // left by a primary that vanished
    std::optional<TimePoint> busyUntil;  // answering RNR until then (storing a write)
    std::size_t primaryBofs = 0;         // additional BOFs the primary wants at 9600 baud
    FrameSplitter frames;
    nlohmann::ordered_json record;
};

// The discovery under way.
struct SecondaryDiscovery {
    std::uint32_t primary = 0;
    int lastSlot = -1;
    std::vector<int> slots;  // per device in range: the slot it answers in
    std::vector<bool> answered;
    std::vector<Device> devices;
    nlohmann::ordered_json record;
};

class IrdaSecondary {
  public:
    IrdaSecondary(const Options& options, Instrument& instrument, std::uint32_t seed);

    // A frame that arrived with a good FCS.
    void Receive(std::span<const std::uint8_t> frame, TimePoint now);
    // Frames due by `now`, in order; also runs the watchdog.
    std::vector<Transmission> TakeDue(TimePoint now);
    // When TakeDue next has something to do.
    std::optional<TimePoint> NextWake() const;
    // Counts the conversations with the instrument that ended, so the caller knows when to bring the record
    // up to date.
    int ConnectionsEnded() const { return connectionsEnded_; }
    // The adapter went away: the line is to be hung up.
    bool HungUp() const { return hungUp_; }
    nlohmann::ordered_json Record() const;

  private:
    using Outgoing = SecondaryOutgoing;
    using Link = SecondaryLink;
    using Discovery = SecondaryDiscovery;

    void Send(Bytes frame, TimePoint at, bool badFcs = false);
    // The link a primary left behind without DISC, as the stale-link fault starts with.
    void HoldStaleLink(TimePoint now);
    void OnXid(std::span<const std::uint8_t> frame, TimePoint now);
    void OnSnrm(std::span<const std::uint8_t> frame, TimePoint now);
    void OnLinkFrame(std::uint8_t control, std::span<const std::uint8_t> info, TimePoint now);
    void OnAck(std::uint8_t nr);
    void OnLmPdu(std::span<const std::uint8_t> pdu, TimePoint now);
    void OnLmControl(std::uint8_t dlsap, std::uint8_t slsap, std::span<const std::uint8_t> pdu,
                     TimePoint now);
    void OnIasQuery(std::uint8_t slsap, std::span<const std::uint8_t> query, TimePoint now);
    void OnTinyTpData(std::span<const std::uint8_t> pdu, TimePoint now);
    void QueueInstrumentReply(Reply reply, TimePoint now);
    void Respond(TimePoint now);
    void EndInstrumentConnection();
    void EndLink(const std::string& why);
    TimePoint ResponseTime(TimePoint now) const;
    // The next LM-PDU the link may send now, if any.
    std::optional<Outgoing> NextOutgoing(TimePoint now);

    Options options_;
    LinkFaults faults_;
    Instrument& instrument_;
    std::mt19937 random_;
    std::optional<Link> link_;
    std::optional<Discovery> discovery_;
    std::deque<std::pair<TimePoint, Transmission>> due_;
    // Plays the after-write fault in answer to the write's I-frame; false when the answer still goes out.
    bool LoseAfterWrite(std::uint8_t control, TimePoint now);

    int connectionsEnded_ = 0;
    bool hungUp_ = false;
    nlohmann::ordered_json discoveries_ = nlohmann::ordered_json::array();
    nlohmann::ordered_json links_ = nlohmann::ordered_json::array();
    int ignoredFrames_ = 0;
    int discoveriesMissed_ = 0;
};

}  // namespace sim
