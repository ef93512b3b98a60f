#include "irda/sir_framing.h"

namespace qx::irda {
namespace {

// The frame and its two FCS bytes, the most the deframer ever keeps.
constexpr std::size_t BUFFER_LIMIT = SIR_MAX_FRAME + 2;
constexpr std::size_t FCS_SIZE = 2;
// Address and control at least.
constexpr std::size_t MIN_FRAME = 2;

bool NeedsEscape(std::uint8_t byte) {
    return byte == SIR_BOF || byte == SIR_EOF || byte == SIR_CE;
}

void PutEscaped(std::vector<std::uint8_t>& out, std::uint8_t byte) {
    if (NeedsEscape(byte)) {
        out.push_back(SIR_CE);
        out.push_back(static_cast<std::uint8_t>(byte ^ SIR_ESCAPE_XOR));
    } else {
        out.push_back(byte);
    }
}

}  // namespace

std::uint16_t SirCrc(std::span<const std::uint8_t> bytes, std::uint16_t start) {
    std::uint16_t crc = start;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                                 : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::uint16_t SirFcs(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(~SirCrc(bytes));
}

std::vector<std::uint8_t> SirWrap(std::span<const std::uint8_t> frame, std::size_t xbofs) {
    std::vector<std::uint8_t> out;
    out.reserve(xbofs + 2 * (frame.size() + FCS_SIZE) + 2);
    out.insert(out.end(), xbofs, SIR_XBOF);
    out.push_back(SIR_BOF);
    for (std::uint8_t byte : frame) {
        PutEscaped(out, byte);
    }
    const std::uint16_t fcs = SirFcs(frame);
    PutEscaped(out, static_cast<std::uint8_t>(fcs & 0xFF));
    PutEscaped(out, static_cast<std::uint8_t>(fcs >> 8));
    out.push_back(SIR_EOF);
    return out;
}

SirDeframer::SirDeframer() {
    buffer_.reserve(BUFFER_LIMIT);
}

void SirDeframer::Reset() {
    state_ = State::Hunting;
    complete_ = false;
    buffer_.clear();
}

void SirDeframer::Drop() {
    ++dropped_;
    buffer_.clear();
}

bool SirDeframer::Push(std::uint8_t byte) {
    if (complete_) {
        complete_ = false;
        buffer_.clear();
    }
    if (byte == SIR_BOF) {
        // A new frame starts; one in progress was cut off. Repeated BOFs before any byte are allowed.
        if (state_ != State::Hunting && state_ != State::Overlong && !buffer_.empty()) {
            Drop();
        }
        buffer_.clear();
        state_ = State::InFrame;
        return false;
    }
    switch (state_) {
        case State::Hunting:
        case State::Overlong:
            return false;  // noise, XBOFs or the rest of a frame too long to keep, until the next BOF
        case State::Escaped:
            if (byte == SIR_EOF) {  // abort sequence
                Drop();
                state_ = State::Hunting;
                return false;
            }
            byte = static_cast<std::uint8_t>(byte ^ SIR_ESCAPE_XOR);
            state_ = State::InFrame;
            break;
        case State::InFrame:
            if (byte == SIR_CE) {
                state_ = State::Escaped;
                return false;
            }
            if (byte == SIR_EOF) {
                state_ = State::Hunting;
                if (buffer_.size() < MIN_FRAME + FCS_SIZE || SirCrc(buffer_) != SIR_FCS_RESIDUE) {
                    Drop();
                    return false;
                }
                complete_ = true;
                return true;
            }
            break;
    }
    if (buffer_.size() == BUFFER_LIMIT) {
        Drop();
        state_ = State::Overlong;
        return false;
    }
    buffer_.push_back(byte);
    return false;
}

std::span<const std::uint8_t> SirDeframer::Frame() const {
    if (!complete_) {
        return {};
    }
    return std::span<const std::uint8_t>(buffer_).first(buffer_.size() - FCS_SIZE);
}

}  // namespace qx::irda
