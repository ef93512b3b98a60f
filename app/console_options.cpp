#include "app/console_options.h"

#include <string_view>

namespace qx {
namespace {

constexpr std::string_view SETTINGS_OPTION = "--settings";

ConsoleCommand CommandNamed(std::string_view word) {
    if (word == "status") {
        return ConsoleCommand::Status;
    }
    if (word == "enable") {
        return ConsoleCommand::Enable;
    }
    if (word == "disable") {
        return ConsoleCommand::Disable;
    }
    return ConsoleCommand::None;
}

}  // namespace

ConsoleOptions ParseConsoleArguments(const std::vector<std::string>& args) {
    ConsoleOptions options;
    const auto problem = [&](UsageProblem kind, const std::string& argument) {
        if (options.problem == UsageProblem::None) {
            options.problem = kind;
            options.offending = argument;
        }
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h" || arg == "/?") {
            options.help = true;
        } else if (arg == "--yes") {
            options.yes = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == SETTINGS_OPTION) {
            // The value is the next argument, whatever it looks like: a file may be called "-x".
            if (i + 1 < args.size() && !args[i + 1].empty()) {
                options.settingsPath = args[++i];
            } else {
                problem(UsageProblem::MissingValue, arg);
            }
        } else if (arg.starts_with(std::string(SETTINGS_OPTION) + "=")) {
            const std::string value = arg.substr(SETTINGS_OPTION.size() + 1);
            if (value.empty()) {
                problem(UsageProblem::MissingValue, std::string(SETTINGS_OPTION));
            } else {
                options.settingsPath = value;
            }
        } else if (arg.starts_with("-") || arg.starts_with("/")) {
            problem(UsageProblem::UnknownOption, arg);
        } else if (const ConsoleCommand command = CommandNamed(arg); command == ConsoleCommand::None) {
            problem(UsageProblem::UnknownCommand, arg);
        } else if (options.command != ConsoleCommand::None) {
            problem(UsageProblem::SecondCommand, arg);
        } else {
            options.command = command;
        }
    }
    if (options.command == ConsoleCommand::None) {
        problem(UsageProblem::NoCommand, "");
    }
    return options;
}

}  // namespace qx
