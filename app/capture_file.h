// The console's --capture file, made so that support can rely on it: it is checked and opened before anything
// is sent, the frames go to a file beside it, and only a capture that holds frames and was wholly written is
// put in its place. An existing file that is not a capture is never replaced. The platform's file calls are
// one small seam.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "irda/capture.h"

namespace qx {

// The file calls a capture makes. Errors are the platform's own codes (errno on POSIX, Windows' codes there).
class CaptureFileCalls {
  public:
    virtual ~CaptureFileCalls() = default;
    // Other: neither a regular file nor a folder (a fifo, a device), which no capture may take the place of.
    enum class Kind { Missing, File, Folder, Other };
    struct Found {
        Kind kind = Kind::Missing;
        // What tells this file from another put at the path later (its identity on the volume, size and time
        // of change); empty when missing.
        std::string identity;
    };
    virtual Found Examine(const std::string& path) = 0;
    // Up to `count` bytes from the start of an existing file, without waiting; nothing when it cannot be
    // read.
    virtual std::optional<std::vector<std::uint8_t>> Head(const std::string& path, std::size_t count) = 0;
    // Opens an existing file for writing, without waiting and changing nothing, and closes it again: 0 or the
    // error.
    virtual std::uint32_t CheckWritable(const std::string& path) = 0;
    // Creates `path` as a new file and keeps it open for Write. Never through an existing name: a file, a
    // link or a fifo already there fails it with `exists` set.
    struct Created {
        std::uint32_t error = 0;
        bool exists = false;
    };
    virtual Created CreateNew(const std::string& path) = 0;
    // Writes all of `bytes`: 0 or the error (a full disk).
    virtual std::uint32_t Write(std::span<const std::uint8_t> bytes) = 0;
    // Puts what was written on the disk and closes the file: 0 or the error, which a full disk may give only
    // here.
    virtual std::uint32_t Close() = 0;
    // Moves `from` over `to`, replacing it: 0 or the error.
    virtual std::uint32_t Replace(const std::string& from, const std::string& to) = 0;
    virtual void Remove(const std::string& path) = 0;
    // The system's own words for an error.
    virtual std::string ErrorText(std::uint32_t error) = 0;
};

// The frames go to a new file of a name of its own beside the path, "PATH.<tag>.partial", until the capture
// is put in place: a name made in advance (a link to another file, a fifo) is never written through, and two
// runs with the same path each keep their own.
inline constexpr std::string_view CAPTURE_PART_SUFFIX = ".partial";
// Names tried before the capture gives up; each is new with all but certainty, so only names made on purpose
// fail more than once.
inline constexpr int CAPTURE_PART_TRIES = 16;

class CaptureFile final : public irda::FrameSink {
  public:
    // `tags` gives the part of each name tried that makes it the run's own.
    using TagSource = std::function<std::uint32_t()>;
    static std::uint32_t RandomTag();
    CaptureFile(CaptureFileCalls& calls, std::string path, TagSource tags = RandomTag)
        : calls_(calls), path_(std::move(path)), tags_(std::move(tags)) {}
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    enum class Problem { None, Folder, NotAFile, NotACapture, CannotWrite };
    struct Opened {
        Problem problem = Problem::None;
        std::uint32_t error = 0;  // CannotWrite: the system's code
    };
    // Checks the path and opens the file beside it, its header written; nothing is written where the path
    // points yet.
    Opened Open();
    void Frame(bool sent, std::span<const std::uint8_t> frame) override;

    struct Finished {
        std::size_t frames = 0;
        bool placed = false;         // the capture is at the path
        bool failed = false;         // a write or the flush failed: nothing was put at the path, nothing kept
        bool replacedOther = false;  // placed over a file put at the path while this run went on
        std::uint32_t error = 0;     // why it failed or could not be put there
    };
    // Closes the file; puts it at the path when it holds frames and was wholly written, else removes it
    // and leaves the path as it was.
    Finished Finish();

    const std::string& Path() const { return path_; }
    // The file the frames go to; empty before Open made it.
    const std::string& PartPath() const { return partPath_; }

  private:
    CaptureFileCalls& calls_;
    std::string path_;
    TagSource tags_;
    std::string partPath_;
    std::string identityAtOpen_;
    std::unique_ptr<irda::PcapWriter> writer_;
    std::size_t frames_ = 0;
    std::uint32_t writeError_ = 0;
    bool open_ = false;
};

// Whether `head` (a file's first bytes) starts a capture: classic pcap in either byte order, or pcapng. An
// empty file counts, as there is nothing in it to lose.
bool LooksLikeCapture(std::span<const std::uint8_t> head);

}  // namespace qx
