#include "support/irda_secondary.h"

#include <algorithm>

#include "irda/irlap.h"
#include "link/irda_link.h"

namespace qx::test {
namespace {

constexpr std::size_t SECONDARY_XBOFS = 10;
constexpr std::size_t ENDLESS_CHUNK = 64;
constexpr std::uint32_t DISCOVERY_TURNAROUND_MS = 5;

std::uint32_t Little32(const IrdaBytes& bytes, std::size_t at) {
    return ReadLittle32(std::span(bytes).subspan(at));
}

}  // namespace

IrdaSecondary::IrdaSecondary(FakeClockPlatform& clock) : clock_(clock) {}

std::vector<IrdaBytes> IrdaSecondary::PrimaryFramesFrom(std::size_t at) const {
    std::vector<IrdaBytes> out;
    for (std::size_t i = at; i < log.size(); ++i) {
        if (log[i].first) {
            out.push_back(log[i].second);
        }
    }
    return out;
}

bool IrdaSecondary::Open(const std::string&) {
    ++opens;
    if (openError != 0) {
        lastError_ = openError;
        return false;
    }
    open_ = true;
    // Another station's traffic (UI frames of a primary at connection address 0x21), from the moment the port
    // opens.
    for (std::uint32_t at = 0; at < faults.chatterMs; at += 100) {
        lastChatterEnd = clock_.now + at;  // the first one has just ended as the port opens
        pending_.push_back({lastChatterEnd, irda::SirWrap(IrdaBytes{0x43, 0x13, 0x01, 0x02, 0x03})});
    }
    return true;
}

void IrdaSecondary::Close() {
    if (open_) {
        ++closes;
    }
    open_ = false;
    pending_.clear();
}

bool IrdaSecondary::Faulted() const {
    return ttpConnected && (faults.silenceAfterConnect || faults.garbageAfterConnect ||
                            faults.hugeAfterConnect || faults.endlessAfterConnect);
}

bool IrdaSecondary::Write(std::span<const std::uint8_t> bytes) {
    if (!open_) {
        lastError_ = irda::PORT_ERROR_INVALID_HANDLE;
        return false;
    }
    if (goneAtNextWrite_ && pending_.empty()) {
        gone_ = true;
    }
    if (writeFails || gone_) {
        lastError_ = irda::PORT_ERROR_GEN_FAILURE;
        return false;
    }
    if (lastDelivered_) {
        minGapAfterReply = std::min(minGapAfterReply, clock_.now - *lastDelivered_);
    }
    requestEnd_ = clock_.now + irda::WireMs(bytes.size());
    if (faults.echo) {
        pending_.push_back({requestEnd_, IrdaBytes(bytes.begin(), bytes.end())});
    }
    for (std::uint8_t byte : bytes) {
        if (byte == irda::SIR_XBOF && !deframer_.InFrame()) {
            ++xbofsSeen_;
        }
        if (deframer_.Push(byte)) {
            const auto frame = deframer_.Frame();
            frames.emplace_back(frame.begin(), frame.end());
            log.emplace_back(true, frames.back());
            frameTimes.push_back(requestEnd_);
            frameXbofs.push_back(xbofsSeen_);
            xbofsSeen_ = 0;
            Handle(frames.back());
        }
    }
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Chunk& a, const Chunk& b) { return a.at < b.at; });
    return true;
}

int IrdaSecondary::Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    if (!open_) {
        lastError_ = irda::PORT_ERROR_INVALID_HANDLE;
        return -1;
    }
    if (gone_) {
        lastError_ = irda::PORT_ERROR_GEN_FAILURE;
        return -1;
    }
    if (faults.endlessAfterConnect && ttpConnected) {
        // One frame that never ends: a BOF, then bytes at the line's pace for as long as anyone reads.
        const std::size_t n = std::min(buffer.size(), ENDLESS_CHUNK);
        std::fill_n(buffer.begin(), n, 0x42);
        buffer[0] = endlessStarted_ ? 0x42 : irda::SIR_BOF;
        endlessStarted_ = true;
        clock_.now += irda::WireMs(n);
        return static_cast<int>(n);
    }
    if (pending_.empty() || static_cast<std::int32_t>(pending_.front().at - (clock_.now + timeoutMs)) > 0) {
        clock_.now += timeoutMs;
        return 0;
    }
    Chunk& chunk = pending_.front();
    clock_.now = std::max(clock_.now, chunk.at);
    const std::size_t n = std::min(buffer.size(), chunk.bytes.size());
    std::copy_n(chunk.bytes.begin(), n, buffer.begin());
    chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.bytes.empty()) {
        pending_.pop_front();
    }
    lastDelivered_ = clock_.now;
    return static_cast<int>(n);
}

void IrdaSecondary::Reply(const IrdaBytes& frame, std::uint32_t turnaroundMs) {
    const int number = replies_++;
    if (faults.droppedReplies.contains(number)) {
        return;
    }
    IrdaBytes content = frame;
    if (mangle) {
        mangle(content);
    }
    replies.push_back(content);
    log.emplace_back(false, content);
    IrdaBytes wire = irda::SirWrap(content, SECONDARY_XBOFS);
    if (faults.badFcsOnReply == number) {
        wire[SECONDARY_XBOFS + 1] ^= 0x01;  // the address byte: the FCS no longer matches
    }
    if (faults.noise) {
        const IrdaBytes noise = {0x13, 0x55, irda::SIR_EOF, irda::SIR_CE, 0x00, 0xFF};
        wire.insert(wire.begin(), noise.begin(), noise.end());
    }
    const std::uint32_t at = requestEnd_ + turnaroundMs + irda::WireMs(wire.size());
    if (faults.tailLateMs > 0 && connected && content[0] != 0xFE) {
        // The frame begins in time and ends late: its first half now, the rest after a stall.
        const std::size_t half =
            SECONDARY_XBOFS + 1 + (wire.size() - SECONDARY_XBOFS - 1) / 2;  // past the BOF
        IrdaBytes tail(wire.begin() + static_cast<std::ptrdiff_t>(half), wire.end());
        wire.resize(half);
        pending_.push_back({requestEnd_ + turnaroundMs + irda::WireMs(half), std::move(wire)});
        pending_.push_back({at + faults.tailLateMs, std::move(tail)});
        return;
    }
    pending_.push_back({at, std::move(wire)});
}

void IrdaSecondary::Handle(const IrdaBytes& frame) {
    if (frame.size() < 2 || (frame[0] & 0x01) == 0 || silenced_) {
        return;  // not a command, or nothing is answered any more
    }
    if (faults.watchdogMs != 0 && connected && requestEnd_ - lastFrame_ > faults.watchdogMs) {
        connected = false;  // the primary went quiet for too long: the link is gone
        ttpConnected = false;
    }
    lastFrame_ = requestEnd_;
    const std::uint8_t control = frame[1];
    const std::uint8_t address = frame[0] >> 1;
    if (faults.staleLink) {
        // A link whose primary vanished: RR to every XID slot, SNRM ignored, until DISC ends it.
        if (address == 0x7F && (control & ~0x10) == 0x2F && frame.size() >= 14 && frame[12] != 0xFF) {
            Reply({static_cast<std::uint8_t>(staleCa_ << 1), 0x11}, DISCOVERY_TURNAROUND_MS);
            marks.emplace("stale", log.size());
        } else if (address == staleCa_ && control == 0x53) {
            faults.staleLink = false;
            ++discs;
            Reply({static_cast<std::uint8_t>(staleCa_ << 1), 0x73});
        }
        return;
    }
    if (address == 0x7F && (control & ~0x10) == 0x2F && frame.size() >= 14) {
        primary_ = Little32(frame, 3);
        if (frame[12] == 0 || discoveryRun_ < 0) {
            ++discoveryRun_;
            missing_ = faults.missedDiscoveries > 0;
            if (missing_) {
                --faults.missedDiscoveries;
            }
        }
        if (missing_) {
            if (frame[12] == 0xFF) {
                marks.emplace("missed", log.size());
            }
            return;
        }
        for (const SecondaryDevice& device : devices) {
            if (device.slot != frame[12]) {
                continue;
            }
            IrdaBytes xid = {0xFE, 0xBF, 0x01};
            PutLittle32(xid, device.address);
            PutLittle32(xid, primary_);
            xid.push_back(frame[11]);
            xid.push_back(frame[12]);
            xid.push_back(0x00);
            xid.push_back(0x82);  // hints: two bytes
            xid.push_back(0x01);
            xid.push_back(0x00);  // ASCII
            xid.insert(xid.end(), device.nickname.begin(), device.nickname.end());
            Reply(xid, DISCOVERY_TURNAROUND_MS);  // within the slot, whatever the connection's turnaround
        }
        return;
    }
    if (address == 0x7F && control == 0x93 && frame.size() >= 12) {
        if (faults.snrmIgnored > 0) {
            --faults.snrmIgnored;
            return;
        }
        if (faults.dmToSnrm > 0) {
            --faults.dmToSnrm;
            Reply({0xFE, 0x1F});
            return;
        }
        if (devices.empty() || Little32(frame, 6) != devices.front().address) {
            return;
        }
        primary_ = Little32(frame, 2);
        ca_ = frame[10] >> 1;
        connected = true;
        fresh_ = true;
        dropLink_ = false;
        busyUntil_.reset();
        ttpConnected = false;
        vs_ = vr_ = 0;
        unacked_.reset();
        outbox_.clear();
        IrdaBytes ua = {static_cast<std::uint8_t>(ca_ << 1), 0x73};
        PutLittle32(ua, devices.front().address);
        PutLittle32(ua, primary_);
        const IrdaBytes params = {
            0x01, 0x01, 0x02, 0x82, 0x01, maxTurnaroundBits, 0x83, 0x01, dataSizeBits, 0x84, 0x01, 0x01,
            0x85, 0x01, 0x80, 0x86, 0x01, minTurnaroundBits, 0x08, 0x01, 0x01};
        ua.insert(ua.end(), params.begin(), params.end());
        Reply(ua);
        return;
    }
    if (address != ca_) {
        return;
    }
    if (!connected) {
        if (!dropLink_) {
            Reply({static_cast<std::uint8_t>(ca_ << 1), 0x1F});
        }
        return;
    }
    if (Faulted()) {
        if (faults.garbageAfterConnect) {
            pending_.push_back(
                {requestEnd_ + faults.turnaroundMs + 10, {0xC0, 0x01, 0x02, 0x03, 0x04, 0xC1}});
        } else if (faults.hugeAfterConnect) {
            IrdaBytes huge(irda::SIR_MAX_FRAME + 100, 0x42);
            huge.front() = irda::SIR_BOF;
            huge.back() = irda::SIR_EOF;
            pending_.push_back(
                {requestEnd_ + faults.turnaroundMs + irda::WireMs(huge.size()), std::move(huge)});
        }
        return;
    }
    if (control == 0x53) {  // DISC
        ++discs;
        connected = false;
        ttpConnected = false;
        Reply({static_cast<std::uint8_t>(ca_ << 1), 0x73});
        return;
    }
    if (std::exchange(fresh_, false) && faults.rdAfterConnect > 0) {
        --faults.rdAfterConnect;
        Reply({static_cast<std::uint8_t>(ca_ << 1), 0x53});  // RD: please disconnect
        marks.emplace("rd", log.size());
        return;
    }
    if (busyUntil_ && static_cast<std::int32_t>(*busyUntil_ - requestEnd_) > 0) {
        if ((control & 0x01) == 0) {
            ++framesWhileBusy;  // an I-frame to a busy peer: not taken
        }
        Reply({static_cast<std::uint8_t>(ca_ << 1), static_cast<std::uint8_t>(vr_ << 5 | 0x15)});
        return;
    }
    const auto acknowledge = [&](std::uint8_t nr) {
        if (unacked_ && nr == ((vs_ + 1) & 7)) {
            vs_ = (vs_ + 1) & 7;
            unacked_.reset();
        }
    };
    if ((control & 0x01) == 0) {  // I frame
        acknowledge(control >> 5);
        if (faults.dmOnData && ttpConnected) {
            connected = false;
            ttpConnected = false;
            Reply({static_cast<std::uint8_t>(ca_ << 1), 0x1F});
            return;
        }
        if (faults.rnrOnce && !rnrDone_ && ttpConnected) {
            rnrDone_ = true;
            Reply({static_cast<std::uint8_t>(ca_ << 1), static_cast<std::uint8_t>(vr_ << 5 | 0x15)});
            return;
        }
        if (faults.frmrOnData > 0 && ttpConnected) {
            --faults.frmrOnData;
            Reply({static_cast<std::uint8_t>(ca_ << 1), 0x97, control,
                   static_cast<std::uint8_t>(vr_ << 5 | vs_ << 1), 0x01});
            marks.emplace("frmr", log.size());
            return;
        }
        if (faults.refuseForMs > 0 && ttpConnected && ((control >> 1) & 7) == vr_) {
            // Busy before it could take the frame: RNR, the frame not acknowledged.
            busyUntil_ = requestEnd_ + faults.refuseForMs;
            faults.refuseForMs = 0;
            Reply({static_cast<std::uint8_t>(ca_ << 1), static_cast<std::uint8_t>(vr_ << 5 | 0x15)});
            marks.emplace("refused", log.size());
            return;
        }
        if (faults.rnrForMs > 0 && ttpConnected && ((control >> 1) & 7) == vr_) {
            // Taken, and busy storing it for a while.
            busyUntil_ = requestEnd_ + faults.rnrForMs;
            faults.rnrForMs = 0;
            vr_ = (vr_ + 1) & 7;
            HandleInformation(IrdaBytes(frame.begin() + 2, frame.end()));
            Reply({static_cast<std::uint8_t>(ca_ << 1), static_cast<std::uint8_t>(vr_ << 5 | 0x15)});
            marks.emplace("rnr", log.size());
            return;
        }
        if (((control >> 1) & 7) == vr_) {
            vr_ = (vr_ + 1) & 7;
            const std::size_t before = sdus.size();
            HandleInformation(IrdaBytes(frame.begin() + 2, frame.end()));
            if (!connected) {
                return;  // the frame ended the link
            }
            if (faults.lossAfterSdu && sdus.size() > before && before == faults.lossAfterSdu->first &&
                LoseLink(faults.lossAfterSdu->second, control)) {
                return;
            }
        }
        ReplyData();
        return;
    }
    if ((control & 0x03) == 0x01) {  // S frame
        acknowledge(control >> 5);
        ReplyData();
    }
}

bool IrdaSecondary::LoseLink(LinkLoss loss, std::uint8_t control) {
    const auto address = static_cast<std::uint8_t>(ca_ << 1);
    switch (loss) {
        case LinkLoss::Silent:
            silenced_ = true;
            return true;
        case LinkLoss::Dm:
            connected = ttpConnected = false;
            Reply({address, 0x1F});
            return true;
        case LinkLoss::Frmr:
            connected = ttpConnected = false;
            Reply({address, 0x97, control, static_cast<std::uint8_t>(vr_ << 5 | vs_ << 1), 0x01});
            return true;
        case LinkLoss::BadNr:
            Reply({address, static_cast<std::uint8_t>(((vr_ + 1) & 7) << 5 | 0x11)});
            return true;
        case LinkLoss::Gone:
            gone_ = true;
            pending_.clear();
            return true;
        case LinkLoss::GoneLater:
            goneAtNextWrite_ = true;
            return false;
    }
    return false;
}

void IrdaSecondary::ReplyData() {
    if (faults.badNr && !badNrDone_ && ttpConnected) {
        badNrDone_ = true;  // acknowledges a frame the primary never sent
        Reply({static_cast<std::uint8_t>(ca_ << 1), static_cast<std::uint8_t>(((vr_ + 3) & 7) << 5 | 0x11)});
        marks.emplace("bad-nr", log.size());
        return;
    }
    if (!unacked_ && !outbox_.empty()) {
        unacked_ = outbox_.front();
        outbox_.pop_front();
    }
    if (unacked_) {
        IrdaBytes frame = {static_cast<std::uint8_t>(ca_ << 1),
                           static_cast<std::uint8_t>(vr_ << 5 | 0x10 | vs_ << 1)};
        frame.insert(frame.end(), unacked_->begin(), unacked_->end());
        Reply(frame);
        if (dropWhenSent_ && *unacked_ == *dropWhenSent_) {
            dropWhenSent_.reset();
            connected = false;  // its IAS server hangs up, and the firmware ends the link with it
            dropLink_ = true;
            marks.emplace("lost", log.size());
        }
        if (markWhenSent_ && *unacked_ == *markWhenSent_) {
            markWhenSent_.reset();
            marks.emplace("ias-ack", log.size());
        }
        return;
    }
    Reply({static_cast<std::uint8_t>(ca_ << 1), static_cast<std::uint8_t>(vr_ << 5 | 0x11)});
}

void IrdaSecondary::FlushTinyTp() {
    while (!held_.empty() && sendCredit_ > 0) {
        --sendCredit_;
        IrdaBytes pdu = {ttpPeer_, ttpLsap, owed_};
        pdu.insert(pdu.end(), held_.front().begin(), held_.front().end());
        held_.pop_front();
        grantedLeft_ = static_cast<std::uint8_t>(grantedLeft_ + owed_);
        owed_ = 0;
        outbox_.push_back(std::move(pdu));
    }
    if (owed_ > 0 && grantedLeft_ == 0) {
        outbox_.push_back({ttpPeer_, ttpLsap, owed_});  // credit only
        grantedLeft_ = owed_;
        owed_ = 0;
    }
}

void IrdaSecondary::HandleInformation(const IrdaBytes& lm) {
    lmReceived.push_back(lm);
    if (lm.size() < 2) {
        return;
    }
    const std::uint8_t destination = lm[0] & 0x7F;
    const std::uint8_t source = lm[1];
    if ((lm[0] & 0x80) != 0) {
        lmpControl.push_back(lm);
        if (lm.size() < 3) {
            return;
        }
        if (lm[2] == 0x01 && destination == 0x00) {
            outbox_.push_back({static_cast<std::uint8_t>(0x80 | source), 0x00, 0x81, 0x00});
        } else if (lm[2] == 0x01 && destination == ttpLsap) {
            ttpPeer_ = source;
            grantedByPrimary = lm.size() > 4 ? lm[4] & 0x7F : 0;
            sendCredit_ = grantedByPrimary;
            grantedLeft_ = faults.initialCredit;
            owed_ = 0;
            ttpConnected = true;
            outbox_.push_back(
                {static_cast<std::uint8_t>(0x80 | source), ttpLsap, 0x81, 0x00, faults.initialCredit});
        } else if (lm[2] == 0x01) {
            outbox_.push_back({static_cast<std::uint8_t>(0x80 | source), destination, 0x02, 0x02});
        } else if (lm[2] == 0x02 && destination == ttpLsap) {
            ttpConnected = false;
        }
        if (lm[2] == 0x02 && faults.liteFirmware) {
            connected = false;  // IrDA Lite: any IrLMP disconnect ends the whole link, silently
            ttpConnected = false;
            dropLink_ = true;
        }
        return;
    }
    if (destination == 0x00) {
        // GetValueByClass(class, attribute)
        bool found = false;
        if (lm.size() >= 4 && lm[2] == 0x84 && lm.size() >= 4u + lm[3]) {
            const std::string cls(lm.begin() + 4, lm.begin() + 4 + lm[3]);
            const std::size_t at = 4u + lm[3];
            if (lm.size() > at && lm.size() >= at + 1 + lm[at]) {
                const std::string attribute(lm.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                                            lm.begin() + static_cast<std::ptrdiff_t>(at) + 1 + lm[at]);
                found = !faults.noSuchIasClass && cls == iasClass && attribute == "IrDA:TinyTP:LsapSel";
            }
        }
        if (faults.iasAckFirst) {
            faults.iasAckFirst = false;
            outbox_.push_back({source, 0x00, 0xC4});  // last frame, Ack, GetValueByClass: no answer in it
            markWhenSent_ = outbox_.back();
        }
        if (found) {
            outbox_.push_back(
                {source, 0x00, 0x84, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, ttpLsap});
            if (faults.dropAfterIas) {
                faults.dropAfterIas = false;
                dropWhenSent_ = outbox_.back();
            }
        } else {
            outbox_.push_back({source, 0x00, 0x84, 0x01});
        }
        return;
    }
    if (destination != ttpLsap || !ttpConnected || lm.size() < 3) {
        return;
    }
    sendCredit_ = static_cast<std::uint8_t>(sendCredit_ + (lm[2] & 0x7F));
    const IrdaBytes payload(lm.begin() + 3, lm.end());
    if (!payload.empty()) {
        if (grantedLeft_ == 0) {
            ++creditViolations;
        } else {
            --grantedLeft_;
        }
        ++owed_;
        sdus.push_back(payload);
        if (faults.disconnectOnData) {
            ttpConnected = false;
            outbox_.push_back({static_cast<std::uint8_t>(0x80 | ttpPeer_), ttpLsap, 0x02, 0x01});
            return;
        }
        if (respond) {
            if (auto answer = respond(payload)) {
                held_.push_back(std::move(*answer));
            }
        }
    }
    FlushTinyTp();
}

}  // namespace qx::test
