// The IrDA stack's time: a millisecond clock with a pause, and the deadline every bounded wait of the stack
// is written with. The socket-call face takes the clock from the platform's calls; tests drive a fake clock,
// so nothing in a test ever sleeps.
#pragma once

#include <algorithm>
#include <cstdint>

namespace qx::irda {

class StackClock {
  public:
    virtual ~StackClock() = default;
    virtual std::uint32_t NowMs() = 0;
    virtual void SleepMs(std::uint32_t ms) = 0;
};

// A moment on the stack's wrapping millisecond clock. Readings are compared by their signed difference, so a
// deadline stays right across the clock's wrap (every wait of the stack is far shorter than 24 days).
class Deadline {
  public:
    static Deadline At(std::uint32_t ms) { return Deadline(ms); }
    static Deadline After(StackClock& clock, std::uint32_t ms) { return Deadline(clock.NowMs() + ms); }

    std::uint32_t AtMs() const { return at_; }
    // Milliseconds left at `now` (negative once passed).
    std::int32_t LeftAt(std::uint32_t now) const { return static_cast<std::int32_t>(at_ - now); }
    // Milliseconds left now, 0 once passed.
    std::uint32_t Left(StackClock& clock) const {
        return static_cast<std::uint32_t>(std::max<std::int32_t>(LeftAt(clock.NowMs()), 0));
    }
    bool Passed(StackClock& clock) const { return LeftAt(clock.NowMs()) <= 0; }
    // This deadline moved later by `ms`.
    Deadline Plus(std::uint32_t ms) const { return Deadline(at_ + ms); }
    // The earlier of two deadlines.
    static Deadline Earlier(Deadline a, Deadline b) { return a.LeftAt(b.at_) <= 0 ? a : b; }

  private:
    explicit Deadline(std::uint32_t at) : at_(at) {}
    std::uint32_t at_;
};

// Sleeps until `deadline` (not at all once it passed).
inline void SleepUntil(StackClock& clock, Deadline deadline) {
    if (const std::uint32_t left = deadline.Left(clock); left > 0) {
        clock.SleepMs(left);
    }
}

}  // namespace qx::irda
