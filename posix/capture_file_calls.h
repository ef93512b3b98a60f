// The capture file's calls on POSIX: stat(2), open(2), read(2), write(2), fsync(2), rename(2), unlink(2) and
// strerror for an error's words. Errors are errno values. Nothing is decided here.
#pragma once

#include "app/capture_file.h"

namespace qx {

class PosixCaptureFileCalls final : public CaptureFileCalls {
  public:
    PosixCaptureFileCalls() = default;
    ~PosixCaptureFileCalls() override { Close(); }
    PosixCaptureFileCalls(const PosixCaptureFileCalls&) = delete;
    PosixCaptureFileCalls& operator=(const PosixCaptureFileCalls&) = delete;

    Found Examine(const std::string& path) override;
    std::optional<std::vector<std::uint8_t>> Head(const std::string& path, std::size_t count) override;
    std::uint32_t CheckWritable(const std::string& path) override;
    Created CreateNew(const std::string& path) override;
    std::uint32_t Write(std::span<const std::uint8_t> bytes) override;
    std::uint32_t Close() override;
    std::uint32_t Replace(const std::string& from, const std::string& to) override;
    void Remove(const std::string& path) override;
    std::string ErrorText(std::uint32_t error) override;

  private:
    int fd_ = -1;
};

}  // namespace qx
