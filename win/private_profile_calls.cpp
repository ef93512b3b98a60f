#include "win/private_profile_calls.h"

#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
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

// The names of the sections the profile functions find in the file. They come back one after another, each
// ended by a NUL; every one of them stands in the file, so a buffer with room for the whole file in
// characters always holds them all.
std::vector<std::wstring> SectionNames(const std::wstring& path, std::uint64_t fileSize) {
    constexpr std::uint64_t FIRST_ROOM = 4096;
    const std::uint64_t mostRoom = std::min<std::uint64_t>(fileSize + 2, MAXDWORD);
    std::vector<wchar_t> names;
    for (std::uint64_t room = std::min(FIRST_ROOM, mostRoom);; room = std::min(room * 2, mostRoom)) {
        names.assign(static_cast<std::size_t>(room), L'\0');
        const DWORD length =
            GetPrivateProfileSectionNamesW(names.data(), static_cast<DWORD>(names.size()), path.c_str());
        // A full buffer comes back as its size less two; the last names may then be cut.
        if (length + 2 < room || room == mostRoom) {
            names.resize(length);
            break;
        }
    }
    std::vector<std::wstring> found;
    for (std::size_t at = 0; at < names.size();) {
        const std::size_t end =
            std::find(names.begin() + static_cast<std::ptrdiff_t>(at), names.end(), L'\0') - names.begin();
        found.emplace_back(names.data() + at, end - at);
        at = end + 1;
    }
    return found;
}

// Whether `name` is `section`, letter case aside, as the profile functions match section names; the
// invariant locale keeps the user's own language out of it, and it exists on every Windows the program runs
// on.
bool SameSection(const std::wstring& name, const std::wstring& section) {
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name.data(), static_cast<int>(name.size()),
                          section.data(), static_cast<int>(section.size())) == CSTR_EQUAL;
}

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

bool PrivateProfileCalls::DeleteKey(const std::string& path, const std::string& section,
                                    const std::string& key) {
    return WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), nullptr,
                                      Widen(path).c_str()) != FALSE;
}

bool PrivateProfileCalls::FileExists(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<ProfileFileRead> PrivateProfileCalls::ReadHeld(const std::string& path,
                                                             const std::string& section,
                                                             const std::string& key, std::size_t maxChars) {
    const std::wstring widePath = Widen(path);
    const FileHandle file(CreateFileW(widePath.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) {
        return std::nullopt;
    }
    ProfileFileRead read;
    read.empty = size.QuadPart == 0;
    const std::wstring wideSection = Widen(section);
    for (const std::wstring& name : SectionNames(widePath, static_cast<std::uint64_t>(size.QuadPart))) {
        read.hasSection = read.hasSection || SameSection(name, wideSection);
        read.sections.push_back(Narrow(name));
    }
    read.value = ReadString(path, section, key, maxChars);
    return read;
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
