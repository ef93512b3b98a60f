// SIR framing of IrLAP frames on an asynchronous serial line: start and end flags, control escapes and the
// 16-bit frame check sequence.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qx::irda {

inline constexpr std::uint8_t SIR_XBOF = 0xFF;
inline constexpr std::uint8_t SIR_BOF = 0xC0;
inline constexpr std::uint8_t SIR_EOF = 0xC1;
inline constexpr std::uint8_t SIR_CE = 0x7D;
inline constexpr std::uint8_t SIR_ESCAPE_XOR = 0x20;
inline constexpr std::size_t SIR_DEFAULT_XBOFS = 10;
// The largest IrLAP frame (address, control, information) the receiver accepts; anything longer is dropped.
// 2048 bytes is the largest data size a peer may state, plus the address and control bytes.
inline constexpr std::size_t SIR_MAX_FRAME = 2048 + 2;
inline constexpr std::uint16_t SIR_FCS_RESIDUE = 0xF0B8;

// The CRC register (reflected polynomial 0x8408) after running over bytes from `start`, not complemented. Run
// over a frame and its FCS from 0xFFFF it leaves SIR_FCS_RESIDUE.
std::uint16_t SirCrc(std::span<const std::uint8_t> bytes, std::uint16_t start = 0xFFFF);

// The frame check sequence as sent: CRC-16-CCITT reflected, initial 0xFFFF, complemented. "123456789" ->
// 0x906E.
std::uint16_t SirFcs(std::span<const std::uint8_t> bytes);

// xbofs x 0xFF, BOF, the frame and its FCS (low byte first) with C0/C1/7D escaped, EOF.
std::vector<std::uint8_t> SirWrap(std::span<const std::uint8_t> frame, std::size_t xbofs = SIR_DEFAULT_XBOFS);

// Turns received bytes back into frames. Resynchronises on BOF, drops frames with a bad FCS, an abort
// (7D followed by C1) or more than SIR_MAX_FRAME bytes, and never holds more than that.
class SirDeframer {
  public:
    SirDeframer();

    // Feeds one received byte; true when it completed a frame with a good FCS, which Frame() then holds
    // (address, control, information; FCS removed) until the next Push.
    bool Push(std::uint8_t byte);
    std::span<const std::uint8_t> Frame() const;
    // Frames dropped so far (bad FCS, too long, too short, aborted, cut off by a new BOF).
    std::size_t Dropped() const { return dropped_; }
    // A frame has begun (its BOF came) and has not ended yet.
    bool InFrame() const { return state_ == State::InFrame || state_ == State::Escaped; }
    // Forgets any frame in progress (not counted as dropped), as after a change of line speed.
    void Reset();

  private:
    enum class State { Hunting, InFrame, Escaped, Overlong };
    void Drop();

    State state_ = State::Hunting;
    bool complete_ = false;
    std::vector<std::uint8_t> buffer_;  // frame and FCS as received, unescaped
    std::size_t dropped_ = 0;
};

}  // namespace qx::irda
