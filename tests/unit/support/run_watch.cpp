#include "support/run_watch.h"

#include "link/traced_calls.h"
#include "support/instrument_bytes.h"

#include <algorithm>
#include <cstdio>

namespace qx::test {

namespace {

std::string Word(unsigned w) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", w);
    return text;
}

bool StartsWith(std::span<const std::uint8_t> bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

std::size_t FrameLengthAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return std::max<std::size_t>(3, static_cast<std::size_t>(bytes[at + 1]) << 8 | bytes[at + 2]);
}

// The first frame of `received` that is not a positive frame of another length than a read reply's, as far as
// it arrived; empty when none began.
std::vector<std::uint8_t> ReadReplyAfterStaleFrames(const std::vector<std::uint8_t>& received) {
    std::size_t at = 0;
    while (received.size() - at >= 3) {
        const std::size_t length = FrameLengthAt(received, at);
        const bool positive = received[at] == POSITIVE || received[at] == POSITIVE_OTHER;
        const bool stale = positive && length != READ_REPLY_SIZE && received.size() - at >= length;
        if (!stale) {
            break;
        }
        at += length;
    }
    return {received.begin() + static_cast<std::ptrdiff_t>(at), received.end()};
}

}  // namespace

void RunWatch::OnStartup(bool succeeded) {
    if (succeeded) {
        ++startups_;
    }
}

void RunWatch::OnCleanup() {
    ++cleanups_;
    if (cleanups_ > startups_) {
        Violation("the socket library was released more often than it was started");
    }
}

void RunWatch::OnSocketOpened(SocketHandle s) {
    open_.insert(s);
}

void RunWatch::OnSocketFailed() {
    socketFailed_ = true;
}

void RunWatch::OnSocketCall(SocketHandle s, const char* call) {
    // After a failed socket() the invalid value stays in the link, and the calls that follow on it are how
    // the failure reaches the user.
    if (open_.count(s) == 0 && !(s == INVALID_SOCKET_HANDLE && socketFailed_)) {
        Violation(std::string(call) + " on a socket that is not open (" + std::to_string(s) + ")");
    }
}

void RunWatch::OnClose(SocketHandle s, bool succeeded) {
    if (succeeded) {
        open_.erase(s);
    } else {
        closeFailed_ = true;
    }
}

void RunWatch::OnSend(std::span<const std::uint8_t> bytes, int accepted) {
    if (frameLeft_ == 0) {
        StartFrame(bytes);
    }
    if (accepted < 0) {
        frameLeft_ = 0;  // the program gives up on this frame; its next send starts a new one
        return;
    }
    if (static_cast<std::size_t>(accepted) > bytes.size()) {
        Violation("the platform accepted more bytes than it was given");
        return;
    }
    frameLeft_ -= std::min(frameLeft_, static_cast<std::size_t>(accepted));
    if (frameLeft_ == 0 && frameIsWrite_) {
        writeWhole_ = true;
    }
}

// The program hands each frame to its first send whole, so the first send of a frame shows all of it.
void RunWatch::StartFrame(std::span<const std::uint8_t> frame) {
    frameLeft_ = frame.size();
    frameIsWrite_ = false;
    if (frame.empty()) {
        Violation("an empty send");
        return;
    }
    if (std::ranges::equal(frame, GREETING)) {
        return;
    }
    if (std::ranges::equal(frame, READ_REQUEST)) {
        readSent_ = true;
        afterRead_.clear();
        return;
    }
    if (frame[0] != WRITE_REQUEST_HEAD[0]) {
        Violation("a frame that is none of greeting, read and write: " + HexBytes(frame));
        return;
    }
    frameIsWrite_ = true;
    writeStarted_ = true;
    writeWhole_ = false;
    afterWrite_.clear();

    const std::string sent = "write request " + HexBytes(frame);
    if (frame.size() != WRITE_REQUEST_SIZE || !StartsWith(frame, WRITE_REQUEST_HEAD)) {
        Violation("malformed " + sent);
        return;
    }
    // Only a whole, well-formed read reply received after the latest read request may lead to a write.
    // Positive frames of another length ahead of it are late replies to earlier requests, passed over by
    // length.
    if (!readSent_) {
        Violation(sent + " without a read request before it");
        return;
    }
    const std::vector<std::uint8_t> reply = ReadReplyAfterStaleFrames(afterRead_);
    if (reply.size() < READ_REPLY_SIZE) {
        Violation(sent + " after a failed or short read (received " + HexBytes(afterRead_) + ")");
        return;
    }
    if (!StartsWith(reply, READ_REPLY_HEAD)) {
        Violation(sent + " after a read reply that is not one: " + HexBytes(afterRead_));
        return;
    }
    const unsigned read = reply[6] | reply[7] << 8;
    const unsigned expected = enable_ ? (read | SEARCH_BIT) : (read & ~unsigned{SEARCH_BIT});
    const unsigned written = frame[8] | frame[9] << 8;
    if (written != expected) {
        Violation(sent + " writes " + Word(written) + " where the word read " + Word(read) + " gives " +
                  Word(expected));
    }
}

void RunWatch::OnDelivered(std::span<const std::uint8_t> bytes) {
    if (readSent_) {
        afterRead_.insert(afterRead_.end(), bytes.begin(), bytes.end());
    }
    if (writeStarted_) {
        afterWrite_.insert(afterWrite_.end(), bytes.begin(), bytes.end());
    }
}

// A late reply to an earlier request may come first; the bytes are taken frame by frame, by length field.
bool RunWatch::WriteAcknowledged() const {
    if (!writeStarted_ || !writeWhole_) {
        return false;
    }
    std::size_t at = 0;
    while (afterWrite_.size() - at >= 3) {
        const std::size_t length = FrameLengthAt(afterWrite_, at);
        if (afterWrite_.size() - at < length) {
            return false;
        }
        if (length == WRITE_ACK.size() && afterWrite_[at] == POSITIVE) {
            return true;
        }
        at += length;
    }
    return false;
}

std::vector<std::string> RunWatch::Check(const RunEnd& end) const {
    std::vector<std::string> out = violations_;
    if (end.result && !WriteAcknowledged()) {
        out.push_back("success reported without an acknowledged write (received after the write: " +
                      HexBytes(afterWrite_) + ")");
    }
    // The one failure report that is allowed to be wrong is the one the program could not know better: the
    // instrument stored the word, but its acknowledgement never reached the program.
    if (!end.result && writeApplied_ && WriteAcknowledged()) {
        out.push_back(
            "failure reported although the instrument stored the word and its acknowledgement was "
            "received (received after the write: " +
            HexBytes(afterWrite_) + ")");
    }
    if (end.host.results.size() != 1) {
        out.push_back(std::to_string(end.host.results.size()) + " result boxes");
    } else {
        const ResultBox& box = end.host.results[0];
        const bool asSuccess = box.text == end.slots[Slot::WriteDone] &&
                               box.caption == end.slots[Slot::SuccessCaption] &&
                               box.icon == ResultIcon::Information;
        const bool asFailure = box.text == end.slots[Slot::WriteFailed] &&
                               box.caption == end.slots[Slot::FailureCaption] &&
                               box.icon == ResultIcon::Error;
        if (end.result ? !asSuccess : !asFailure) {
            out.push_back("the result box does not match the result " +
                          std::string(end.result ? "true" : "false") + ": \"" + box.text + "\" / \"" +
                          box.caption + "\"");
        }
    }
    if (end.host.statuses.empty() || !end.host.statuses.back().empty()) {
        out.push_back("the status panel does not end empty");
    }
    if (end.linkPresent && !closeFailed_) {
        out.push_back("the link is still present although no close failed");
    }
    if (!closeFailed_ && startups_ != cleanups_) {
        out.push_back(std::to_string(startups_) + " start(s) of the socket library but " +
                      std::to_string(cleanups_) + " release(s)");
    }
    return out;
}

}  // namespace qx::test
