#include "link/device_frames.h"

#include <algorithm>

namespace qx {

std::array<std::uint8_t, 10> WriteRequest(ConfigWord word) {
    return {FRAME_WRITE_WORD,
            0x00,
            0x0A,
            0xB1,
            0xD3,
            0x72,
            0x00,
            0x05,
            static_cast<std::uint8_t>(word & 0xFF),
            static_cast<std::uint8_t>((word >> 8) & 0xFF)};
}

namespace {

bool IsPositive(std::uint8_t status) {
    return status == REPLY_POSITIVE || status == REPLY_POSITIVE_ALT;
}

// A positive reply of another length than the one awaited answers an earlier request: a read reply that came
// after its wait ran out, arriving while a later request waits. It is never the answer to this request.
bool IsStaleReply(std::span<const std::uint8_t> frame) {
    return frame.size() >= FRAME_HEADER_SIZE && IsPositive(frame[0]) &&
           FrameLengthField(frame) != frame.size();
}

// The answer to the request just sent: stale replies are taken off the connection whole and passed over, all
// within the one bounded wait of a receive.
int ReceiveAnswer(IrdaLink& link, std::span<std::uint8_t> replyArea) {
    const std::uint32_t waitStart = link.Now();
    for (;;) {
        const int received = link.ReceiveFrame(replyArea, waitStart);
        if (received != LINK_OK || !IsStaleReply(replyArea)) {
            return received;
        }
    }
}

}  // namespace

bool Transact(IrdaLink& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
              std::size_t& replyLength) {
    const auto replyArea = reply.first(std::min(replyLength, reply.size()));
    for (int attempt = 0; attempt < TRANSACT_ATTEMPTS; ++attempt) {
        // A reply that came too late for an earlier attempt and is already here goes before the request;
        // one still on its way is recognised by its length when it comes.
        link.DiscardPending();
        if (link.SendFrame(request) != LINK_OK) {
            continue;
        }
        if (ReceiveAnswer(link, replyArea) != LINK_OK) {
            continue;
        }
        if (replyArea.size() >= FRAME_HEADER_SIZE && IsPositive(replyArea[0])) {
            replyLength = FrameLengthField(replyArea);
            return true;
        }
        if (!replyArea.empty() && replyArea[0] == REPLY_NEGATIVE) {
            return false;  // the instrument refused: asking again would not change its mind
        }
    }
    return false;
}

bool ReadConfigWord(IrdaLink& link, ConfigWord& word) {
    std::array<std::uint8_t, READ_REPLY_LENGTH> reply{};
    std::size_t length = READ_REPLY_LENGTH;
    if (!Transact(link, ReadRequest, reply, length) || length != READ_REPLY_LENGTH) {
        return false;
    }
    const std::optional<ConfigWord> read = WordOfReadReply(reply);
    if (!read) {
        return false;
    }
    word = *read;
    return true;
}

std::optional<ConfigWord> WordOfReadReply(std::span<const std::uint8_t> reply) {
    if (reply.size() != READ_REPLY_LENGTH || reply[0] != REPLY_POSITIVE || reply[1] != 0x00 ||
        reply[2] != READ_REPLY_LENGTH || reply[3] != 0x72) {
        return std::nullopt;
    }
    return static_cast<ConfigWord>(reply[6] | reply[7] << 8);
}

std::optional<ConfigWord> WordOfWriteRequest(std::span<const std::uint8_t> frame) {
    if (frame.size() != WriteRequest(0).size() || frame[0] != FRAME_WRITE_WORD) {
        return std::nullopt;
    }
    return static_cast<ConfigWord>(frame[8] | frame[9] << 8);
}

bool WriteConfigWord(IrdaLink& link, ConfigWord word) {
    const auto request = WriteRequest(word);
    std::array<std::uint8_t, WRITE_REPLY_LENGTH> reply{};
    std::size_t length = WRITE_REPLY_LENGTH;
    if (!Transact(link, request, reply, length) || length != WRITE_REPLY_LENGTH) {
        return false;
    }
    return reply[0] == REPLY_POSITIVE && reply[1] == 0x00 && reply[2] == WRITE_REPLY_LENGTH;
}

}  // namespace qx
