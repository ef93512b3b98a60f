#include "support/ini_profile_calls.h"

#include <algorithm>
#include <vector>

namespace qx::fuzz {

namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
constexpr std::string_view BLANKS = " \t\r";

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

// One line of the file: where it starts and ends in the text (the end excludes the line break).
struct Line {
    std::size_t begin;
    std::size_t end;
};

std::vector<Line> Lines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t begin = text.starts_with(UTF8_BOM) ? UTF8_BOM.size() : 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        end = end == std::string_view::npos ? text.size() : end;
        lines.push_back({begin, end});
        begin = next;
    }
    return lines;
}

std::optional<std::string_view> SectionName(std::string_view line) {
    line = Trim(line);
    if (!line.starts_with('[')) {
        return std::nullopt;
    }
    const std::size_t close = line.rfind(']');
    return Trim(
        line.substr(1, close == std::string_view::npos || close == 0 ? std::string_view::npos : close - 1));
}

// The key of a "key=value" line; comment lines and lines without "=" have none.
std::optional<std::string_view> KeyName(std::string_view line) {
    line = Trim(line);
    const std::size_t equals = line.find('=');
    if (line.empty() || line.front() == ';' || equals == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(line.substr(0, equals));
}

// The line that holds `key` in the first section named `section`; `sectionEnd` is where that section's last
// non-empty line ends (for adding the key), npos when there is no such section.
struct Found {
    std::optional<Line> key;
    std::size_t sectionEnd = std::string_view::npos;
};

Found Find(std::string_view text, std::string_view section, std::string_view key) {
    const auto endOf = [&](const Line& line) {
        return line.end > line.begin && text[line.end - 1] == '\r' ? line.end - 1 : line.end;
    };
    Found found;
    bool inside = false;
    bool seen = false;
    for (const Line& line : Lines(text)) {
        const std::string_view content = text.substr(line.begin, line.end - line.begin);
        if (const auto name = SectionName(content)) {
            if (inside) {
                break;
            }
            inside = !seen && SameName(*name, section);
            seen = seen || inside;
            if (inside) {
                found.sectionEnd = endOf(line);
            }
            continue;
        }
        if (!inside) {
            continue;
        }
        if (!Trim(content).empty()) {
            found.sectionEnd = endOf(line);
        }
        if (const auto name = KeyName(content); name && SameName(*name, key)) {
            found.key = line;
            break;
        }
    }
    return found;
}

}  // namespace

std::string IniProfileCalls::ReadString(const std::string& path, const std::string& section,
                                        const std::string& key, std::size_t maxChars) {
    const auto file = files.find(path);
    if (file == files.end()) {
        return {};
    }
    const std::string_view text = file->second;
    const Found found = Find(text, section, key);
    if (!found.key) {
        return {};
    }
    const std::string_view line = text.substr(found.key->begin, found.key->end - found.key->begin);
    std::string_view value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    // The platform hands the value over as a C string.
    value = value.substr(0, value.find('\0'));
    return std::string(value.substr(0, maxChars));
}

std::optional<ProfileFileRead> IniProfileCalls::ReadHeld(const std::string& path, const std::string& section,
                                                         const std::string& key, std::size_t maxChars) {
    const auto file = files.find(path);
    if (file == files.end()) {
        return std::nullopt;
    }
    ProfileFileRead read{.empty = file->second.empty(),
                         .hasSection = HasSection(path, section),
                         .value = ReadString(path, section, key, maxChars),
                         .sections = {}};
    const std::string_view text = file->second;
    for (const Line& line : Lines(text)) {
        if (const auto name = SectionName(text.substr(line.begin, line.end - line.begin))) {
            read.sections.emplace_back(*name);
        }
    }
    return read;
}

bool IniProfileCalls::DeleteKey(const std::string& path, const std::string& section, const std::string& key) {
    ++writes;
    if (readOnly.count(path) != 0 || directories.count(path) != 0) {
        return false;
    }
    std::string& text = files[path];
    const Found found = Find(text, section, key);
    if (found.key) {
        std::size_t end = found.key->end;
        if (end < text.size() && text[end] == '\n') {
            ++end;
        }
        text.erase(found.key->begin, end - found.key->begin);
    }
    return true;
}

bool IniProfileCalls::HasSection(const std::string& path, const std::string& section) const {
    const auto file = files.find(path);
    if (file == files.end()) {
        return false;
    }
    const std::string_view text = file->second;
    for (const Line& line : Lines(text)) {
        const auto name = SectionName(text.substr(line.begin, line.end - line.begin));
        if (name && SameName(*name, section)) {
            return true;
        }
    }
    return false;
}

bool IniProfileCalls::WriteString(const std::string& path, const std::string& section, const std::string& key,
                                  const std::string& value) {
    ++writes;
    if (readOnly.count(path) != 0 || directories.count(path) != 0) {
        return false;
    }
    std::string& text = files[path];
    const std::string assignment = key + "=" + value;
    const Found found = Find(text, section, key);
    if (found.key) {
        // Keep the line's own CR, if it had one.
        std::size_t end = found.key->end;
        if (end > found.key->begin && text[end - 1] == '\r') {
            --end;
        }
        text.replace(found.key->begin, end - found.key->begin, assignment);
    } else if (found.sectionEnd != std::string_view::npos) {
        text.insert(found.sectionEnd, "\r\n" + assignment);
    } else {
        if (!text.empty() && text.back() != '\n') {
            text += "\r\n";
        }
        text += "[" + section + "]\r\n" + assignment + "\r\n";
    }
    return true;
}

}  // namespace qx::fuzz
