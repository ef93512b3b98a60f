#include "win/private_profile_calls.h"

#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include <memory>
#include <utility>
#include <vector>

#include "win/program_folder.h"
#include "win/scoped_handles.h"
#include "win/wide_text.h"

namespace qx {
namespace {

struct LocalFreeDeleter {
    void operator()(LPWSTR* block) const { LocalFree(block); }
};

DWORD Attributes(const std::string& path) {
    return GetFileAttributesW(Widen(path).c_str());
}

}  // namespace

PrivateProfileCalls::PrivateProfileCalls() : commandLine_(GetCommandLineW()) {}

PrivateProfileCalls::PrivateProfileCalls(std::wstring commandLine) : commandLine_(std::move(commandLine)) {}

std::string PrivateProfileCalls::ReadString(const std::string& path, const std::string& section,
                                            const std::string& key, std::size_t maxChars) {
    std::vector<wchar_t> buffer(maxChars + 1, L'\0');
    const DWORD length =
        GetPrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), L"", buffer.data(),
                                 static_cast<DWORD>(buffer.size()), Widen(path).c_str());
    return Narrow(std::wstring_view(buffer.data(), length));
}

bool PrivateProfileCalls::WriteString(const std::string& path, const std::string& section,
                                      const std::string& key, const std::string& value) {
    const std::wstring widePath = Widen(path);
    // The profile functions choose a file's encoding from what the file already holds, and how the W function
    // creates a missing file is the platform's affair. Creating the empty file here first, with no byte-order
    // mark, pins it to plain 8-bit text on Windows and Wine alike: exactly the two ASCII lines on first
    // start, readable by any editor and by the 8-bit program this one replaces.
    const bool created = FileHandle(CreateFileW(widePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr))
                             .Valid();
    const bool written = WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(),
                                                    Widen(value).c_str(), widePath.c_str()) != FALSE;
    if (!written && created) {
        DeleteFileW(widePath.c_str());
    }
    return written;
}

bool PrivateProfileCalls::FileExists(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool PrivateProfileCalls::FileReadable(const std::string& path) {
    return FileHandle(CreateFileW(Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
        .Valid();
}

bool PrivateProfileCalls::DirectoryExists(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string PrivateProfileCalls::CurrentDirectory() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) {
        return {};
    }
    std::wstring buffer(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, buffer.data());
    buffer.resize(length < size ? length : 0);
    return Narrow(buffer);
}

std::optional<std::string> PrivateProfileCalls::FirstArgument() {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreeDeleter> arguments(
        CommandLineToArgvW(commandLine_.c_str(), &count));
    if (!arguments || count < 2) {
        return std::nullopt;
    }
    return Narrow(arguments.get()[1]);
}

}  // namespace qx
