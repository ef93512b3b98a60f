// The platform calls the settings file code makes, as one seam: the private-profile (INI) reads and writes,
// the file and folder tests, the current folder and the command line. The Windows binding and the tests'
// in-memory files implement it; the settings code makes every decision. All strings are UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// The most a settings file may hold to be read. The program's own file is a few hundred bytes; with every key
// at PROFILE_READ_LIMIT characters it is about 6 KB, and the 8-bit profile functions the file format comes
// from stopped at 64 KB. A larger file, or one that never ends (/dev/zero), is nobody's settings file: it is
// refused with a reason rather than read into memory.
inline constexpr std::size_t PROFILE_FILE_LIMIT = 64 * 1024;

// What ReadHeld learned of a file.
struct ProfileFileRead {
    bool empty = false;       // the file holds no bytes at all
    bool hasSection = false;  // the profile functions find the section in it, its name in any letter case
    std::string value;        // the key's text, as ReadString gives it
    std::vector<std::string> sections;  // the names of the sections the profile functions find, as written
    // Set when the file was not read for what it is; the rest then says nothing.
    enum class Refusal { None, NotAFile, TooLarge };
    Refusal refused = Refusal::None;
};

class ProfileCalls {
  public:
    virtual ~ProfileCalls() = default;

    // GetPrivateProfileString with an empty default: the key's text, cut to at most `maxChars` characters;
    // empty when the file, the section or the key is missing or the file cannot be read.
    virtual std::string ReadString(const std::string& path, const std::string& section,
                                   const std::string& key, std::size_t maxChars) = 0;
    // WritePrivateProfileString: adds or replaces the key, creating the file and the section when missing and
    // leaving the rest of the file as it was. False when the platform refuses the write; the file is then
    // as it was before, whole.
    virtual bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                             const std::string& value) = 0;
    // WritePrivateProfileString without a value: removes the key, leaving the rest of the file as it was.
    // False when the platform refuses the write.
    virtual bool DeleteKey(const std::string& path, const std::string& section, const std::string& key) = 0;
    // True for an existing file that is not a folder.
    virtual bool FileExists(const std::string& path) = 0;
    // What the settings code reads of an existing file, in one step: the file is opened for reading and held
    // open while the profile functions read it (others may still read and write it, but none can take it for
    // itself in between), so the file that could be opened is the file that was read. Nothing when it cannot
    // be opened for reading now: another program holds it without sharing, and the profile read could not
    // tell that from an empty file. A file that is not a regular one, or holds more than PROFILE_FILE_LIMIT
    // bytes, is not read and never waited for: `refused` says which.
    virtual std::optional<ProfileFileRead> ReadHeld(const std::string& path, const std::string& section,
                                                    const std::string& key, std::size_t maxChars) = 0;
    // True for an existing folder.
    virtual bool DirectoryExists(const std::string& path) = 0;
    // The process's current folder, as the platform gives it (no trailing separator except at a drive's
    // root).
    virtual std::string CurrentDirectory() = 0;
    // The first command-line argument after the program's name, if there is one.
    virtual std::optional<std::string> FirstArgument() = 0;
    // What separates a folder from a name in the platform's paths: '\\' on Windows (which has drives, so a
    // path is relative unless it names a drive or a root), '/' on POSIX (where only a leading '/' makes it
    // absolute).
    virtual char PathSeparator() const { return '\\'; }
};

}  // namespace qx
