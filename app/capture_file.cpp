#include "app/capture_file.h"

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

CaptureFile::~CaptureFile() {
    if (open_) {
        calls_.Close();
        calls_.Remove(PartPath());
    }
}

CaptureFile::Opened CaptureFile::Open() {
    switch (calls_.Examine(path_)) {
        case CaptureFileCalls::Kind::Folder:
            return {Problem::Folder, 0};
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
    if (const std::uint32_t error = calls_.Create(PartPath()); error != 0) {
        return {Problem::CannotWrite, error};
    }
    open_ = true;
    writer_ = std::make_unique<irda::PcapWriter>(
        [this](std::span<const std::uint8_t> bytes) { return calls_.Write(bytes); });
    return {};
}

void CaptureFile::Frame(bool sent, std::span<const std::uint8_t> frame) {
    if (writer_) {
        writer_->Frame(sent, frame);
        ++frames_;
    }
}

CaptureFile::Finished CaptureFile::Finish() {
    Finished finished{frames_, false, 0};
    if (!open_) {
        return finished;
    }
    open_ = false;
    writer_.reset();
    calls_.Close();
    if (frames_ == 0) {
        calls_.Remove(PartPath());
        return finished;
    }
    finished.error = calls_.Replace(PartPath(), path_);
    finished.placed = finished.error == 0;
    return finished;
}

}  // namespace qx
