// IrLAP, primary side only: discovery by XID slots, the connection with its negotiated parameters, numbered
// information frames with a window of one, polls, and the disconnection. The frame formats are pure functions
// here (the fuzz targets use them too); IrlapPrimary is the station's state machine over the IrDA medium
// seam.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
// after the disconnect threshold's worth of unanswered polls (3 s / 500 ms). When the F-timer runs out while
// a frame is still arriving, the answer gets this much longer once rather than being talked over.
inline constexpr std::uint32_t F_TIMER_MS = 500;
inline constexpr std::uint32_t F_TIMER_EXTENSION_MS = 300;
inline constexpr std::uint32_t DISCONNECT_THRESHOLD_MS = 3000;
// While connected and otherwise idle, the peer is polled this often, well inside its watchdog (about twice
// the F-timer), so it never gives the link up during the program's pauses.
inline constexpr std::uint32_t KEEPALIVE_INTERVAL_MS = 400;
// Discovery: 6 slots of this length, each from the moment its XID is handed to the line (as Linux counts).
inline constexpr std::size_t DISCOVERY_SLOTS = 6;
inline constexpr std::uint32_t SLOT_MS = 90;
// Minimal firmware may miss a whole discovery: one enumeration runs up to this many within this budget
// before it says nobody is there (one discovery of 6 slots takes about 650 ms).
inline constexpr int DISCOVERY_RUNS = 3;
inline constexpr std::uint32_t DISCOVERY_BUDGET_MS = 2000;
// The medium is busy while traffic is heard and this long after it; no XID or SNRM goes out while it is. A
// medium that never falls quiet is waited for at most the bound.
inline constexpr std::uint32_t MEDIA_BUSY_MS = 500;
inline constexpr std::uint32_t MEDIA_BUSY_BOUND_MS = 2000;
// No medium delivers frames faster than the line carries them: the smallest frame (BOF, address, control,
// FCS, EOF) is this many bytes. A wait takes at most the frames its length could carry and this many more
// that were in hand before it began; a medium that gives more is flooding, and the wait ends as if traffic
// were still arriving (the medium is busy).
inline constexpr std::size_t SMALLEST_FRAME_BYTES = 6;
inline constexpr std::size_t FRAMES_IN_HAND_LIMIT = 16;
// While a stop may be requested, no wait of the discovery or the connection runs longer than this between
// two looks at the request.
inline constexpr std::uint32_t STOP_LOOK_MS = 100;
// SNRM is retried this often after a random back-off, so two primaries that collided do not collide again.
inline constexpr int SNRM_TRIES = 3;
inline constexpr std::uint32_t SNRM_BACKOFF_MIN_MS = 20;
inline constexpr std::uint32_t SNRM_BACKOFF_MAX_MS = 50;
// DISC is sent this often (waiting the F-timer for UA or DM each time) to a peer that answers, as Linux
// retries it; to a peer that went silent, once.
inline constexpr int DISC_TRIES = 3;
// A peer that answers RNR (busy writing its memory) is polled with RR at the F-timer's pace for at most this
// long. A configuration write takes well under a second, a flash erase a few seconds; beyond that the
// instrument is taken for wedged. The reply above still has its own receive wait.
inline constexpr std::uint32_t PEER_BUSY_LIMIT_MS = 10000;
// An information frame answered without being acknowledged (RR with the old N(r)) is resent at most this
// many times: answered polls do not count toward the disconnect threshold, so this bounds them instead.
inline constexpr int RESEND_LIMIT = 6;
// Start flags before every frame while no connection exists (the contention rule).
inline constexpr std::size_t CONTENTION_XBOFS = 10;
// Additional BOFs are stated for 115200 baud and scaled to the line's speed.
inline constexpr std::uint32_t BOFS_REFERENCE_BAUD = 115200;
// The device address used when the caller gives none or an impossible one (0 or broadcast): any fixed valid
// address will do, since nobody else in range is expected to pick the same one.
inline constexpr std::uint32_t FALLBACK_OWN_ADDRESS = 0x5158A001;

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
    std::uint32_t additionalBofs = 12;  // at 115200 baud, the peer needs before each frame it receives
};
// The bytes the line carries in one turn of `turnaroundMs` at 9600 baud (Linux's line-capacity table: 400
// bytes at 500 ms): a frame larger than that would outlast the turn.
std::size_t LineCapacity(std::uint32_t turnaroundMs);
// The data size to use with a peer that stated `stated`: capped by the line capacity of the shorter of the
// two stations' maximum turnarounds, never below 64.
std::size_t UsableDataSize(std::size_t stated, std::uint32_t turnaroundMs);
// The peer's additional BOFs scaled from 115200 baud to `baud`.
std::size_t ScaledBofs(std::uint32_t bofsAt115200, std::uint32_t baud);
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
    Stopped,       // the user stopped the run before this operation's frame went out
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
    // The run's bound: once it has passed, no connection is begun and no information frame goes out (a Send
    // under way stops retrying and ends the link with DISC); polls and DISC still go, so an answer to a
    // frame already sent can still arrive.
    void SetRunBound(std::optional<Deadline> bound) { runBound_ = bound; }
    // The user's stop request (Ctrl+C), read from another thread; `stop` must outlive this station. Once it
    // is set, a discovery under way ends, no connection is begun and no information frame goes out for the
    // first time (a Send whose frame has not gone out yet ends the link with DISC). A Send whose frame went
    // out goes on as before, so the answer to it is still waited for.
    void SetStopRequest(const std::atomic<bool>* stop) { stop_ = stop; }
    bool StopRequested() const { return stop_ != nullptr && stop_->load(); }

    // One discovery with `slots` slots (6 or 8); the devices that answered, each once.
    LapStatus Discover(std::vector<DiscoveredDevice>& devices, std::size_t slots = DISCOVERY_SLOTS);
    // Discovery run again while nobody answered, up to DISCOVERY_RUNS within DISCOVERY_BUDGET_MS. A peer
    // that answered a discovery from a connection of ours it still holds (a stale link) is sent DISC first.
    LapStatus Enumerate(std::vector<DiscoveredDevice>& devices);
    // After an Enumerate that found nobody: whether the medium stayed busy at every discovery, so that no
    // XID went out at all (another infrared device holds it), rather than nobody answering.
    bool MediumHeld() const { return mediumHeld_; }

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
    // sends meanwhile go to Received(). While the peer is busy (RNR) no information frame goes out: it is
    // polled with RR at the F-timer's pace until it says RR, for at most PEER_BUSY_LIMIT_MS.
    LapStatus Send(std::span<const std::uint8_t> information);
    // Whether the information frame of the last Send went on the wire at least once.
    bool LastSendTransmitted() const { return lastSendTransmitted_; }
    // Polls the peer once (RR); what it sends goes to Received().
    LapStatus Poll();
    // Waits `ms`, polling the connection every KEEPALIVE_INTERVAL_MS with `poll` (by default Poll()) so the
    // peer keeps it.
    void Pause(std::uint32_t ms, const std::function<void()>& poll = {});
    // Information fields received, oldest first.
    std::deque<Bytes>& Received() { return received_; }
    // Disconnects (DISC, UA or DM, retried); a link already gone is left as it is.
    void Disconnect();
    // Why the connection ended, when it ended by itself.
    LapStatus LostReason() const { return lost_; }
    // The connection ended because the peer said DM: it had already left it.
    bool LostToDm() const { return lostToDm_; }

  private:
    enum class Answer { Frame, Timeout, Arriving, PortFailed };
    LapStatus SendFrame(std::span<const std::uint8_t> frame);
    // One wait for frames: its deadline and the frames it may still take (see SMALLEST_FRAME_BYTES).
    struct Wait {
        Deadline deadline;
        std::size_t framesLeft;
    };
    Wait WaitUntil(Deadline deadline);
    // Reads until a response frame (C/R clear) arrives or the deadline passes (Arriving: while a frame was
    // still coming in, or once the wait has taken all the frames it may).
    Answer Receive(Wait& wait, Bytes& frame);
    Answer Receive(Deadline deadline, Bytes& frame) {
        Wait wait = WaitUntil(deadline);
        return Receive(wait, frame);
    }
    // Waits, listening, until the medium has been quiet for MEDIA_BUSY_MS (at most MEDIA_BUSY_BOUND_MS):
    // false when it stayed busy or the port failed (`failed` then set).
    bool WaitMediumFree(bool& failed);
    // Sends DISC and waits for UA or DM, `tries` times at most, then forgets the link with `why`.
    LapStatus EndLink(LapStatus why, int tries);
    // One command with the P bit and the peer's answer within the F-timer: the frames of this connection that
    // came, the last one carrying the F bit.
    Answer Command(std::span<const std::uint8_t> frame, std::vector<Bytes>& responses);
    // Applies a response in the connection: data received, our frame acknowledged or not, the peer busy, or
    // the connection lost.
    enum class Outcome { Acked, NotAcked, Busy, Lost, Ended };
    Outcome Apply(const Bytes& response);
    // Applies every response of one command; Lost/Ended when the link ended (by DM, or by our DISC after RD,
    // FRMR or a bad N(r)).
    Outcome ApplyAll(const std::vector<Bytes>& responses);
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
    std::optional<Deadline> busyUntil_;        // the medium is busy until then
    Bytes lastSent_;                           // to tell an adapter's echo from a frame heard
    std::vector<std::uint8_t> stale_;          // connection addresses that answered discovery
    std::optional<Deadline> busyPollDue_;      // when a busy peer may be polled again
    std::optional<Deadline> runBound_;         // see SetRunBound
    const std::atomic<bool>* stop_ = nullptr;  // see SetStopRequest
    bool frameWentOut_ = false;                // the last command reached the medium
    bool heldOff_ = false;                     // the last Discover found the medium busy and sent nothing
    bool mediumHeld_ = false;                  // see MediumHeld
    std::uint32_t lastReceived_ = 0;
    bool anyReceived_ = false;
    std::uint32_t lastWireMs_ = 0;  // of the frame sent last
    int missed_ = 0;                // polls in a row that the peer left unanswered

    LinkState state_ = LinkState::Disconnected;
    std::uint32_t peer_ = 0;
    std::uint8_t connectionAddress_ = 0;
    LinkParameters peerParams_;
    std::uint8_t vs_ = 0;           // the next Ns to send
    std::uint8_t vr_ = 0;           // the next Ns expected
    std::optional<Bytes> unacked_;  // the information frame out and not acknowledged
    bool lastSendTransmitted_ = false;
    bool lostToDm_ = false;
    std::size_t xbofs_ = CONTENTION_XBOFS;  // before each frame we send
    std::deque<Bytes> received_;
    LapStatus lost_ = LapStatus::NotConnected;
    XorShift32 random_;
};

}  // namespace qx::irda
