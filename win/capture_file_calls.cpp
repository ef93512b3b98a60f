#include "win/capture_file_calls.h"

#include <windows.h>

#include "win/scoped_handles.h"
#include "win/wide_text.h"

namespace qx {

std::optional<std::vector<std::uint8_t>> WinCaptureFileCalls::ReadStart(const std::string& path,
                                                                        std::size_t count) {
    const FileHandle file(CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> start(count);
    DWORD got = 0;
    if (count > 0 && !ReadFile(file.Get(), start.data(), static_cast<DWORD>(count), &got, nullptr)) {
        got = 0;
    }
    start.resize(got);
    return start;
}

bool WinCaptureFileCalls::Replace(const std::string& from, const std::string& to) {
    return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void WinCaptureFileCalls::Remove(const std::string& path) {
    DeleteFileW(Widen(path).c_str());
}

}  // namespace qx
