// The settings file's POSIX binding on real files: the shared table of settings files that the Windows
// binding passes under Wine, and what only the POSIX side has (the XDG folder made at the first write, paths
// with '/', a link to the file that stays a link, a write that is whole or none on a full filesystem, what
// is not a regular file or far too large refused at once).
#include "posix/ini_profile_calls.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/settings.h"
#include "support/settings_cases.h"
#include "support/small_tmpfs.h"
#include "support/temp_folder.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

using qxtest::ReadBytes;
using qxtest::TempFolder;
using qxtest::WriteBytes;

qxtest::ProfileBinding IniBinding() {
    return {
        [] {
            auto folder = std::make_shared<TempFolder>();
            return qxtest::ProfileBinding::Folder{folder->Path() + "/", folder->File("QX2205R.ini"),
                                                  folder->File("named.ini"), folder};
        },
        [](std::optional<std::string> argument) -> std::unique_ptr<ProfileCalls> {
            return std::make_unique<IniProfileCalls>(std::move(argument));
        },
        ReadBytes,
        WriteBytes,
    };
}

TEST(IniProfileCalls, TheSettingsTableInTheProgramsFolder) {
    qxtest::CheckStoredCases(IniBinding(), false);
}

TEST(IniProfileCalls, TheSettingsTableInAFileTheArgumentNames) {
    qxtest::CheckStoredCases(IniBinding(), true);
}

TEST(IniProfileCalls, FirstStartCreatesTheTwoLineFileAndAFileInAMissingFolderFailsLoadButNotSave) {
    TempFolder program;
    IniProfileCalls calls;
    Settings settings(calls);
    settings.LoadSettings(program.Path());
    EXPECT_EQ(settings.SettingsPath, program.File("QX2205R.ini"));
    EXPECT_EQ(ReadBytes(settings.SettingsPath), "[Parameters]\r\nLanguage=0\r\n");

    const std::string missing = program.File("missing/QX2205R.ini");
    IniProfileCalls missingCalls(missing);
    Settings inMissing(missingCalls);
    try {
        inMissing.LoadSettings(program.Path());
        ADD_FAILURE() << "LoadSettings raised nothing";
    } catch (const SettingsError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + missing);
    }
    inMissing.SaveSettings(program.Path());
    EXPECT_FALSE(fs::exists(program.File("missing")));

    // A path that names a folder is no file to write, and the folder is left alone.
    fs::create_directory(program.File("folder"));
    IniProfileCalls folderCalls(program.File("folder"));
    Settings folder(folderCalls);
    EXPECT_THROW(folder.LoadSettings(program.Path()), SettingsError);
    folder.SaveSettings(program.Path());
    EXPECT_TRUE(fs::is_empty(program.File("folder")));
}

TEST(IniProfileCalls, ARelativeArgumentIsTakenFromTheCurrentFolderWithSlashes) {
    TempFolder current;
    const fs::path saved = fs::current_path();
    fs::current_path(current.Path());
    IniProfileCalls calls(std::string("sub.ini"));
    Settings settings(calls);
    settings.LoadSettings("/nonexistent-program-folder");
    fs::current_path(saved);
    EXPECT_EQ(settings.SettingsPath, fs::canonical(current.Path()).string() + "/sub.ini");
    EXPECT_EQ(ReadBytes(current.File("sub.ini")), "[Parameters]\r\nLanguage=0\r\n");
}

TEST(IniProfileCalls, UsePortMakesTheXdgFolderForItsOwnerAndChangesThePortAlone) {
    TempFolder config;
    const std::string own = config.File("qx2205r");
    IniProfileCalls calls(std::nullopt, own);
    Settings reader(calls);
    EXPECT_EQ(reader.ReadSettingsOnly(own, std::nullopt), Settings::ReadOnlyLoad::Missing);
    EXPECT_EQ(reader.SettingsPath, own + "/QX2205R.ini");
    EXPECT_FALSE(fs::exists(own)) << "reading made the folder";

    Settings settings(calls);
    ASSERT_EQ(settings.StorePort(own, std::nullopt, "/dev/ttyUSB0"), Settings::PortStore::Stored);
    // A missing file is made as the window makes it: the language, then the port.
    EXPECT_EQ(ReadBytes(own + "/QX2205R.ini"), "[Parameters]\r\nLanguage=0\r\nPort=/dev/ttyUSB0\r\n");
    struct stat info {};
    ASSERT_EQ(::stat(own.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A file the user keeps elsewhere and links to stays a link, with the Port changed in place, and the
    // language and the other lines as they were.
    TempFolder elsewhere;
    WriteBytes(elsewhere.File("mine.ini"),
               "; mine\n[parameters]\nLanguage=1\nPort = COM5\n[Other]\nKept=yes\n");
    fs::remove(own + "/QX2205R.ini");
    fs::create_symlink(elsewhere.File("mine.ini"), own + "/QX2205R.ini");
    ASSERT_EQ(settings.StorePort(own, std::nullopt, "/dev/serial/by-id/usb-x-if00-port0"),
              Settings::PortStore::Stored);
    EXPECT_TRUE(fs::is_symlink(own + "/QX2205R.ini"));
    EXPECT_EQ(
        ReadBytes(elsewhere.File("mine.ini")),
        "; mine\n[parameters]\nLanguage=1\nPort =/dev/serial/by-id/usb-x-if00-port0\n[Other]\nKept=yes\n");
    EXPECT_EQ(reader.ReadSettingsOnly(own, std::nullopt), Settings::ReadOnlyLoad::Read);
    EXPECT_EQ(reader.Language, 1);
    EXPECT_EQ(reader.Port, "/dev/serial/by-id/usb-x-if00-port0");

    // --port none takes the key's line away, through the link, and leaves every other line; a second time
    // there is nothing left to take.
    ASSERT_EQ(settings.StorePort(own, std::nullopt, std::nullopt), Settings::PortStore::Stored);
    ASSERT_EQ(settings.StorePort(own, std::nullopt, std::nullopt), Settings::PortStore::Stored);
    EXPECT_TRUE(fs::is_symlink(own + "/QX2205R.ini"));
    EXPECT_EQ(ReadBytes(elsewhere.File("mine.ini")), "; mine\n[parameters]\nLanguage=1\n[Other]\nKept=yes\n");
}

TEST(IniProfileCalls, ValuesReadAsTheProfileFunctionsGiveThem) {
    struct Case {
        const char* file;
        const char* value;
    };
    const Case cases[] = {
        {"[Parameters]\r\nPort=\"/dev/ttyS0\"\r\n", "/dev/ttyS0"},
        {"[Parameters]\r\n  port  =  /dev/ttyS0  \r\n", "/dev/ttyS0"},
        {"Port=/dev/outside\r\n[Parameters]\r\n", ""},
        {"[Other]\r\nPort=/dev/other\r\n[Parameters]\r\nLanguage=1\r\n", ""},
        {"[Parameters]\r\nPort=/dev/first\r\n[Parameters]\r\nPort=/dev/second\r\n", "/dev/first"},
        {"\xEF\xBB\xBF[Parameters]\nPort=/dev/ttyACM0", "/dev/ttyACM0"},
        {"[ Parameters ]\rPort=/dev/ttyUSB1\r", "/dev/ttyUSB1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProfileValueIn(c.file, "Parameters", "Port", PROFILE_READ_LIMIT), c.value) << c.file;
    }
    EXPECT_EQ(ProfileValueIn("[P]\r\nK=абвгд\r\n", "P", "K", 3), "абв");
    // Bytes that start no UTF-8 character count one each: the room holds whatever the file holds.
    EXPECT_EQ(ProfileValueIn("[P]\r\nK=\x8f\x8f\x8f\x8f\x8f\r\n", "P", "K", 3), "\x8f\x8f\x8f");
}

// use-port given a file that is not the program's (a letter, a program): refused, the bytes as they were.
TEST(IniProfileCalls, StorePortLeavesAFileThatIsNotOursAsItWas) {
    TempFolder folder;
    const std::string own = folder.File("qx2205r");
    IniProfileCalls calls(std::nullopt, own);
    for (const std::string& content :
         {std::string("Dear John,\nplease use COM5.\n"), std::string("\x7F"
                                                                     "ELF\x02\x01\x01\0\0\0",
                                                                     10)}) {
        const std::string path = folder.File("given");
        WriteBytes(path, content);
        Settings settings(calls);
        EXPECT_EQ(settings.StorePort(own, path, "/dev/ttyUSB0"), Settings::PortStore::NotOurs);
        EXPECT_EQ(ReadBytes(path), content);
    }
}

// An open that would wait for good ends with EINTR after a few seconds instead, so that a test fails rather
// than hangs.
class OpenWatchdog {
  public:
    OpenWatchdog() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        ::sigaction(SIGALRM, &action, &saved_);  // no SA_RESTART: the blocked call returns
        ::alarm(5);
    }
    ~OpenWatchdog() {
        ::alarm(0);
        ::sigaction(SIGALRM, &saved_, nullptr);
    }
    OpenWatchdog(const OpenWatchdog&) = delete;
    OpenWatchdog& operator=(const OpenWatchdog&) = delete;

  private:
    struct sigaction saved_ {};
};

// --settings naming a fifo, a device, a link to one, or a file far larger than any settings file: not read,
// never waited for, never written, and the reason known; a file of exactly the limit is still read.
TEST(IniProfileCalls, WhatIsNoRegularFileOrFarTooLargeIsRefusedAtOnce) {
    using Refusal = ProfileFileRead::Refusal;
    TempFolder folder;
    const std::string fifo = folder.File("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder.File("zero.ini"));
    const std::string large = "[Parameters]\r\nLanguage=1\r\n" + std::string(PROFILE_FILE_LIMIT, ';');
    WriteBytes(folder.File("large.ini"), large);
    std::string limit = "[Parameters]\r\nLanguage=1\r\n";
    limit += std::string(PROFILE_FILE_LIMIT - limit.size(), ';');
    WriteBytes(folder.File("limit.ini"), limit);

    const struct {
        std::string path;
        Refusal refusal;
    } cases[] = {
        {"/dev/zero", Refusal::NotAFile},
        {fifo, Refusal::NotAFile},
        {folder.File("zero.ini"), Refusal::NotAFile},
        {folder.File("large.ini"), Refusal::TooLarge},
        {folder.File("limit.ini"), Refusal::None},
    };
    for (const auto& c : cases) {
        IniProfileCalls calls;
        Settings settings(calls);
        const OpenWatchdog watchdog;
        const Settings::ReadOnlyLoad load = settings.ReadSettingsOnly("/nonexistent", c.path);
        EXPECT_EQ(settings.Refused, c.refusal) << c.path;
        if (c.refusal == Refusal::None) {
            EXPECT_EQ(load, Settings::ReadOnlyLoad::Read) << c.path;
            EXPECT_EQ(settings.Language, 1) << c.path;
            continue;
        }
        EXPECT_EQ(load, Settings::ReadOnlyLoad::Unreadable) << c.path;
        EXPECT_EQ(settings.StorePort("/nonexistent", c.path, "/dev/ttyUSB0"),
                  Settings::PortStore::WriteFailed)
            << c.path;
        EXPECT_EQ(settings.Refused, c.refusal) << c.path;
    }
    EXPECT_EQ(ReadBytes(folder.File("large.ini")), large);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(folder.File("zero.ini")));
}

// use-port on a full filesystem: the file stays whole, as it was, and a link to it stays a link; with room
// again the same write goes through.
TEST(IniProfileCalls, UsePortOnAFullFilesystemLeavesTheFileWhole) {
    qxtest::SmallTmpfs disk(64);
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Why();
    }
    TempFolder config;
    const std::string own = config.File("qx2205r");
    fs::create_directory(own);
    // Just under one page, so that the new Port takes the file past it.
    std::string before = "[Parameters]\r\nLanguage=1\r\n[Notes]\r\n";
    while (before.size() < 4000) {
        before += "; a line the user keeps\r\n";
    }
    before += "Last=line\r\n";
    const std::string longPort = "/dev/serial/by-id/" + std::string(200, 'p');
    for (const bool linked : {false, true}) {
        const std::string file = disk.File(linked ? "linked.ini" : "plain.ini");
        WriteBytes(file, before);
        if (linked) {
            fs::create_symlink(file, own + "/QX2205R.ini");
        }
        const std::optional<std::string> named = linked ? std::nullopt : std::optional<std::string>(file);
        ASSERT_GT(disk.Fill(), 2);
        IniProfileCalls calls(std::nullopt, own);
        Settings settings(calls);
        EXPECT_EQ(settings.StorePort(own, named, longPort), Settings::PortStore::WriteFailed) << linked;
        const std::string after = ReadBytes(file);
        EXPECT_TRUE(after == before) << linked << ": the file changed to " << after.size()
                                     << " bytes, ending \""
                                     << after.substr(after.size() > 20 ? after.size() - 20 : 0) << "\"";
        if (linked) {
            EXPECT_TRUE(fs::is_symlink(own + "/QX2205R.ini"));
        }
        disk.Free(2);
        EXPECT_EQ(settings.StorePort(own, named, longPort), Settings::PortStore::Stored) << linked;
        EXPECT_EQ(ReadBytes(file).substr(0, 39),
                  "[Parameters]\r\nLanguage=1\r\nPort=" + longPort.substr(0, 8))
            << linked;
        if (linked) {
            EXPECT_TRUE(fs::is_symlink(own + "/QX2205R.ini"));
        }
        for (const auto& entry : fs::directory_iterator(disk.File(""))) {
            EXPECT_EQ(entry.path().string().find(".new-"), std::string::npos) << entry.path();
        }
        for (int i = 0; fs::exists(disk.File("filler" + std::to_string(i))) || i < 2; ++i) {
            fs::remove(disk.File("filler" + std::to_string(i)));
        }
    }
}

}  // namespace
}  // namespace qx
