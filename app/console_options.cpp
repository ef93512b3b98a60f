#include "app/console_options.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/link_choice.h"

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

std::string Lowercase(std::string_view word) {
    std::string lower(word);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

ConsoleCommand CommandNamed(std::string_view word) {
    const std::string lower = Lowercase(word);
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        if (lower == command.name) {
            return command.command;
        }
    }
    return ConsoleCommand::None;
}

// Letters inserted, removed or changed to make one word the other.
std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The name nearest to `word`, close enough to be a slip of the fingers; empty when none is.
std::string Nearest(std::string_view word, const std::vector<std::string_view>& names) {
    const std::string lower = Lowercase(word);
    std::string_view best;
    std::size_t bestDistance = 3;  // two slips at most
    for (const std::string_view name : names) {
        const std::size_t distance = EditDistance(lower, name);
        if (distance < bestDistance && distance * 2 < name.size()) {
            best = name;
            bestDistance = distance;
        }
    }
    return std::string(best);
}

std::vector<std::string_view> CommandNameList() {
    std::vector<std::string_view> names;
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        names.push_back(command.name);
    }
    return names;
}

std::vector<std::string_view> OptionNameList() {
    std::vector<std::string_view> names;
    for (const OptionEntry& option : CONSOLE_OPTIONS) {
        names.push_back(option.name);
    }
    return names;
}

// Characters, not bytes: the Russian texts take two bytes a letter in UTF-8.
std::size_t Utf8Length(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
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

// Two columns: each left text padded to the widest, then `gap` spaces and its description.
std::string Columns(const std::vector<std::pair<std::string, std::string>>& rows, std::size_t gap = 3) {
    std::size_t width = 0;
    for (const auto& [left, help] : rows) {
        width = std::max(width, Utf8Length(left));
    }
    const std::size_t column = 2 + width + gap;
    std::string out;
    for (const auto& [left, help] : rows) {
        out += "  " + left + std::string(width + gap - Utf8Length(left), ' ') + Indented(help, column) + "\n";
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

ConsoleOptions ParseConsoleArguments(const std::vector<std::string>& args, HostPlatform platform) {
    ConsoleOptions options;
    const auto problem = [&](UsageProblem kind, std::string_view argument) {
        if (options.problem == UsageProblem::None) {
            options.problem = kind;
            options.offending = argument;
            if (kind == UsageProblem::UnknownCommand) {
                options.suggestion = Nearest(argument, CommandNameList());
            } else if (kind == UsageProblem::UnknownOption) {
                options.suggestion = Nearest(argument, OptionNameList());
            }
        }
    };
    std::vector<std::string> words;  // neither an option nor a command: ports to probe, or mistakes
    // On Linux a word that begins with "/" is a path ("ports /dev/ttyUSB0"); only Windows has "/x" options.
    const bool slashOptions = platform != HostPlatform::Linux;
    bool optionsEnded = false;  // after "--" every word is a command or a port, whatever it looks like
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionEntry* option =
            optionsEnded || (!slashOptions && arg.starts_with("/")) ? nullptr : OptionNamed(arg);
        const OptionEntry* withValue = optionsEnded || option != nullptr ? nullptr : OptionWithValueIn(arg);
        const bool looksLikeOption = arg.starts_with("-") || (slashOptions && arg.starts_with("/"));
        if (option != nullptr) {
            if (option->flag != nullptr) {
                options.*(option->flag) = true;
            } else if (i + 1 < args.size() && !args[i + 1].empty()) {
                // The value is the next argument, whatever it looks like: a file may be called "-x".
                options.*(option->value) = args[++i];
            } else {
                problem(UsageProblem::MissingValue, option->name);
            }
        } else if (withValue != nullptr) {
            if (std::string value = arg.substr(withValue->name.size() + 1); !value.empty()) {
                options.*(withValue->value) = std::move(value);
            } else {
                problem(UsageProblem::MissingValue, withValue->name);
            }
        } else if (!optionsEnded && looksLikeOption) {
            problem(UsageProblem::UnknownOption, arg);
        } else if (const ConsoleCommand command = CommandNamed(arg); command == ConsoleCommand::None) {
            words.push_back(arg);
        } else if (options.command != ConsoleCommand::None) {
            problem(UsageProblem::SecondCommand, arg);
        } else {
            options.command = command;
        }
    }
    for (const std::string& word : words) {
        if (options.command != ConsoleCommand::Ports) {
            problem(UsageProblem::UnknownCommand, word);
        } else if (auto port = ParsePortValue(word, platform)) {
            options.portsNamed.push_back(*port);
        } else {
            problem(UsageProblem::PortInvalid, word);
        }
    }
    if (options.command == ConsoleCommand::None) {
        problem(UsageProblem::NoCommand, "");
    }
    // "ports --port X" probes X alone, as "ports X" does: probing transmits, so never every port instead.
    if (options.command == ConsoleCommand::Ports && options.port) {
        if (auto port = ParsePortValue(*options.port, platform)) {
            if (std::find(options.portsNamed.begin(), options.portsNamed.end(), *port) ==
                options.portsNamed.end()) {
                options.portsNamed.push_back(*port);
            }
        }
    }
    if (options.language && !LanguageNamed(*options.language)) {
        problem(UsageProblem::LanguageInvalid, *options.language);
    }
    // "none" takes the Port key away, which only use-port does.
    if (options.port && !ParsePortValue(*options.port, platform) &&
        !(options.command == ConsoleCommand::UsePort && Lowercase(*options.port) == "none")) {
        problem(UsageProblem::PortInvalid, *options.port);
    }
    // --all only reads: a switch acts on one instrument, the one --device names or the first.
    if (options.all && (options.command != ConsoleCommand::Status || options.device)) {
        problem(UsageProblem::AllMisplaced, options.device ? "--device" : CommandName(options.command));
    }
    // A port typed where a command goes ("use-port COM5") was meant for --port.
    if (options.problem == UsageProblem::UnknownCommand) {
        const std::string lower = Lowercase(options.offending);
        if (const std::optional<std::string> port =
                lower == "none" ? lower : ParsePortValue(options.offending, platform)) {
            const std::string_view command = CommandName(options.command);
            options.suggestion = (command.empty() ? "" : std::string(command) + " ") + "--port " + *port;
        }
    }
    return options;
}

std::optional<int> LanguageNamed(std::string_view name) {
    const std::string lower = Lowercase(name);
    if (lower == "en") {
        return LANGUAGE_ENGLISH;
    }
    if (lower == "ru") {
        return LANGUAGE_RUSSIAN;
    }
    return std::nullopt;
}

std::optional<int> LanguageFromLocale(std::string_view lcAll, std::string_view lcMessages,
                                      std::string_view lang) {
    for (const std::string_view value : {lcAll, lcMessages, lang}) {
        if (!value.empty()) {
            return value.starts_with("ru") ? LANGUAGE_RUSSIAN : LANGUAGE_ENGLISH;
        }
    }
    return std::nullopt;
}

std::string NameCommands(std::string_view text) {
    std::string result;
    std::size_t at = 0;
    for (std::size_t open = text.find('{'); open != std::string_view::npos; open = text.find('{', at)) {
        const std::size_t close = text.find('}', open);
        if (close == std::string_view::npos) {
            break;
        }
        const std::string_view name = text.substr(open + 1, close - open - 1);
        std::string_view replacement;
        if (name == "program") {
            replacement = CONSOLE_PROGRAM_NAME;
        }
        for (const CommandEntry& command : CONSOLE_COMMANDS) {
            if (name == command.name) {
                replacement = command.name;
            }
        }
        for (const OptionEntry& option : CONSOLE_OPTIONS) {
            if (name == option.name) {
                replacement = option.name;
            }
        }
        result.append(text.substr(at, open - at));
        result.append(replacement.empty() ? text.substr(open, close + 1 - open) : replacement);
        at = close + 1;
    }
    result.append(text.substr(at));
    return result;
}

std::string HelpText(const ConsoleTexts& t) {
    const std::string program(CONSOLE_PROGRAM_NAME);
    std::size_t nameWidth = 0;
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        nameWidth = std::max(nameWidth, command.name.size());
    }
    std::vector<std::pair<std::string, std::string>> usage;
    for (const CommandEntry& command : CONSOLE_COMMANDS) {
        usage.emplace_back(program + " " + std::string(command.name) +
                               std::string(nameWidth + 1 - command.name.size(), ' ') +
                               std::string(t[ConsoleText::HelpCommandArguments]),
                           t[command.help]);
    }
    std::vector<std::pair<std::string, std::string>> options;
    for (const OptionEntry& option : CONSOLE_OPTIONS) {
        std::string left;
        if (!option.shortName.empty()) {
            left.append(option.shortName).append(", ");
        }
        left.append(option.name);
        if (option.valueName) {
            left.append(" ").append(t[*option.valueName]);
        }
        if (option.flag == &ConsoleOptions::help || option.flag == &ConsoleOptions::version) {
            usage.emplace_back(program + " " + std::string(option.name), t[option.help]);
        }
        options.emplace_back(left, t[option.help]);
    }
    std::vector<std::pair<std::string, std::string>> exitCodes;
    for (const ExitCodeEntry& exit : EXIT_CODES) {
        exitCodes.emplace_back(std::to_string(exit.code), t[exit.meaning]);
    }
    return t[ConsoleText::HelpIntro] + "\n\n" + t[ConsoleText::HelpUsage] + "\n" + Columns(usage) + "\n" +
           t[ConsoleText::HelpOptions] + "\n" + Columns(options) + "\n" + t[ConsoleText::HelpExitCodes] +
           "\n" + Columns(exitCodes, 2);
}

}  // namespace qx
