// Writes the console program's manual page (troff, section 1) from its table of commands and options and its
// Linux texts, so that the page says what --help says: a command or option added to the table is in both.
#include <cstdio>
#include <string>
#include <string_view>

#include "app/console_options.h"
#include "app/program_version.h"
#include "app/texts.h"

namespace {

// Text as troff reads it: backslashes and hyphens escaped, no line starting with a control character, the
// help's line breaks joined (troff fills its own lines).
std::string Roff(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else if (c == '\n') {
            out += ' ';
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out.front() == '.' || out.front() == '\'')) {
        out.insert(0, "\\&");
    }
    return out;
}

// Appends each piece in turn. (Pieces joined with + first trip g++ 12's -Wrestrict at -O3, falsely, where a
// literal goes in front of a temporary string.)
template <typename... Pieces>
void Add(std::string& page, const Pieces&... pieces) {
    (page.append(pieces), ...);
}

}  // namespace

int main() {
    const qx::ConsoleTexts& t = qx::ConsoleTextsFor(qx::LANGUAGE_ENGLISH, qx::HostPlatform::Linux);
    const std::string name(qx::CONSOLE_PROGRAM_NAME);
    std::string page;
    Add(page, ".TH ", Roff(name), " 1 \"\" \"", Roff(qx::ProgramVersionText(name)), "\"\n");
    Add(page, ".SH NAME\n", Roff(name), " \\- ", Roff(t[qx::ConsoleText::HelpIntro].substr(name.size() + 2)),
        "\n");
    page += ".SH SYNOPSIS\n";
    for (const qx::CommandEntry& command : qx::CONSOLE_COMMANDS) {
        Add(page, ".B ", Roff(name), " ", Roff(command.name), "\n.RI [ options ]\n.br\n");
    }
    page += ".SH COMMANDS\n";
    for (const qx::CommandEntry& command : qx::CONSOLE_COMMANDS) {
        Add(page, ".TP\n.B ", Roff(command.name), "\n", Roff(t[command.help]), "\n");
    }
    page += ".SH OPTIONS\n";
    for (const qx::OptionEntry& option : qx::CONSOLE_OPTIONS) {
        page += ".TP\n.B ";
        if (!option.shortName.empty()) {
            Add(page, Roff(option.shortName), ", ");
        }
        Add(page, Roff(option.name));
        if (option.valueName) {
            Add(page, " \\fI", Roff(t[*option.valueName]), "\\fR");
        }
        Add(page, "\n", Roff(t[option.help]), "\n");
    }
    page += ".SH EXIT STATUS\n.nf\n";
    for (const qx::ExitCodeEntry& exit : qx::EXIT_CODES) {
        Add(page, std::to_string(exit.code), "  ", Roff(t[exit.meaning]), "\n");
    }
    page += ".fi\n";
    page +=
        ".SH FILES\n.TP\n.I $XDG_CONFIG_HOME/qx2205r/QX2205R.ini\n"
        "The settings file ([Parameters]: Language 0 English, 1 Russian; Port, the adapter's device), "
        "~/.config/qx2205r/QX2205R.ini when XDG_CONFIG_HOME is not set.\n";
    page +=
        ".SH ENVIRONMENT\n.TP\n.B LC_ALL, LC_MESSAGES, LANG\n"
        "Where neither \\-\\-language nor the settings file's Language says a language, the first of them "
        "that is set and not empty decides: Russian when it begins with ru, else English.\n"
        ".TP\n.B XDG_CONFIG_HOME\nHolds the settings folder, qx2205r (an absolute path only; else ~/.config "
        "holds it).\n";
    page +=
        ".SH NOTES\nThe serial device must be readable and writable by the user: on Debian and Ubuntu, "
        "membership of the \\fBdialout\\fR group. An adapter that was plugged in shows in \\fBdmesg\\fR.\n";
    page += ".SH SEE ALSO\n/usr/share/doc/qx2205r/USER_GUIDE.txt\n";
    std::fwrite(page.data(), 1, page.size(), stdout);
    return 0;
}
