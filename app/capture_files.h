// The file calls a --capture needs around the capture itself. The capture is written beside the file the user
// named and put in its place only when it holds frames, so a run that captures nothing (a declined
// confirmation, ports, use-port, no serial adapter) leaves an existing file exactly as it was; a file that is
// there and is not a capture is never replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qx {

class CaptureFileCalls {
  public:
    virtual ~CaptureFileCalls() = default;
    // Up to `count` bytes from the start of the file; nothing when there is no such file or it cannot be
    // read.
    virtual std::optional<std::vector<std::uint8_t>> ReadStart(const std::string& path,
                                                               std::size_t count) = 0;
    // Moves `from` to `to`, replacing what is there; false when the platform refused.
    virtual bool Replace(const std::string& from, const std::string& to) = 0;
    virtual void Remove(const std::string& path) = 0;
};

// Where a capture for `target` is written until it is put in place.
std::string CaptureWorkPath(const std::string& target);
// Whether `start` (a file's first bytes) may be replaced by a capture: an empty file, or a pcap file (any
// byte order, micro- or nanosecond time stamps).
bool MayReplaceWithCapture(std::span<const std::uint8_t> start);

}  // namespace qx
