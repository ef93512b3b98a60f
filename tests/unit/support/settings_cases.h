// The settings files as users and other programs leave them, as one table that every binding of the profile
// calls runs on real files (Windows' private-profile functions under Wine, the INI binding natively):
// overlong values, binary bytes, either line end, byte-order marks, repeated keys, letter case, files that
// are not settings files. Loading never fails on what a file holds, saving writes the language in decimal,
// and a file that is not the program's is left byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/profile_calls.h"
#include "app/settings.h"

namespace qxtest {

inline std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

inline std::string Binary() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes += static_cast<char>(b);
    }
    return bytes;
}

// Bytes as random as a compressed file's, the same in every run; no line of them names a section.
inline std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    std::uint32_t state = 0x2205;
    for (char& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<char>(state >> 24);
    }
    return bytes;
}

inline const std::string OTHER = "[Other]\r\nKept=yes\r\n";

struct StoredCase {
    const char* name;
    std::string file;                  // the file as the program finds it
    std::int32_t language;             // what loading gives
    std::optional<std::string> saved;  // the file after saving, where the platform keeps its form exactly
    bool otherKept = true;             // the [Other] section still reads as it did (false: it has none)
    bool ours = true;                  // the program's own file, written back at close; else left as it was
};

inline std::vector<StoredCase> StoredCases() {
    using namespace std::string_literals;
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

// What the table needs of a binding: a fresh folder for each case (the platform may cache a profile file it
// has just read or written), the binding's calls as a program started with or without a first argument, and
// whole-file reads and writes.
struct ProfileBinding {
    struct Folder {
        std::string directory;       // as the program's folder is given to the settings
        std::string settingsFile;    // the settings file's path in it, for the program's own name
        std::string namedFile;       // another file in it, for a first argument to name
        std::shared_ptr<void> keep;  // the folder lives as long as this
    };
    std::function<Folder()> newFolder;
    std::function<std::unique_ptr<qx::ProfileCalls>(std::optional<std::string> firstArgument)> calls;
    std::function<std::string(const std::string& path)> readBytes;
    std::function<void(const std::string& path, const std::string& bytes)> writeBytes;
};

// Runs the table on the settings file in the program's folder, or on the file a first argument names.
inline void CheckStoredCases(const ProfileBinding& binding, bool byArgument) {
    for (const StoredCase& c : StoredCases()) {
        SCOPED_TRACE(c.name);
        const ProfileBinding::Folder program = binding.newFolder();
        const std::string path = byArgument ? program.namedFile : program.settingsFile;
        const std::optional<std::string> argument = byArgument ? std::optional(path) : std::nullopt;
        binding.writeBytes(path, c.file);
        const auto calls = binding.calls(argument);
        qx::Settings settings(*calls);
        settings.LoadSettings(program.directory);
        EXPECT_EQ(settings.SettingsPath, path);
        EXPECT_EQ(settings.Language, c.language);
        // Compared whole, not printed: a file may be a megabyte long.
        EXPECT_TRUE(binding.readBytes(path) == c.file) << "loading changed the file";

        settings.SaveSettings(program.directory);
        const auto reader = binding.calls(std::nullopt);
        const auto stored = [&](const char* section, const char* key) {
            return reader->ReadString(path, section, key, qx::PROFILE_READ_LIMIT);
        };
        if (!c.ours) {
            const std::string after = binding.readBytes(path);
            EXPECT_TRUE(after == c.file) << "a file that is not the program's was written: " << c.file.size()
                                         << " bytes became " << after.size();
        } else {
            EXPECT_EQ(stored("Parameters", "Language"), std::to_string(c.language));
        }
        if (c.saved) {
            EXPECT_EQ(binding.readBytes(path), *c.saved);
        }
        if (c.otherKept) {
            EXPECT_EQ(stored("Other", "Kept"), "yes");
        }
        const auto againCalls = binding.calls(argument);
        qx::Settings again(*againCalls);
        again.LoadSettings(program.directory);
        EXPECT_EQ(again.Language, c.language) << "the saved file loads differently";
    }
}

}  // namespace qxtest
