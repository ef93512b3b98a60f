// The instrument's frames: the fixed greeting, reading and writing the configuration word, and the
// request/reply exchange with its retries. Frames travel through an IrdaLink that is already greeted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "link/irda_link.h"

namespace qx {

using ConfigWord = std::uint16_t;
inline constexpr ConfigWord SEARCH_MODE_BIT = 0x0100;

// Frame types and reply statuses (byte 0).
inline constexpr std::uint8_t FRAME_WRITE_WORD = 0x82;
inline constexpr std::uint8_t REPLY_POSITIVE = 0xA0;
inline constexpr std::uint8_t REPLY_POSITIVE_ALT = 0x90;
inline constexpr std::uint8_t REPLY_NEGATIVE = 0xC0;

inline constexpr int TRANSACT_ATTEMPTS = 3;
inline constexpr std::size_t READ_REPLY_LENGTH = 8;
inline constexpr std::size_t WRITE_REPLY_LENGTH = 3;

inline constexpr std::array<std::uint8_t, 18> GreetingFrame = {
    0x80, 0x00, 0x12, 0x10, 0x00, 0x08, 0x00, 0x70, 0x00, 0x0B, 'Q', 'X', '7', '7', '1', '0', 'Z', '_'};
inline constexpr std::array<std::uint8_t, 12> GreetingReply = {0xA0, 0x00, 0x0C, 0x10, 0x00, 0x00,
                                                               0x40, 0xF0, 0x00, 0x00, 0x77, 0x10};
inline constexpr std::array<std::uint8_t, 5> ReadRequest = {0x83, 0x00, 0x05, 0xB1, 0xD3};

// The 10-byte write request carrying `word`, low byte first.
std::array<std::uint8_t, 10> WriteRequest(ConfigWord word);

// How a request/reply exchange ended, as far as the instrument's state goes.
enum class ExchangeEnd {
    Acknowledged,  // a positive reply came
    Refused,       // the negative status came, and no earlier attempt of the request had gone out
    Unanswered,    // the request went out and no acceptable answer came: the instrument may have acted on it
    NotSent,       // not a byte of the request went out
};

struct ExchangeResult {
    ExchangeEnd end = ExchangeEnd::NotSent;
    int code = 0;  // the link's or the platform's code of the first failed send or receive, else 0
};

// Sends `request` (never modified) and receives a reply of reply.size() bytes into `reply`, at most
// TRANSACT_ATTEMPTS times, and says how it ended. A positive frame whose length field is not reply.size()
// answers an earlier request: it is taken off the connection whole and passed over, and the wait for the
// answer goes on to the same bound.
ExchangeResult RunExchange(IrdaLink& link, std::span<const std::uint8_t> request,
                           std::span<std::uint8_t> reply);

// RunExchange with a reply of `replyLength` bytes: true when acknowledged; `replyLength` then holds the
// reply's own length field.
bool Transact(IrdaLink& link, std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
              std::size_t& replyLength);

// The word of a read reply A0 00 08 72 xx xx LL HH; nothing for any other frame.
std::optional<ConfigWord> WordOfReadReply(std::span<const std::uint8_t> reply);

struct ReadResult {
    ExchangeResult exchange;
    std::optional<ConfigWord> word;  // only from a reply A0 00 08 72 xx xx LL HH
};
// Reads the configuration word.
ReadResult ReadWord(IrdaLink& link);
// Writes `word`: acknowledged only when the instrument answered exactly A0 00 03; another positive reply
// leaves the write unanswered, as the instrument may have taken the word.
ExchangeResult WriteWord(IrdaLink& link, ConfigWord word);

// True and `word` set only for a reply A0 00 08 72 xx xx LL HH; otherwise `word` is left as it was.
bool ReadConfigWord(IrdaLink& link, ConfigWord& word);
// True only when the instrument answered exactly A0 00 03.
bool WriteConfigWord(IrdaLink& link, ConfigWord word);

}  // namespace qx
