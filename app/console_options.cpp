#include "app/console_options.h"

#include <algorithm>
#include <utility>

namespace qx {
namespace {

const OptionEntry* OptionNamed(std::string_view word) {
    for (const OptionEntry& option : CONSOLE_OPTIONS) {
        if (word == option.name || (!option.shortName.empty() && word == option.shortName) ||
            (!option.otherName.empty() && word == option.otherName)) {
            return &option;
        }
    }
    return nullptr;
}

// An option with a value written as "--name=value".
const OptionEntry* OptionWithValueIn(std::string_view word) {
    for (const OptionEntry& option : CONSOLE_OPTIONS) {
        if (option.value != nullptr && word.size() > option.name.size() && word.starts_with(option.name) &&
            word[option.name.size()] == '=') {
            return &option;
        }
    }
    return nullptr;
}

ConsoleCommand CommandNamed(std::string_view word) {
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        if (word == command.name) {
            return command.command;
        }
    }
    return ConsoleCommand::None;
}

// `text`'s lines after the first, indented to `column`.
std::string Indented(std::string_view text, std::size_t column) {
    std::string out;
    for (const char c : text) {
        out += c;
        if (c == '\n') {
            out.append(column, ' ');
        }
    }
    return out;
}

// Two columns: each left text padded to the widest, then its description.
std::string Columns(const std::vector<std::pair<std::string, std::string_view>>& rows) {
    std::size_t width = 0;
    for (const auto& [left, help] : rows) {
        width = std::max(width, left.size());
    }
    const std::size_t column = 2 + width + 3;
    std::string out;
    for (const auto& [left, help] : rows) {
        out += "  " + left + std::string(width + 3 - left.size(), ' ') + Indented(help, column) + "\n";
    }
    return out;
}

}  // namespace

std::string_view CommandName(ConsoleCommand command) {
    for (const CommandEntry& entry : CONSOLE_COMMANDS) {
        if (entry.command == command) {
            return entry.name;
        }
    }
    return {};
}

std::string CommandNames() {
    std::string names;
    for (const CommandEntry& entry : CONSOLE_COMMANDS) {
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

ConsoleOptions ParseConsoleArguments(const std::vector<std::string>& args) {
    ConsoleOptions options;
    const auto problem = [&](UsageProblem kind, std::string_view argument) {
        if (options.problem == UsageProblem::None) {
            options.problem = kind;
            options.offending = argument;
        }
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (const OptionEntry* option = OptionNamed(arg)) {
            if (option->flag != nullptr) {
                options.*(option->flag) = true;
            } else if (i + 1 < args.size() && !args[i + 1].empty()) {
                // The value is the next argument, whatever it looks like: a file may be called "-x".
                options.*(option->value) = args[++i];
            } else {
                problem(UsageProblem::MissingValue, option->name);
            }
        } else if (const OptionEntry* withValue = OptionWithValueIn(arg)) {
            if (std::string value = arg.substr(withValue->name.size() + 1); !value.empty()) {
                options.*(withValue->value) = std::move(value);
            } else {
                problem(UsageProblem::MissingValue, withValue->name);
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

std::string HelpText(const ConsoleTexts& t) {
    const std::string program(CONSOLE_PROGRAM_NAME);
    std::size_t nameWidth = 0;
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        nameWidth = std::max(nameWidth, command.name.size());
    }
    std::vector<std::pair<std::string, std::string_view>> usage;
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        usage.emplace_back(program + " " + std::string(command.name) +
                               std::string(nameWidth + 1 - command.name.size(), ' ') +
                               std::string(t.helpCommandArguments),
                           t.*(command.help));
    }
    std::vector<std::pair<std::string, std::string_view>> options;
    for (const OptionEntry& option : CONSOLE_OPTIONS) {
        std::string left;
        if (!option.shortName.empty()) {
            left.append(option.shortName).append(", ");
        }
        left.append(option.name);
        if (option.valueName != nullptr) {
            left.append(" ").append(t.*(option.valueName));
        }
        if (option.flag == &ConsoleOptions::help) {
            usage.emplace_back(program + " " + std::string(option.name), t.*(option.help));
        }
        options.emplace_back(left, t.*(option.help));
    }
    return std::string(t.helpIntro) + "\n\n" + std::string(t.helpUsage) + "\n" + Columns(usage) + "\n" +
           std::string(t.helpOptions) + "\n" + Columns(options) + "\n" + std::string(t.helpExitCodes);
}

}  // namespace qx
