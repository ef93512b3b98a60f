#include "app/console_program.h"

#include <cstdio>
#include <utility>

#include "app/link_choice.h"
#include "app/mode_switch.h"
#include "app/program_version.h"
#include "app/read_search_mode.h"
#include "app/settings.h"
#include "irda/usb_dongle.h"
#include "link/irda_link.h"
#include "link/stoppable_calls.h"

namespace qx {

// How a command ended, whatever the ending: what the text report and the JSON object are both written from.
struct ConsoleReport {
    ConsoleCommand command = ConsoleCommand::None;
    RunOutcome outcome;
    std::string result;  // the JSON's "result": a stage name, or "usage_error", "interrupted"
    bool ran = false;    // the run went ahead: the report shows what it found
    bool usage = false;  // a usage error: the text goes to standard error
    bool interrupted = false;
    int exitCode = EXIT_DONE;
    std::string reason;  // empty when done
    std::vector<std::string> statuses;
    std::string resultText;  // the result box's caption and text, empty when there was none
};

// The link of one run: the platform's calls through the brake and, for --trace, the witness.
class RunLink {
  public:
    RunLink(SocketCalls& platform, const std::atomic<bool>& stopRequested, const CallTracer& tracer,
            LineSink sink, bool everything)
        : stoppable_(platform, stopRequested),
          traced_(tracer && sink ? tracer(stoppable_, std::move(sink), everything) : nullptr),
          link_(traced_ ? *traced_ : static_cast<SocketCalls&>(stoppable_)) {}

    IrdaLink& Link() { return link_; }

  private:
    StoppableCalls stoppable_;
    std::unique_ptr<SocketCalls> traced_;
    IrdaLink link_;
};

namespace {

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

std::string JsonOrNull(const std::string& text) {
    return text.empty() ? std::string("null") : JsonString(text);
}

std::string_view Reason(const ConsoleTexts& t, RunStage stage) {
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
        case RunStage::Cancelled:
            return t.cancelled;
        case RunStage::Done:
            break;
    }
    return {};
}

std::string UsageMessage(const ConsoleTexts& t, const ConsoleOptions& options) {
    switch (options.problem) {
        case UsageProblem::UnknownOption:
            return Fill(t.unknownOption, options.offending);
        case UsageProblem::UnknownCommand:
            return Fill(t.unknownCommand, options.offending);
        case UsageProblem::NoCommand:
            return Fill(t.noCommand, CommandNames());
        case UsageProblem::SecondCommand:
            return Fill(t.secondCommand, options.offending);
        case UsageProblem::MissingValue:
            return Fill(t.missingValue, options.offending);
        case UsageProblem::SettingsMissing:
            return Fill(t.settingsMissing, options.offending);
        case UsageProblem::PortInvalid:
            return Fill(t.portInvalid, options.offending);
        case UsageProblem::None:
            break;
    }
    return {};
}

// The usage problem's message, with the nearest command or option when there is one.
std::string UsageText(const ConsoleTexts& t, const ConsoleOptions& options) {
    std::string message = UsageMessage(t, options);
    if (!options.suggestion.empty()) {
        message += "; " + Fill(t.didYouMean, options.suggestion);
    }
    return message;
}

// Stopped before anything went to the instrument: in the search, or refused at the connect.
bool StoppedBeforeSending(const RunOutcome& outcome) {
    switch (outcome.stage) {
        case RunStage::NoSockets:
        case RunStage::SocketFailed:
        case RunStage::SearchFailed:
        case RunStage::NoDevice:
            return true;
        case RunStage::ConnectFailed:
            return outcome.code == WSAEINTR_CODE;
        default:
            return false;
    }
}

// "Caption: text", or whichever of the two there is.
std::string Captioned(const std::string& caption, const std::string& text) {
    return caption.empty() ? text : text.empty() ? caption : caption + ": " + text;
}

// The report of a command that never reached the instrument: cancelled, interrupted before the run, or a
// usage error.
ConsoleReport EndingWithoutRun(const ConsoleOptions& options, std::string result, int exitCode,
                               std::string reason) {
    ConsoleReport report;
    report.command = options.command;
    report.result = std::move(result);
    report.exitCode = exitCode;
    report.interrupted = exitCode == EXIT_INTERRUPTED;
    report.usage = exitCode == EXIT_USAGE;
    report.reason = std::move(reason);
    return report;
}

std::string JsonReport(const ConsoleReport& r) {
    const RunOutcome& outcome = r.outcome;
    const std::optional<ConfigWord> held = WordHeld(outcome);
    std::string statusList;
    for (const std::string& s : r.statuses) {
        statusList += (statusList.empty() ? "" : ", ") + JsonString(s);
    }
    const auto word = [](ConfigWord w) { return JsonString(WordText(w)); };
    const std::string_view command = CommandName(r.command);
    std::string json = "{";
    json += "\"command\": " + JsonOrNull(std::string(command));
    json += ", \"device\": " + JsonOr(outcome.device, JsonString);
    json += ", \"word\": " + JsonOr(held, word);
    json += ", \"search_mode\": " +
            JsonOr(held, [](ConfigWord w) { return std::string((w & SEARCH_MODE_BIT) ? "true" : "false"); });
    json += ", \"word_read\": " + JsonOr(outcome.wordRead, word);
    json += ", \"word_sent\": " + JsonOr(outcome.wordSent, word);
    json += std::string(", \"written\": ") + (outcome.written ? "true" : "false");
    json += ", \"result\": " + JsonString(r.result);
    json += ", \"code\": " + std::to_string(outcome.code);
    json += std::string(", \"interrupted\": ") + (r.interrupted ? "true" : "false");
    json += ", \"exit_code\": " + std::to_string(r.exitCode);
    json += ", \"reason\": " + JsonOrNull(r.reason);
    json += ", \"statuses\": [" + statusList + "]";
    json += ", \"result_text\": " + JsonOrNull(r.resultText);
    return json + "}\n";
}

std::string TextReport(const ConsoleReport& r, const ConsoleTexts& t) {
    if (!r.ran) {
        return r.usage ? "QX2205R-cli: " + r.reason + "\n" + std::string(t.usageHint) + "\n"
                       : r.reason + "\n";
    }
    const RunOutcome& outcome = r.outcome;
    const std::optional<ConfigWord> held = WordHeld(outcome);
    const auto line = [](std::string_view label, const std::string& value) {
        return std::string(label) + ": " + value + "\n";
    };
    std::string report;
    if (outcome.device) {
        report += line(t.deviceLabel, *outcome.device);
    }
    if (outcome.wordRead) {
        report += line(t.wordLabel, WordText(*outcome.wordRead));
    }
    if (outcome.wordSent) {
        report += line(t.wordSentLabel, WordText(*outcome.wordSent));
    }
    if (outcome.wordRead || outcome.wordSent) {
        report += line(t.searchModeLabel, std::string(!held                       ? t.modeUnknown
                                                      : (*held & SEARCH_MODE_BIT) ? t.modeOn
                                                                                  : t.modeOff));
    }
    const bool done = outcome.stage == RunStage::Done;
    if (r.interrupted && !done) {
        report += std::string(t.interrupted) + "\n";
    }
    if (!done) {
        report += line(t.reasonLabel, r.reason);
    }
    if (!r.resultText.empty()) {
        report += r.resultText + "\n";
    }
    return report;
}

// The mode switch's host on the console: status texts printed as they come, the confirmation asked on
// standard error and answered on standard input, the result kept for the end.
class ConsoleHost final : public ModeSwitchHost {
  public:
    ConsoleHost(ConsoleEnvironment& console, const ConsoleTexts& texts, const ConsoleOptions& options,
                const std::atomic<bool>& stopRequested, std::function<bool()> enterRun)
        : console_(console),
          texts_(texts),
          options_(options),
          stopRequested_(stopRequested),
          enterRun_(std::move(enterRun)) {}

    // Progress goes to standard error, so that standard output carries the result alone; nothing more is
    // said of the run's progress once the user has interrupted it.
    void SetStatusText(const std::string& text) override {
        // The window clears its panel at the end of a run; on a console there is nothing to clear.
        if (text.empty()) {
            return;
        }
        statuses.push_back(text);
        if (!options_.json && !options_.quiet && !stopRequested_) {
            console_.Err(text + "\n");
        }
    }
    // The console asks in its own words: the window's prompt speaks of clicking.
    bool Confirm(const std::string&) override {
        if (!options_.yes) {
            console_.Err(std::string(texts_.confirmPrompt) + "\n" + std::string(texts_.confirmQuestion));
            const std::optional<std::string> answer = console_.ReadLine();
            if (!answer) {
                console_.Err("\n");
            }
            if (!answer || answer->size() > ANSWER_LIMIT || !IsOkAnswer(*answer)) {
                return false;
            }
        }
        return enterRun_();
    }
    void ShowResult(const std::string& text, const std::string& caption, ResultIcon) override {
        resultText = Captioned(caption, text);
    }

    std::vector<std::string> statuses;
    std::string resultText;

  private:
    ConsoleEnvironment& console_;
    const ConsoleTexts& texts_;
    const ConsoleOptions& options_;
    const std::atomic<bool>& stopRequested_;
    std::function<bool()> enterRun_;
};

}  // namespace

ConsoleProgram::ConsoleProgram(ConsoleEnvironment& console, ConsoleBindings bindings)
    : console_(console),
      bindings_(std::move(bindings)),
      texts_(&ConsoleTextsFor(LANGUAGE_ENGLISH, bindings_.platform)),
      calls_(&bindings_.calls) {}

ConsoleProgram::InterruptEffect ConsoleProgram::Interrupt() {
    const std::lock_guard lock(mutex_);
    stopRequested_ = true;
    switch (phase_) {
        case Phase::Before:
            // Nothing has begun: the report is written here, as the process may end as soon as this returns.
            if (!reported_) {
                console_.Err("\n");
                Write(EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED,
                                       std::string(texts_->interruptedIdle)));
                reported_ = true;
            }
            return InterruptEffect::NothingOpen;
        case Phase::Running:
            console_.Err(std::string(texts_->interrupting) + "\n");
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

void ConsoleProgram::Write(const ConsoleReport& report) {
    if (options_.json) {
        console_.Out(JsonReport(report));
    }
    const std::string text = TextReport(report, *texts_);
    if (report.usage) {
        console_.Err(text);
    } else if (!options_.json) {
        console_.Out(text);
    }
}

int ConsoleProgram::Finish(const ConsoleReport& report) {
    {
        const std::lock_guard lock(mutex_);
        if (!reported_) {
            Write(report);
            reported_ = true;
        }
    }
    return End(report.exitCode);
}

int ConsoleProgram::End(int code) {
    {
        const std::lock_guard lock(mutex_);
        phase_ = Phase::Ended;
    }
    ended_.notify_all();
    return code;
}

void ConsoleProgram::FinishCapture() {
    if (!captureWork_ || bindings_.captureFiles == nullptr) {
        return;
    }
    const std::string work = *captureWork_;
    captureWork_.reset();
    // A capture no longer than its file header holds no frame.
    const auto start = bindings_.captureFiles->ReadStart(work, irda::PCAP_FILE_HEADER_SIZE + 1);
    if (!start || start->size() <= irda::PCAP_FILE_HEADER_SIZE) {
        bindings_.captureFiles->Remove(work);  // no frame: the file named stays as it was
        return;
    }
    if (!bindings_.captureFiles->Replace(work, *options_.capturePath)) {
        console_.Err(Fill(Fill(texts_->captureNotPlaced, *options_.capturePath), work) + "\n");
    }
}

std::unique_ptr<RunLink> ConsoleProgram::MakeLink() {
    LineSink trace;
    if (options_.trace || options_.traceAll) {
        trace = [this](const std::string& line) { console_.Err(line + "\n"); };
    }
    return std::make_unique<RunLink>(*calls_, stopRequested_, bindings_.tracer, std::move(trace),
                                     options_.traceAll);
}

ConsoleReport ConsoleProgram::RunReport(const RunOutcome& outcome, std::vector<std::string> statuses,
                                        std::string resultText) {
    if (stopRequested_ && StoppedBeforeSending(outcome)) {
        ConsoleReport report =
            EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED, std::string(texts_->interruptedIdle));
        report.outcome = outcome;
        report.statuses = std::move(statuses);
        return report;
    }
    ConsoleReport report;
    report.command = options_.command;
    report.outcome = outcome;
    report.ran = true;
    report.result = StageName(outcome.stage);
    report.statuses = std::move(statuses);
    report.resultText = std::move(resultText);
    report.interrupted = stopRequested_;
    const bool done = outcome.stage == RunStage::Done;
    report.exitCode = done ? EXIT_DONE : report.interrupted ? EXIT_INTERRUPTED : EXIT_RUN_FAILED;
    if (!done) {
        report.reason = Fill(Reason(*texts_, outcome.stage), std::to_string(outcome.code));
        // The serial stack's own word for a port that failed a read or a write: the port is named, and what
        // the instrument may hold still comes first once a write went out.
        if (!serialPort_.empty() && outcome.code == WSAENETDOWN_CODE && !outcome.wordSent) {
            report.reason = Fill(Fill(texts_->reasonPortFailed, serialPort_), std::to_string(outcome.code));
        } else if (outcome.stage == RunStage::SocketFailed) {
            report.reason += WithAdvice(static_cast<std::uint32_t>(outcome.code), portInForce_);
        }
    }
    return report;
}

ConsoleReport ConsoleProgram::RunStatus(const MessageSlots& slots) {
    if (!EnterRun()) {
        return EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED,
                                std::string(texts_->interruptedIdle));
    }
    ConsoleHost host(console_, *texts_, options_, stopRequested_, [] { return true; });
    const std::unique_ptr<RunLink> run = MakeLink();
    const RunOutcome outcome =
        ReadSearchMode(run->Link(), slots, [&](const std::string& text) { host.SetStatusText(text); });
    const std::string resultText =
        outcome.stage == RunStage::Done
            ? std::string()
            : Captioned(slots[Slot::FailureCaption], std::string(texts_->readNotDone));
    return RunReport(outcome, host.statuses, resultText);
}

ConsoleReport ConsoleProgram::RunSwitch(bool enable, const MessageSlots& slots) {
    ConsoleHost host(console_, *texts_, options_, stopRequested_, [this] { return EnterRun(); });
    const std::unique_ptr<RunLink> run = MakeLink();
    const RunOutcome outcome = RunModeSwitch(enable, run->Link(), slots, host);
    // The box's failure text would say the word was not written: here nobody knows.
    const std::string resultText =
        outcome.stage == RunStage::WriteUnconfirmed ? std::string(texts_->writeUnconfirmed) : host.resultText;
    if (outcome.stage == RunStage::Cancelled) {
        return stopRequested_ ? EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED,
                                                 std::string(texts_->interruptedIdle))
                              : EndingWithoutRun(options_, std::string(StageName(RunStage::Cancelled)),
                                                 EXIT_CANCELLED, std::string(texts_->cancelled));
    }
    return RunReport(outcome, host.statuses, resultText);
}

std::string ConsoleProgram::WithAdvice(std::uint32_t error, std::string_view port) const {
    const std::string_view advice =
        PortOpenAdvice(language_, bindings_.platform, error, irda::ParseUsbPort(port).has_value());
    return advice.empty() ? std::string() : ": " + std::string(advice);
}

int ConsoleProgram::RunPorts(const std::string& storedPort) {
    // Only the ports the user named, when he named any: probing transmits on the port.
    const std::vector<std::string> ports = !options_.portsNamed.empty() ? options_.portsNamed
                                           : bindings_.listPorts        ? bindings_.listPorts()
                                                                        : std::vector<std::string>{};
    const std::optional<std::string> stored = ParsePortValue(storedPort, bindings_.platform);
    if (ports.empty() || !bindings_.probePort) {
        if (options_.json) {
            console_.Out("{\"command\": \"ports\", \"stored_port\": " + JsonOr(stored, JsonString) +
                         ", \"ports\": [], \"exit_code\": " + std::to_string(EXIT_RUN_FAILED) + "}\n");
        } else {
            console_.Out(std::string(texts_->portsNone) + "\n");
        }
        return End(EXIT_RUN_FAILED);
    }
    std::optional<std::string> answeredOn;
    std::string json;
    for (const std::string& name : ports) {
        if (!options_.quiet) {
            console_.Err(Fill(texts_->portProbing, name) + "\n");
        }
        // A dongle frames for itself: the line profiles are for serial adapters only.
        const bool dongle = irda::ParseUsbPort(name).has_value();
        // The profile in force first; where nobody answered, the other profiles that set the lines. What the
        // first probe found stands unless another profile finds a device.
        irda::PortProbe probe = bindings_.probePort(name, lineProfile_);
        irda::LineProfile answeredWith = lineProfile_;
        for (const irda::LineProfileName& other : irda::LINE_PROFILES) {
            if (dongle || probe.openError != 0 || !probe.devices.empty()) {
                break;
            }
            if (other.profile != lineProfile_ && other.profile != irda::LineProfile::None) {
                if (irda::PortProbe tried = bindings_.probePort(name, other.profile);
                    !tried.devices.empty()) {
                    probe = std::move(tried);
                    answeredWith = other.profile;
                }
            }
        }
        const std::string port = probe.adapter.empty() ? name : name + " (" + probe.adapter + ")";
        const std::string mark = name == stored ? std::string(texts_->portStoredMark) : std::string();
        if (!dongle && !probe.devices.empty() && !options_.json) {
            console_.Out(Fill(Fill(texts_->portProfile, port), irda::NameOf(answeredWith)) + "\n");
        }
        std::string devices;
        if (options_.json) {
            // Said once for all ports, below.
        } else if (probe.openError != 0) {
            console_.Out(Fill(Fill(texts_->portOpenFailed, port), std::to_string(probe.openError)) +
                         WithAdvice(probe.openError, name) + mark + "\n");
        } else if (probe.discoveryError != 0) {
            console_.Out(Fill(Fill(texts_->portSearchFailed, port), std::to_string(probe.discoveryError)) +
                         mark + "\n");
        } else if (probe.devices.empty()) {
            console_.Out(Fill(texts_->portNoDevice, port) + mark + "\n");
        }
        for (const irda::DiscoveredDevice& device : probe.devices) {
            char address[16];
            std::snprintf(address, sizeof address, "0x%08X", static_cast<unsigned>(device.address));
            const std::string nickname = PrintableName(device.nickname);
            if (options_.json) {
                devices += (devices.empty() ? "" : ", ") + std::string("{\"name\": ") + JsonString(nickname) +
                           ", \"address\": " + JsonString(address) + "}";
            } else {
                console_.Out(Fill(Fill(Fill(texts_->portDevice, port), nickname), address) + mark + "\n");
            }
            if (!answeredOn) {
                answeredOn = name;
            }
        }
        const auto errorOrNull = [](std::int64_t error) {
            return error != 0 ? std::to_string(error) : std::string("null");
        };
        json +=
            (json.empty() ? "" : ", ") + std::string("{\"port\": ") + JsonString(name) +
            ", \"adapter\": " + (probe.adapter.empty() ? std::string("null") : JsonString(probe.adapter)) +
            ", \"stored\": " + (name == stored ? "true" : "false") +
            ", \"open_error\": " + errorOrNull(probe.openError) +
            ", \"search_error\": " + errorOrNull(probe.discoveryError) + ", \"adapter_profile\": " +
            (dongle || probe.devices.empty() ? std::string("null")
                                             : JsonString(std::string(irda::NameOf(answeredWith)))) +
            ", \"devices\": [" + devices + "]}";
    }
    const int exitCode = answeredOn ? EXIT_DONE : EXIT_RUN_FAILED;
    // The next step, where an instrument answered on a port the settings do not name yet.
    const bool suggest = answeredOn && answeredOn != stored;
    if (options_.json) {
        console_.Out("{\"command\": \"ports\", \"stored_port\": " + JsonOr(stored, JsonString) +
                     ", \"ports\": [" + json +
                     "], \"suggested_port\": " + (suggest ? JsonString(*answeredOn) : std::string("null")) +
                     ", \"exit_code\": " + std::to_string(exitCode) + "}\n");
    } else if (suggest) {
        console_.Out(Fill(texts_->portSuggestUse, *answeredOn) + "\n");
    }
    return End(exitCode);
}

int ConsoleProgram::RunUsePort(const ConsoleOptions& options) {
    const std::optional<std::string> port =
        options.port ? ParsePortValue(*options.port, bindings_.platform) : std::nullopt;
    if (!port) {
        return Finish(EndingWithoutRun(options, "usage_error", EXIT_USAGE, std::string(texts_->portMissing)));
    }
    Settings settings(bindings_.profile);
    switch (settings.StorePort(bindings_.programDirectory, options.settingsPath, *port)) {
        case Settings::PortStore::Stored:
            break;
        case Settings::PortStore::NotOurs:
            console_.Err(Fill(texts_->portNotOurs, settings.SettingsPath) + "\n");
            return End(EXIT_RUN_FAILED);
        case Settings::PortStore::WriteFailed:
            console_.Err(Fill(texts_->portNotStored, settings.SettingsPath) + "\n");
            return End(EXIT_RUN_FAILED);
    }
    console_.Out(Fill(Fill(texts_->portStored, *port), settings.SettingsPath) + "\n");
    return End(EXIT_DONE);
}

int ConsoleProgram::Run(const std::vector<std::string>& args) {
    const int code = RunCommand(args);
    FinishCapture();
    return code;
}

int ConsoleProgram::RunCommand(const std::vector<std::string>& args) {
    ConsoleOptions options = ParseConsoleArguments(args, bindings_.platform);
    Settings settings(bindings_.profile);
    // A settings file named on the command line and not there is a mistake, not a wish for English.
    if (settings.ReadSettingsOnly(bindings_.programDirectory, options.settingsPath) ==
            Settings::ReadOnlyLoad::Missing &&
        options.settingsPath && options.problem == UsageProblem::None) {
        options.problem = UsageProblem::SettingsMissing;
        options.offending = settings.SettingsPath;
    }
    FormTexts form;
    ApplyLanguage(settings.Language, form);
    {
        const std::lock_guard lock(mutex_);
        options_ = options;
        texts_ = &ConsoleTextsFor(settings.Language, bindings_.platform);
        language_ = settings.Language;
    }

    if (options.help) {
        console_.Out(HelpText(*texts_));
        return End(EXIT_DONE);
    }
    if (options.version) {
        console_.Out(ProgramVersionText(CONSOLE_PROGRAM_NAME) + "\n");
        return End(EXIT_DONE);
    }
    if (options.problem != UsageProblem::None) {
        return Finish(EndingWithoutRun(options, "usage_error", EXIT_USAGE, UsageText(*texts_, options)));
    }
    if (bindings_.loopbackPort) {
        console_.Err(Fill(texts_->loopbackActive, std::to_string(*bindings_.loopbackPort)) + "\n");
    }
    // An adapter profile nobody knows fails the run before anything is sent: a wrong guess could hold the
    // adapter in reset or at the wrong speed.
    const std::string adapter = options.adapter.value_or(settings.Adapter);
    const auto profile = ChooseLineProfile(adapter);
    if (!profile) {
        return Finish(
            EndingWithoutRun(options, "usage_error", EXIT_USAGE, Fill(texts_->adapterUnknown, adapter)));
    }
    lineProfile_ = *profile;
    portInForce_ = options.port.value_or(settings.Port);
    if (const LinkChoice choice = ChooseLink(bindings_.loopbackPort, portInForce_, bindings_.platform);
        bindings_.pickLink && choice.kind == LinkKind::Serial) {
        serialPort_ = choice.port;
    }
    // A capture is checked before anything is sent: a file that is there and is not a capture is never
    // replaced, and a capture that cannot be made ends the run before it starts.
    std::optional<std::string> capturePath = options.capturePath;
    if (capturePath && bindings_.captureFiles != nullptr) {
        const auto start = bindings_.captureFiles->ReadStart(*capturePath, 4);
        if (start && !MayReplaceWithCapture(*start)) {
            return Finish(EndingWithoutRun(options, "usage_error", EXIT_USAGE,
                                           Fill(texts_->captureNotACapture, *capturePath)));
        }
        captureWork_ = CaptureWorkPath(*capturePath);
        capturePath = captureWork_;
    }
    calls_ =
        bindings_.pickLink ? &bindings_.pickLink(portInForce_, capturePath, lineProfile_) : &bindings_.calls;
    if (captureWork_ && !bindings_.captureFiles->ReadStart(*captureWork_, 0)) {
        const std::string path = *options.capturePath;
        captureWork_.reset();
        return Finish(
            EndingWithoutRun(options, "usage_error", EXIT_USAGE, Fill(texts_->captureNotMade, path)));
    }
    switch (options.command) {
        case ConsoleCommand::Status:
            return Finish(RunStatus(form.slots));
        case ConsoleCommand::Enable:
        case ConsoleCommand::Disable:
            return Finish(RunSwitch(options.command == ConsoleCommand::Enable, form.slots));
        case ConsoleCommand::Ports:
            return RunPorts(settings.Port);
        case ConsoleCommand::UsePort:
            return RunUsePort(options);
        case ConsoleCommand::None:
            break;
    }
    return End(EXIT_USAGE);
}

}  // namespace qx
