// A serial line for the tests' own IrLAP frames: opens a pty (or serial device) raw, sends frames SIR-wrapped
// and takes good frames back through the program's deframer. Every wait is bounded, so a silent peer fails
// the test instead of hanging it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "irda/sir_framing.h"

namespace qxtest {

class SirLine {
  public:
    explicit SirLine(const std::string& path);
    ~SirLine();
    SirLine(const SirLine&) = delete;
    SirLine& operator=(const SirLine&) = delete;

    bool Open() const { return fd_ >= 0; }
    bool SendFrame(std::span<const std::uint8_t> frame);
    // The next good frame within `timeoutMs`, or nothing.
    std::optional<std::vector<std::uint8_t>> ReceiveFrame(int timeoutMs);
    // Frames the deframer dropped so far (bad FCS, runts, aborts).
    std::size_t Dropped() const { return deframer_.Dropped(); }

  private:
    int fd_ = -1;
    qx::irda::SirDeframer deframer_;
    std::deque<std::vector<std::uint8_t>> frames_;
};

}  // namespace qxtest
