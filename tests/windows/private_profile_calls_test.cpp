#include "win/private_profile_calls.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "app/settings.h"
#include "app/texts.h"
#include "temp_folder.h"
#include "win/program_folder.h"
#include "win/wide_text.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

std::wstring CommandLine(const std::wstring& argument = {}) {
    return argument.empty() ? L"\"QX2205R.exe\"" : L"\"QX2205R.exe\" \"" + argument + L"\"";
}

const std::string CREATED_FILE = "[Parameters]\r\nLanguage=0\r\n";

TEST(SettingsFile, FirstStartCreatesTheTwoLineFileAndGivesEnglish) {
    // The second folder's name fits no ANSI code page: the path must reach the platform in UTF-16.
    for (const std::wstring name : {L"plain", L"Настройки 中文 ✓"}) {
        SCOPED_TRACE(Narrow(name));
        TempFolder program(name);
        PrivateProfileCalls calls(CommandLine());
        Settings settings(calls);
        settings.LoadSettings(program.Directory());
        EXPECT_EQ(settings.SettingsPath, program.File("QX2205R.ini"));
        EXPECT_EQ(settings.Language, 0);
        EXPECT_EQ(ReadBytes(settings.SettingsPath), CREATED_FILE);

        FormTexts texts;
        ApplyLanguage(settings.Language, texts);
        EXPECT_EQ(texts.btnExit, "Exit");

        settings.SaveSettings(program.Directory());
        EXPECT_EQ(ReadBytes(settings.SettingsPath), CREATED_FILE);
    }
}

TEST(SettingsFile, OtherSectionsAndKeysSurviveASave) {
    TempFolder program(L"others");
    const std::string path = program.File("QX2205R.ini");
    WriteBytes(path,
               "[Window]\r\nLeft=10\r\n[Parameters]\r\nColour=blue\r\nLanguage=0x1\r\n[Last]\r\nX=y\r\n");
    PrivateProfileCalls calls(CommandLine());
    Settings settings(calls);
    settings.LoadSettings(program.Directory());
    settings.SaveSettings(program.Directory());
    EXPECT_EQ(ReadBytes(path),
              "[Window]\r\nLeft=10\r\n[Parameters]\r\nColour=blue\r\nLanguage=1\r\n[Last]\r\nX=y\r\n");
}

TEST(SettingsFile, AnArgumentNamesTheFileAndTheProgramsFolderStaysUntouched) {
    TempFolder program(L"program");
    TempFolder other(L"other");

    const std::string created = other.File("mine.ini");
    PrivateProfileCalls createCalls(CommandLine(Widen(created)));
    Settings first(createCalls);
    first.LoadSettings(program.Directory());
    EXPECT_EQ(first.SettingsPath, created);
    EXPECT_EQ(ReadBytes(created), CREATED_FILE);

    const std::string existing = other.File("kept.ini");
    WriteBytes(existing, "[Parameters]\r\nLanguage=$1\r\n");
    PrivateProfileCalls readCalls(CommandLine(Widen(existing)));
    Settings second(readCalls);
    second.LoadSettings(program.Directory());
    EXPECT_EQ(second.Language, 1);
    second.SaveSettings(program.Directory());
    EXPECT_EQ(ReadBytes(existing), "[Parameters]\r\nLanguage=1\r\n");

    EXPECT_TRUE(fs::is_empty(program.Path()));
}

// Restores the process's current folder when the test ends.
class CurrentFolder {
  public:
    explicit CurrentFolder(const fs::path& path) : saved_(fs::current_path()) { fs::current_path(path); }
    ~CurrentFolder() {
        std::error_code ignored;
        fs::current_path(saved_, ignored);
    }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

  private:
    fs::path saved_;
};

TEST(SettingsFile, ARelativeArgumentIsTakenFromTheCurrentFolder) {
    TempFolder program(L"program");
    TempFolder current(L"current");
    std::wstring windows(MAX_PATH + 1, L'\0');
    windows.resize(GetWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size())));
    const fs::path inWindows = fs::path(windows) / L"qx2205r-relative.ini";
    fs::remove(inWindows);

    CurrentFolder inCurrent(current.Path());
    PrivateProfileCalls calls(CommandLine(L"qx2205r-relative.ini"));
    Settings settings(calls);
    settings.LoadSettings(program.Directory());
    EXPECT_EQ(settings.SettingsPath, current.File("qx2205r-relative.ini"));
    EXPECT_EQ(ReadBytes(current.File("qx2205r-relative.ini")), CREATED_FILE);
    EXPECT_FALSE(fs::exists(inWindows));
    EXPECT_TRUE(fs::is_empty(program.Path()));
}

TEST(SettingsFile, AFileInAMissingFolderFailsLoadButNotSave) {
    TempFolder program(L"program");
    const std::string path = program.File("missing") + "\\QX2205R.ini";
    PrivateProfileCalls calls(CommandLine(Widen(path)));
    Settings settings(calls);
    try {
        settings.LoadSettings(program.Directory());
        ADD_FAILURE() << "LoadSettings raised nothing";
    } catch (const SettingsError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + path);
    }
    settings.SaveSettings(program.Directory());
    EXPECT_TRUE(fs::is_empty(program.Path()));
}

TEST(SettingsFile, ProgramDirectoryIsTheRunningProgramsFolder) {
    const std::string directory = ProgramDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory.back(), '\\');
    PrivateProfileCalls calls;
    EXPECT_TRUE(calls.DirectoryExists(directory));
    EXPECT_TRUE(calls.FileExists(directory + "qx_windows_tests.exe"));
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// use-port on real files: the Port line alone, or taken out with "none"; a file that is not the program's
// own, or whose section is a slip away from [Parameters], is left byte for byte and said to be so.
TEST(SettingsFile, StorePortOnRealFiles) {
    const struct {
        const char* name;
        std::string before;
        std::optional<std::string> port;
        Settings::PortStore result;
        std::string after;
        bool nearMiss = false;
    } cases[] = {
        {"ours", "[Parameters]\r\nLanguage=1\r\n", "COM5", Settings::PortStore::Stored,
         "[Parameters]\r\nLanguage=1\r\nPort=COM5\r\n"},
        {"taken out", "[Parameters]\r\nLanguage=1\r\nPort=COM5\r\n[Other]\r\nX=y\r\n", std::nullopt,
         Settings::PortStore::Stored, "[Parameters]\r\nLanguage=1\r\n[Other]\r\nX=y\r\n"},
        {"a letter", "Dear Sir,\r\nplease find enclosed\r\n", "COM5", Settings::PortStore::NotOurs,
         "Dear Sir,\r\nplease find enclosed\r\n"},
        {"a near miss", "[Parameter]\r\nLanguage=1\r\n", "COM5", Settings::PortStore::NotOurs,
         "[Parameter]\r\nLanguage=1\r\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder(L"use-port");
        const std::string path = folder.File("x.ini");
        WriteBytes(path, c.before);
        PrivateProfileCalls calls(CommandLine());
        Settings reader(calls);
        reader.ReadSettingsOnly(folder.Directory(), path);
        EXPECT_EQ(reader.SectionNearMiss, c.nearMiss);
        Settings settings(calls);
        EXPECT_EQ(settings.StorePort(folder.Directory(), path, c.port), c.result);
        EXPECT_EQ(ReadBytes(path), c.after);
    }
}

}  // namespace
}  // namespace qx
