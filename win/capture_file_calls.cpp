#include "win/capture_file_calls.h"

#include <windows.h>

#include <string>

#include "win/scoped_handles.h"
#include "win/wide_text.h"

namespace qx {

CaptureFileCalls::Found Win32CaptureFileCalls::Examine(const std::string& path) {
    const std::wstring widePath = Widen(path);
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return {};
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {Kind::Folder, {}};
    }
    // No access asked: the file's information only, whoever holds it.
    const FileHandle file(CreateFileW(widePath.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info)) {
        return {Kind::File, {}};
    }
    return {Kind::File, std::to_string(info.dwVolumeSerialNumber) + ":" +
                            std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow) +
                            ":" + std::to_string(info.nFileSizeHigh) + ":" +
                            std::to_string(info.nFileSizeLow) + ":" +
                            std::to_string(info.ftLastWriteTime.dwHighDateTime) + ":" +
                            std::to_string(info.ftLastWriteTime.dwLowDateTime)};
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

CaptureFileCalls::Created Win32CaptureFileCalls::CreateNew(const std::string& path) {
    // CREATE_NEW refuses any name already there, a link included.
    file_ = std::make_unique<FileHandle>(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_->Valid()) {
        const DWORD error = GetLastError();
        file_.reset();
        return {error, error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS};
    }
    return {};
}

std::uint32_t Win32CaptureFileCalls::Write(std::span<const std::uint8_t> bytes) {
    if (!file_) {
        return ERROR_INVALID_HANDLE;
    }
    DWORD written = 0;
    if (!WriteFile(file_->Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return GetLastError();
    }
    return written == bytes.size() ? 0 : ERROR_DISK_FULL;
}

std::uint32_t Win32CaptureFileCalls::Close() {
    if (!file_) {
        return 0;
    }
    const std::uint32_t error = FlushFileBuffers(file_->Get()) ? 0 : GetLastError();
    file_.reset();
    return error;
}

std::uint32_t Win32CaptureFileCalls::Replace(const std::string& from, const std::string& to) {
    return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
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
