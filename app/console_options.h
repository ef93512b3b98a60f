// The console program's command line: one command (status, enable, disable) and the options around it, in
// any order. One table of commands and one of options feed the parser, the help text and the texts that name
// them. A command line that cannot be run says which argument was wrong.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/texts.h"

namespace qx {

inline constexpr std::string_view CONSOLE_PROGRAM_NAME = "QX2205R-cli";

enum class ConsoleCommand { None, Status, Enable, Disable };

enum class UsageProblem { None, UnknownOption, UnknownCommand, NoCommand, SecondCommand, MissingValue };

struct ConsoleOptions {
    ConsoleCommand command = ConsoleCommand::None;
    bool yes = false;
    bool json = false;
    bool trace = false;
    bool help = false;
    std::optional<std::string> settingsPath;
    std::optional<std::string> port;         // overrides the settings' Port
    std::optional<std::string> capturePath;  // pcap file of the serial stack's frames
    // The first problem found, and the argument it is about.
    UsageProblem problem = UsageProblem::None;
    std::string offending;
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
};

inline constexpr OptionEntry CONSOLE_OPTIONS[] = {
    {"--help", "-h", "/?", &ConsoleOptions::help, nullptr, nullptr, &ConsoleTexts::helpHelp},
    {"--yes", "", "", &ConsoleOptions::yes, nullptr, nullptr, &ConsoleTexts::helpYes},
    {"--json", "", "", &ConsoleOptions::json, nullptr, nullptr, &ConsoleTexts::helpJson},
    {"--trace", "", "", &ConsoleOptions::trace, nullptr, nullptr, &ConsoleTexts::helpTrace},
    {"--settings", "", "", nullptr, &ConsoleOptions::settingsPath, &ConsoleTexts::helpSettingsValue,
     &ConsoleTexts::helpSettings},
    {"--port", "", "", nullptr, &ConsoleOptions::port, &ConsoleTexts::helpPortValue, &ConsoleTexts::helpPort},
    {"--capture", "", "", nullptr, &ConsoleOptions::capturePath, &ConsoleTexts::helpCaptureValue,
     &ConsoleTexts::helpCapture},
};

// The command's name as typed ("status"); empty for None.
std::string_view CommandName(ConsoleCommand command);
// The commands' names as a list: "status, enable, disable".
std::string CommandNames();

// `args` without the program's name. --help asks for help whatever else is there.
ConsoleOptions ParseConsoleArguments(const std::vector<std::string>& args);

// The --help text in the texts' language.
std::string HelpText(const ConsoleTexts& texts);

}  // namespace qx
