// The settings file: where it is, reading the interface language from it at start (creating the file on first
// start) and writing the language back on close, and the COM port of the program's own IrDA stack, which is
// read with the language and written only when the user stores one. The platform is reached only through
// ProfileCalls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "app/profile_calls.h"

namespace qx {

inline constexpr std::string_view SETTINGS_FILE_NAME = "QX2205R.ini";
inline constexpr std::string_view SETTINGS_SECTION = "Parameters";
inline constexpr std::string_view LANGUAGE_KEY = "Language";
// A key's text is read into a 2048-character buffer, so at most 2047 characters of it count.
inline constexpr std::size_t PROFILE_READ_LIMIT = 2047;

// A write the platform refused; the message names the file.
class SettingsError : public std::runtime_error {
  public:
    explicit SettingsError(const std::string& path);
};

// A key's text as an integer: leading blanks, an optional sign, then decimal digits or hexadecimal digits
// after
// "$", "x", "X", "0x" or "0X", and nothing after them. Empty when the text does not convert, including a
// value outside the signed 32-bit range.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

class Settings {
  public:
    explicit Settings(ProfileCalls& calls) : calls_(calls) {}

    // `directory` is the program's folder. Resolves SettingsPath, then reads Language from the file, or
    // creates the file holding the current Language when there is none. Throws SettingsError when that write
    // fails. A file that exists but cannot be read now (another program holds it) leaves Language as it was.
    void LoadSettings(const std::string& directory);
    // Writes Language back in decimal, resolving SettingsPath first if LoadSettings never did. Raises
    // nothing: the program is closing, and a file that cannot be written simply keeps its old content.
    // Only a file that is the program's own is written: one that did not exist, was empty, or holds the
    // Parameters section. Any other file (a document dropped on the program, a file given by mistake) is
    // left byte for byte as it was, and so is one that LoadSettings found but could not read: its language
    // was never learned, and writing the default over it would lose the user's choice.
    void SaveSettings(const std::string& directory) noexcept;
    // Reads Language as LoadSettings does, from the file `path` names (taken as a command-line argument
    // would be) or, without one, from the usual place, and never writes or creates a file. A file that is not
    // there or cannot be read now leaves Language as it was.
    enum class ReadOnlyLoad { Read, Missing, Unreadable };
    ReadOnlyLoad ReadSettingsOnly(const std::string& directory, const std::optional<std::string>& path);

    // Writes only the Port key (`port` as given; nothing removes the key) to the file `path` names or,
    // without one, the usual file; nothing else in the file changes. A missing file is created as the
    // window's first start creates it, with the Language too. Only a file that is the program's own is
    // written, as at the window's close: any other is left byte for byte as it was.
    enum class PortStore { Stored, NotOurs, WriteFailed };
    PortStore StorePort(const std::string& directory, const std::optional<std::string>& path,
                        const std::optional<std::string>& port);

    std::string SettingsPath;
    std::int32_t Language = 0;
    // ReadSettingsOnly found a Language key with a value: it decides over the console's locale.
    bool LanguageSet = false;
    // The Port key as read, at most PROFILE_READ_LIMIT characters; empty when the key is absent. Never
    // written back by LoadSettings or SaveSettings.
    std::string Port;
    // The Adapter key (the adapter's line profile) as read, the same way; empty when absent.
    std::string Adapter;
    // The file has no Parameters section but one whose name is a slip away from it ("[Parameter]"): its
    // settings are not used, and the user is told so.
    bool SectionNearMiss = false;
    // The file was not read for what it is (not a regular file, or far too large): its settings are not used,
    // it is never written, and the user is told why.
    ProfileFileRead::Refusal Refused = ProfileFileRead::Refusal::None;

  private:
    // The file at SettingsPath as found: whether it is there, whether it is the program's own to write, and
    // the key's text when it could be read.
    struct FileFound {
        bool exists = false;
        bool ours = false;
        std::optional<std::string> value;
        bool nearMiss = false;
        ProfileFileRead::Refusal refused = ProfileFileRead::Refusal::None;
    };

    std::string ResolvePath(const std::string& directory, const std::optional<std::string>& argument);
    FileFound Examine();
    void ReadPort();
    void WriteLanguage();

    ProfileCalls& calls_;
    bool ours_ = false;
};

}  // namespace qx
