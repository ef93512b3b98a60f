#include "win/private_profile_calls.h"

#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
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

// A list the profile functions give: names one after another, each ended by a NUL.
std::vector<std::wstring> SplitNames(const wchar_t* names, std::size_t length) {
    std::vector<std::wstring> found;
    for (std::size_t at = 0; at < length;) {
        const std::size_t end = std::find(names + at, names + length, L'\0') - names;
        found.emplace_back(names + at, end - at);
        at = end + 1;
    }
    return found;
}

// The names of the sections the profile functions find in the file. Every one of them stands in the file, so
// a buffer with room for the whole file in characters always holds them all.
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
            return SplitNames(names.data(), length);
        }
    }
}

// Whether two section or key names are one to the profile functions, letter case aside; the invariant
// locale keeps the user's own language out of it, and it exists on every Windows the program runs on.
bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::optional<std::uint64_t> FileSize(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

// What the profile functions read of a file: its sections, and every key of them with its value.
struct ProfileContent {
    std::set<std::wstring> sections;
    std::set<std::tuple<std::wstring, std::wstring, std::wstring>> keys;  // section, key, value
};

std::optional<ProfileContent> ReadContent(const std::wstring& path) {
    const std::optional<std::uint64_t> size = FileSize(path);
    // Nothing in the file is longer than the file, so one buffer of its size holds any list or value of it.
    if (!size || *size + 2 > MAXDWORD) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(static_cast<std::size_t>(*size + 2), L'\0');
    const auto read = [&](const wchar_t* section, const wchar_t* key) {
        return GetPrivateProfileStringW(section, key, L"", buffer.data(), static_cast<DWORD>(buffer.size()),
                                        path.c_str());
    };
    ProfileContent content;
    for (const std::wstring& section : SectionNames(path, *size)) {
        content.sections.insert(section);
        for (const std::wstring& key : SplitNames(buffer.data(), read(section.c_str(), nullptr))) {
            content.keys.emplace(section, key,
                                 std::wstring(buffer.data(), read(section.c_str(), key.c_str())));
        }
    }
    return content;
}

// Whether `after` holds all of `before` but the key that was written, and that key as written (or gone, for a
// null value).
bool Kept(const ProfileContent& before, const ProfileContent& after, const std::wstring& section,
          const std::wstring& key, const wchar_t* value) {
    const auto written = [&](const std::wstring& s, const std::wstring& k) {
        return SameName(s, section) && SameName(k, key);
    };
    for (const std::wstring& name : before.sections) {
        if (!after.sections.contains(name)) {
            return false;
        }
    }
    for (const auto& entry : before.keys) {
        if (!written(std::get<0>(entry), std::get<1>(entry)) && !after.keys.contains(entry)) {
            return false;
        }
    }
    bool found = false;
    for (const auto& [s, k, v] : after.keys) {
        if (written(s, k)) {
            if (value == nullptr || v != value) {
                return false;
            }
            found = true;
        }
    }
    return found || value == nullptr;
}

void RemoveCopy(const std::wstring& copy) {
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(copy.c_str());
}

// A copy of the file beside it, under a name no file had: CopyFileW refuses to overwrite, and the process's
// id and a count keep the names apart.
std::optional<std::wstring> CopyBeside(const std::wstring& path) {
    static unsigned count = 0;
    for (int tries = 0; tries < 100; ++tries) {
        std::wstring copy =
            path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count) + L".new";
        if (CopyFileW(path.c_str(), copy.c_str(), TRUE)) {
            return copy;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            RemoveCopy(copy);  // a copy cut short by a full disk is ours
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Writes (or, with a null value, removes) a key of an existing file without ever cutting it: the profile
// functions rewrite a file in place and may say they succeeded when the disk took only part of it, so they
// write a copy beside it, the copy is read back from the disk, and it replaces the file only when it holds
// every section and key the file held, and the key as written. On any failure the file stays as it was.
bool ReplaceThroughCopy(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                        const wchar_t* value) {
    // The file itself must take a write, as it had to when it was written in place: another program holding
    // it without sharing, or the read-only attribute, refuses the write here as it did there.
    if (!FileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
             .Valid()) {
        return false;
    }
    const std::optional<std::wstring> copy = CopyBeside(path);
    if (!copy) {
        return false;
    }
    const std::optional<ProfileContent> before = ReadContent(*copy);
    bool ok = before.has_value() &&
              WritePrivateProfileStringW(section.c_str(), key.c_str(), value, copy->c_str()) != FALSE;
    // The documented flush: whatever the profile functions keep of the copy goes to the disk and is dropped,
    // so that what is read next comes from the disk.
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, copy->c_str());
    if (ok) {
        const FileHandle file(CreateFileW(copy->c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        ok = file.Valid() && FlushFileBuffers(file.Get());
    }
    if (ok) {
        const std::optional<ProfileContent> after = ReadContent(*copy);
        ok = after && Kept(*before, *after, section, key, value);
    }
    ok = ok && MoveFileExW(copy->c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        RemoveCopy(*copy);
    }
    return ok;
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
    if (!created) {
        return ReplaceThroughCopy(widePath, Widen(section), Widen(key), Widen(value).c_str());
    }
    // A file just made holds nothing to lose.
    const bool written = WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(),
                                                    Widen(value).c_str(), widePath.c_str()) != FALSE;
    if (!written) {
        DeleteFileW(widePath.c_str());
    }
    return written;
}

bool PrivateProfileCalls::DeleteKey(const std::string& path, const std::string& section,
                                    const std::string& key) {
    if (FileExists(path)) {
        return ReplaceThroughCopy(Widen(path), Widen(section), Widen(key), nullptr);
    }
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
        read.hasSection = read.hasSection || SameName(name, wideSection);
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
