// The capture's file calls on Windows: a shared read, MoveFileExW, DeleteFileW. The console program opens the
// capture with FILE_SHARE_DELETE, so it can be put in place or removed while it is still open.
#pragma once

#include "app/capture_files.h"

namespace qx {

class WinCaptureFileCalls final : public CaptureFileCalls {
  public:
    std::optional<std::vector<std::uint8_t>> ReadStart(const std::string& path, std::size_t count) override;
    bool Replace(const std::string& from, const std::string& to) override;
    void Remove(const std::string& path) override;
};

}  // namespace qx
