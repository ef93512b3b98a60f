// The console program's command line: one command (status, enable, disable, ports, use-port) and the options
// around it, in
// any order. One table of commands and one of options feed the parser, the help text and the texts that name
// them. A command line that cannot be run says which argument was wrong.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/host_platform.h"
#include "app/texts.h"

namespace qx {

inline constexpr std::string_view CONSOLE_PROGRAM_NAME = "QX2205R-cli";

inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_RUN_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_CANCELLED = 3;
inline constexpr int EXIT_INTERRUPTED = 4;

// The exit codes and what each means, as --help lists them.
struct ExitCodeEntry {
    int code;
    ConsoleText meaning;
};
inline constexpr ExitCodeEntry EXIT_CODES[] = {
    {EXIT_DONE, ConsoleText::ExitDone},
    {EXIT_RUN_FAILED, ConsoleText::ExitRunFailed},
    {EXIT_USAGE, ConsoleText::ExitUsage},
    {EXIT_CANCELLED, ConsoleText::ExitCancelled},
    {EXIT_INTERRUPTED, ConsoleText::ExitInterrupted},
};

enum class ConsoleCommand { None, Status, Enable, Disable, Ports, UsePort };

enum class UsageProblem {
    None,
    UnknownOption,
    UnknownCommand,
    NoCommand,
    SecondCommand,
    MissingValue,
    SettingsMissing,  // --settings names a file that is not there
    PortInvalid,      // --port, or a port named to ports, is no COM port name (COM1 ... COM256)
    LanguageInvalid,  // --language is neither en nor ru
    AllMisplaced,     // --all with another command than status, or with --device
};

struct ConsoleOptions {
    ConsoleCommand command = ConsoleCommand::None;
    bool yes = false;
    bool json = false;
    bool trace = false;
    bool traceAll = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool force = false;  // use-port stores a port that is not there (yet) or is no serial device
    bool all = false;    // status reads every instrument in range
    std::optional<std::string> settingsPath;
    std::optional<std::string> port;         // overrides the settings' Port
    std::optional<std::string> capturePath;  // pcap file of the serial stack's frames
    std::vector<std::string> portsNamed;     // ports COM3 COM5: the only ports to probe, as "COMn"
    std::optional<std::string> adapter;      // overrides the settings' Adapter (the line profile)
    std::optional<std::string> device;       // the device to use among several: its name or address
    std::optional<std::string> language;     // "en" or "ru", over the settings' Language
    // The first problem found, the argument it is about, and the command or option nearest to it.
    UsageProblem problem = UsageProblem::None;
    std::string offending;
    std::string suggestion;
};

struct CommandEntry {
    ConsoleCommand command;
    std::string_view name;
    ConsoleText help;
};

struct OptionEntry {
    std::string_view name;                              // "--yes"
    std::string_view shortName;                         // "-y", or empty
    std::string_view otherName;                         // another spelling users type ("/?"), or empty
    bool ConsoleOptions::*flag;                         // a flag sets this, or
    std::optional<std::string> ConsoleOptions::*value;  // an option with a value stores it here
    std::optional<ConsoleText> valueName;  // the value's name in the help, for an option with one
    ConsoleText help;
};

inline constexpr CommandEntry CONSOLE_COMMANDS[] = {
    {ConsoleCommand::Status, "status", ConsoleText::HelpStatus},
    {ConsoleCommand::Enable, "enable", ConsoleText::HelpEnable},
    {ConsoleCommand::Disable, "disable", ConsoleText::HelpDisable},
    {ConsoleCommand::Ports, "ports", ConsoleText::HelpPorts},
    {ConsoleCommand::UsePort, "use-port", ConsoleText::HelpUsePort},
};

inline constexpr OptionEntry CONSOLE_OPTIONS[] = {
    {"--help", "-h", "/?", &ConsoleOptions::help, nullptr, std::nullopt, ConsoleText::HelpHelp},
    {"--version", "-V", "", &ConsoleOptions::version, nullptr, std::nullopt, ConsoleText::HelpVersion},
    {"--yes", "-y", "", &ConsoleOptions::yes, nullptr, std::nullopt, ConsoleText::HelpYes},
    {"--json", "-j", "", &ConsoleOptions::json, nullptr, std::nullopt, ConsoleText::HelpJson},
    {"--quiet", "-q", "", &ConsoleOptions::quiet, nullptr, std::nullopt, ConsoleText::HelpQuiet},
    {"--trace", "-t", "", &ConsoleOptions::trace, nullptr, std::nullopt, ConsoleText::HelpTrace},
    {"--trace=all", "", "", &ConsoleOptions::traceAll, nullptr, std::nullopt, ConsoleText::HelpTraceAll},
    {"--settings", "", "", nullptr, &ConsoleOptions::settingsPath, ConsoleText::HelpSettingsValue,
     ConsoleText::HelpSettings},
    {"--port", "", "", nullptr, &ConsoleOptions::port, ConsoleText::HelpPortValue, ConsoleText::HelpPort},
    {"--capture", "", "", nullptr, &ConsoleOptions::capturePath, ConsoleText::HelpCaptureValue,
     ConsoleText::HelpCapture},
    {"--adapter", "", "", nullptr, &ConsoleOptions::adapter, ConsoleText::HelpAdapterValue,
     ConsoleText::HelpAdapter},
    {"--force", "", "", &ConsoleOptions::force, nullptr, std::nullopt, ConsoleText::HelpForce},
    {"--device", "", "", nullptr, &ConsoleOptions::device, ConsoleText::HelpDeviceValue,
     ConsoleText::HelpDevice},
    {"--language", "", "", nullptr, &ConsoleOptions::language, ConsoleText::HelpLanguageValue,
     ConsoleText::HelpLanguage},
    {"--all", "-a", "", &ConsoleOptions::all, nullptr, std::nullopt, ConsoleText::HelpAll},
};

// The command's name as typed ("status"); empty for None.
std::string_view CommandName(ConsoleCommand command);
// The commands' names as a list: "status, enable, disable".
std::string CommandNames();

// `args` without the program's name. --help asks for help, --version for the version, whatever else is there.
// Commands are taken in any case ("Status"); a word that is neither a command nor an option gets the nearest
// one as a suggestion. With ports, the other words name the ports to probe. A port name that can never work
// (COM0, COM1:, COM257) is a usage error, found before anything is asked or sent.
// Port names (--port, and the ports `ports` is given) are the names `platform` gives serial ports.
ConsoleOptions ParseConsoleArguments(const std::vector<std::string>& args,
                                     HostPlatform platform = HostPlatform::Windows);

// `text` with "{program}" and each "{name}" of a command or an option ("{status}", "{--port}") replaced by
// its name from the tables; other braces stay as they are.
std::string NameCommands(std::string_view text);

// The language --language names ("en", "ru", in any letter case); none for any other word.
std::optional<int> LanguageNamed(std::string_view name);

// The language a POSIX locale asks for: the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty
// decides, as POSIX orders them; Russian where it begins with "ru", else English. None when none is set.
std::optional<int> LanguageFromLocale(std::string_view lcAll, std::string_view lcMessages,
                                      std::string_view lang);

// The --help text in the texts' language.
std::string HelpText(const ConsoleTexts& texts);

}  // namespace qx
