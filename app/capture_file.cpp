#include "app/capture_file.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace qx {

bool LooksLikeCapture(std::span<const std::uint8_t> head) {
    if (head.empty()) {
        return true;
    }
    if (head.size() < 4) {
        return false;
    }
    const std::uint32_t magic =
        static_cast<std::uint32_t>(head[0]) | static_cast<std::uint32_t>(head[1]) << 8 |
        static_cast<std::uint32_t>(head[2]) << 16 | static_cast<std::uint32_t>(head[3]) << 24;
    constexpr std::uint32_t MAGICS[] = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1, 0x0A0D0D0A};
    for (const std::uint32_t known : MAGICS) {
        if (magic == known) {
            return true;
        }
    }
    return false;
}

std::uint32_t CaptureFile::RandomTag() {
    // The clock as well: a random device may give the same numbers in every process on some libraries.
    static std::mt19937 generator{
        std::random_device{}() ^
        static_cast<std::uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count())};
    return static_cast<std::uint32_t>(generator());
}

CaptureFile::~CaptureFile() {
    if (open_) {
        calls_.Close();
        calls_.Remove(partPath_);
    }
}

CaptureFile::Opened CaptureFile::Open() {
    const CaptureFileCalls::Found found = calls_.Examine(path_);
    switch (found.kind) {
        case CaptureFileCalls::Kind::Folder:
            return {Problem::Folder, 0};
        case CaptureFileCalls::Kind::Other:
            return {Problem::NotAFile, 0};
        case CaptureFileCalls::Kind::File: {
            const std::optional<std::vector<std::uint8_t>> head = calls_.Head(path_, 4);
            if (head && !LooksLikeCapture(*head)) {
                return {Problem::NotACapture, 0};
            }
            // A file that cannot be written now will not take the capture after the run either.
            if (const std::uint32_t error = calls_.CheckWritable(path_); error != 0) {
                return {Problem::CannotWrite, error};
            }
            break;
        }
        case CaptureFileCalls::Kind::Missing:
            break;
    }
    identityAtOpen_ = found.identity;
    CaptureFileCalls::Created created;
    for (int attempt = 0; attempt < CAPTURE_PART_TRIES; ++attempt) {
        char tag[9];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(tags_()));
        partPath_ = path_ + "." + tag + std::string(CAPTURE_PART_SUFFIX);
        created = calls_.CreateNew(partPath_);
        if (!created.exists) {
            break;
        }
    }
    if (created.error != 0) {
        partPath_.clear();
        return {Problem::CannotWrite, created.error};
    }
    open_ = true;
    writer_ = std::make_unique<irda::PcapWriter>([this](std::span<const std::uint8_t> bytes) {
        writeError_ = calls_.Write(bytes);
        return writeError_ == 0;
    });
    // The header is written at once: a disk too full for it fails the capture before anything is sent.
    if (writeError_ != 0) {
        const std::uint32_t error = writeError_;
        writer_.reset();
        open_ = false;
        calls_.Close();
        calls_.Remove(partPath_);
        partPath_.clear();
        return {Problem::CannotWrite, error};
    }
    return {};
}

void CaptureFile::Frame(bool sent, std::span<const std::uint8_t> frame) {
    if (writer_) {
        writer_->Frame(sent, frame);
        ++frames_;
    }
}

CaptureFile::Finished CaptureFile::Finish() {
    Finished finished{frames_, false, false, false, 0};
    if (!open_) {
        return finished;
    }
    open_ = false;
    // The writer stops at its first failed write, so the first error is the one kept.
    const bool written = writer_ && writer_->Good();
    writer_.reset();
    const std::uint32_t closeError = calls_.Close();
    if (!written || closeError != 0) {
        calls_.Remove(partPath_);
        finished.failed = true;
        finished.error = !written ? writeError_ : closeError;
        return finished;
    }
    if (frames_ == 0) {
        calls_.Remove(partPath_);
        return finished;
    }
    const CaptureFileCalls::Found now = calls_.Examine(path_);
    finished.replacedOther = now.kind != CaptureFileCalls::Kind::Missing && now.identity != identityAtOpen_;
    finished.error = calls_.Replace(partPath_, path_);
    finished.placed = finished.error == 0;
    finished.replacedOther = finished.replacedOther && finished.placed;
    return finished;
}

}  // namespace qx
