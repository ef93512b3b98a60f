// The capture file's calls on Windows: file attributes and information, CreateFileW, ReadFile, WriteFile,
// FlushFileBuffers, MoveFileExW, DeleteFileW and the system's message for an error. Nothing is decided here.
#pragma once

#include <memory>

#include "app/capture_file.h"
#include "win/scoped_handles.h"

namespace qx {

class Win32CaptureFileCalls final : public CaptureFileCalls {
  public:
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
    std::unique_ptr<FileHandle> file_;
};

}  // namespace qx
