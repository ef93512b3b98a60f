// The settings file as users and other programs leave it, read and written through the platform's real
// profile functions: overlong values, binary bytes, either line end, byte-order marks, repeated keys, a file
// that cannot be written when the program closes, and a settings path that names a folder. Loading never
// fails on what a file holds, and saving never raises and never damages a file it cannot write.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "temp_folder.h"
#include "win/private_profile_calls.h"
#include "win/wide_text.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::wstring CommandLine(const std::string& argument) {
    return L"\"QX2205R.exe\" \"" + Widen(argument) + L"\"";
}

// What the platform reads for a key, through a reader of its own.
std::string Stored(const std::string& path, const std::string& section, const std::string& key) {
    PrivateProfileCalls calls(L"\"QX2205R.exe\"");
    return calls.ReadString(path, section, key, PROFILE_READ_LIMIT);
}

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string Binary() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes += static_cast<char>(b);
    }
    return bytes;
}

// Bytes as random as a compressed file's, the same in every run; no line of them names a section.
std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    std::uint32_t state = 0x2205;
    for (char& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

const std::string OTHER = "[Other]\r\nKept=yes\r\n";

struct StoredCase {
    const char* name;
    std::string file;                  // the file as the program finds it
    std::int32_t language;             // what loading gives
    std::optional<std::string> saved;  // the file after saving, where the platform keeps its form exactly
    bool otherKept = true;             // the [Other] section still reads as it did (false: it has none)
    bool ours = true;                  // the program's own file, written back at close; else left as it was
};

std::vector<StoredCase> StoredCases() {
    return {
        {"decimal", "[Parameters]\r\nLanguage=1\r\n", 1, "[Parameters]\r\nLanguage=1\r\n", false},
        {"hexadecimal", "[Parameters]\r\nLanguage=0x1\r\n", 1, "[Parameters]\r\nLanguage=1\r\n", false},
        {"a word", "[Parameters]\r\nLanguage=Russian\r\n", 0, "[Parameters]\r\nLanguage=0\r\n", false},
        // The key's text is read through a buffer of 2047 characters.
        {"2047 characters, alone in the file", "[Parameters]\r\nLanguage=" + std::string(2046, '0') + "1\r\n",
         1, "[Parameters]\r\nLanguage=1\r\n", false},
        {"2048 characters", "[Parameters]\r\nLanguage=" + std::string(2047, '0') + "1\r\n", 0,
         "[Parameters]\r\nLanguage=0\r\n", false},
        {"2047 characters", "[Parameters]\r\nLanguage=" + std::string(2046, '0') + "1\r\n" + OTHER, 1,
         "[Parameters]\r\nLanguage=1\r\n" + OTHER},
        // Only the first 2047 characters are read: the 1 at the end lies beyond them.
        {"5000 characters", "[Parameters]\r\nLanguage=" + std::string(4999, '0') + "1\r\n" + OTHER, 0,
         "[Parameters]\r\nLanguage=0\r\n" + OTHER},
        // The value reads as 1 and stays 1, so the platform may leave the file as it is.
        {"5000 characters, blanks after the number",
         "[Parameters]\r\nLanguage=1" + std::string(4999, ' ') + "\r\n" + OTHER, 1, std::nullopt},
        {"5000 characters of digits", "[Parameters]\r\nLanguage=" + std::string(5000, '1') + "\r\n" + OTHER,
         0, "[Parameters]\r\nLanguage=0\r\n" + OTHER},
        {"binary bytes around the section",
         Binary() + "\r\n[Parameters]\r\nLanguage=1\r\n" + OTHER + Binary(), 1, std::nullopt},
        {"binary bytes after the number", "[Parameters]\r\nLanguage=1\x01\x7F\xFF\xFE\r\n" + OTHER, 0,
         "[Parameters]\r\nLanguage=0\r\n" + OTHER},
        // A NUL ends the text the platform hands over; what it does to the rest of such a file is its own
        // affair.
        {"NUL inside the value", "[Parameters]\r\nLanguage=1\0\x01 9\r\n"s + OTHER, 1, std::nullopt, false},
        {"CRLF line ends", "[Parameters]\r\nLanguage=0x1\r\n" + OTHER, 1,
         "[Parameters]\r\nLanguage=1\r\n" + OTHER},
        {"LF line ends", "[Parameters]\nLanguage=$1\n[Other]\nKept=yes\n", 1, std::nullopt},
        {"no line end at the end", "[Other]\r\nKept=yes\r\n[Parameters]\r\nLanguage=1", 1, std::nullopt},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF[Parameters]\r\nLanguage=x1\r\n" + OTHER, 1,
         "\xEF\xBB\xBF[Parameters]\r\nLanguage=1\r\n" + OTHER},
        {"UTF-16 byte-order mark", Utf16("[Parameters]\r\nLanguage=0X1\r\n" + OTHER), 1,
         Utf16("[Parameters]\r\nLanguage=1\r\n" + OTHER)},
        // The first of repeated keys counts, and saving replaces that one.
        {"duplicate keys", "[Parameters]\r\nLanguage=0x1\r\nLanguage=0\r\n" + OTHER, 1,
         "[Parameters]\r\nLanguage=1\r\nLanguage=0\r\n" + OTHER},
        {"duplicate keys, the first not a number",
         "[Parameters]\r\nLanguage=Russian\r\nLanguage=1\r\n" + OTHER, 0,
         "[Parameters]\r\nLanguage=0\r\nLanguage=1\r\n" + OTHER},
        // The profile functions match section names in any letter case, and so does the program.
        {"the section in capitals", "[PARAMETERS]\r\nLanguage=0x1\r\n" + OTHER, 1,
         "[PARAMETERS]\r\nLanguage=1\r\n" + OTHER},
        {"the section without the key", "[Parameters]\r\n" + OTHER, 0, std::nullopt},
        {"empty", "", 0, "[Parameters]\r\nLanguage=0\r\n", false},
        // Not a settings file: a document given by mistake (or dropped on the program) is never written.
        {"a megabyte of random bytes", RandomBytes(1000000), 0, std::nullopt, false, false},
        {"other sections only", OTHER, 0, std::nullopt, true, false},
    };
}

// Where the program finds the settings file: in its own folder, or at the path its command line names.
enum class FileNamed { InTheProgramsFolder, ByTheArgument };

class StoredValue : public ::testing::TestWithParam<FileNamed> {};

TEST_P(StoredValue, WhatAFileHoldsNeverStopsLoadingAndSavingWritesTheLanguageInDecimal) {
    const bool byArgument = GetParam() == FileNamed::ByTheArgument;
    for (const StoredCase& c : StoredCases()) {
        SCOPED_TRACE(c.name);
        // A folder of its own per case: the platform may cache a profile file it has just read or written.
        TempFolder program;
        const std::string path = program.File(byArgument ? "named.ini" : "QX2205R.ini");
        const std::wstring commandLine = byArgument ? CommandLine(path) : L"\"QX2205R.exe\"";
        WriteBytes(path, c.file);
        PrivateProfileCalls calls(commandLine);
        Settings settings(calls);
        settings.LoadSettings(program.Directory());
        EXPECT_EQ(settings.SettingsPath, path);
        EXPECT_EQ(settings.Language, c.language);
        // Compared whole, not printed: a file may be a megabyte long.
        EXPECT_TRUE(ReadBytes(path) == c.file) << "loading changed the file";

        settings.SaveSettings(program.Directory());
        if (!c.ours) {
            const std::string after = ReadBytes(path);
            EXPECT_TRUE(after == c.file) << "a file that is not the program's was written: " << c.file.size()
                                         << " bytes became " << after.size();
        } else {
            EXPECT_EQ(Stored(path, "Parameters", "Language"), std::to_string(c.language));
        }
        if (c.saved) {
            EXPECT_EQ(ReadBytes(path), *c.saved);
        }
        if (c.otherKept) {
            EXPECT_EQ(Stored(path, "Other", "Kept"), "yes");
        }
        PrivateProfileCalls againCalls(commandLine);
        Settings again(againCalls);
        again.LoadSettings(program.Directory());
        EXPECT_EQ(again.Language, c.language) << "the saved file loads differently";
    }
}

INSTANTIATE_TEST_SUITE_P(SettingsRobustness, StoredValue,
                         ::testing::Values(FileNamed::InTheProgramsFolder, FileNamed::ByTheArgument),
                         [](const ::testing::TestParamInfo<FileNamed>& info) {
                             return info.param == FileNamed::ByTheArgument ? "ByTheArgument"
                                                                           : "InTheProgramsFolder";
                         });

// Holds the file open the way another program can: reading allowed, writing by anyone else refused.
class WriteLock {
  public:
    explicit WriteLock(const std::string& path)
        : handle_(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~WriteLock() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// Whether this process can open `path` for writing; the read-only attribute does not stop every user (Wine
// run by root, for one).
bool Writable(const std::string& path) {
    const HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

const std::string HEX_FILE = "[Parameters]\r\nLanguage=0x1\r\n" + OTHER;

// A settings file in the program's folder that reads as 1 but holds 0x1: saving rewrites it as 1, so a write
// that got through shows. The settings are not loaded yet.
struct HexFile {
    TempFolder program;
    const std::string path = program.File("QX2205R.ini");
    PrivateProfileCalls calls{L"\"QX2205R.exe\""};
    Settings settings{calls};

    HexFile() { WriteBytes(path, HEX_FILE); }
    void Load() { settings.LoadSettings(program.Directory()); }
    void Save() { settings.SaveSettings(program.Directory()); }
};

TEST(SettingsRobustness, AFileLockedByAnotherProgramAtCloseKeepsItsContent) {
    HexFile f;
    f.Load();
    ASSERT_EQ(f.settings.Language, 1);
    {
        WriteLock lock(f.path);
        ASSERT_TRUE(lock.Held());
        f.Save();
        EXPECT_EQ(ReadBytes(f.path), HEX_FILE);
    }
    // Once the other program lets go, the next close writes as usual.
    f.Save();
    EXPECT_EQ(Stored(f.path, "Parameters", "Language"), "1");
}

TEST(SettingsRobustness, AFileHeldOpenWithoutSharingAtStartIsByteIdenticalAfterClose) {
    HexFile f;
    {
        // Another program has the file open and lets nobody else in, not even to read.
        const HANDLE held = CreateFileW(Widen(f.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        f.Load();
        CloseHandle(held);
    }
    EXPECT_EQ(f.settings.Language, 0);
    // Saving would write 0 over 0x1 once the file is free again; it must not.
    f.Save();
    EXPECT_EQ(ReadBytes(f.path), HEX_FILE);
}

TEST(SettingsRobustness, AReadOnlyFileAtCloseKeepsItsContent) {
    HexFile f;
    f.Load();
    ASSERT_EQ(f.settings.Language, 1);
    ASSERT_TRUE(SetFileAttributesW(Widen(f.path).c_str(), FILE_ATTRIBUTE_READONLY));
    if (Writable(f.path)) {
        GTEST_SKIP() << "this user may write to read-only files, so the platform cannot refuse the write";
    }
    f.Save();
    EXPECT_EQ(ReadBytes(f.path), HEX_FILE);
    EXPECT_NE(GetFileAttributesW(Widen(f.path).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST(SettingsRobustness, ASettingsPathNamingAFolderFailsLoadingButNotSavingAndLeavesTheFolderAlone) {
    struct FolderCase {
        const char* name;
        bool asArgument;  // named by the command line, or a folder called QX2205R.ini in the program's folder
    };
    for (const FolderCase& c : {FolderCase{"the argument names a folder", true},
                                FolderCase{"a folder in the program's folder has the file's name", false}}) {
        SCOPED_TRACE(c.name);
        TempFolder program;
        const std::string folder = c.asArgument ? program.File("settings") : program.File("QX2205R.ini");
        fs::create_directory(fs::path(Widen(folder)));
        PrivateProfileCalls calls(c.asArgument ? CommandLine(folder) : L"\"QX2205R.exe\"");
        Settings settings(calls);
        try {
            settings.LoadSettings(program.Directory());
            ADD_FAILURE() << "loading raised nothing";
        } catch (const SettingsError& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to write to " + folder);
        }
        EXPECT_EQ(settings.SettingsPath, folder);
        EXPECT_EQ(settings.Language, 0);
        settings.SaveSettings(program.Directory());
        EXPECT_TRUE(fs::is_directory(fs::path(Widen(folder))));
        EXPECT_TRUE(fs::is_empty(fs::path(Widen(folder))));
    }
}

}  // namespace
}  // namespace qx
