// The instrument's frames as they cross the wire, spelled out byte by byte. The fakes script, answer and
// judge with these and never with the program's own frame tables, so a wrong byte in those tables makes the
// tests fail instead of agreeing with it. No test framework: the fuzz targets use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx::test {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes GREETING = {0x80, 0x00, 0x12, 0x10, 0x00, 0x08, 0x00, 0x70, 0x00,
                               0x0B, 'Q',  'X',  '7',  '7',  '1',  '0',  'Z',  '_'};
inline const Bytes GREETING_REPLY = {0xA0, 0x00, 0x0C, 0x10, 0x00, 0x00, 0x40, 0xF0, 0x00, 0x00, 0x77, 0x10};
inline const Bytes READ_REQUEST = {0x83, 0x00, 0x05, 0xB1, 0xD3};
// A read reply is A0 00 08 72 xx xx LL HH; only these first bytes and the word tell.
inline const Bytes READ_REPLY_HEAD = {0xA0, 0x00, 0x08, 0x72};
inline constexpr std::size_t READ_REPLY_SIZE = 8;
// A write request is these bytes and the word, low byte first.
inline const Bytes WRITE_REQUEST_HEAD = {0x82, 0x00, 0x0A, 0xB1, 0xD3, 0x72, 0x00, 0x05};
inline constexpr std::size_t WRITE_REQUEST_SIZE = 10;
inline const Bytes WRITE_ACK = {0xA0, 0x00, 0x03};
inline const Bytes REFUSAL = {0xC0, 0x00, 0x03};

// The two statuses of a positive reply; only the first makes a read reply or an acknowledgement.
inline constexpr std::uint8_t POSITIVE = 0xA0;
inline constexpr std::uint8_t POSITIVE_OTHER = 0x90;

// Bit 8 of the configuration word: the search mode.
inline constexpr std::uint16_t SEARCH_BIT = 0x0100;

// The read reply carrying `word`, with `status` in place of A0 where a test wants another.
inline Bytes ReadReply(std::uint16_t word, std::uint8_t status = POSITIVE) {
    return {status,
            0x00,
            0x08,
            0x72,
            0x00,
            0x05,
            static_cast<std::uint8_t>(word & 0xFF),
            static_cast<std::uint8_t>(word >> 8)};
}

// The write request carrying `word`.
inline Bytes WriteOf(std::uint16_t word) {
    Bytes request = WRITE_REQUEST_HEAD;
    request.push_back(static_cast<std::uint8_t>(word & 0xFF));
    request.push_back(static_cast<std::uint8_t>(word >> 8));
    return request;
}

}  // namespace qx::test
