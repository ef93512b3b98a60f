#include "irda/sir_medium.h"

#include <algorithm>
#include <array>

namespace qx::irda {
namespace {

constexpr std::size_t READ_CHUNK = 256;

}  // namespace

std::optional<std::uint32_t> SirMedium::Send(std::span<const std::uint8_t> frame, std::size_t extraBofs) {
    const std::vector<std::uint8_t> wire = SirWrap(frame, extraBofs);
    if (!port_.Write(wire)) {
        return std::nullopt;
    }
    return WireMs(wire.size());
}

MediumReceive SirMedium::Receive(Deadline deadline, std::vector<std::uint8_t>& frame) {
    std::array<std::uint8_t, READ_CHUNK> chunk{};
    bool lookedOnce = false;
    for (;;) {
        if (!frames_.empty()) {
            frame = std::move(frames_.front());
            frames_.pop_front();
            return MediumReceive::Frame;
        }
        const std::int32_t left = deadline.LeftAt(clock_.NowMs());
        if (left <= 0) {
            // Once past the deadline, what has already arrived is still taken, without waiting for more.
            if (lookedOnce) {
                return deframer_.InFrame() ? MediumReceive::Arriving : MediumReceive::Silent;
            }
            lookedOnce = true;
        }
        const int got = port_.Read(chunk, static_cast<std::uint32_t>(std::max<std::int32_t>(left, 0)));
        if (got < 0) {
            return MediumReceive::Failed;
        }
        // A chunk holds at most a few dozen of the smallest frames, so what is kept stays bounded.
        for (int i = 0; i < got; ++i) {
            if (deframer_.Push(chunk[static_cast<std::size_t>(i)])) {
                const auto received = deframer_.Frame();
                frames_.emplace_back(received.begin(), received.end());
            }
        }
    }
}

void SirMedium::Reset() {
    deframer_.Reset();
    frames_.clear();
}

}  // namespace qx::irda
