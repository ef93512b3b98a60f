// In-memory settings files read and written the way the platform's private-profile functions treat an INI
// text: a byte-order mark is skipped, lines end in LF or CRLF, blanks around names and values do not count,
// section and key names match whatever their case, the first match wins, a value in matching quotes loses
// them, and a write replaces one key's line or adds it, leaving every other line as it was.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/profile_calls.h"

namespace qx::fuzz {

class IniProfileCalls : public ProfileCalls {
  public:
    std::map<std::string, std::string> files;  // path -> the file's bytes
    std::set<std::string> directories;
    std::set<std::string> readOnly;  // files (existing or not) whose writes the platform refuses
    std::string currentDirectory = "C:\\work";
    std::optional<std::string> firstArgument;
    int writes = 0;

    std::string ReadString(const std::string& path, const std::string& section, const std::string& key,
                           std::size_t maxChars) override;
    bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool DeleteKey(const std::string& path, const std::string& section, const std::string& key) override;
    bool FileExists(const std::string& path) override { return files.count(path) != 0; }
    std::optional<ProfileFileRead> ReadHeld(const std::string& path, const std::string& section,
                                            const std::string& key, std::size_t maxChars) override;
    // Whether the file holds a section of that name, in any letter case.
    bool HasSection(const std::string& path, const std::string& section) const;
    bool DirectoryExists(const std::string& path) override { return directories.count(path) != 0; }
    std::string CurrentDirectory() override { return currentDirectory; }
    std::optional<std::string> FirstArgument() override { return firstArgument; }
};

}  // namespace qx::fuzz
