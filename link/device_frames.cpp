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

bool Transact(IrdaLink& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
              std::size_t& replyLength) {
    const auto replyArea = reply.first(std::min(replyLength, reply.size()));
    for (int attempt = 0; attempt < TRANSACT_ATTEMPTS; ++attempt) {
        // A reply that came too late for an earlier attempt must not pass for the answer to this one.
        link.DiscardPending();
        if (link.SendFrame(request) != LINK_OK) {
            continue;
        }
        if (link.ReceiveFrame(replyArea) != LINK_OK) {
            continue;
        }
        if (replyArea.size() >= 3 && (replyArea[0] == REPLY_POSITIVE || replyArea[0] == REPLY_POSITIVE_ALT)) {
            replyLength = static_cast<std::size_t>(replyArea[1]) << 8 | replyArea[2];
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
    if (reply[0] != REPLY_POSITIVE || reply[1] != 0x00 || reply[2] != READ_REPLY_LENGTH || reply[3] != 0x72) {
        return false;
    }
    word = static_cast<ConfigWord>(reply[6] | reply[7] << 8);
    return true;
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
