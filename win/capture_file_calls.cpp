#include "win/capture_file_calls.h"

#include <windows.h>

#include "win/scoped_handles.h"
#include "win/wide_text.h"

namespace qx {

CaptureFileCalls::Kind Win32CaptureFileCalls::Examine(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Kind::Missing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Folder : Kind::File;
}

std::optional<std::vector<std::uint8_t>> Win32CaptureFileCalls::Head(const std::string& path,
                                                                     std::size_t count) {
    const FileHandle file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(count);
    DWORD read = 0;
    if (!ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(read);
    return bytes;
}

std::uint32_t Win32CaptureFileCalls::CheckWritable(const std::string& path) {
    const FileHandle file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.Valid() ? 0 : GetLastError();
}

std::uint32_t Win32CaptureFileCalls::Create(const std::string& path) {
    file_ = std::make_unique<FileHandle>(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_->Valid()) {
        const DWORD error = GetLastError();
        file_.reset();
        return error;
    }
    return 0;
}

bool Win32CaptureFileCalls::Write(std::span<const std::uint8_t> bytes) {
    DWORD written = 0;
    return file_ &&
           WriteFile(file_->Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::uint32_t Win32CaptureFileCalls::Replace(const std::string& from, const std::string& to) {
    return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0
                                                                                          : GetLastError();
}

void Win32CaptureFileCalls::Remove(const std::string& path) {
    DeleteFileW(Widen(path).c_str());
}

std::string Win32CaptureFileCalls::ErrorText(std::uint32_t error) {
    wchar_t buffer[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        error, 0, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
    std::wstring text(buffer, length);
    // The system's message ends with a full stop and a line end; the console's line goes on after it.
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' || text.back() == L' ')) {
        text.pop_back();
    }
    return text.empty() ? "system error" : Narrow(text);
}

}  // namespace qx
