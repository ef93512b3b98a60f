#include "posix/ini_profile_calls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <utility>
#include <vector>

namespace qx {
namespace {

constexpr std::string_view UTF8_MARK = "\xEF\xBB\xBF";
constexpr std::string_view UTF16_MARK = "\xFF\xFE";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Names match in any letter case, as the profile functions match them; only ASCII letters fold, so a
// name in another script matches as written.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

// The text between a byte-order mark and the file's encoding: UTF-16 (little-endian, with its mark) is
// turned into UTF-8 to be read and back to write; UTF-8 and 8-bit text are read as they are.
struct ProfileText {
    std::string mark;
    bool utf16 = false;
    std::string text;
};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string FromUtf16(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const char32_t low =
                static_cast<unsigned char>(bytes[i + 2]) | static_cast<unsigned char>(bytes[i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, unit);
    }
    return out;
}

std::string ToUtf16(std::string_view text) {
    std::string out;
    const auto unit = [&out](char32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? b : b & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + static_cast<std::size_t>(k) < text.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3F);
        }
        i += static_cast<std::size_t>(length);
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

ProfileText Decode(const std::string& bytes) {
    const std::string_view view(bytes);
    if (view.starts_with(UTF16_MARK)) {
        return {std::string(UTF16_MARK), true, FromUtf16(view.substr(UTF16_MARK.size()))};
    }
    if (view.starts_with(UTF8_MARK)) {
        return {std::string(UTF8_MARK), false, std::string(view.substr(UTF8_MARK.size()))};
    }
    return {{}, false, bytes};
}

std::string Encode(const ProfileText& text) {
    return text.mark + (text.utf16 ? ToUtf16(text.text) : text.text);
}

// One line of the file: where it starts and ends (before its line end) in the text.
struct Line {
    std::size_t begin;
    std::size_t end;
};

// Lines end at CR, LF or CR LF.
std::vector<Line> Lines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        lines.push_back({at, end});
        at = end;
        if (at < text.size() && text[at] == '\r') {
            ++at;
        }
        if (at < text.size() && text[at] == '\n') {
            ++at;
        }
    }
    return lines;
}

// The section a line opens ("[name]", blanks allowed around it), if it opens one.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trimmed(line);
    if (line.empty() || line.front() != '[') {
        return std::nullopt;
    }
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trimmed(line.substr(1, close - 1));
}

// Where in the text the section and its key stand: the line after the section's last line that has anything
// on it, and the key's first line.
struct Place {
    bool section = false;
    std::size_t sectionEnd = 0;  // where a new key line goes: after the section's last non-empty line
    std::optional<Line> key;
    std::size_t valueBegin = 0;
};

Place Find(std::string_view text, std::string_view section, std::string_view key) {
    Place place;
    bool inside = false;
    bool done = false;
    for (const Line& line : Lines(text)) {
        const std::string_view content = text.substr(line.begin, line.end - line.begin);
        if (const auto name = SectionOf(content)) {
            if (inside) {
                done = true;  // the first section of the name counts
            }
            inside = !done && !place.section && SameName(*name, section);
            if (inside) {
                place.section = true;
                place.sectionEnd = line.end;
            }
            continue;
        }
        if (!inside) {
            continue;
        }
        if (!Trimmed(content).empty()) {
            place.sectionEnd = line.end;
        }
        const std::size_t equals = content.find('=');
        if (!place.key && equals != std::string_view::npos &&
            SameName(Trimmed(content.substr(0, equals)), key)) {
            place.key = line;
            place.valueBegin = line.begin + equals + 1;
        }
    }
    return place;
}

std::string_view LineEndAfter(std::string_view text, std::size_t at) {
    if (text.substr(at).starts_with("\r\n")) {
        return "\r\n";
    }
    if (at < text.size()) {
        return text.substr(at, 1);
    }
    return {};
}

// A settings file as read: never more than PROFILE_FILE_LIMIT bytes, never anything but a regular file, and
// never a wait (a fifo, a device).
struct FileBytes {
    enum class Got { Bytes, Missing, Failed, NotAFile, TooLarge };
    Got got = Got::Failed;
    std::string bytes;
    struct stat info {};
};

FileBytes ReadSettingsFile(const std::string& path) {
    FileBytes file;
    // Looked at before it is opened: opening a serial device named by mistake would already change its lines.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        file.got = errno == ENOENT ? FileBytes::Got::Missing : FileBytes::Got::Failed;
        return file;
    }
    if (!S_ISREG(info.st_mode)) {
        file.got = FileBytes::Got::NotAFile;
        return file;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        file.got = errno == ENOENT ? FileBytes::Got::Missing : FileBytes::Got::Failed;
        return file;
    }
    // And again once open: the name may have been given to something else in between.
    if (::fstat(fd, &file.info) != 0) {
        file.got = FileBytes::Got::Failed;
    } else if (!S_ISREG(file.info.st_mode)) {
        file.got = FileBytes::Got::NotAFile;
    } else if (file.info.st_size > static_cast<off_t>(PROFILE_FILE_LIMIT)) {
        file.got = FileBytes::Got::TooLarge;
    } else {
        file.got = FileBytes::Got::Bytes;
        // One byte past the limit tells a file that grew while it was read.
        std::string bytes(PROFILE_FILE_LIMIT + 1, '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                file.got = FileBytes::Got::Failed;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        file.bytes = std::move(bytes);
        if (got > PROFILE_FILE_LIMIT) {
            file.got = FileBytes::Got::TooLarge;
            file.bytes.clear();
        }
    }
    ::close(fd);
    return file;
}

bool WriteWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes `folder` and every missing folder above it, the last with `mode`.
bool MakeFolders(const std::string& folder, mode_t mode) {
    if (folder.empty() || IsDirectory(folder)) {
        return true;
    }
    const std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash), 0755)) {
        return false;
    }
    return ::mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The file a write goes to: the path, or the file a link there names, through every link, so that a link
// to the user's own file stays a link.
std::string LinkedFile(std::string path) {
    constexpr int MOST_LINKS = 40;  // as the kernel follows at most 40
    for (int hop = 0; hop < MOST_LINKS; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            break;
        }
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            break;
        }
        const std::string named(target.data(), static_cast<std::size_t>(length));
        const std::size_t slash = path.find_last_of('/');
        path = named.front() == '/' || slash == std::string::npos ? named : path.substr(0, slash + 1) + named;
    }
    return path;
}

// Puts `bytes` at `path` whole or not at all: they go to a new file beside it, which takes the path's place
// only once every byte is on the disk; a full disk or any other failure leaves the old file as it was. The
// new file gets the old one's mode and owner (`old`), or the usual mode less the umask.
bool ReplaceWhole(const std::string& path, std::string_view bytes, const struct stat* old) {
    std::string part;
    int fd = -1;
    constexpr int MOST_NAMES = 100;
    for (int attempt = 0; attempt < MOST_NAMES && fd < 0; ++attempt) {
        part = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, old ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    bool written = true;
    if (old) {
        // Only root can give a file to another owner; anyone else writes their own file, which stays theirs.
        if (::fchown(fd, old->st_uid, old->st_gid) != 0 && errno != EPERM) {
            written = false;
        }
        written = written && ::fchmod(fd, old->st_mode & 07777) == 0;
    }
    written = written && WriteWhole(fd, bytes) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    written = written && ::rename(part.c_str(), path.c_str()) == 0;
    if (!written) {
        ::unlink(part.c_str());
        return false;
    }
    // The rename itself on the disk too; a folder that cannot be synced changes nothing that was written.
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::string ProfileValueIn(const std::string& bytes, const std::string& section, const std::string& key,
                           std::size_t maxChars) {
    const ProfileText decoded = Decode(bytes);
    const std::string_view text(decoded.text);
    const Place place = Find(text, section, key);
    if (!place.key) {
        return {};
    }
    std::string_view value = text.substr(place.valueBegin, place.key->end - place.valueBegin);
    // The profile functions hand over a C string: a NUL ends the value.
    value = value.substr(0, value.find('\0'));
    value = Trimmed(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    // Cut to the caller's room in characters, never inside a UTF-8 character; a byte that starts no
    // character of UTF-8 counts as one, so the room holds whatever the bytes are.
    std::size_t cut = 0;
    for (std::size_t chars = 0; cut < value.size() && chars < maxChars; ++chars) {
        const auto lead = static_cast<unsigned char>(value[cut]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        ++cut;
        for (std::size_t k = 1;
             k < length && cut < value.size() && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80;
             ++k) {
            ++cut;
        }
    }
    return std::string(value.substr(0, cut));
}

bool ProfileHasSection(const std::string& bytes, const std::string& section) {
    return Find(Decode(bytes).text, section, {}).section;
}

std::string ProfileWithValue(const std::string& bytes, const std::string& section, const std::string& key,
                             const std::string& value) {
    ProfileText decoded = Decode(bytes);
    std::string& text = decoded.text;
    const Place place = Find(text, section, key);
    if (place.key) {
        text.replace(place.valueBegin, place.key->end - place.valueBegin, value);
    } else if (place.section) {
        // After the section's last line, with that line's own line end (a file may use LF alone).
        const std::string_view end = LineEndAfter(text, place.sectionEnd);
        if (end.empty()) {
            text += "\r\n" + key + "=" + value + "\r\n";
        } else {
            text.insert(place.sectionEnd + end.size(), key + "=" + value + std::string(end));
        }
    } else {
        if (!text.empty() && text.back() != '\n' && text.back() != '\r') {
            text += "\r\n";
        }
        text += "[" + section + "]\r\n" + key + "=" + value + "\r\n";
    }
    return Encode(decoded);
}

std::string ProfileWithoutKey(const std::string& bytes, const std::string& section, const std::string& key) {
    ProfileText decoded = Decode(bytes);
    std::string& text = decoded.text;
    const Place place = Find(text, section, key);
    if (!place.key) {
        return bytes;
    }
    // The key's whole line, with its own line end.
    text.erase(place.key->begin,
               place.key->end + LineEndAfter(text, place.key->end).size() - place.key->begin);
    return Encode(decoded);
}

IniProfileCalls::IniProfileCalls(std::optional<std::string> firstArgument, std::string ownFolder)
    : firstArgument_(std::move(firstArgument)), ownFolder_(WithoutTrailingSlashes(std::move(ownFolder))) {}

bool IniProfileCalls::IsOwnFolder(const std::string& path) const {
    return !ownFolder_.empty() && WithoutTrailingSlashes(path) == ownFolder_;
}

std::string IniProfileCalls::ReadString(const std::string& path, const std::string& section,
                                        const std::string& key, std::size_t maxChars) {
    const FileBytes file = ReadSettingsFile(path);
    return file.got == FileBytes::Got::Bytes ? ProfileValueIn(file.bytes, section, key, maxChars)
                                             : std::string();
}

bool IniProfileCalls::WriteString(const std::string& path, const std::string& section, const std::string& key,
                                  const std::string& value) {
    return Rewrite(path, true,
                   [&](const std::string& bytes) { return ProfileWithValue(bytes, section, key, value); });
}

bool IniProfileCalls::DeleteKey(const std::string& path, const std::string& section, const std::string& key) {
    return Rewrite(path, false,
                   [&](const std::string& bytes) { return ProfileWithoutKey(bytes, section, key); });
}

bool IniProfileCalls::Rewrite(const std::string& path, bool create,
                              const std::function<std::string(const std::string&)>& change) {
    const std::string folder = FolderOf(path);
    if (create && IsOwnFolder(folder) && !MakeFolders(folder, 0700)) {
        return false;
    }
    const std::string file = LinkedFile(path);
    const FileBytes old = ReadSettingsFile(file);
    if (old.got == FileBytes::Got::Missing) {
        return !create || ReplaceWhole(file, change({}), nullptr);  // no file: no key to take away
    }
    if (old.got != FileBytes::Got::Bytes) {
        return false;
    }
    const std::string after = change(old.bytes);
    return after == old.bytes || ReplaceWhole(file, after, &old.info);
}

bool IniProfileCalls::FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::optional<ProfileFileRead> IniProfileCalls::ReadHeld(const std::string& path, const std::string& section,
                                                         const std::string& key, std::size_t maxChars) {
    // One read of the whole file: the file that was opened is the file that was read.
    const FileBytes file = ReadSettingsFile(path);
    ProfileFileRead read;
    switch (file.got) {
        case FileBytes::Got::Missing:
        case FileBytes::Got::Failed:
            return std::nullopt;
        case FileBytes::Got::NotAFile:
            read.refused = ProfileFileRead::Refusal::NotAFile;
            return read;
        case FileBytes::Got::TooLarge:
            read.refused = ProfileFileRead::Refusal::TooLarge;
            return read;
        case FileBytes::Got::Bytes:
            break;
    }
    read.empty = file.bytes.empty();
    read.hasSection = ProfileHasSection(file.bytes, section);
    read.value = ProfileValueIn(file.bytes, section, key, maxChars);
    return read;
}

bool IniProfileCalls::DirectoryExists(const std::string& path) {
    return IsOwnFolder(path) || IsDirectory(path);
}

std::string IniProfileCalls::CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

}  // namespace qx
