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

ExchangeResult RunExchange(IrdaLink& link, std::span<const std::uint8_t> request,
                           std::span<std::uint8_t> reply) {
    ExchangeResult result;
    const auto failed = [&](int code) {
        if (result.code == 0) {
            result.code = code;
        }
    };
    bool sentBefore = false;
    for (int attempt = 0; attempt < TRANSACT_ATTEMPTS; ++attempt) {
        // A reply that came too late for an earlier attempt and is already here goes before the request;
        // one still on its way is recognised by its length when it comes.
        link.DiscardPending();
        std::size_t accepted = 0;
        const int sent = link.SendFrame(request, accepted);
        const bool sentNow = accepted > 0;
        if (sentNow) {
            result.end = ExchangeEnd::Unanswered;
        }
        if (sent != LINK_OK) {
            failed(sent);
            sentBefore = sentBefore || sentNow;
            continue;
        }
        if (const int received = ReceiveAnswer(link, reply); received != LINK_OK) {
            failed(received);
            sentBefore = true;
            continue;
        }
        if (reply.size() >= FRAME_HEADER_SIZE && IsPositive(reply[0])) {
            result.end = ExchangeEnd::Acknowledged;
            return result;
        }
        if (!reply.empty() && reply[0] == REPLY_NEGATIVE) {
            // The instrument refused: asking again would not change its mind. Only a refusal of the one
            // request it got leaves it as it was; an earlier attempt may have been taken without an answer.
            if (!sentBefore) {
                result.end = ExchangeEnd::Refused;
            }
            return result;
        }
        sentBefore = true;
    }
    return result;
}

bool Transact(IrdaLink& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
              std::size_t& replyLength) {
    const auto replyArea = reply.first(std::min(replyLength, reply.size()));
    if (RunExchange(link, request, replyArea).end != ExchangeEnd::Acknowledged) {
        return false;
    }
    replyLength = FrameLengthField(replyArea);
    return true;
}

std::optional<ConfigWord> WordOfReadReply(std::span<const std::uint8_t> reply) {
    if (reply.size() != READ_REPLY_LENGTH || reply[0] != REPLY_POSITIVE || reply[1] != 0x00 ||
        reply[2] != READ_REPLY_LENGTH || reply[3] != 0x72) {
        return std::nullopt;
    }
    return static_cast<ConfigWord>(reply[6] | reply[7] << 8);
}

ReadResult ReadWord(IrdaLink& link) {
    std::array<std::uint8_t, READ_REPLY_LENGTH> reply{};
    ReadResult result{RunExchange(link, ReadRequest, reply), std::nullopt};
    if (result.exchange.end == ExchangeEnd::Acknowledged) {
        result.word = WordOfReadReply(reply);
    }
    return result;
}

bool ReadConfigWord(IrdaLink& link, ConfigWord& word) {
    const ReadResult read = ReadWord(link);
    if (!read.word) {
        return false;
    }
    word = *read.word;
    return true;
}

ExchangeResult WriteWord(IrdaLink& link, ConfigWord word) {
    std::array<std::uint8_t, WRITE_REPLY_LENGTH> reply{};
    ExchangeResult result = RunExchange(link, WriteRequest(word), reply);
    if (result.end == ExchangeEnd::Acknowledged &&
        !(reply[0] == REPLY_POSITIVE && reply[1] == 0x00 && reply[2] == WRITE_REPLY_LENGTH)) {
        result.end = ExchangeEnd::Unanswered;
    }
    return result;
}

bool WriteConfigWord(IrdaLink& link, ConfigWord word) {
    return WriteWord(link, word).end == ExchangeEnd::Acknowledged;
}

}  // namespace qx
