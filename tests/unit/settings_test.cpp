#include "app/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qx {
namespace {

// In-memory profile files with the platform's behaviour that the settings code relies on: a read is cut to
// the limit it asks for, a write adds or replaces one key and keeps every other one.
class FakeProfileCalls : public ProfileCalls {
  public:
    using Keys = std::map<std::pair<std::string, std::string>, std::string>;  // (section, key) -> text

    std::map<std::string, Keys> files;
    std::set<std::string> directories;
    std::set<std::string> unwritable;  // paths whose writes the platform refuses
    std::set<std::string> unreadable;  // files another program holds open without sharing
    bool writeThrows = false;          // a write that fails with something other than a refusal
    std::string currentDirectory = "C:\\cur";
    std::optional<std::string> firstArgument;
    int writeCount = 0;

    std::string ReadString(const std::string& path, const std::string& section, const std::string& key,
                           std::size_t maxChars) override {
        const auto file = files.find(path);
        if (file == files.end() || unreadable.count(path) != 0) {
            return {};
        }
        const auto value = file->second.find({section, key});
        return value == file->second.end() ? std::string() : value->second.substr(0, maxChars);
    }
    bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override {
        ++writeCount;
        if (writeThrows) {
            throw std::runtime_error("out of handles");
        }
        if (unwritable.count(path) != 0) {
            return false;
        }
        files[path][{section, key}] = value;
        return true;
    }
    bool DeleteKey(const std::string& path, const std::string& section, const std::string& key) override {
        ++writeCount;
        if (unwritable.count(path) != 0) {
            return false;
        }
        files[path].erase({section, key});
        return true;
    }
    bool FileExists(const std::string& path) override { return files.count(path) != 0; }
    // A file without keys stands for an empty one; section names match in any letter case.
    std::optional<ProfileFileRead> ReadHeld(const std::string& path, const std::string& section,
                                            const std::string& key, std::size_t maxChars) override {
        if (!FileExists(path) || unreadable.count(path) != 0) {
            return std::nullopt;
        }
        ProfileFileRead read;
        const Keys& keys = files.at(path);
        read.empty = keys.empty();
        read.hasSection = std::any_of(keys.begin(), keys.end(), [&](const auto& entry) {
            return std::equal(entry.first.first.begin(), entry.first.first.end(), section.begin(),
                              section.end(),
                              [](char a, char b) { return std::tolower(a) == std::tolower(b); });
        });
        read.value = ReadString(path, section, key, maxChars);
        for (const auto& [name, value] : keys) {
            if (std::find(read.sections.begin(), read.sections.end(), name.first) == read.sections.end()) {
                read.sections.push_back(name.first);
            }
        }
        return read;
    }
    bool DirectoryExists(const std::string& path) override { return directories.count(path) != 0; }
    std::string CurrentDirectory() override { return currentDirectory; }
    std::optional<std::string> FirstArgument() override { return firstArgument; }

    std::optional<std::string> Stored(const std::string& path) const {
        const auto file = files.find(path);
        if (file == files.end()) {
            return std::nullopt;
        }
        const auto value = file->second.find({"Parameters", "Language"});
        return value == file->second.end() ? std::nullopt : std::optional<std::string>(value->second);
    }
};

constexpr std::int32_t INT32_MAX_VALUE = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t INT32_MIN_VALUE = std::numeric_limits<std::int32_t>::min();

TEST(ParseProfileInteger, ConvertsDecimalAndHexadecimalWithinThe32BitRange) {
    const std::string longZeros(2046, '0');
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
        {"0", 0},
        {"1", 1},
        {"007", 7},
        {"   42", 42},
        {"\t 9", 9},
        {"+5", 5},
        {"-5", -5},
        {"  -12", -12},
        {"$1F", 31},
        {"x1f", 31},
        {"X1F", 31},
        {"0x1", 1},
        {"0X10", 16},
        {"-0x10", -16},
        {"+$a", 10},
        {"2147483647", INT32_MAX_VALUE},
        {"-2147483648", INT32_MIN_VALUE},
        {"0x7FFFFFFF", INT32_MAX_VALUE},
        {"-$80000000", INT32_MIN_VALUE},
        {longZeros + "1", 1},  // 2047 characters
        {std::string(3000, '0') + "5", 5},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"x", std::nullopt},
        {"0x", std::nullopt},
        {"abc", std::nullopt},
        {"Russian", std::nullopt},
        {"1a", std::nullopt},
        {"12 ", std::nullopt},
        {"1 2", std::nullopt},
        {"- 1", std::nullopt},
        {"--1", std::nullopt},
        {"$-1", std::nullopt},
        {"0x1G", std::nullopt},
        {"0xx1", std::nullopt},
        {"1.0", std::nullopt},
        {"1e3", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"0x80000000", std::nullopt},
        {"$FFFFFFFF", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {std::string(2047, '9'), std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(testing::Message()
                     << "text \"" << text.substr(0, 24) << "\" (" << text.size() << " chars)");
        EXPECT_EQ(ParseProfileInteger(text), expected);
    }
}

struct PathCase {
    std::string directory;
    bool directoryExists;
    std::string currentDirectory;
    std::optional<std::string> firstArgument;
    std::string expected;
};

TEST(Settings, ResolvesThePathFromFolderCurrentFolderAndArgument) {
    const std::vector<PathCase> cases = {
        {"C:\\prog\\", true, "C:\\cur", std::nullopt, "C:\\prog\\QX2205R.ini"},
        {"C:\\prog", true, "C:\\cur", std::nullopt, "C:\\prog\\QX2205R.ini"},
        {"C:\\prog\\\\", true, "C:\\cur", std::nullopt, "C:\\prog\\QX2205R.ini"},
        {"C:\\", true, "C:\\cur", std::nullopt, "C:\\QX2205R.ini"},
        {"", false, "C:\\cur", std::nullopt, "C:\\cur\\QX2205R.ini"},
        {"C:\\gone\\", false, "C:\\cur", std::nullopt, "C:\\cur\\QX2205R.ini"},
        {"", false, "D:\\", std::nullopt, "D:\\QX2205R.ini"},
        // The first argument replaces the joined path as it is: no file name added, no existence test.
        {"C:\\prog\\", true, "C:\\cur", "D:\\other\\mine.ini", "D:\\other\\mine.ini"},
        {"C:\\prog\\", true, "C:\\cur", "D:\\other", "D:\\other"},
        {"C:\\prog\\", true, "C:\\cur", "\\\\server\\share\\mine.ini", "\\\\server\\share\\mine.ini"},
        {"C:\\prog\\", true, "C:\\cur", "\\rooted\\mine.ini", "\\rooted\\mine.ini"},
        {"C:\\prog\\", true, "C:\\cur", "D:mine.ini", "D:mine.ini"},
        // ...except that a relative one is taken from the current folder, not from the Windows folder.
        {"C:\\prog\\", true, "C:\\cur", "mine.ini", "C:\\cur\\mine.ini"},
        {"C:\\prog\\", true, "C:\\cur\\", "sub\\mine.ini", "C:\\cur\\sub\\mine.ini"},
        {"C:\\prog\\", true, "C:\\cur", "..\\mine.ini", "C:\\cur\\..\\mine.ini"},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "directory \"" << c.directory << "\", argument \""
                                        << c.firstArgument.value_or("(none)") << "\"");
        FakeProfileCalls calls;
        if (c.directoryExists) {
            calls.directories.insert(c.directory);
        }
        calls.currentDirectory = c.currentDirectory;
        calls.firstArgument = c.firstArgument;
        Settings settings(calls);
        settings.LoadSettings(c.directory);
        EXPECT_EQ(settings.SettingsPath, c.expected);
        EXPECT_EQ(calls.Stored(c.expected), "0");
        EXPECT_EQ(calls.files.size(), 1u);
    }
}

TEST(Settings, FirstStartCreatesTheFileWithLanguageZero) {
    FakeProfileCalls calls;
    calls.directories.insert("C:\\prog\\");
    Settings settings(calls);
    settings.LoadSettings("C:\\prog\\");
    EXPECT_EQ(settings.Language, 0);
    ASSERT_EQ(calls.files.size(), 1u);
    EXPECT_EQ(calls.files["C:\\prog\\QX2205R.ini"],
              (FakeProfileCalls::Keys{{{"Parameters", "Language"}, "0"}}));
}

struct StoredCase {
    std::optional<std::string> stored;  // none: the file has the section without the key
    std::int32_t language;
    std::string savedBack;
};

TEST(Settings, ReadsAnExistingFileAndSavesTheLanguageBackInDecimal) {
    const std::string path = "C:\\prog\\QX2205R.ini";
    const std::vector<StoredCase> cases = {
        {"1", 1, "1"},
        {"0x1", 1, "1"},
        {"$10", 16, "16"},
        {"0", 0, "0"},
        {"-7", -7, "-7"},
        {"abc", 0, "0"},
        {"", 0, "0"},
        {std::nullopt, 0, "0"},
        // Only the first 2047 characters are read.
        {std::string(2046, '0') + "1", 1, "1"},
        {std::string(2047, '0') + "1", 0, "0"},
    };
    for (const StoredCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "stored \"" << c.stored.value_or("(no key)").substr(0, 24) << "\"");
        FakeProfileCalls calls;
        calls.directories.insert("C:\\prog\\");
        calls.files[path][{"Other", "Key"}] = "kept";
        calls.files[path][{"Parameters", c.stored ? "Language" : "Other"}] = c.stored.value_or("kept");
        Settings settings(calls);
        settings.LoadSettings("C:\\prog\\");
        EXPECT_EQ(settings.Language, c.language);
        EXPECT_EQ(calls.writeCount, 0);  // an existing file is only read at start

        settings.SaveSettings("C:\\prog\\");
        EXPECT_EQ(calls.Stored(path), c.savedBack);
        EXPECT_EQ((calls.files[path][{"Other", "Key"}]), "kept");
    }
}

TEST(Settings, PortIsReadWithTheLanguageAndNeverWrittenBack) {
    const std::string path = "C:\\prog\\QX2205R.ini";
    for (const std::string stored : {"COM5", "com12", "not a port", ""}) {
        FakeProfileCalls calls;
        calls.directories.insert("C:\\prog\\");
        calls.files[path][{"Parameters", "Language"}] = "1";
        calls.files[path][{"Parameters", "Port"}] = stored;
        Settings settings(calls);
        settings.LoadSettings("C:\\prog\\");
        EXPECT_EQ(settings.Port, stored);
        EXPECT_EQ(settings.Language, 1);
        settings.Language = 0;
        settings.SaveSettings("C:\\prog\\");
        EXPECT_EQ((calls.files[path][{"Parameters", "Port"}]), stored) << "the key is kept as it was";
        EXPECT_EQ((calls.files[path][{"Parameters", "Language"}]), "0");

        Settings readOnly(calls);
        ASSERT_EQ(readOnly.ReadSettingsOnly("C:\\prog\\", std::nullopt), Settings::ReadOnlyLoad::Read);
        EXPECT_EQ(readOnly.Port, stored);
    }
}

TEST(Settings, StorePortWritesThatKeyAloneAndOnlyIntoAFileOfOurs) {
    const std::string path = "C:\\prog\\QX2205R.ini";
    using Result = Settings::PortStore;
    const struct {
        const char* name;
        std::optional<FakeProfileCalls::Keys> file;  // nothing: no file
        std::optional<std::string> port;             // nothing: remove the key
        Result result;
        std::optional<FakeProfileCalls::Keys> after;  // nothing: as it was
    } cases[] = {
        {"ours", FakeProfileCalls::Keys{{{"Parameters", "Language"}, "$1"}}, "COM7", Result::Stored,
         FakeProfileCalls::Keys{{{"Parameters", "Language"}, "$1"}, {{"Parameters", "Port"}, "COM7"}}},
        {"ours, the key removed",
         FakeProfileCalls::Keys{{{"Parameters", "Language"}, "1"}, {{"Parameters", "Port"}, "COM7"}},
         std::nullopt, Result::Stored, FakeProfileCalls::Keys{{{"Parameters", "Language"}, "1"}}},
        {"empty", FakeProfileCalls::Keys{}, "COM2", Result::Stored,
         FakeProfileCalls::Keys{{{"Parameters", "Port"}, "COM2"}}},
        {"missing: made as the window makes it", std::nullopt, "COM3", Result::Stored,
         FakeProfileCalls::Keys{{{"Parameters", "Language"}, "0"}, {{"Parameters", "Port"}, "COM3"}}},
        {"missing, removing: nothing to make", std::nullopt, std::nullopt, Result::Stored, std::nullopt},
        {"a letter", FakeProfileCalls::Keys{{{"Dear", "Sir"}, "x"}}, "COM5", Result::NotOurs, std::nullopt},
        {"a near miss", FakeProfileCalls::Keys{{{"Parameter", "Port"}, "COM4"}}, "COM5", Result::NotOurs,
         std::nullopt},
        {"a near miss, removing", FakeProfileCalls::Keys{{{"Parameter", "Port"}, "COM4"}}, std::nullopt,
         Result::NotOurs, std::nullopt},
    };
    for (const auto& c : cases) {
        FakeProfileCalls calls;
        calls.directories.insert("C:\\prog\\");
        if (c.file) {
            calls.files[path] = *c.file;
        }
        Settings settings(calls);
        EXPECT_EQ(settings.StorePort("C:\\prog\\", std::nullopt, c.port), c.result) << c.name;
        if (c.after) {
            EXPECT_EQ(calls.files[path], *c.after) << c.name;
        } else {
            EXPECT_EQ(calls.writeCount, 0) << c.name;
            if (c.file) {
                EXPECT_EQ(calls.files[path], *c.file) << c.name;
            } else {
                EXPECT_EQ(calls.files.count(path), 0u) << c.name << ": no file was made";
            }
        }
    }
    FakeProfileCalls calls;
    calls.files["D:\\other.ini"] = {};
    calls.unwritable.insert("D:\\other.ini");
    Settings settings(calls);
    EXPECT_EQ(settings.StorePort("C:\\prog\\", "D:\\other.ini", "COM8"), Settings::PortStore::WriteFailed);
}

// A section a slip away from Parameters is told apart from a file that is simply not ours.
TEST(Settings, ASectionNameASlipAwayIsANearMiss) {
    const struct {
        const char* section;
        bool nearMiss;
    } cases[] = {
        {"Parameter", true},   {"Paramters", true}, {"Param eters", true}, {"PARAMETRS", true},
        {"Parameters", false}, {"Settings", false}, {"Params", false},     {"", false},
    };
    for (const auto& c : cases) {
        FakeProfileCalls calls;
        calls.files["C:\\a.ini"][{c.section, "Language"}] = "1";
        Settings settings(calls);
        settings.ReadSettingsOnly("", "C:\\a.ini");
        EXPECT_EQ(settings.SectionNearMiss, c.nearMiss) << c.section;
        EXPECT_EQ(settings.Language, c.nearMiss || std::string(c.section) != "Parameters" ? 0 : 1)
            << c.section;
    }
}

// use-port writes only a file of the program's own, as the window's close does: any other file given with
// --settings (a letter, a copy of a program) is left as it was, and so is one another program holds.
TEST(Settings, StorePortWritesOnlyAFileOfOurs) {
    const std::string path = "D:\\given.ini";
    const struct {
        const char* name;
        std::optional<FakeProfileCalls::Keys> file;  // nothing: no file there
        bool held;
        Settings::PortStore result;
    } cases[] = {
        {"no file yet", std::nullopt, false, Settings::PortStore::Stored},
        {"an empty file", FakeProfileCalls::Keys{}, false, Settings::PortStore::Stored},
        {"the section in another case", FakeProfileCalls::Keys{{{"PARAMETERS", "Language"}, "1"}}, false,
         Settings::PortStore::Stored},
        {"a file without the section", FakeProfileCalls::Keys{{{"Letter", "Body"}, "Dear"}}, false,
         Settings::PortStore::NotOurs},
        {"a settings file held by another program", FakeProfileCalls::Keys{{{"Parameters", "Language"}, "1"}},
         true, Settings::PortStore::WriteFailed},
    };
    for (const auto& c : cases) {
        FakeProfileCalls calls;
        if (c.file) {
            calls.files[path] = *c.file;
        }
        if (c.held) {
            calls.unreadable.insert(path);
        }
        Settings settings(calls);
        EXPECT_EQ(settings.StorePort("C:\\prog\\", path, "COM7"), c.result) << c.name;
        // A missing file is made as the window makes it: the Language first, then the Port.
        EXPECT_EQ(calls.writeCount, c.result == Settings::PortStore::Stored ? (c.file ? 1 : 2) : 0) << c.name;
        if (c.result != Settings::PortStore::Stored && c.file) {
            EXPECT_EQ(calls.files[path], *c.file) << c.name << ": the file is left as it was";
        }
    }
}

TEST(Settings, AFileThatCouldNotBeReadAtStartIsNotWrittenAtClose) {
    const std::string path = "C:\\prog\\QX2205R.ini";
    FakeProfileCalls calls;
    calls.directories.insert("C:\\prog\\");
    calls.files[path][{"Parameters", "Language"}] = "1";
    calls.unreadable.insert(path);
    Settings settings(calls);
    settings.LoadSettings("C:\\prog\\");
    EXPECT_EQ(settings.Language, 0) << "the language could not be learned";
    EXPECT_EQ(settings.SettingsPath, path);
    calls.unreadable.clear();  // the other program has let go by the time the window closes
    settings.SaveSettings("C:\\prog\\");
    EXPECT_EQ(calls.writeCount, 0);
    EXPECT_EQ(calls.Stored(path), "1");

    // Read at a later start, the same file is written back as usual.
    Settings later(calls);
    later.LoadSettings("C:\\prog\\");
    EXPECT_EQ(later.Language, 1);
    later.SaveSettings("C:\\prog\\");
    EXPECT_EQ(calls.writeCount, 1);
}

struct OwnerCase {
    const char* name;
    FakeProfileCalls::Keys keys;  // the file as found; no keys: an empty file
    bool written;                 // written back at close
};

// Only a file of the program's own is written back: an empty one, or one with the section in any letter case.
// Anything else may be a user's document given by mistake, and is left alone.
TEST(Settings, OnlyAFileOfTheProgramsOwnIsWrittenBack) {
    const std::string path = "C:\\prog\\QX2205R.ini";
    const std::vector<OwnerCase> cases = {
        {"empty", {}, true},
        {"the section with the key", {{{"Parameters", "Language"}, "1"}}, true},
        {"the section in other letters", {{{"PARAMETERS", "Other"}, "x"}}, true},
        {"other sections only", {{{"Other", "Key"}, "kept"}}, false},
    };
    for (const OwnerCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeProfileCalls calls;
        calls.directories.insert("C:\\prog\\");
        calls.files[path] = c.keys;
        Settings settings(calls);
        settings.LoadSettings("C:\\prog\\");
        settings.SaveSettings("C:\\prog\\");
        EXPECT_EQ(calls.writeCount, c.written ? 1 : 0);
        if (!c.written) {
            EXPECT_EQ(calls.files[path], c.keys);
            EXPECT_EQ(settings.Language, 0);
        }
    }
}

TEST(Settings, SaveWithoutLoadResolvesThePathFirst) {
    FakeProfileCalls calls;
    calls.directories.insert("C:\\prog\\");
    Settings settings(calls);
    settings.SaveSettings("C:\\prog\\");
    EXPECT_EQ(settings.SettingsPath, "C:\\prog\\QX2205R.ini");
    EXPECT_EQ(calls.Stored("C:\\prog\\QX2205R.ini"), "0");
}

TEST(Settings, ARefusedWriteLeavesLoadButNotSave) {
    FakeProfileCalls calls;
    calls.firstArgument.emplace("D:\\missing\\QX2205R.ini");
    calls.unwritable.insert("D:\\missing\\QX2205R.ini");
    Settings settings(calls);
    try {
        settings.LoadSettings("C:\\prog\\");
        ADD_FAILURE() << "LoadSettings raised nothing";
    } catch (const SettingsError& error) {
        EXPECT_STREQ(error.what(), "Unable to write to D:\\missing\\QX2205R.ini");
    }
    EXPECT_EQ(settings.SettingsPath, "D:\\missing\\QX2205R.ini");

    EXPECT_NO_THROW(settings.SaveSettings("C:\\prog\\"));
    EXPECT_EQ(calls.writeCount, 2);
    EXPECT_TRUE(calls.files.empty());

    calls.writeThrows = true;
    EXPECT_NO_THROW(settings.SaveSettings("C:\\prog\\"));
    EXPECT_EQ(calls.writeCount, 3);
}

}  // namespace
}  // namespace qx
