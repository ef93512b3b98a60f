// The settings file's platform calls on POSIX: a small reader and writer of INI files that behaves as
// Windows' private-profile functions do for everything the program reads and writes (section and key names in
// any letter case, the first of repeated keys, blanks around a value, a pair of quotes, a byte-order mark of
// UTF-8 or UTF-16, either line end, a value cut to the caller's room), and writes a key by changing its one
// line, or adding it, leaving every other byte of the file as it was. Paths use '/'.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/profile_calls.h"

namespace qx {

class IniProfileCalls final : public ProfileCalls {
  public:
    // `firstArgument`: what FirstArgument gives. `ownFolder`, when given, is the folder the program keeps
    // its settings in by convention ($XDG_CONFIG_HOME/qx2205r): it counts as there before it exists, and
    // the first write into it makes it (mode 0700 for the last part, as the convention asks).
    explicit IniProfileCalls(std::optional<std::string> firstArgument = std::nullopt,
                             std::string ownFolder = {});

    std::string ReadString(const std::string& path, const std::string& section, const std::string& key,
                           std::size_t maxChars) override;
    bool WriteString(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool DeleteKey(const std::string& path, const std::string& section, const std::string& key) override;
    bool FileExists(const std::string& path) override;
    std::optional<ProfileFileRead> ReadHeld(const std::string& path, const std::string& section,
                                            const std::string& key, std::size_t maxChars) override;
    bool DirectoryExists(const std::string& path) override;
    std::string CurrentDirectory() override;
    std::optional<std::string> FirstArgument() override { return firstArgument_; }
    char PathSeparator() const override { return '/'; }

  private:
    bool IsOwnFolder(const std::string& path) const;
    // Reads the file (the one a link names, so that the link stays) and puts what `change` makes of it in its
    // place whole, or leaves it as it was. `create`: a missing file (and the program's own folder) is made;
    // else a missing file is left missing.
    bool Rewrite(const std::string& path, bool create,
                 const std::function<std::string(const std::string&)>& change);

    std::optional<std::string> firstArgument_;
    std::string ownFolder_;
};

// The file's text as the profile functions see it, and the key's value in it; what ReadString gives for
// `bytes` (exposed for the fuzz target and the tests).
std::string ProfileValueIn(const std::string& bytes, const std::string& section, const std::string& key,
                           std::size_t maxChars);
// Whether `bytes` holds `section`, its name in any letter case.
bool ProfileHasSection(const std::string& bytes, const std::string& section);
// `bytes` with `key` in `section` set to `value`: the key's first line changed, or a line added at the end
// of the section, or the section added at the end of the file.
std::string ProfileWithValue(const std::string& bytes, const std::string& section, const std::string& key,
                             const std::string& value);
// `bytes` without the key's line in the section; as they were when there is no such key.
std::string ProfileWithoutKey(const std::string& bytes, const std::string& section, const std::string& key);

}  // namespace qx
