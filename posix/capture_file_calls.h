// The capture's file calls on POSIX: read, rename(2), unlink(2).
#pragma once

#include "app/capture_files.h"

namespace qx {

class PosixCaptureFileCalls final : public CaptureFileCalls {
  public:
    std::optional<std::vector<std::uint8_t>> ReadStart(const std::string& path, std::size_t count) override;
    bool Replace(const std::string& from, const std::string& to) override;
    void Remove(const std::string& path) override;
};

}  // namespace qx
