// The settings file as users and other programs leave it, read and written through the platform's real
// profile functions: the shared table of files (support/settings_cases.h, which the POSIX binding runs too),
// a file that cannot be written when the program closes, and a settings path that names a folder. Loading
// never fails on what a file holds, and saving never raises and never damages a file it cannot write.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "support/settings_cases.h"
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

const std::string OTHER = qxtest::OTHER;

// Where the program finds the settings file: in its own folder, or at the path its command line names.
enum class FileNamed { InTheProgramsFolder, ByTheArgument };

class StoredValue : public ::testing::TestWithParam<FileNamed> {};

// The private-profile functions on real files in the user's temporary folder, for the shared table.
qxtest::ProfileBinding PrivateProfileBinding() {
    return {
        [] {
            auto folder = std::make_shared<TempFolder>();
            return qxtest::ProfileBinding::Folder{folder->Directory(), folder->File("QX2205R.ini"),
                                                  folder->File("named.ini"), folder};
        },
        [](std::optional<std::string> argument) -> std::unique_ptr<ProfileCalls> {
            return std::make_unique<PrivateProfileCalls>(argument ? CommandLine(*argument)
                                                                  : std::wstring(L"\"QX2205R.exe\""));
        },
        ReadBytes,
        WriteBytes,
    };
}

TEST_P(StoredValue, WhatAFileHoldsNeverStopsLoadingAndSavingWritesTheLanguageInDecimal) {
    qxtest::CheckStoredCases(PrivateProfileBinding(), GetParam() == FileNamed::ByTheArgument);
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
