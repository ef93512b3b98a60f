// The interface texts in the two languages the program speaks, and how a language reaches the window: the
// three button captions and the eleven message slots of the mode switch. Texts are UTF-8; the window shows
// them through the platform's UTF-16 calls, and every one of them also fits the Windows-1251 code page.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/host_platform.h"
#include "app/message_slots.h"
#include "app/run_outcome.h"

namespace qx {

inline constexpr int LANGUAGE_ENGLISH = 0;
inline constexpr int LANGUAGE_RUSSIAN = 1;

// The letters a language's texts are written in: the window picks a font that has them.
enum class Script { Latin, Cyrillic };

// What the window shows before any language is applied: empty mode-button captions, btnExit from the layout
// and empty slots. A language that is neither English nor Russian leaves it exactly so.
struct FormTexts {
    std::string btnSet;
    std::string btnClear;
    std::string btnExit = "Выход";
    MessageSlots slots;
    // Status panel 0 while a close waits for the run under way to end. The program's own text, not one of
    // the instrument's: before any language, in the layout's language like btnExit.
    std::string closingAfterRun = "Закрытие после окончания обмена";
    // The language applied, whose outcome texts status panel 0 shows after a run; none before any.
    std::optional<int> language;
    // The system menu's item that reads the instrument's mode without writing it.
    std::string readModeItem;
    // Status panel 0 at start when the settings file has a section a slip away from [Parameters]; "{file}"
    // marks the file.
    std::string settingsNotUsed;
    // Cyrillic before any language, for btnExit's "Выход".
    Script script = Script::Cyrillic;
};

// Copies the language's captions and slots into `texts`; any other language changes nothing.
void ApplyLanguage(int language, FormTexts& texts);

// The console program's own texts, beside the window's in the same file, by name. "{}" marks where a value
// goes, "{name}" a named value; "{program}", "{status}", "{--port}" and the like are filled from the table of
// commands and options.
enum class ConsoleText {
    HelpIntro,
    HelpUsage,
    HelpOptions,
    HelpCommandArguments,
    HelpStatus,
    HelpEnable,
    HelpDisable,
    HelpPorts,
    HelpUsePort,
    HelpHelp,
    HelpVersion,
    HelpYes,
    HelpJson,
    HelpTrace,
    HelpTraceAll,
    HelpQuiet,
    HelpSettings,
    HelpSettingsValue,
    HelpPort,
    HelpPortValue,
    HelpAdapter,
    HelpAdapterValue,
    HelpCapture,
    HelpCaptureValue,
    UsageHint,
    UnknownOption,
    UnknownCommand,
    NoCommand,
    SecondCommand,
    MissingValue,
    SettingsMissing,
    DidYouMean,
    ConfirmPrompt,
    ConfirmQuestion,
    DeviceLabel,
    WordLabel,
    WordSentLabel,
    SearchModeLabel,
    ModeOn,
    ModeOff,
    ModeUnknown,
    ReasonLabel,
    ReadNotDone,
    WriteUnconfirmed,
    Interrupting,
    InterruptedIdle,
    Interrupted,
    LoopbackActive,
    PortsNone,
    PortDevice,
    PortNoDevice,
    PortOpenFailed,
    PortSearchFailed,
    PortStored,
    PortNotStored,
    PortMissing,
    PortProfile,
    AdapterUnknown,
    HelpExitCodes,
    ExitDone,
    ExitRunFailed,
    ExitUsage,
    ExitCancelled,
    ExitInterrupted,
    LinkLabel,
    LinkWinsock,
    LinkSerial,
    LinkInvalidPort,
    LinkLoopback,
    SettingsNotUsed,
    PortNotOurs,
    PortRemoved,
    CaptureNotMade,
    CaptureNeedsPort,
    CaptureIsFolder,
    CaptureNotForCommand,
    CaptureNotACapture,
    CaptureWritten,
    CaptureNothing,
    PortInvalid,
    PortProbing,
    PortProbingDongle,
    PortOpenFailedNamed,
    PortStoredMark,
    PortSuggestUse,
    CaptureNotPlaced,
    CaptureFailed,
    CaptureReplacedOther,
    NotARegularFile,
    SettingsRefused,
    SettingsTooLarge,
    LinkUsb,
    HelpForce,
    PortNotThere,
    PortNotADevice,
    PortIsFolder,
    PortIsFile,
    SettingsReadFrom,
    SettingsNoneThere,
    PermissionNewLogin,
    PermissionNotInGroup,
    PermissionGroupMayNot,
    HelpDevice,
    HelpDeviceValue,
    DevicesLabel,
    DeviceUsedMark,
    DevicePassedOverMark,
    DeviceInstrumentMark,
    DeviceFailedMark,
    DeviceNotTriedMark,
    DongleUdevRule,
    HelpLanguage,
    HelpLanguageValue,
    LanguageInvalid,
    InterruptingNothingSent,
    PortProbed,
    HelpAll,
    AllMisplaced,
    InstrumentRead,
    InstrumentNotRead,
    WordNotReadMark,
};
inline constexpr std::size_t CONSOLE_TEXT_COUNT = static_cast<std::size_t>(ConsoleText::WordNotReadMark) + 1;

// The console texts of one language on one platform: on Linux the texts about ports, settings and adapters
// name Linux things (device paths, the dialout group, dmesg); every other text is the Windows one.
class ConsoleTexts {
  public:
    constexpr ConsoleTexts(std::size_t column, HostPlatform platform)
        : column_(column), platform_(platform) {}
    // The text with the commands' and options' names filled in.
    std::string operator[](ConsoleText text) const;
    int Language() const { return static_cast<int>(column_); }
    HostPlatform Platform() const { return platform_; }

  private:
    std::size_t column_;
    HostPlatform platform_;
};

// The console texts of a language. A console has nothing else to say with, so any language other than
// Russian gives the English ones (the instrument's texts in the slots still follow ApplyLanguage). On Linux
// the texts about ports, settings and adapters name Linux things (device paths, the dialout group, dmesg);
// every other text is the Windows one.
const ConsoleTexts& ConsoleTextsFor(int language, HostPlatform platform = HostPlatform::Windows);

// On Linux, the errno behind a serial port's error as the port seam reports it ("EACCES"); empty where the
// code is no errno's (a USB dongle's, the stack's own).
std::string_view LinuxErrorName(std::uint32_t portError);
// The name of a Linux errno the port kept beside its code (EISDIR for a folder, ENXIO for a device with no
// driver behind it), so that the reason says what the system said; the kind's name (LinuxErrorName) where
// it is 0 or not one a port's open or transfer gives.
std::string_view LinuxErrorName(std::uint32_t portError, int errnoValue);

// What to do about a serial port that would not open with `error` (the Windows error code the serial-port
// seam reports; 10047 where no port was chosen at all), in the platform's terms; empty where the reason's own
// text says enough. With `dongle`, the port is a USB dongle ("USB", "USB:VVVV:PPPP") and the advice is about
// the dongle.
std::string_view PortOpenAdvice(int language, HostPlatform platform, std::uint32_t error,
                                bool dongle = false);

// `text` with its first "{}" replaced by `value`.
std::string Fill(std::string_view text, std::string_view value);

}  // namespace qx
