#include "app/console_program.h"

#include <cstdio>
#include <utility>

#include "app/console_options.h"
#include "app/mode_switch.h"
#include "app/read_search_mode.h"
#include "app/run_outcome.h"
#include "app/settings.h"
#include "link/irda_link.h"
#include "link/stoppable_calls.h"
#include "link/traced_calls.h"

namespace qx {
namespace {

// The settings calls as the console program may use them: reads pass, writes are refused, so the settings
// file is never written or created. The first argument is --settings, not the process's first argument
// (which is the command).
class ReadOnlyProfileCalls final : public ProfileCalls {
  public:
    ReadOnlyProfileCalls(ProfileCalls& inner, std::optional<std::string> settingsPath)
        : inner_(inner), settingsPath_(std::move(settingsPath)) {}

    std::string ReadString(const std::string& path, const std::string& section, const std::string& key,
                           std::size_t maxChars) override {
        return inner_.ReadString(path, section, key, maxChars);
    }
    bool WriteString(const std::string&, const std::string&, const std::string&,
                     const std::string&) override {
        return false;
    }
    bool FileExists(const std::string& path) override { return inner_.FileExists(path); }
    std::optional<ProfileFileRead> ReadHeld(const std::string& path, const std::string& section,
                                            const std::string& key, std::size_t maxChars) override {
        return inner_.ReadHeld(path, section, key, maxChars);
    }
    bool DirectoryExists(const std::string& path) override { return inner_.DirectoryExists(path); }
    std::string CurrentDirectory() override { return inner_.CurrentDirectory(); }
    std::optional<std::string> FirstArgument() override { return settingsPath_; }

  private:
    ProfileCalls& inner_;
    std::optional<std::string> settingsPath_;
};

// The language the window would show, read the way the window reads it. A missing file is not created: the
// refused write ends LoadSettings with the language still at its default.
int ReadLanguage(ProfileCalls& profile, const std::optional<std::string>& settingsPath,
                 const std::string& programDirectory) {
    ReadOnlyProfileCalls readOnly(profile, settingsPath);
    Settings settings(readOnly);
    try {
        settings.LoadSettings(programDirectory);
    } catch (const SettingsError&) {
    }
    return settings.Language;
}

bool IsOkAnswer(std::string answer) {
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t' || answer.back() == '\r')) {
        answer.pop_back();
    }
    while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) {
        answer.erase(answer.begin());
    }
    for (char& c : answer) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    // The Russian prompt says "ОК" in Cyrillic letters; a user may well type it so.
    for (const char* ok : {"ok", "y", "yes", "ОК", "Ок", "ок", "да", "Да", "ДА"}) {
        if (answer == ok) {
            return true;
        }
    }
    return false;
}

std::string WordText(ConfigWord word) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", word);
    return text;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <typename T, typename Show>
std::string JsonOr(const std::optional<T>& value, Show show) {
    return value ? show(*value) : std::string("null");
}

const std::string& Reason(const ConsoleTexts& t, RunStage stage) {
    switch (stage) {
        case RunStage::NoSockets:
            return t.reasonNoSockets;
        case RunStage::SocketFailed:
            return t.reasonSocketFailed;
        case RunStage::SearchFailed:
            return t.reasonSearchFailed;
        case RunStage::NoDevice:
            return t.reasonNoDevice;
        case RunStage::ConnectFailed:
            return t.reasonConnectFailed;
        case RunStage::ReadFailed:
            return t.reasonReadFailed;
        case RunStage::NotWritten:
            return t.reasonNotWritten;
        case RunStage::WriteRefused:
            return t.reasonWriteRefused;
        case RunStage::WriteUnconfirmed:
            return t.reasonWriteUnconfirmed;
        case RunStage::Done:
            break;
    }
    static const std::string none;
    return none;
}

// "Caption: text", or whichever of the two there is.
std::string Captioned(const std::string& caption, const std::string& text) {
    return caption.empty() ? text : text.empty() ? caption : caption + ": " + text;
}

const char* CommandName(ConsoleCommand command) {
    switch (command) {
        case ConsoleCommand::Status:
            return "status";
        case ConsoleCommand::Enable:
            return "enable";
        case ConsoleCommand::Disable:
            return "disable";
        case ConsoleCommand::None:
            break;
    }
    return "";
}

// The mode switch's host on the console: status texts printed as they come, the confirmation asked on
// standard error and answered on standard input, the result kept for the end.
class ConsoleHost final : public ModeSwitchHost {
  public:
    ConsoleHost(ConsoleEnvironment& console, const ConsoleTexts& texts, const ConsoleOptions& options,
                std::vector<std::string>& statuses, std::function<bool()> enterRun)
        : console_(console),
          texts_(texts),
          options_(options),
          statuses_(statuses),
          enterRun_(std::move(enterRun)) {}

    void SetStatusText(const std::string& text) override {
        // The window clears its panel at the end of a run; on a console there is nothing to clear.
        if (text.empty()) {
            return;
        }
        statuses_.push_back(text);
        if (!options_.json) {
            console_.Out(text + "\n");
        }
    }
    bool Confirm(const std::string& text) override {
        if (!options_.yes) {
            console_.Err(text + "\n" + texts_.confirmQuestion);
            const std::optional<std::string> answer = console_.ReadLine();
            if (!answer) {
                console_.Err("\n");
            }
            if (!answer || answer->size() > ANSWER_LIMIT || !IsOkAnswer(*answer)) {
                return false;
            }
        }
        confirmed = enterRun_();
        return confirmed;
    }
    void ShowResult(const std::string& text, const std::string& caption, ResultIcon) override {
        resultText = text;
        resultCaption = caption;
    }

    bool confirmed = false;
    std::string resultText;
    std::string resultCaption;

  private:
    ConsoleEnvironment& console_;
    const ConsoleTexts& texts_;
    const ConsoleOptions& options_;
    std::vector<std::string>& statuses_;
    std::function<bool()> enterRun_;
};

}  // namespace

ConsoleProgram::ConsoleProgram(ConsoleEnvironment& console, ConsoleBindings bindings)
    : console_(console), bindings_(std::move(bindings)), texts_(ConsoleTextsFor(LANGUAGE_ENGLISH)) {}

ConsoleProgram::InterruptEffect ConsoleProgram::Interrupt() {
    const std::lock_guard lock(mutex_);
    stopRequested_ = true;
    switch (phase_) {
        case Phase::Before:
            console_.Err("\n" + texts_.interruptedIdle + "\n");
            return InterruptEffect::NothingOpen;
        case Phase::Running:
            console_.Err(texts_.interrupting + "\n");
            return InterruptEffect::RunUnderWay;
        case Phase::Ended:
            break;
    }
    return InterruptEffect::Ended;
}

void ConsoleProgram::WaitUntilEnded() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return phase_ == Phase::Ended; });
}

bool ConsoleProgram::EnterRun() {
    const std::lock_guard lock(mutex_);
    if (stopRequested_) {
        return false;
    }
    phase_ = Phase::Running;
    return true;
}

int ConsoleProgram::End(int code) {
    {
        const std::lock_guard lock(mutex_);
        phase_ = Phase::Ended;
    }
    ended_.notify_all();
    return code;
}

int ConsoleProgram::Run(const std::vector<std::string>& args) {
    const ConsoleOptions options = ParseConsoleArguments(args);
    const int language = ReadLanguage(bindings_.profile, options.settingsPath, bindings_.programDirectory);
    FormTexts form;
    ApplyLanguage(language, form);
    const MessageSlots& slots = form.slots;
    {
        const std::lock_guard lock(mutex_);
        texts_ = ConsoleTextsFor(language);
    }
    const ConsoleTexts& t = texts_;

    if (options.help) {
        console_.Out(t.help);
        return End(EXIT_DONE);
    }
    if (options.problem != UsageProblem::None) {
        std::string message;
        switch (options.problem) {
            case UsageProblem::UnknownOption:
                message = Fill(t.unknownOption, options.offending);
                break;
            case UsageProblem::UnknownCommand:
                message = Fill(t.unknownCommand, options.offending);
                break;
            case UsageProblem::NoCommand:
                message = t.noCommand;
                break;
            case UsageProblem::SecondCommand:
                message = Fill(t.secondCommand, options.offending);
                break;
            case UsageProblem::MissingValue:
                message = Fill(t.missingValue, options.offending);
                break;
            case UsageProblem::None:
                break;
        }
        console_.Err("QX2205R-cli: " + message + "\n" + t.usageHint + "\n");
        return End(EXIT_USAGE);
    }
    if (bindings_.loopbackPort) {
        console_.Err(Fill(t.loopbackActive, std::to_string(*bindings_.loopbackPort)) + "\n");
    }

    // The link sees the platform through the witness (for --trace and for what the instrument received) and
    // the brake (for an interruption).
    StoppableCalls stoppable(bindings_.calls, stopRequested_);
    TracedCalls::Sink trace;
    if (options.trace) {
        trace = [this](const std::string& line) { console_.Err(line + "\n"); };
    }
    TracedCalls traced(stoppable, trace, [this] { return console_.MillisecondsSinceStart(); });
    IrdaLink link(traced);

    std::vector<std::string> statuses;
    RunOutcome outcome;
    std::string resultText;
    std::string resultCaption;
    ConsoleHost host(console_, t, options, statuses, [this] { return EnterRun(); });
    if (options.command == ConsoleCommand::Status) {
        if (!EnterRun()) {
            return End(EXIT_INTERRUPTED);
        }
        outcome = ReadSearchMode(link, slots, [&](const std::string& text) { host.SetStatusText(text); });
        if (outcome.stage != RunStage::Done) {
            resultCaption = slots[Slot::FailureCaption];
            resultText = t.readNotDone;
        }
    } else {
        const bool acknowledged = SetSearchMode(options.command == ConsoleCommand::Enable, link, slots, host);
        if (!host.confirmed) {
            const bool interrupted = stopRequested_;
            const std::string message = interrupted ? t.interruptedIdle : t.cancelled;
            if (options.json) {
                console_.Out(std::string("{\"command\": \"") + CommandName(options.command) +
                             "\", \"result\": " + JsonString(interrupted ? "interrupted" : "cancelled") +
                             ", \"written\": false, \"exit_code\": " +
                             std::to_string(interrupted ? EXIT_INTERRUPTED : EXIT_CANCELLED) +
                             ", \"reason\": " + JsonString(message) + "}\n");
            } else {
                console_.Out(message + "\n");
            }
            return End(interrupted ? EXIT_INTERRUPTED : EXIT_CANCELLED);
        }
        outcome = OutcomeOfSwitch(traced.Record(), acknowledged);
        resultText = host.resultText;
        resultCaption = host.resultCaption;
    }
    // The platform's own error for a socket that could not be made says more than the discovery's error on
    // it.
    if (traced.Record().socketFailed && outcome.stage == RunStage::SocketFailed) {
        outcome.code = traced.Record().socketError;
    }

    const bool done = outcome.stage == RunStage::Done;
    const bool interrupted = stopRequested_ && !done;
    const int exitCode = done ? EXIT_DONE : interrupted ? EXIT_INTERRUPTED : EXIT_RUN_FAILED;
    const std::optional<ConfigWord> held = WordHeld(outcome);
    const std::string reason = done ? "" : Fill(Reason(t, outcome.stage), std::to_string(outcome.code));

    if (options.json) {
        std::string statusList;
        for (const std::string& s : statuses) {
            statusList += (statusList.empty() ? "" : ", ") + JsonString(s);
        }
        const auto word = [](ConfigWord w) { return JsonString(WordText(w)); };
        std::string json = "{";
        json += "\"command\": \"" + std::string(CommandName(options.command)) + "\"";
        json += ", \"device\": " + JsonOr(outcome.device, JsonString);
        json += ", \"word\": " + JsonOr(held, word);
        json += ", \"search_mode\": " + JsonOr(held, [](ConfigWord w) {
                    return std::string((w & SEARCH_MODE_BIT) ? "true" : "false");
                });
        json += ", \"word_read\": " + JsonOr(outcome.wordRead, word);
        json += ", \"word_sent\": " + JsonOr(outcome.wordSent, word);
        json += std::string(", \"written\": ") + (outcome.written ? "true" : "false");
        json += ", \"result\": " + JsonString(std::string(StageName(outcome.stage)));
        json += ", \"code\": " + std::to_string(outcome.code);
        json += std::string(", \"interrupted\": ") + (stopRequested_ ? "true" : "false");
        json += ", \"exit_code\": " + std::to_string(exitCode);
        json += ", \"reason\": " + (done ? std::string("null") : JsonString(reason));
        json += ", \"statuses\": [" + statusList + "]";
        json += ", \"result_text\": " + (resultText.empty() && resultCaption.empty()
                                             ? std::string("null")
                                             : JsonString(Captioned(resultCaption, resultText)));
        json += "}\n";
        console_.Out(json);
        return End(exitCode);
    }

    std::string report;
    if (outcome.device) {
        report += t.deviceLabel + ": " + *outcome.device + "\n";
    }
    if (outcome.wordRead) {
        report += t.wordLabel + ": " + WordText(*outcome.wordRead) + "\n";
    }
    if (outcome.wordSent) {
        report += t.wordSentLabel + ": " + WordText(*outcome.wordSent) + "\n";
    }
    if (outcome.wordRead || outcome.wordSent) {
        report += t.searchModeLabel + ": " +
                  (!held                       ? t.modeUnknown
                   : (*held & SEARCH_MODE_BIT) ? t.modeOn
                                               : t.modeOff) +
                  "\n";
    }
    if (interrupted) {
        report += t.interrupted + "\n";
    }
    if (!done) {
        report += t.reasonLabel + ": " + reason + "\n";
    }
    if (!resultText.empty() || !resultCaption.empty()) {
        report += Captioned(resultCaption, resultText) + "\n";
    }
    console_.Out(report);
    return End(exitCode);
}

}  // namespace qx
