// The console's --capture file, made so that support can rely on it: it is checked and opened before anything
// is sent, the frames go to a file beside it, and only a capture that holds frames is put in its place. An
// existing file that is not a capture is never replaced. The platform's file calls are one small seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "irda/capture.h"

namespace qx {

// The file calls a capture makes. Errors are the platform's own codes (Windows' on every platform).
class CaptureFileCalls {
  public:
    virtual ~CaptureFileCalls() = default;
    enum class Kind { Missing, File, Folder };
    virtual Kind Examine(const std::string& path) = 0;
    // Up to `count` bytes from the start of an existing file; nothing when it cannot be read.
    virtual std::optional<std::vector<std::uint8_t>> Head(const std::string& path, std::size_t count) = 0;
    // Opens an existing file for writing, changing nothing, and closes it again: 0 or the error.
    virtual std::uint32_t CheckWritable(const std::string& path) = 0;
    // Creates `path` (emptying a file there) and keeps it open for Write: 0 or the error.
    virtual std::uint32_t Create(const std::string& path) = 0;
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    virtual void Close() = 0;
    // Moves `from` over `to`, replacing it: 0 or the error.
    virtual std::uint32_t Replace(const std::string& from, const std::string& to) = 0;
    virtual void Remove(const std::string& path) = 0;
    // The system's own words for an error.
    virtual std::string ErrorText(std::uint32_t error) = 0;
};

// The name of the file the frames go to until the capture is put in place.
inline constexpr std::string_view CAPTURE_PART_SUFFIX = ".partial";

class CaptureFile final : public irda::FrameSink {
  public:
    CaptureFile(CaptureFileCalls& calls, std::string path) : calls_(calls), path_(std::move(path)) {}
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    enum class Problem { None, Folder, NotACapture, CannotWrite };
    struct Opened {
        Problem problem = Problem::None;
        std::uint32_t error = 0;  // CannotWrite: the system's code
    };
    // Checks the path and opens the file beside it; nothing is written where the path points yet.
    Opened Open();
    void Frame(bool sent, std::span<const std::uint8_t> frame) override;

    struct Finished {
        std::size_t frames = 0;
        bool placed = false;      // the capture is at the path
        std::uint32_t error = 0;  // why it could not be put there
    };
    // Closes the file; puts it at the path when it holds frames, else removes it and leaves the path as it
    // was.
    Finished Finish();

    const std::string& Path() const { return path_; }
    std::string PartPath() const { return path_ + std::string(CAPTURE_PART_SUFFIX); }

  private:
    CaptureFileCalls& calls_;
    std::string path_;
    std::unique_ptr<irda::PcapWriter> writer_;
    std::size_t frames_ = 0;
    bool open_ = false;
};

// Whether `head` (a file's first bytes) starts a capture: classic pcap in either byte order, or pcapng. An
// empty file counts, as there is nothing in it to lose.
bool LooksLikeCapture(std::span<const std::uint8_t> head);

}  // namespace qx
