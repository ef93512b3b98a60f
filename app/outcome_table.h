// How a run ended, told once per outcome: each RunStage with its JSON name, the console's reason and the
// window's last-run text in both languages, and each failure cause of the way to the instrument (a COM port
// that is not there, an adapter that went away, a device that is not the instrument, ...) with its name, its
// reason, its next step for each platform and its last-run text. A new stage or cause is one row here.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/link_choice.h"
#include "app/run_outcome.h"

namespace qx {

inline constexpr std::size_t LANGUAGE_COUNT = 2;  // English, Russian
using Bilingual = std::array<std::string_view, LANGUAGE_COUNT>;

// A next step names what the platform the program runs on has (Device Manager and COM ports, or device
// files), never the other's: one column per HostPlatform.
inline constexpr std::size_t PLATFORM_COUNT = 2;

struct StageRow {
    RunStage stage;
    std::string_view name;    // JSON "result"
    Bilingual reason;         // the console's reason; empty for Done
    Bilingual lastRun;        // the window's left panel after the run
    Bilingual linuxReason{};  // the reason on Linux, where it differs
};

// Why the way to the instrument failed, as far as the program can tell; None when it cannot tell more than
// the stage does.
enum class FailureCause {
    None,
    PortMissing,          // the COM port is not on this PC
    PortInUse,            // another program holds the COM port
    PortUnusable,         // the COM port would not open for another reason
    PortValueInvalid,     // the settings' Port value is not COM1 ... COM256
    AdapterValueInvalid,  // the settings' Adapter value names no line profile
    DongleMissing,        // no USB IrDA dongle that the program drives is plugged in
    DongleUnreachable,    // the dongle is there and cannot be used: its driver (not WinUSB) or no permission
    AdapterGone,          // the adapter stopped answering during the run (unplugged)
    NoInstrument,         // the adapter works and no device answered its search
    NothingAnswered,      // nothing answered on a serial port, which cannot tell whether an adapter is there
    MediumHeld,           // the medium stayed busy through the search (another device): nothing was sent
    UsbLibraryFailed,     // the platform's USB library did not start, so no dongle could be looked for
    Refused,              // the device refused the connection
    NoSuchService,        // the device found offers no such service: not this instrument
    NoIrdaSupport,        // no Port and no IrDA in Windows: the serial route is the way (the last)
};
inline constexpr std::size_t FAILURE_CAUSE_COUNT = static_cast<std::size_t>(FailureCause::NoIrdaSupport) + 1;

struct CauseRow {
    FailureCause cause;
    std::string_view name;  // JSON "cause"; empty for None
    Bilingual reason;
    std::array<Bilingual, PLATFORM_COUNT> nextStep;
    Bilingual lastRun;
    Bilingual linuxReason{};  // the reason on Linux, where it differs
};

const StageRow& RowOf(RunStage stage);
const CauseRow& RowOf(FailureCause cause);

// The cause of a failed run, from its stage, its code, the stack's typed failure and the way it took. The
// same port error means different things on each platform (5: in use on Windows, no permission on Linux).
FailureCause CauseOf(const RunOutcome& outcome, const LinkChoice& link,
                     HostPlatform platform = HostPlatform::Windows);

// What fills a text's named places: "{code}", "{port}", "{file}" (the settings file), "{device}", "{word}",
// "{usb_problem}".
struct OutcomeValues {
    const RunOutcome& outcome;
    const LinkChoice& link;
    std::string settingsPath;
    std::string portAdvice{};  // what to do about a port that would not open, in place of the error's advice
};

// The console's reason for a run that did not end done: the cause's reason and next step when one is known,
// else the stage's; a cause after the word was read is added to the stage's reason, which says what the
// instrument holds. Empty for Done.
std::string OutcomeReason(const OutcomeValues& values, int language, HostPlatform platform);
// The window's left panel after the run, in `language` (empty for a language with no texts). The window
// runs on Windows only. `names`: false leaves out the devices' names of several in range (a name may be 22
// characters), for a bar too narrow for them.
std::string OutcomeLastRun(const OutcomeValues& values, int language, bool names = true);

// The window's left panel after the read-only status run: "Search mode is on (word 0x0104)", or how it
// failed as OutcomeLastRun says.
std::string ModeReadText(const OutcomeValues& values, int language, bool names = true);

// `text` with each "{name}" of `values` replaced; other braces stay as they are.
std::string FillNamed(std::string_view text,
                      std::initializer_list<std::pair<std::string_view, std::string>> values);

}  // namespace qx
