// IrLAP, primary side only: discovery by XID slots, the connection with its negotiated parameters, numbered
// information frames with a window of one, polls, and the disconnection. The frame formats are pure functions
// here (the fuzz targets use them too); IrlapPrimary is the station's state machine over the IrDA medium
// seam.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "irda/capture.h"
#include "irda/irda_medium.h"
#include "irda/stack_clock.h"
#include "link/little_endian.h"

namespace qx::irda {

using Bytes = std::vector<std::uint8_t>;

// A frame of a few header bytes and then `tail`.
Bytes Frame(std::initializer_list<std::uint8_t> head, std::span<const std::uint8_t> tail = {});

// Address byte: connection address << 1 | C/R (1 for the primary's commands).
inline constexpr std::uint8_t LAP_BROADCAST = 0x7F;
inline constexpr std::uint8_t LAP_CR_COMMAND = 0x01;
inline constexpr std::uint8_t LAP_PF = 0x10;
// Unnumbered frames (P/F bit clear).
inline constexpr std::uint8_t LAP_SNRM = 0x83;
inline constexpr std::uint8_t LAP_DISC = 0x43;
inline constexpr std::uint8_t LAP_XID_COMMAND = 0x2F;
inline constexpr std::uint8_t LAP_UA = 0x63;
inline constexpr std::uint8_t LAP_DM = 0x0F;
inline constexpr std::uint8_t LAP_FRMR = 0x87;
inline constexpr std::uint8_t LAP_RD = 0x43;
inline constexpr std::uint8_t LAP_XID_RESPONSE = 0xAF;
// Supervisory frames (Nr << 5 added).
inline constexpr std::uint8_t LAP_RR = 0x01;
inline constexpr std::uint8_t LAP_RNR = 0x05;
inline constexpr std::uint8_t LAP_REJ = 0x09;
inline constexpr std::uint8_t LAP_SREJ = 0x0D;

inline constexpr std::uint8_t XID_FORMAT = 0x01;
inline constexpr std::uint8_t XID_FINAL_SLOT = 0xFF;
inline constexpr std::uint32_t XID_BROADCAST_ADDRESS = 0xFFFFFFFF;
// The fixed part of an XID frame after address and control: format, source, destination, flags, slot,
// version.
inline constexpr std::size_t XID_FIXED_SIZE = 1 + 4 + 4 + 1 + 1 + 1;
inline constexpr std::size_t XID_MAX_HINTS = 4;
inline constexpr std::size_t NICKNAME_MAX = 22;

// Negotiation parameter identifiers and the values this station states.
inline constexpr std::uint8_t PI_BAUD_RATE = 0x01;
inline constexpr std::uint8_t PI_MAX_TURNAROUND = 0x82;
inline constexpr std::uint8_t PI_DATA_SIZE = 0x83;
inline constexpr std::uint8_t PI_WINDOW_SIZE = 0x84;
inline constexpr std::uint8_t PI_ADDITIONAL_BOFS = 0x85;
inline constexpr std::uint8_t PI_MIN_TURNAROUND = 0x86;
inline constexpr std::uint8_t PI_DISCONNECT_THRESHOLD = 0x08;
inline constexpr std::uint8_t PV_BAUD_9600 = 0x02;

// Timers. The F-timer is at least 500 ms and at least the peer's maximum turnaround; the link is given up
// after the disconnect threshold's worth of unanswered polls (3 s / 500 ms).
inline constexpr std::uint32_t F_TIMER_MS = 500;
inline constexpr std::uint32_t DISCONNECT_THRESHOLD_MS = 3000;
// Discovery: 6 slots of this length after each XID command has gone out.
inline constexpr std::size_t DISCOVERY_SLOTS = 6;
inline constexpr std::uint32_t SLOT_MS = 90;
// How long the line is listened to before the first frame after the port opened.
inline constexpr std::uint32_t MEDIA_SENSE_MS = 250;
// How long the primary waits before polling a peer that said it is busy (RNR).
inline constexpr std::uint32_t BUSY_WAIT_MS = 100;
inline constexpr int DISC_TRIES = 2;
// Start flags before every frame while no connection exists (the contention rule).
inline constexpr std::size_t CONTENTION_XBOFS = 10;
// The device address used when the caller gives none or an impossible one (0 or broadcast): any fixed valid
// address will do, since nobody else in range is expected to pick the same one.
inline constexpr std::uint32_t FALLBACK_OWN_ADDRESS = 0x5158A001;
// An information frame is offered to the peer at most this many times the disconnect threshold's worth of
// polls, answered or not, so a peer that keeps answering without ever taking it cannot hold a send for ever.
inline constexpr int SEND_ROUNDS_PER_THRESHOLD = 2;

// A device that answered discovery.
struct DiscoveredDevice {
    std::uint32_t address = 0;
    std::array<std::uint8_t, 2> hints{};  // the first two hint bytes
    std::uint8_t charset = 0;
    std::string nickname;  // at most NICKNAME_MAX bytes, as sent
};

// The XID command for `slot` (XID_FINAL_SLOT: the final one, with this station's discovery information).
Bytes XidCommand(std::uint32_t ownAddress, std::size_t slots, std::uint8_t slot);
// An XID response addressed to `ownAddress`, or nothing for any other frame.
std::optional<DiscoveredDevice> ParseXidResponse(std::span<const std::uint8_t> frame,
                                                 std::uint32_t ownAddress);

// What this station and its peer stated at connection.
struct LinkParameters {
    std::uint8_t baudRates = 0;
    std::uint32_t maxTurnaroundMs = 500;
    std::size_t dataSize = 64;  // the largest information field the peer takes
    std::uint32_t minTurnaroundUs = 10000;
    std::uint8_t disconnectThresholds = 0x01;
};
// This station's SNRM parameters: 9600 baud only, window 1, 3 s threshold.
Bytes OwnParameters();
// The peer's parameters from a UA's information after the two addresses; unknown or malformed ones are
// skipped, missing ones keep the defaults.
LinkParameters ParseParameters(std::span<const std::uint8_t> params);

// How a station operation ended.
enum class LapStatus {
    Ok,
    PortFailed,    // the serial port failed: the adapter is unreachable
    Timeout,       // no answer within the retries
    Refused,       // DM to the connection request
    Reset,         // the peer disconnected or reported a frame error
    NotConnected,  // no connection to use
};

// The link as this station sees it.
enum class LinkState {
    Disconnected,  // no connection (never made, or ended by us)
    Connected,     // connected, nothing of ours unacknowledged
    AwaitingAck,   // an information frame of ours is out and not acknowledged yet
    PeerBusy,      // the peer said RNR: it takes no information frame until it says RR
    Lost,          // the connection ended by itself (LostReason() says why)
};

// A small random generator for connection addresses (xorshift32): they only have to differ from one link to
// the next, not resist a guess.
class XorShift32 {
  public:
    explicit XorShift32(std::uint32_t seed) : state_(seed != 0 ? seed : 1) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

  private:
    std::uint32_t state_;
};

class IrlapPrimary {
  public:
    IrlapPrimary(IrdaMedium& medium, StackClock& clock, FrameSink* sink, std::uint32_t ownAddress);

    std::uint32_t OwnAddress() const { return ownAddress_; }
    // Forgets everything of the line (after the port was reopened).
    void Reset();

    // One discovery with `slots` slots (6 or 8); the devices that answered, each once.
    LapStatus Discover(std::vector<DiscoveredDevice>& devices, std::size_t slots = DISCOVERY_SLOTS);

    // Connects to the device with this IrLAP address.
    LapStatus Connect(std::uint32_t peer);
    LinkState State() const { return state_; }
    bool Connected() const {
        return state_ == LinkState::Connected || state_ == LinkState::AwaitingAck ||
               state_ == LinkState::PeerBusy;
    }
    std::uint32_t Peer() const { return peer_; }
    const LinkParameters& PeerParameters() const { return peerParams_; }
    // The largest information field a frame to the peer may carry.
    std::size_t MaxInformation() const { return peerParams_.dataSize; }

    // Sends one information frame and waits until the peer acknowledged it. Information frames the peer
    // sends meanwhile go to Received().
    LapStatus Send(std::span<const std::uint8_t> information);
    // Whether the frame of the last Send went out on the wire at least once, whatever Send returned: a frame
    // that went out may have been taken by the peer even when its acknowledgement never came.
    bool InformationSent() const { return informationSent_; }
    // Polls the peer once (RR); what it sends goes to Received().
    LapStatus Poll();
    // Information fields received, oldest first.
    std::deque<Bytes>& Received() { return received_; }
    // Disconnects (DISC, UA or DM); a link already gone is left as it is.
    void Disconnect();
    // Why the connection ended, when it ended by itself.
    LapStatus LostReason() const { return lost_; }

  private:
    enum class Answer { Frame, Timeout, PortFailed };
    LapStatus SendFrame(std::span<const std::uint8_t> frame);
    // Reads until a response frame (C/R clear) arrives or the deadline passes.
    Answer Receive(Deadline deadline, Bytes& frame);
    // Reads and drops whatever comes for `ms`.
    LapStatus Listen(std::uint32_t ms);
    // One command with the P bit and the peer's answer within the F-timer: the frames of this connection that
    // came, the last one carrying the F bit.
    Answer Command(std::span<const std::uint8_t> frame, std::vector<Bytes>& responses);
    // Applies a response in the connection: data received, our frame acknowledged or not, the peer busy, or
    // the connection lost.
    enum class Outcome { Acked, NotAcked, Busy, Lost };
    Outcome Apply(const Bytes& response);
    LapStatus Lose(LapStatus why);
    // The connected state after a response: busy when it said RNR, else by whether our frame is out.
    void Settle(bool peerBusy);
    // Drops the frames the medium already holds: they answered an earlier command.
    void DropReadAhead();
    std::uint32_t FTimer() const;
    int RetryLimit() const;

    IrdaMedium& medium_;
    StackClock& clock_;
    FrameSink* sink_;
    std::uint32_t ownAddress_;
    bool sensed_ = false;
    std::uint32_t lastReceived_ = 0;
    bool anyReceived_ = false;
    std::uint32_t lastWireMs_ = 0;  // of the frame sent last
    int missed_ = 0;                // polls in a row that the peer left unanswered
    bool commandWritten_ = false;   // the port took the last command whole

    LinkState state_ = LinkState::Disconnected;
    std::uint32_t peer_ = 0;
    std::uint8_t connectionAddress_ = 0;
    LinkParameters peerParams_;
    std::uint8_t vs_ = 0;           // the next Ns to send
    std::uint8_t vr_ = 0;           // the next Ns expected
    std::optional<Bytes> unacked_;  // the information frame out and not acknowledged
    bool informationSent_ = false;
    std::deque<Bytes> received_;
    LapStatus lost_ = LapStatus::NotConnected;
    XorShift32 random_;
};

}  // namespace qx::irda
