// The interface texts in the two languages the program speaks, and how a language reaches the window: the
// three button captions and the eleven message slots of the mode switch. Texts are UTF-8; the window shows
// them through the platform's UTF-16 calls, and every one of them also fits the Windows-1251 code page.
#pragma once

#include <array>
#include <cstdint>
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
    // Status panel 0 after a run, until the next one starts: how the run ended, in RunStage order; "{}" marks
    // the word written or the code. Empty before any language, like the slots.
    std::array<std::string, RUN_STAGE_COUNT> lastRun;
    // Cyrillic before any language, for btnExit's "Выход".
    Script script = Script::Cyrillic;
};

// Copies the language's captions and slots into `texts`; any other language changes nothing.
void ApplyLanguage(int language, FormTexts& texts);

// Panel 0's text after a run that ended with `outcome`.
std::string LastRunText(const FormTexts& texts, const RunOutcome& outcome);

// The console program's own texts, beside the window's in the same file. "{}" marks where a value goes.
struct ConsoleTexts {
    // --help, put together from the table of commands and options.
    std::string_view helpIntro;
    std::string_view helpUsage;
    std::string_view helpOptions;
    std::string_view helpCommandArguments;
    std::string_view helpStatus;
    std::string_view helpEnable;
    std::string_view helpDisable;
    std::string_view helpPorts;
    std::string_view helpUsePort;
    std::string_view helpHelp;
    std::string_view helpVersion;
    std::string_view helpYes;
    std::string_view helpJson;
    std::string_view helpTrace;
    std::string_view helpTraceAll;
    std::string_view helpQuiet;
    std::string_view helpSettings;
    std::string_view helpSettingsValue;
    std::string_view helpPort;
    std::string_view helpPortValue;
    std::string_view helpAdapter;
    std::string_view helpAdapterValue;
    std::string_view helpCapture;
    std::string_view helpCaptureValue;
    std::string_view helpExitCodes;
    // Usage errors.
    std::string_view usageHint;
    std::string_view unknownOption;
    std::string_view unknownCommand;
    std::string_view noCommand;
    std::string_view secondCommand;
    std::string_view missingValue;
    std::string_view settingsMissing;
    std::string_view portInvalid;
    std::string_view didYouMean;
    // The run and its report.
    std::string_view confirmPrompt;
    std::string_view confirmQuestion;
    std::string_view deviceLabel;
    std::string_view wordLabel;
    std::string_view wordSentLabel;
    std::string_view searchModeLabel;
    std::string_view modeOn;
    std::string_view modeOff;
    std::string_view modeUnknown;
    std::string_view reasonLabel;
    std::string_view readNotDone;
    std::string_view writeUnconfirmed;
    std::string_view cancelled;
    std::string_view interrupting;
    std::string_view interruptedIdle;
    std::string_view interrupted;
    std::string_view loopbackActive;
    // The COM ports and the stored port.
    std::string_view portsNone;
    std::string_view portDevice;
    std::string_view portNoDevice;
    std::string_view portOpenFailed;
    std::string_view portSearchFailed;
    std::string_view portStored;
    std::string_view portNotStored;
    std::string_view portNotOurs;
    // The --capture file.
    std::string_view captureNotACapture;
    std::string_view captureNotMade;
    std::string_view captureNotPlaced;
    std::string_view portMissing;
    std::string_view portProbing;
    std::string_view portStoredMark;
    std::string_view portSuggestUse;
    std::string_view portProfile;
    std::string_view adapterUnknown;
    // Why a run ended where it did.
    std::string_view reasonNoSockets;
    std::string_view reasonSocketFailed;
    std::string_view reasonSearchFailed;
    std::string_view reasonNoDevice;
    std::string_view reasonConnectFailed;
    std::string_view reasonReadFailed;
    std::string_view reasonNotWritten;
    std::string_view reasonWriteRefused;
    std::string_view reasonWriteUnconfirmed;
    std::string_view reasonPortFailed;
};

// Every field of ConsoleTexts, for whoever checks them all; the size check in texts.cpp keeps it whole.
inline constexpr std::string_view ConsoleTexts::*CONSOLE_TEXT_FIELDS[] = {
    &ConsoleTexts::helpIntro,
    &ConsoleTexts::helpUsage,
    &ConsoleTexts::helpOptions,
    &ConsoleTexts::helpCommandArguments,
    &ConsoleTexts::helpStatus,
    &ConsoleTexts::helpEnable,
    &ConsoleTexts::helpDisable,
    &ConsoleTexts::helpPorts,
    &ConsoleTexts::helpUsePort,
    &ConsoleTexts::helpHelp,
    &ConsoleTexts::helpVersion,
    &ConsoleTexts::helpYes,
    &ConsoleTexts::helpJson,
    &ConsoleTexts::helpTrace,
    &ConsoleTexts::helpTraceAll,
    &ConsoleTexts::helpQuiet,
    &ConsoleTexts::helpSettings,
    &ConsoleTexts::helpSettingsValue,
    &ConsoleTexts::helpPort,
    &ConsoleTexts::helpPortValue,
    &ConsoleTexts::helpAdapter,
    &ConsoleTexts::helpAdapterValue,
    &ConsoleTexts::helpCapture,
    &ConsoleTexts::helpCaptureValue,
    &ConsoleTexts::helpExitCodes,
    &ConsoleTexts::usageHint,
    &ConsoleTexts::unknownOption,
    &ConsoleTexts::unknownCommand,
    &ConsoleTexts::noCommand,
    &ConsoleTexts::secondCommand,
    &ConsoleTexts::missingValue,
    &ConsoleTexts::settingsMissing,
    &ConsoleTexts::portInvalid,
    &ConsoleTexts::didYouMean,
    &ConsoleTexts::confirmPrompt,
    &ConsoleTexts::confirmQuestion,
    &ConsoleTexts::deviceLabel,
    &ConsoleTexts::wordLabel,
    &ConsoleTexts::wordSentLabel,
    &ConsoleTexts::searchModeLabel,
    &ConsoleTexts::modeOn,
    &ConsoleTexts::modeOff,
    &ConsoleTexts::modeUnknown,
    &ConsoleTexts::reasonLabel,
    &ConsoleTexts::readNotDone,
    &ConsoleTexts::writeUnconfirmed,
    &ConsoleTexts::cancelled,
    &ConsoleTexts::interrupting,
    &ConsoleTexts::interruptedIdle,
    &ConsoleTexts::interrupted,
    &ConsoleTexts::loopbackActive,
    &ConsoleTexts::portsNone,
    &ConsoleTexts::portDevice,
    &ConsoleTexts::portNoDevice,
    &ConsoleTexts::portOpenFailed,
    &ConsoleTexts::portSearchFailed,
    &ConsoleTexts::portStored,
    &ConsoleTexts::portNotStored,
    &ConsoleTexts::portNotOurs,
    &ConsoleTexts::captureNotACapture,
    &ConsoleTexts::captureNotMade,
    &ConsoleTexts::captureNotPlaced,
    &ConsoleTexts::portMissing,
    &ConsoleTexts::portProbing,
    &ConsoleTexts::portStoredMark,
    &ConsoleTexts::portSuggestUse,
    &ConsoleTexts::portProfile,
    &ConsoleTexts::adapterUnknown,
    &ConsoleTexts::reasonNoSockets,
    &ConsoleTexts::reasonSocketFailed,
    &ConsoleTexts::reasonSearchFailed,
    &ConsoleTexts::reasonNoDevice,
    &ConsoleTexts::reasonConnectFailed,
    &ConsoleTexts::reasonReadFailed,
    &ConsoleTexts::reasonNotWritten,
    &ConsoleTexts::reasonWriteRefused,
    &ConsoleTexts::reasonWriteUnconfirmed,
    &ConsoleTexts::reasonPortFailed,
};

// The console texts of a language. A console has nothing else to say with, so any language other than
// Russian gives the English ones (the instrument's texts in the slots still follow ApplyLanguage). On Linux
// the texts about ports, settings and adapters name Linux things (device paths, the dialout group, dmesg);
// every other text is the Windows one.
const ConsoleTexts& ConsoleTextsFor(int language, HostPlatform platform = HostPlatform::Windows);

// What to do about a serial port that would not open with `error` (the Windows error code the serial-port
// seam reports; 10047 where no port was chosen at all), in the platform's terms; empty where the reason's own
// text says enough. With `dongle`, the port is a USB dongle ("USB", "USB:VVVV:PPPP") and the advice is about
// the dongle.
std::string_view PortOpenAdvice(int language, HostPlatform platform, std::uint32_t error,
                                bool dongle = false);

// `text` with its first "{}" replaced by `value`.
std::string Fill(std::string_view text, std::string_view value);

}  // namespace qx
