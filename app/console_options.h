// The console program's command line: one command (status, enable, disable) and the options around it, in
// any order. A command line that cannot be run says which argument was wrong.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qx {

enum class ConsoleCommand { None, Status, Enable, Disable };

enum class UsageProblem { None, UnknownOption, UnknownCommand, NoCommand, SecondCommand, MissingValue };

struct ConsoleOptions {
    ConsoleCommand command = ConsoleCommand::None;
    bool yes = false;
    bool json = false;
    bool trace = false;
    bool help = false;
    std::optional<std::string> settingsPath;
    // The first problem found, and the argument it is about.
    UsageProblem problem = UsageProblem::None;
    std::string offending;
};

// `args` without the program's name. --help (also -h and /?) asks for help whatever else is there.
ConsoleOptions ParseConsoleArguments(const std::vector<std::string>& args);

}  // namespace qx
