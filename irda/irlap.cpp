#include "irda/irlap.h"

#include <algorithm>

namespace qx::irda {
namespace {

constexpr std::uint8_t OWN_HINTS = 0x04;  // a computer
constexpr std::uint8_t CHARSET_ASCII = 0x00;
constexpr const char* OWN_NICKNAME = "QX2205R";
// Information fields received and not yet taken by IrLMP.
constexpr std::size_t RECEIVED_LIMIT = 16;

std::uint8_t SlotFlags(std::size_t slots) {
    switch (slots) {
        case 1:
            return 0;
        case 6:
            return 1;
        case 8:
            return 2;
        default:
            return 3;  // 16
    }
}

// The time of the highest bit set in `mask` from a table indexed by bit, or `fallback` for no bit.
template <std::size_t N>
std::uint32_t LargestOf(std::uint8_t mask, const std::array<std::uint32_t, N>& byBit,
                        std::uint32_t fallback) {
    std::optional<std::uint32_t> largest;
    for (std::size_t bit = 0; bit < N; ++bit) {
        if ((mask >> bit) & 1) {
            largest = std::max(largest.value_or(0), byBit[bit]);
        }
    }
    return largest.value_or(fallback);
}

}  // namespace

Bytes Frame(std::initializer_list<std::uint8_t> head, std::span<const std::uint8_t> tail) {
    Bytes frame;
    frame.reserve(head.size() + tail.size());
    frame.assign(head.begin(), head.end());
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

Bytes XidCommand(std::uint32_t ownAddress, std::size_t slots, std::uint8_t slot) {
    Bytes frame = {static_cast<std::uint8_t>(LAP_BROADCAST << 1 | LAP_CR_COMMAND),
                   static_cast<std::uint8_t>(LAP_XID_COMMAND | LAP_PF), XID_FORMAT};
    PutLittle32(frame, ownAddress);
    PutLittle32(frame, XID_BROADCAST_ADDRESS);
    frame.push_back(SlotFlags(slots));
    frame.push_back(slot);
    frame.push_back(0x00);  // version
    if (slot == XID_FINAL_SLOT) {
        frame.push_back(OWN_HINTS);
        frame.push_back(CHARSET_ASCII);
        for (const char* c = OWN_NICKNAME; *c != '\0'; ++c) {
            frame.push_back(static_cast<std::uint8_t>(*c));
        }
    }
    return frame;
}

std::optional<DiscoveredDevice> ParseXidResponse(std::span<const std::uint8_t> frame,
                                                 std::uint32_t ownAddress) {
    if (frame.size() < 2 + XID_FIXED_SIZE || frame[0] != (LAP_BROADCAST << 1) ||
        (frame[1] & ~LAP_PF) != LAP_XID_RESPONSE || frame[2] != XID_FORMAT) {
        return std::nullopt;
    }
    if (ReadLittle32(frame.subspan(7, 4)) != ownAddress) {
        return std::nullopt;
    }
    DiscoveredDevice device;
    device.address = ReadLittle32(frame.subspan(3, 4));
    const auto info = frame.subspan(2 + XID_FIXED_SIZE);
    if (info.empty()) {
        return device;  // a device that gives no discovery information
    }
    std::size_t i = 0;
    for (;;) {
        if (i >= info.size() || i >= XID_MAX_HINTS) {
            return std::nullopt;  // hint bytes that never end
        }
        if (i < device.hints.size()) {
            device.hints[i] = info[i];
        }
        if ((info[i++] & 0x80) == 0) {
            break;
        }
    }
    if (i >= info.size()) {
        return device;  // hints alone
    }
    device.charset = info[i++];
    const auto nickname = info.subspan(i, std::min(info.size() - i, NICKNAME_MAX));
    device.nickname.assign(nickname.begin(), nickname.end());
    return device;
}

Bytes OwnParameters() {
    return {
        PI_BAUD_RATE,
        1,
        PV_BAUD_9600,  // 9600 only: no speed change ever follows
        PI_MAX_TURNAROUND,
        1,
        0x01,  // 500 ms
        PI_DATA_SIZE,
        1,
        0x07,  // up to 256 bytes
        PI_WINDOW_SIZE,
        1,
        0x01,  // one frame
        PI_ADDITIONAL_BOFS,
        1,
        0x80,  // none
        PI_MIN_TURNAROUND,
        1,
        0x01,  // 10 ms
        PI_DISCONNECT_THRESHOLD,
        1,
        0x01,  // 3 s
    };
}

LinkParameters ParseParameters(std::span<const std::uint8_t> params) {
    static constexpr std::array<std::uint32_t, 4> TURNAROUND_MS = {500, 250, 100, 50};
    static constexpr std::array<std::uint32_t, 6> DATA_SIZES = {64, 128, 256, 512, 1024, 2048};
    static constexpr std::array<std::uint32_t, 8> MIN_TURN_US = {10000, 5000, 1000, 500, 100, 50, 10, 0};
    static constexpr std::array<std::uint32_t, 8> ADDITIONAL_BOFS = {48, 24, 12, 5, 3, 2, 1, 0};
    LinkParameters result;
    std::size_t i = 0;
    while (i + 2 <= params.size()) {
        const std::uint8_t pi = params[i];
        const std::size_t pl = params[i + 1];
        if (pl == 0 || i + 2 + pl > params.size()) {
            break;
        }
        const std::uint8_t value = params[i + 2];  // every parameter here lives in its first (low) byte
        switch (pi) {
            case PI_BAUD_RATE:
                result.baudRates = value;
                break;
            case PI_MAX_TURNAROUND:
                result.maxTurnaroundMs = LargestOf(value, TURNAROUND_MS, result.maxTurnaroundMs);
                break;
            case PI_DATA_SIZE:
                result.dataSize = LargestOf(value, DATA_SIZES, static_cast<std::uint32_t>(result.dataSize));
                break;
            case PI_MIN_TURNAROUND:
                result.minTurnaroundUs = LargestOf(value, MIN_TURN_US, result.minTurnaroundUs);
                break;
            case PI_DISCONNECT_THRESHOLD:
                result.disconnectThresholds = value;
                break;
            case PI_ADDITIONAL_BOFS:
                result.additionalBofs = LargestOf(value, ADDITIONAL_BOFS, result.additionalBofs);
                break;
            default:
                break;
        }
        i += 2 + pl;
    }
    return result;
}

std::size_t LineCapacity(std::uint32_t turnaroundMs) {
    // 9600 baud is 960 bytes a second with start and stop bits; Linux leaves a sixth of a turn for the
    // turnaround itself, 400 bytes of 480 at 500 ms.
    return static_cast<std::size_t>(turnaroundMs) * IRDA_CONTENTION_BAUD / 12000;
}

std::size_t UsableDataSize(std::size_t stated, std::uint32_t turnaroundMs) {
    static constexpr std::array<std::size_t, 6> DATA_SIZES = {64, 128, 256, 512, 1024, 2048};
    const std::size_t limit = std::min(stated, LineCapacity(turnaroundMs));
    std::size_t usable = DATA_SIZES.front();
    for (std::size_t size : DATA_SIZES) {
        if (size <= limit) {
            usable = size;
        }
    }
    return usable;
}

std::size_t ScaledBofs(std::uint32_t bofsAt115200, std::uint32_t baud) {
    return static_cast<std::size_t>(std::uint64_t{bofsAt115200} * baud / BOFS_REFERENCE_BAUD);
}

IrlapPrimary::IrlapPrimary(IrdaMedium& medium, StackClock& clock, FrameSink* sink, std::uint32_t ownAddress)
    : medium_(medium),
      clock_(clock),
      sink_(sink),
      ownAddress_(ownAddress == 0 || ownAddress == XID_BROADCAST_ADDRESS ? FALLBACK_OWN_ADDRESS : ownAddress),
      random_(ownAddress_ | 1) {}

void IrlapPrimary::Reset() {
    medium_.Reset();
    received_.clear();
    busyUntil_.reset();
    lastSent_.clear();
    anyReceived_ = false;
    state_ = LinkState::Disconnected;
    unacked_.reset();
    missed_ = 0;
    lost_ = LapStatus::NotConnected;
    peerParams_ = LinkParameters{};
    xbofs_ = CONTENTION_XBOFS;
}

std::uint32_t IrlapPrimary::FTimer() const {
    return std::max(F_TIMER_MS, peerParams_.maxTurnaroundMs) + peerParams_.minTurnaroundUs / 1000;
}

int IrlapPrimary::RetryLimit() const {
    return static_cast<int>(std::max<std::uint32_t>(
        DISCONNECT_THRESHOLD_MS / std::max(F_TIMER_MS, peerParams_.maxTurnaroundMs), 1));
}

LapStatus IrlapPrimary::SendFrame(std::span<const std::uint8_t> frame) {
    if (anyReceived_) {
        // The peer needs its minimum turnaround after its last frame before it can hear ours.
        const std::uint32_t turn = (peerParams_.minTurnaroundUs + 999) / 1000;
        SleepUntil(clock_, Deadline::At(lastReceived_ + turn));
    }
    if (sink_ != nullptr) {
        sink_->Frame(true, frame);
    }
    lastSent_.assign(frame.begin(), frame.end());
    const auto airMs = medium_.Send(frame, xbofs_);
    if (!airMs) {
        // A frame the adapter was handed before it failed may be on the air all the same.
        frameWentOut_ = medium_.LastSendHandedOver();
        return LapStatus::PortFailed;
    }
    lastWireMs_ = *airMs;
    frameWentOut_ = true;
    return LapStatus::Ok;
}

IrlapPrimary::Wait IrlapPrimary::WaitUntil(Deadline deadline) {
    const std::size_t carried = static_cast<std::size_t>(deadline.Left(clock_)) * IRDA_CONTENTION_BAUD /
                                (SMALLEST_FRAME_BYTES * 10 * 1000);
    return {deadline, FRAMES_IN_HAND_LIMIT + carried};
}

IrlapPrimary::Answer IrlapPrimary::Receive(Wait& wait, Bytes& frame) {
    const Deadline deadline = wait.deadline;
    for (;;) {
        if (wait.framesLeft == 0) {
            // More frames than the line could have carried: a flood, which keeps the medium busy.
            busyUntil_ = Deadline::After(clock_, MEDIA_BUSY_MS);
            return Answer::Arriving;
        }
        const MediumReceive got = medium_.Receive(deadline, frame);
        if (got == MediumReceive::Frame || got == MediumReceive::Busy) {
            --wait.framesLeft;
        }
        switch (got) {
            case MediumReceive::Failed:
                return Answer::PortFailed;
            case MediumReceive::Silent:
                return Answer::Timeout;
            case MediumReceive::Arriving:
                busyUntil_ = Deadline::After(clock_, MEDIA_BUSY_MS);
                return Answer::Arriving;
            case MediumReceive::Busy:
                // Traffic the adapter heard without a frame for us: the medium is busy as when a frame is
                // heard, and once the deadline has passed it counts as a frame still under way.
                busyUntil_ = Deadline::After(clock_, MEDIA_BUSY_MS);
                if (deadline.Passed(clock_)) {
                    return Answer::Arriving;
                }
                continue;
            case MediumReceive::Frame:
                break;
        }
        if (sink_ != nullptr) {
            sink_->Frame(false, frame);
        }
        anyReceived_ = true;
        lastReceived_ = clock_.NowMs();
        if (frame != lastSent_) {
            busyUntil_ = Deadline::After(clock_, MEDIA_BUSY_MS);  // traffic heard (not the adapter's echo)
        }
        // Commands on the line are our own frames echoed by the adapter (or another primary): never an
        // answer.
        if (frame.size() < 2 || (frame[0] & LAP_CR_COMMAND) != 0) {
            continue;
        }
        return Answer::Frame;
    }
}

void IrlapPrimary::DropReadAhead() {
    Bytes ignored;
    Wait inHand = WaitUntil(Deadline::At(clock_.NowMs()));
    while (Receive(inHand, ignored) == Answer::Frame) {
    }
}

bool IrlapPrimary::WaitMediumFree(bool& failed) {
    failed = false;
    const Deadline bound = Deadline::After(clock_, MEDIA_BUSY_BOUND_MS);
    // One allowance of frames for the whole wait, however it is cut up below.
    Wait wait = WaitUntil(bound);
    Bytes ignored;
    for (;;) {
        if (StopRequested()) {
            return false;
        }
        // What arrived already was heard before now.
        Answer answer;
        wait.deadline = Deadline::At(clock_.NowMs());
        while ((answer = Receive(wait, ignored)) == Answer::Frame) {
        }
        if (answer == Answer::PortFailed) {
            failed = true;
            return false;
        }
        if (answer != Answer::Arriving && (!busyUntil_ || busyUntil_->Passed(clock_))) {
            return true;
        }
        if (bound.Passed(clock_) || wait.framesLeft == 0) {
            return false;  // busy for the whole bound, or flooded
        }
        Deadline until = busyUntil_ ? Deadline::Earlier(*busyUntil_, bound) : bound;
        if (stop_ != nullptr) {
            until = Deadline::Earlier(until, Deadline::After(clock_, STOP_LOOK_MS));
        }
        wait.deadline = until;
        if (Receive(wait, ignored) == Answer::PortFailed) {
            failed = true;
            return false;
        }
    }
}

LapStatus IrlapPrimary::Discover(std::vector<DiscoveredDevice>& devices, std::size_t slots) {
    devices.clear();
    bool failed = false;
    heldOff_ = false;
    if (!WaitMediumFree(failed)) {
        // Someone else holds the medium: nobody was asked, so nobody is listed.
        heldOff_ = !failed && !StopRequested();
        return failed ? LapStatus::PortFailed : StopRequested() ? LapStatus::Stopped : LapStatus::Ok;
    }
    for (std::size_t slot = 0; slot < slots; ++slot) {
        if (StopRequested()) {
            return LapStatus::Stopped;  // the discovery is ended where it is
        }
        DropReadAhead();
        if (SendFrame(XidCommand(ownAddress_, slots, static_cast<std::uint8_t>(slot))) != LapStatus::Ok) {
            return LapStatus::PortFailed;
        }
        // The slot runs from the moment the XID is handed to the line, as Linux counts it: the XID's own time
        // on the air is inside it, and an answer still arriving at its end gets more below.
        Wait wait = WaitUntil(Deadline::After(clock_, std::max(SLOT_MS, lastWireMs_)));
        bool extended = false;
        Bytes frame;
        for (;;) {
            const Answer answer = Receive(wait, frame);
            if (answer == Answer::PortFailed) {
                return LapStatus::PortFailed;
            }
            if (answer == Answer::Arriving && !extended) {
                extended = true;  // an answer is on its way: let it finish rather than talk over it
                wait = WaitUntil(Deadline::After(clock_, SLOT_MS));
                continue;
            }
            if (answer != Answer::Frame) {
                break;
            }
            const auto device = ParseXidResponse(frame, ownAddress_);
            if (device && std::none_of(devices.begin(), devices.end(), [&](const DiscoveredDevice& known) {
                    return known.address == device->address;
                })) {
                devices.push_back(*device);
            } else if (!device && (frame[0] >> 1) != LAP_BROADCAST &&
                       std::find(stale_.begin(), stale_.end(), frame[0] >> 1) == stale_.end()) {
                // A station that still holds a connection answers discovery from it.
                stale_.push_back(static_cast<std::uint8_t>(frame[0] >> 1));
            }
        }
    }
    if (SendFrame(XidCommand(ownAddress_, slots, XID_FINAL_SLOT)) != LapStatus::Ok) {
        return LapStatus::PortFailed;
    }
    if (!devices.empty()) {
        busyUntil_.reset();  // IrLAP lets a successful discovery clear the media-busy condition
    }
    return LapStatus::Ok;
}

LapStatus IrlapPrimary::Enumerate(std::vector<DiscoveredDevice>& devices) {
    const Deadline budget = Deadline::After(clock_, DISCOVERY_BUDGET_MS);
    mediumHeld_ = true;
    for (int run = 1;; ++run) {
        if (StopRequested()) {
            mediumHeld_ = false;
            return LapStatus::Stopped;
        }
        stale_.clear();
        const LapStatus status = Discover(devices);
        mediumHeld_ = mediumHeld_ && heldOff_;
        if (status != LapStatus::Ok || !devices.empty()) {
            mediumHeld_ = false;
            return status;
        }
        // A connection left by a primary that vanished (an earlier run that could not end it): the station
        // answers discovery from it and ignores SNRM until its watchdog runs out, which every XID restarts.
        // DISC ends it, so the next discovery finds the station.
        for (std::uint8_t address : stale_) {
            const std::uint8_t own = connectionAddress_;
            connectionAddress_ = address;
            std::vector<Bytes> responses;
            const Answer answer = Command(Frame({static_cast<std::uint8_t>(address << 1 | LAP_CR_COMMAND),
                                                 static_cast<std::uint8_t>(LAP_DISC | LAP_PF)}),
                                          responses);
            connectionAddress_ = own;
            if (answer == Answer::PortFailed) {
                return LapStatus::PortFailed;
            }
        }
        if (run >= DISCOVERY_RUNS || budget.Passed(clock_)) {
            return StopRequested() ? LapStatus::Stopped : LapStatus::Ok;
        }
    }
}

IrlapPrimary::Answer IrlapPrimary::Command(std::span<const std::uint8_t> frame,
                                           std::vector<Bytes>& responses) {
    responses.clear();
    frameWentOut_ = false;
    if (state_ == LinkState::PeerBusy && busyPollDue_) {
        SleepUntil(clock_, *busyPollDue_);  // a busy peer is polled at the F-timer's pace
    }
    DropReadAhead();
    busyPollDue_ = Deadline::After(clock_, FTimer());
    if (SendFrame(frame) != LapStatus::Ok) {
        return Answer::PortFailed;
    }
    Wait wait = WaitUntil(Deadline::After(clock_, lastWireMs_ + FTimer()));
    bool extended = false;
    for (;;) {
        Bytes response;
        const Answer answer = Receive(wait, response);
        if (answer == Answer::Arriving && !extended) {
            extended = true;  // the answer is still coming in: wait for it rather than talk over it
            wait = WaitUntil(Deadline::After(clock_, F_TIMER_EXTENSION_MS));
            continue;
        }
        if (answer == Answer::PortFailed) {
            return answer;
        }
        if (answer != Answer::Frame) {
            ++missed_;
            return Answer::Timeout;
        }
        const std::uint8_t address = response[0] >> 1;
        if (address != connectionAddress_ && address != LAP_BROADCAST) {
            continue;  // another connection's
        }
        const bool final = (response[1] & LAP_PF) != 0;
        responses.push_back(std::move(response));
        if (final) {
            missed_ = 0;
            return Answer::Frame;
        }
    }
}

LapStatus IrlapPrimary::Lose(LapStatus why) {
    lostToDm_ = false;
    state_ = LinkState::Lost;
    unacked_.reset();
    lost_ = why;
    busyUntil_ = Deadline::After(clock_, MEDIA_BUSY_MS);  // back to the disconnected state
    return why;
}

LapStatus IrlapPrimary::EndLink(LapStatus why, int tries) {
    const Bytes disc = {static_cast<std::uint8_t>(connectionAddress_ << 1 | LAP_CR_COMMAND),
                        static_cast<std::uint8_t>(LAP_DISC | LAP_PF)};
    std::vector<Bytes> responses;
    for (int attempt = 0; attempt < tries; ++attempt) {
        const Answer answer = Command(disc, responses);
        if (answer == Answer::PortFailed) {
            break;
        }
        if (answer == Answer::Frame) {
            const std::uint8_t control = responses.back()[1] & ~LAP_PF;
            if (control == LAP_UA || control == LAP_DM) {
                break;
            }
        }
    }
    return Lose(why);
}

LapStatus IrlapPrimary::Connect(std::uint32_t peer) {
    if (Connected() && peer == peer_) {
        return LapStatus::Ok;
    }
    Disconnect();
    connectionAddress_ = static_cast<std::uint8_t>(random_.Next() % (LAP_BROADCAST - 1) + 1);
    peerParams_ = LinkParameters{};
    xbofs_ = CONTENTION_XBOFS;
    peer_ = peer;
    missed_ = 0;
    Bytes snrm = {static_cast<std::uint8_t>(LAP_BROADCAST << 1 | LAP_CR_COMMAND),
                  static_cast<std::uint8_t>(LAP_SNRM | LAP_PF)};
    PutLittle32(snrm, ownAddress_);
    PutLittle32(snrm, peer);
    snrm.push_back(static_cast<std::uint8_t>(connectionAddress_ << 1));
    const Bytes params = OwnParameters();
    snrm.insert(snrm.end(), params.begin(), params.end());

    std::vector<Bytes> responses;
    for (int attempt = 0; attempt < SNRM_TRIES; ++attempt) {
        if (runBound_ && runBound_->Passed(clock_)) {
            return LapStatus::Timeout;  // the run's time is up
        }
        if (StopRequested()) {
            return LapStatus::Stopped;
        }
        if (attempt > 0) {
            clock_.SleepMs(SNRM_BACKOFF_MIN_MS +
                           random_.Next() % (SNRM_BACKOFF_MAX_MS - SNRM_BACKOFF_MIN_MS + 1));
        }
        bool failed = false;
        if (!WaitMediumFree(failed)) {
            // The medium never fell quiet, or the user stopped the run meanwhile.
            return Lose(failed            ? LapStatus::PortFailed
                        : StopRequested() ? LapStatus::Stopped
                                          : LapStatus::Timeout);
        }
        const Answer answer = Command(snrm, responses);
        if (answer == Answer::PortFailed) {
            return Lose(LapStatus::PortFailed);
        }
        if (answer != Answer::Frame) {
            continue;
        }
        const Bytes& response = responses.back();
        const std::uint8_t control = response[1] & ~LAP_PF;
        if (control == LAP_DM) {
            return Lose(LapStatus::Refused);
        }
        if (control != LAP_UA) {
            continue;
        }
        // UA: its address and ours, then its parameters.
        constexpr std::size_t PARAMS_OFFSET = 2 + 4 + 4;
        if (response.size() >= PARAMS_OFFSET) {
            peerParams_ = ParseParameters(std::span(response).subspan(PARAMS_OFFSET));
        }
        // Our own frames must fit the shorter of the two turns; we state 500 ms.
        peerParams_.dataSize = UsableDataSize(
            peerParams_.dataSize, std::min<std::uint32_t>(F_TIMER_MS, peerParams_.maxTurnaroundMs));
        xbofs_ = ScaledBofs(peerParams_.additionalBofs, IRDA_CONTENTION_BAUD);
        state_ = LinkState::Connected;
        lost_ = LapStatus::NotConnected;
        vs_ = 0;
        vr_ = 0;
        unacked_.reset();
        busyPollDue_.reset();
        received_.clear();
        missed_ = 0;
        return LapStatus::Ok;
    }
    return Lose(LapStatus::Timeout);
}

void IrlapPrimary::Settle(bool peerBusy) {
    if (peerBusy) {
        state_ = LinkState::PeerBusy;
    } else {
        state_ = unacked_ ? LinkState::AwaitingAck : LinkState::Connected;
    }
}

IrlapPrimary::Outcome IrlapPrimary::Apply(const Bytes& response) {
    const std::uint8_t control = response[1];
    const auto acknowledge = [&](std::uint8_t nr) {
        if (!unacked_) {
            return nr == vs_;
        }
        if (nr == ((vs_ + 1) & 7)) {
            vs_ = (vs_ + 1) & 7;
            unacked_.reset();
            return true;
        }
        return nr == vs_;  // anything else acknowledges a frame never sent
    };
    if ((control & 0x01) == 0) {  // I frame
        const std::uint8_t ns = (control >> 1) & 7;
        if (ns == vr_) {
            if (received_.size() < RECEIVED_LIMIT) {
                received_.emplace_back(response.begin() + 2, response.end());
                vr_ = (vr_ + 1) & 7;
            }
        }
        if (!acknowledge(control >> 5)) {
            EndLink(LapStatus::Reset, DISC_TRIES);
            return Outcome::Ended;
        }
        Settle(false);
        return unacked_ ? Outcome::NotAcked : Outcome::Acked;
    }
    if ((control & 0x03) == 0x01) {  // S frame
        if (!acknowledge(control >> 5)) {
            EndLink(LapStatus::Reset, DISC_TRIES);
            return Outcome::Ended;
        }
        const bool busy = (control & 0x0F) == LAP_RNR;
        Settle(busy);
        if (busy) {
            return Outcome::Busy;
        }
        return unacked_ ? Outcome::NotAcked : Outcome::Acked;
    }
    switch (control & ~LAP_PF) {  // U frame
        case LAP_DM:
            Lose(LapStatus::Reset);  // the peer has already left the connection
            lostToDm_ = true;
            return Outcome::Lost;
        case LAP_RD:
        case LAP_FRMR:
            // The peer asks to end the link, or could not take a frame of ours: end it cleanly so the peer
            // does not keep it until its watchdog runs out.
            EndLink(LapStatus::Reset, DISC_TRIES);
            return Outcome::Ended;
        default:
            return unacked_ ? Outcome::NotAcked : Outcome::Acked;
    }
}

IrlapPrimary::Outcome IrlapPrimary::ApplyAll(const std::vector<Bytes>& responses) {
    Outcome outcome = Outcome::NotAcked;
    for (const Bytes& response : responses) {
        outcome = Apply(response);
        if (outcome == Outcome::Lost || outcome == Outcome::Ended) {
            break;
        }
    }
    return outcome;
}

LapStatus IrlapPrimary::Send(std::span<const std::uint8_t> information) {
    lastSendTransmitted_ = false;
    if (!Connected()) {
        return lost_;
    }
    unacked_.emplace(information.begin(), information.end());
    Settle(state_ == LinkState::PeerBusy);
    const Deadline busyLimit = Deadline::After(clock_, PEER_BUSY_LIMIT_MS);
    int resends = 0;
    std::vector<Bytes> responses;
    for (;;) {
        if (runBound_ && runBound_->Passed(clock_)) {
            return EndLink(LapStatus::Timeout, DISC_TRIES);  // the run's time is up
        }
        if (StopRequested() && !lastSendTransmitted_) {
            return EndLink(LapStatus::Stopped, DISC_TRIES);  // stopped before this frame went out
        }
        const bool busy = state_ == LinkState::PeerBusy;
        Bytes frame;
        if (busy) {
            if (busyLimit.Passed(clock_)) {
                return EndLink(LapStatus::Timeout, DISC_TRIES);  // answering, but never ready again
            }
            frame = {static_cast<std::uint8_t>(connectionAddress_ << 1 | LAP_CR_COMMAND),
                     static_cast<std::uint8_t>(vr_ << 5 | LAP_PF | LAP_RR)};
        } else {
            frame = Frame({static_cast<std::uint8_t>(connectionAddress_ << 1 | LAP_CR_COMMAND),
                           static_cast<std::uint8_t>(vr_ << 5 | LAP_PF | vs_ << 1)},
                          information);
        }
        const Answer answer = Command(frame, responses);
        if (!busy && frameWentOut_) {
            lastSendTransmitted_ = true;
        }
        if (answer == Answer::PortFailed) {
            return Lose(LapStatus::PortFailed);
        }
        if (answer == Answer::Timeout) {
            if (missed_ >= RetryLimit()) {
                return EndLink(LapStatus::Timeout, 1);  // the peer went silent: one DISC in case it hears
            }
            continue;
        }
        const Outcome outcome = ApplyAll(responses);
        if (outcome == Outcome::Lost || outcome == Outcome::Ended) {
            return lost_;
        }
        if (!unacked_) {
            return LapStatus::Ok;
        }
        if (!busy && state_ != LinkState::PeerBusy && ++resends > RESEND_LIMIT) {
            return EndLink(LapStatus::Timeout, DISC_TRIES);  // it answers but never takes the frame
        }
    }
}

LapStatus IrlapPrimary::Poll() {
    if (!Connected()) {
        return lost_;
    }
    const Bytes frame = {static_cast<std::uint8_t>(connectionAddress_ << 1 | LAP_CR_COMMAND),
                         static_cast<std::uint8_t>(vr_ << 5 | LAP_PF | LAP_RR)};
    std::vector<Bytes> responses;
    const Answer answer = Command(frame, responses);
    if (answer == Answer::PortFailed) {
        return Lose(LapStatus::PortFailed);
    }
    if (answer == Answer::Timeout) {
        return missed_ >= RetryLimit() ? EndLink(LapStatus::Timeout, 1) : LapStatus::Ok;
    }
    const Outcome outcome = ApplyAll(responses);
    return outcome == Outcome::Lost || outcome == Outcome::Ended ? lost_ : LapStatus::Ok;
}

void IrlapPrimary::Pause(std::uint32_t ms, const std::function<void()>& poll) {
    const Deadline deadline = Deadline::After(clock_, ms);
    while (Connected()) {
        const std::uint32_t left = deadline.Left(clock_);
        if (left == 0) {
            return;
        }
        clock_.SleepMs(std::min(left, KEEPALIVE_INTERVAL_MS));
        if (!deadline.Passed(clock_)) {
            if (poll) {
                poll();
            } else {
                Poll();
            }
        }
    }
    SleepUntil(clock_, deadline);
}

void IrlapPrimary::Disconnect() {
    if (!Connected()) {
        return;
    }
    EndLink(LapStatus::NotConnected, DISC_TRIES);
    state_ = LinkState::Disconnected;
}

}  // namespace qx::irda
