// The settings file's platform calls on Windows: the private-profile functions on real files, the file and
// folder tests, the current folder and the command line, all through the UTF-16 (W) functions.
#pragma once

#include <optional>
#include <string>

#include "app/profile_calls.h"

namespace qx {

class PrivateProfileCalls final : public ProfileCalls {
  public:
    // Takes the first argument from the process's own command line.
    PrivateProfileCalls();
    // Takes it from `commandLine`, split by the platform's rules, as if the process had been started with it.
    explicit PrivateProfileCalls(std::wstring commandLine);

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
    std::optional<std::string> FirstArgument() override;

  private:
    std::wstring commandLine_;
};

}  // namespace qx
