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
    std::optional<std::string> settingsPath;
    std::optional<std::string> port;         // overrides the settings' Port
    std::optional<std::string> capturePath;  // pcap file of the serial stack's frames
    std::vector<std::string> portsNamed;     // ports COM3 COM5: the only ports to probe, as "COMn"
    std::optional<std::string> adapter;      // overrides the settings' Adapter (the line profile)
    // The first problem found, the argument it is about, and the command or option nearest to it.
    UsageProblem problem = UsageProblem::None;
    std::string offending;
    std::string suggestion;
};

struct CommandEntry {
    ConsoleCommand command;
    std::string_view name;
    std::string_view ConsoleTexts::*help;
};

struct OptionEntry {
    std::string_view name;                              // "--yes"
    std::string_view shortName;                         // "-y", or empty
    std::string_view otherName;                         // another spelling users type ("/?"), or empty
    bool ConsoleOptions::*flag;                         // a flag sets this, or
    std::optional<std::string> ConsoleOptions::*value;  // an option with a value stores it here
    std::string_view ConsoleTexts::*valueName;  // the value's name in the help, for an option with one
    std::string_view ConsoleTexts::*help;
};

inline constexpr CommandEntry CONSOLE_COMMANDS[] = {
    {ConsoleCommand::Status, "status", &ConsoleTexts::helpStatus},
    {ConsoleCommand::Enable, "enable", &ConsoleTexts::helpEnable},
    {ConsoleCommand::Disable, "disable", &ConsoleTexts::helpDisable},
    {ConsoleCommand::Ports, "ports", &ConsoleTexts::helpPorts},
    {ConsoleCommand::UsePort, "use-port", &ConsoleTexts::helpUsePort},
};

inline constexpr OptionEntry CONSOLE_OPTIONS[] = {
    {"--help", "-h", "/?", &ConsoleOptions::help, nullptr, nullptr, &ConsoleTexts::helpHelp},
    {"--version", "-V", "", &ConsoleOptions::version, nullptr, nullptr, &ConsoleTexts::helpVersion},
    {"--yes", "-y", "", &ConsoleOptions::yes, nullptr, nullptr, &ConsoleTexts::helpYes},
    {"--json", "-j", "", &ConsoleOptions::json, nullptr, nullptr, &ConsoleTexts::helpJson},
    {"--quiet", "-q", "", &ConsoleOptions::quiet, nullptr, nullptr, &ConsoleTexts::helpQuiet},
    {"--trace", "-t", "", &ConsoleOptions::trace, nullptr, nullptr, &ConsoleTexts::helpTrace},
    {"--trace=all", "", "", &ConsoleOptions::traceAll, nullptr, nullptr, &ConsoleTexts::helpTraceAll},
    {"--settings", "", "", nullptr, &ConsoleOptions::settingsPath, &ConsoleTexts::helpSettingsValue,
     &ConsoleTexts::helpSettings},
    {"--port", "", "", nullptr, &ConsoleOptions::port, &ConsoleTexts::helpPortValue, &ConsoleTexts::helpPort},
    {"--capture", "", "", nullptr, &ConsoleOptions::capturePath, &ConsoleTexts::helpCaptureValue,
     &ConsoleTexts::helpCapture},
    {"--adapter", "", "", nullptr, &ConsoleOptions::adapter, &ConsoleTexts::helpAdapterValue,
     &ConsoleTexts::helpAdapter},
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

// The --help text in the texts' language.
std::string HelpText(const ConsoleTexts& texts);

}  // namespace qx
