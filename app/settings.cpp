#include "app/settings.h"

#include "app/link_choice.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace qx {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Exactly one separator between the folder and the name, whatever the folder ends with.
std::string JoinPath(std::string_view directory, std::string_view name, char separator) {
    while (!directory.empty() && IsSeparator(directory.back())) {
        directory.remove_suffix(1);
    }
    std::string path(directory);
    path += separator;
    path += name;
    return path;
}

// A path that names neither a drive ("D:...") nor a root ("\..." or "\\server\...") would be looked up by the
// profile functions in the Windows folder, where a user never looks and usually cannot write; the user meant
// the folder they started the program from.
bool IsRelativeToCurrentFolder(std::string_view path, char separator) {
    if (separator == '/') {
        return path.empty() || path.front() != '/';
    }
    if (!path.empty() && IsSeparator(path.front())) {
        return false;
    }
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return !drive;
}

int DigitValue(char c, int base) {
    int value = base;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < base ? value : -1;
}

// A section name a slip away from the Parameters section: letters dropped, added or changed (two at most),
// letter case and blanks aside (the profile functions already take other letter case).
bool NearMiss(std::string_view name) {
    std::string plain;
    for (const char c : name) {
        if (c != ' ' && c != '\t') {
            plain += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
    }
    const std::string_view target = "parameters";
    std::vector<std::size_t> row(target.size() + 1);
    for (std::size_t j = 0; j <= target.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= plain.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= target.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (plain[i - 1] == target[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[target.size()] <= 2;
}

}  // namespace

SettingsError::SettingsError(const std::string& path) : std::runtime_error("Unable to write to " + path) {}

std::optional<std::int32_t> ParseProfileInteger(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // The magnitude never needs to exceed 2^31 (the most negative value), so it is checked after every digit
    // and cannot overflow however long the text is.
    constexpr std::int64_t MAGNITUDE_LIMIT =
        -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min());
    std::int64_t magnitude = 0;
    for (const char c : text) {
        const int digit = DigitValue(c, base);
        if (digit < 0) {
            return std::nullopt;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > MAGNITUDE_LIMIT) {
            return std::nullopt;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

void Settings::LoadSettings(const std::string& directory) {
    SettingsPath = ResolvePath(directory, calls_.FirstArgument());
    const FileFound found = Examine();
    ours_ = found.ours;
    SectionNearMiss = found.nearMiss;
    Refused = found.refused;
    if (!found.exists) {
        WriteLanguage();
    } else if (found.value) {
        Language = ParseProfileInteger(*found.value).value_or(0);
        ReadPort();
    }
}

Settings::ReadOnlyLoad Settings::ReadSettingsOnly(const std::string& directory,
                                                  const std::optional<std::string>& path) {
    SettingsPath = ResolvePath(directory, path);
    const FileFound found = Examine();
    SectionNearMiss = found.nearMiss;
    Refused = found.refused;
    if (!found.exists) {
        return ReadOnlyLoad::Missing;
    }
    if (!found.value) {
        return ReadOnlyLoad::Unreadable;
    }
    Language = ParseProfileInteger(*found.value).value_or(0);
    LanguageSet = !found.value->empty();
    ReadPort();
    return ReadOnlyLoad::Read;
}

void Settings::ReadPort() {
    Port = calls_.ReadString(SettingsPath, std::string(SETTINGS_SECTION), std::string(PORT_KEY),
                             PROFILE_READ_LIMIT);
    Adapter = calls_.ReadString(SettingsPath, std::string(SETTINGS_SECTION), std::string(ADAPTER_SETTING_KEY),
                                PROFILE_READ_LIMIT);
}

Settings::PortStore Settings::StorePort(const std::string& directory, const std::optional<std::string>& path,
                                        const std::optional<std::string>& port) {
    SettingsPath = ResolvePath(directory, path);
    const FileFound found = Examine();
    Refused = found.refused;
    if (found.exists && !found.value) {
        return PortStore::WriteFailed;  // held by another program: nothing can be said of it now
    }
    if (!found.ours) {
        return PortStore::NotOurs;
    }
    if (!found.exists && !port) {
        Port.clear();  // no file: no Port to take away, and nothing to make for it
        return PortStore::Stored;
    }
    if (!found.exists) {
        try {
            WriteLanguage();
        } catch (const SettingsError&) {
            return PortStore::WriteFailed;
        }
    }
    const std::string section(SETTINGS_SECTION);
    const std::string key(PORT_KEY);
    if (!(port ? calls_.WriteString(SettingsPath, section, key, *port)
               : calls_.DeleteKey(SettingsPath, section, key))) {
        return PortStore::WriteFailed;
    }
    Port = port.value_or("");
    return PortStore::Stored;
}

void Settings::SaveSettings(const std::string& directory) noexcept {
    try {
        if (SettingsPath.empty()) {
            SettingsPath = ResolvePath(directory, calls_.FirstArgument());
            ours_ = Examine().ours;
        }
        if (ours_) {
            WriteLanguage();
        }
    } catch (...) {
        // Dropped on purpose: this runs while the window closes, and nothing may stop it closing.
    }
}

Settings::FileFound Settings::Examine() {
    if (!calls_.FileExists(SettingsPath)) {
        return {.exists = false, .ours = true, .value = std::nullopt};
    }
    const std::optional<ProfileFileRead> read = calls_.ReadHeld(
        SettingsPath, std::string(SETTINGS_SECTION), std::string(LANGUAGE_KEY), PROFILE_READ_LIMIT);
    if (!read) {
        return {.exists = true, .ours = false, .value = std::nullopt};
    }
    if (read->refused != ProfileFileRead::Refusal::None) {
        return {.exists = true, .ours = false, .value = std::nullopt, .refused = read->refused};
    }
    const bool nearMiss =
        !read->hasSection && std::any_of(read->sections.begin(), read->sections.end(),
                                         [](const std::string& name) { return NearMiss(name); });
    return {
        .exists = true, .ours = read->empty || read->hasSection, .value = read->value, .nearMiss = nearMiss};
}

std::string Settings::ResolvePath(const std::string& directory, const std::optional<std::string>& argument) {
    if (argument) {
        const char separator = calls_.PathSeparator();
        return IsRelativeToCurrentFolder(*argument, separator)
                   ? JoinPath(calls_.CurrentDirectory(), *argument, separator)
                   : *argument;
    }
    const bool useGiven = !directory.empty() && calls_.DirectoryExists(directory);
    return JoinPath(useGiven ? directory : calls_.CurrentDirectory(), SETTINGS_FILE_NAME,
                    calls_.PathSeparator());
}

void Settings::WriteLanguage() {
    if (!calls_.WriteString(SettingsPath, std::string(SETTINGS_SECTION), std::string(LANGUAGE_KEY),
                            std::to_string(Language))) {
        throw SettingsError(SettingsPath);
    }
}

}  // namespace qx
