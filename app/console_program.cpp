#include "app/console_program.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/capture_file.h"
#include "app/link_choice.h"
#include "app/mode_switch.h"
#include "app/outcome_table.h"
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
    std::string resultText;          // the result box's caption and text, empty when there was none
    std::optional<LinkChoice> link;  // the way to the instrument, once the command line chose it
    FailureCause cause = FailureCause::None;
    std::string settingsNote;  // which settings file the failed run read, where it is said
    bool every = false;        // status --all: one line per instrument
};

// The link of one run: the platform's calls through the brake and, for --trace, the witness.
class RunLink {
  public:
    RunLink(SocketCalls& platform, const std::atomic<bool>& stopRequested, std::atomic<bool>& dataSent,
            const CallTracer& tracer, LineSink sink, bool everything)
        : stoppable_(platform, stopRequested, &dataSent),
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
    // Only what the prompt asks for: OK in either letter case, also in the Cyrillic letters that look the
    // same, as a user on a Russian keyboard types it. "y", "yes" or "да" cancel, as the prompt says anything
    // else does.
    for (const char* ok : {"ok", "ОК", "Ок", "ок", "оК"}) {
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

std::string UsageMessage(const ConsoleTexts& t, const ConsoleOptions& options) {
    switch (options.problem) {
        case UsageProblem::UnknownOption:
            return Fill(t[ConsoleText::UnknownOption], options.offending);
        case UsageProblem::UnknownCommand:
            return Fill(t[ConsoleText::UnknownCommand], options.offending);
        case UsageProblem::NoCommand:
            return Fill(t[ConsoleText::NoCommand], CommandNames());
        case UsageProblem::SecondCommand:
            return Fill(t[ConsoleText::SecondCommand], options.offending);
        case UsageProblem::MissingValue:
            return Fill(t[ConsoleText::MissingValue], options.offending);
        case UsageProblem::SettingsMissing:
            return Fill(t[ConsoleText::SettingsMissing], options.offending);
        case UsageProblem::PortInvalid:
            return Fill(t[ConsoleText::PortInvalid], options.offending);
        case UsageProblem::LanguageInvalid:
            return Fill(t[ConsoleText::LanguageInvalid], options.offending);
        case UsageProblem::AllMisplaced:
            return Fill(t[ConsoleText::AllMisplaced], options.offending);
        case UsageProblem::None:
            break;
    }
    return {};
}

// The usage problem's message, with the nearest command or option when there is one.
std::string UsageText(const ConsoleTexts& t, const ConsoleOptions& options) {
    std::string message = UsageMessage(t, options);
    if (!options.suggestion.empty()) {
        message += "; " + Fill(t[ConsoleText::DidYouMean], options.suggestion);
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

// The way to the instrument for scripts: "windows_irda", "serial:COM5", "invalid_port:CMO5", "loopback:PORT";
// "none" on Linux, which has no IrDA of its own to fall back on.
std::string LinkName(const LinkChoice& link, HostPlatform platform) {
    switch (link.kind) {
        case LinkKind::Serial:
            return "serial:" + link.port;
        case LinkKind::Usb:
            return "usb:" + link.port;
        case LinkKind::InvalidPort:
            return "invalid_port:" + link.port;
        case LinkKind::Loopback:
            return "loopback:" + std::to_string(link.loopbackPort.value_or(0));
        case LinkKind::Winsock:
            break;
    }
    return platform == HostPlatform::Linux ? "none" : "windows_irda";
}

// The way to the instrument in words.
std::string LinkText(const LinkChoice& link, const ConsoleTexts& t) {
    switch (link.kind) {
        case LinkKind::Serial:
            return FillNamed(t[ConsoleText::LinkSerial], {{"port", link.port}});
        case LinkKind::Usb:
            return FillNamed(t[ConsoleText::LinkUsb],
                             {{"port", link.dongle.empty() ? link.port : link.dongle}});
        case LinkKind::InvalidPort:
            return FillNamed(t[ConsoleText::LinkInvalidPort], {{"port", link.port}});
        case LinkKind::Loopback:
            return FillNamed(t[ConsoleText::LinkLoopback],
                             {{"port", std::to_string(link.loopbackPort.value_or(0))}});
        case LinkKind::Winsock:
            break;
    }
    return t[ConsoleText::LinkWinsock];
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

std::string_view RoleName(DeviceRole role) {
    switch (role) {
        case DeviceRole::Used:
            return "used";
        case DeviceRole::PassedOver:
            return "passed_over";
        case DeviceRole::Instrument:
            return "instrument";
        case DeviceRole::Failed:
            return "failed";
        case DeviceRole::NotTried:
            break;
    }
    return "not_tried";
}

ConsoleText RoleMark(DeviceRole role) {
    switch (role) {
        case DeviceRole::Used:
            return ConsoleText::DeviceUsedMark;
        case DeviceRole::PassedOver:
            return ConsoleText::DevicePassedOverMark;
        case DeviceRole::Instrument:
            return ConsoleText::DeviceInstrumentMark;
        case DeviceRole::Failed:
            return ConsoleText::DeviceFailedMark;
        case DeviceRole::NotTried:
            break;
    }
    return ConsoleText::DeviceNotTriedMark;
}

std::string JsonReport(const ConsoleReport& r, HostPlatform platform) {
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
    json += ", \"link\": " +
            JsonOr(r.link, [platform](const LinkChoice& l) { return JsonString(LinkName(l, platform)); });
    json += ", \"cause\": " + JsonOrNull(std::string(RowOf(r.cause).name));
    json += ", \"failure\": " + JsonOr(outcome.failure, [](const StackFailure& f) {
                return "{\"layer\": " + JsonString(std::string(LayerName(f.layer))) +
                       ", \"status\": " + JsonString(std::string(StackStatusName(f.status))) +
                       ", \"system_error\": " + std::to_string(f.systemError) + "}";
            });
    std::string devices;
    for (const ListedDevice& d : outcome.devices) {
        devices +=
            std::string(devices.empty() ? "" : ", ") + "{\"name\": " + JsonString(d.name) +
            ", \"address\": " + std::to_string(d.address) + ", \"role\": \"" + std::string(RoleName(d.role)) +
            "\", \"word\": " + JsonOr(d.word, word) + ", \"search_mode\": " +
            JsonOr(d.word,
                   [](ConfigWord w) { return std::string((w & SEARCH_MODE_BIT) ? "true" : "false"); }) +
            "}";
    }
    json += ", \"devices\": [" + devices + "]";
    const std::optional<std::size_t> used = DeviceUsed(outcome);
    json += ", \"device_used\": " + (used ? JsonString(outcome.devices[*used].name) : std::string("null"));
    json += ", \"instruments_in_range\": " + std::to_string(InstrumentsInRange(outcome));
    return json + "}\n";
}

// status --all: a line for each device in range, with its word or why it was not read.
std::string InstrumentLines(const RunOutcome& outcome, const ConsoleTexts& t) {
    std::string lines;
    for (const ListedDevice& d : outcome.devices) {
        const std::string address = DeviceAddressText(d.address);
        if (d.word) {
            lines += FillNamed(
                t[ConsoleText::InstrumentRead],
                {{"device", d.name},
                 {"address", address},
                 {"word", WordText(*d.word)},
                 {"mode", t[(*d.word & SEARCH_MODE_BIT) ? ConsoleText::ModeOn : ConsoleText::ModeOff]}});
        } else {
            const ConsoleText why = d.role == DeviceRole::Used || d.role == DeviceRole::Instrument
                                        ? ConsoleText::WordNotReadMark
                                        : RoleMark(d.role);
            lines += FillNamed(t[ConsoleText::InstrumentNotRead],
                               {{"device", d.name}, {"address", address}, {"why", t[why]}});
        }
        lines += "\n";
    }
    return lines;
}

std::string TextReport(const ConsoleReport& r, const ConsoleTexts& t) {
    if (!r.ran) {
        return r.usage ? "QX2205R-cli: " + r.reason + "\n" + std::string(t[ConsoleText::UsageHint]) + "\n"
                       : r.reason + "\n";
    }
    const RunOutcome& outcome = r.outcome;
    const std::optional<ConfigWord> held = WordHeld(outcome);
    const auto line = [](std::string_view label, const std::string& value) {
        return std::string(label) + ": " + value + "\n";
    };
    std::string report;
    if (r.link) {
        report += line(t[ConsoleText::LinkLabel], LinkText(*r.link, t));
    }
    if (outcome.device && !r.every) {
        report += line(t[ConsoleText::DeviceLabel], *outcome.device);
    }
    if (outcome.devices.size() > 1 && !r.every) {
        std::string devices;
        for (const ListedDevice& d : outcome.devices) {
            devices += std::string(devices.empty() ? "" : "; ") + d.name + " " +
                       DeviceAddressText(d.address) + " (" + std::string(t[RoleMark(d.role)]) + ")";
        }
        report += line(t[ConsoleText::DevicesLabel], devices);
    }
    if (r.every) {
        report += InstrumentLines(outcome, t);
    }
    if (outcome.wordRead && !r.every) {
        report += line(t[ConsoleText::WordLabel], WordText(*outcome.wordRead));
    }
    if (outcome.wordSent) {
        report += line(t[ConsoleText::WordSentLabel], WordText(*outcome.wordSent));
    }
    if ((outcome.wordRead || outcome.wordSent) && !r.every) {
        report += line(t[ConsoleText::SearchModeLabel],
                       std::string(!held                       ? t[ConsoleText::ModeUnknown]
                                   : (*held & SEARCH_MODE_BIT) ? t[ConsoleText::ModeOn]
                                                               : t[ConsoleText::ModeOff]));
    }
    const bool done = outcome.stage == RunStage::Done;
    if (r.interrupted && !done) {
        report += std::string(t[ConsoleText::Interrupted]) + "\n";
    }
    if (!done) {
        report += line(t[ConsoleText::ReasonLabel], r.reason);
    }
    if (!done && !r.settingsNote.empty()) {
        report += r.settingsNote + "\n";
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
        // The window's "Searching devices error10038" glues a Windows number to its text; the reason says
        // what failed, in the platform's terms.
        if (!gluedError.empty() && text.size() > gluedError.size() && text.starts_with(gluedError)) {
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
            console_.Err(std::string(texts_[ConsoleText::ConfirmPrompt]) + "\n" +
                         std::string(texts_[ConsoleText::ConfirmQuestion]));
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
    // The search-error status text that is left out (on Linux), or empty.
    std::string gluedError;

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
                                       std::string((*texts_)[ConsoleText::InterruptedIdle])));
                reported_ = true;
            }
            return InterruptEffect::NothingOpen;
        case Phase::Running:
            // Before any data, the stack ends the search or connection at once: there is no step to finish.
            console_.Err(
                std::string(
                    (*texts_)[dataSent_ ? ConsoleText::Interrupting : ConsoleText::InterruptingNothingSent]) +
                "\n");
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
        console_.Out(JsonReport(report, bindings_.platform));
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

std::string ConsoleProgram::RefusalText(const Settings& settings) const {
    const ConsoleTexts& t = *texts_;
    const std::string reason =
        settings.Refused == ProfileFileRead::Refusal::TooLarge
            ? FillNamed(t[ConsoleText::SettingsTooLarge], {{"limit", std::to_string(PROFILE_FILE_LIMIT)}})
            : std::string(t[ConsoleText::NotARegularFile]);
    return FillNamed(t[ConsoleText::SettingsRefused], {{"file", settings.SettingsPath}, {"reason", reason}});
}

std::string ConsoleProgram::CaptureProblem(const CaptureFile::Opened& opened) const {
    const ConsoleTexts& t = *texts_;
    switch (opened.problem) {
        case CaptureFile::Problem::None:
            break;
        case CaptureFile::Problem::Folder:
            return FillNamed(t[ConsoleText::CaptureNotMade],
                             {{"file", *options_.capturePath}, {"reason", t[ConsoleText::CaptureIsFolder]}});
        case CaptureFile::Problem::NotAFile:
            return FillNamed(t[ConsoleText::CaptureNotMade],
                             {{"file", *options_.capturePath}, {"reason", t[ConsoleText::NotARegularFile]}});
        case CaptureFile::Problem::NotACapture:
            return FillNamed(t[ConsoleText::CaptureNotACapture], {{"file", *options_.capturePath}});
        case CaptureFile::Problem::CannotWrite:
            return FillNamed(t[ConsoleText::CaptureNotMade],
                             {{"file", *options_.capturePath},
                              {"reason", bindings_.captureFiles->ErrorText(opened.error) + " (error " +
                                             std::to_string(opened.error) + ")"}});
    }
    return {};
}

int ConsoleProgram::FinishWithCapture(const ConsoleReport& report, CaptureFile* capture) {
    if (capture != nullptr) {
        const CaptureFile::Finished finished = capture->Finish();
        const ConsoleTexts& t = *texts_;
        std::string said;
        if (finished.placed) {
            said = FillNamed(
                t[finished.replacedOther ? ConsoleText::CaptureReplacedOther : ConsoleText::CaptureWritten],
                {{"file", capture->Path()}, {"count", std::to_string(finished.frames)}});
        } else if (finished.failed) {
            said = FillNamed(t[ConsoleText::CaptureFailed],
                             {{"file", capture->Path()},
                              {"reason", bindings_.captureFiles->ErrorText(finished.error) + ", error " +
                                             std::to_string(finished.error)}});
        } else if (finished.frames == 0) {
            said = FillNamed(t[ConsoleText::CaptureNothing], {{"file", capture->Path()}});
        } else {
            said = FillNamed(t[ConsoleText::CaptureNotPlaced],
                             {{"file", capture->Path()},
                              {"reason", bindings_.captureFiles->ErrorText(finished.error) + ", error " +
                                             std::to_string(finished.error)},
                              {"partial", capture->PartPath()}});
        }
        console_.Err(said + "\n");
    }
    return Finish(report);
}

int ConsoleProgram::End(int code) {
    {
        const std::lock_guard lock(mutex_);
        phase_ = Phase::Ended;
    }
    ended_.notify_all();
    return code;
}

std::unique_ptr<RunLink> ConsoleProgram::MakeLink() {
    LineSink trace;
    if (options_.trace || options_.traceAll) {
        trace = [this](const std::string& line) { console_.Err(line + "\n"); };
    }
    auto run = std::make_unique<RunLink>(*calls_, stopRequested_, dataSent_, bindings_.tracer,
                                         std::move(trace), options_.traceAll);
    if (options_.device) {
        run->Link().SetDeviceFilter(DeviceNamed(*options_.device), *options_.device);
    }
    return run;
}

ConsoleReport ConsoleProgram::RunReport(const RunOutcome& outcome, std::vector<std::string> statuses,
                                        std::string resultText) {
    if (stopRequested_ && StoppedBeforeSending(outcome)) {
        ConsoleReport report = EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED,
                                                (*texts_)[ConsoleText::InterruptedIdle]);
        report.outcome = outcome;
        report.statuses = std::move(statuses);
        report.link = link_;
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
    report.link = link_;
    report.cause = CauseOf(outcome, link_, bindings_.platform);
    if (!done) {
        OutcomeValues values{outcome, link_, settingsPath_};
        if (report.cause == FailureCause::PortUnusable && link_.kind == LinkKind::Serial &&
            bindings_.inspectPort) {
            values.portAdvice = PortUseAdvice(bindings_.inspectPort(link_.port),
                                              outcome.failure ? outcome.failure->systemError : 0);
        }
        report.reason = OutcomeReason(values, texts_->Language(), bindings_.platform);
        // A run under sudo reads root's settings, not the user's: the file it read is named.
        if (bindings_.platform == HostPlatform::Linux) {
            report.settingsNote = FillNamed(
                (*texts_)[settingsFound_ ? ConsoleText::SettingsReadFrom : ConsoleText::SettingsNoneThere],
                {{"file", settingsPath_}});
        }
    }
    return report;
}

ConsoleReport ConsoleProgram::RunStatus(const MessageSlots& slots) {
    if (!EnterRun()) {
        ConsoleReport report = EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED,
                                                (*texts_)[ConsoleText::InterruptedIdle]);
        report.link = link_;
        return report;
    }
    ConsoleHost host(console_, *texts_, options_, stopRequested_, [] { return true; });
    if (bindings_.platform == HostPlatform::Linux) {
        host.gluedError = slots[Slot::SearchError];
    }
    const std::unique_ptr<RunLink> run = MakeLink();
    const StatusSink status = [&](const std::string& text) { host.SetStatusText(text); };
    const RunOutcome outcome = options_.all ? ReadEveryInstrument(run->Link(), slots, status)
                                            : ReadSearchMode(run->Link(), slots, status);
    const std::string resultText =
        outcome.stage == RunStage::Done
            ? std::string()
            : Captioned(slots[Slot::FailureCaption], std::string((*texts_)[ConsoleText::ReadNotDone]));
    ConsoleReport report = RunReport(outcome, host.statuses, resultText);
    report.every = options_.all;
    return report;
}

ConsoleReport ConsoleProgram::RunSwitch(bool enable, const MessageSlots& slots) {
    ConsoleHost host(console_, *texts_, options_, stopRequested_, [this] { return EnterRun(); });
    if (bindings_.platform == HostPlatform::Linux) {
        host.gluedError = slots[Slot::SearchError];
    }
    const std::unique_ptr<RunLink> run = MakeLink();
    const RunOutcome outcome = RunModeSwitch(enable, run->Link(), slots, host);
    // The box's failure text would say the word was not written: here nobody knows.
    const std::string resultText = outcome.stage == RunStage::WriteUnconfirmed
                                       ? std::string((*texts_)[ConsoleText::WriteUnconfirmed])
                                       : host.resultText;
    if (outcome.stage == RunStage::Cancelled) {
        ConsoleReport report =
            stopRequested_
                ? EndingWithoutRun(options_, "interrupted", EXIT_INTERRUPTED,
                                   (*texts_)[ConsoleText::InterruptedIdle])
                : EndingWithoutRun(
                      options_, std::string(StageName(RunStage::Cancelled)), EXIT_CANCELLED,
                      OutcomeReason({outcome, link_, settingsPath_}, texts_->Language(), bindings_.platform));
        report.link = link_;
        return report;
    }
    return RunReport(outcome, host.statuses, resultText);
}

std::string ConsoleProgram::PortUseAdvice(const PortFile& file, std::uint32_t error) const {
    const ConsoleTexts& t = *texts_;
    switch (file.kind) {
        case PortFile::Kind::Missing:
            return {};
        case PortFile::Kind::Folder:
        case PortFile::Kind::Other:
            return std::string(PortOpenAdvice(texts_->Language(), bindings_.platform, 1)) + " (" +
                   t[file.kind == PortFile::Kind::Folder ? ConsoleText::PortIsFolder
                                                         : ConsoleText::PortIsFile] +
                   ")";
        case PortFile::Kind::Device:
            break;
    }
    // Only a refused open says more through the group; another error's own advice stands.
    const bool refused = error == irda::PORT_ERROR_ACCESS_DENIED;
    if (!refused || file.group.empty() || (file.groupMayUse && file.processInGroup)) {
        return {};
    }
    const ConsoleText text = !file.groupMayUse  ? ConsoleText::PermissionGroupMayNot
                             : file.userInGroup ? ConsoleText::PermissionNewLogin
                                                : ConsoleText::PermissionNotInGroup;
    return FillNamed(t[text], {{"port", link_.port}, {"group", file.group}});
}

std::string ConsoleProgram::WithAdvice(std::uint32_t error, std::string_view port) const {
    const std::string_view advice =
        PortOpenAdvice(texts_->Language(), bindings_.platform, error, irda::ParseUsbPort(port).has_value());
    return advice.empty() ? std::string() : ": " + std::string(advice);
}

std::string ConsoleProgram::DongleAdvice(std::uint32_t error, std::string_view port) const {
    const std::optional<irda::UsbPortChoice> choice = irda::ParseUsbPort(port);
    if (error != irda::USB_ERROR_NO_PERMISSION || bindings_.udevRules.empty() || !choice || !choice->vendor) {
        return WithAdvice(error, port);
    }
    // The hand-written rule for this dongle's id, in the lower-case hex udev compares with.
    char rule[160];
    std::snprintf(rule, sizeof rule,
                  "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\", MODE=\"0660\", "
                  "TAG+=\"uaccess\"",
                  static_cast<unsigned>(*choice->vendor), static_cast<unsigned>(*choice->product));
    return ": " + FillNamed((*texts_)[ConsoleText::DongleUdevRule],
                            {{"rules", bindings_.udevRules}, {"rule", rule}});
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
            console_.Out(std::string((*texts_)[ConsoleText::PortsNone]) + "\n");
        }
        return End(EXIT_RUN_FAILED);
    }
    std::optional<std::string> answeredOn;
    std::string json;
    for (const std::string& name : ports) {
        // A dongle frames for itself: the line profiles are for serial adapters only.
        const bool dongle = irda::ParseUsbPort(name).has_value();
        if (!options_.quiet) {
            // Whether a dongle sends anything is known only once it opened: its line says no more.
            // What a serial probe sent is said once the port opened: one that did not open sent nothing.
            console_.Err(Fill((*texts_)[ConsoleText::PortProbingDongle], name) + "\n");
        }
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
        if (!dongle && probe.openError == 0 && !options_.quiet) {
            console_.Err(Fill((*texts_)[ConsoleText::PortProbed], name) + "\n");
        }
        const std::string port = probe.adapter.empty() ? name : name + " (" + probe.adapter + ")";
        const std::string mark =
            name == stored ? std::string((*texts_)[ConsoleText::PortStoredMark]) : std::string();
        if (!dongle && !probe.devices.empty() && !options_.json) {
            console_.Out(Fill(Fill((*texts_)[ConsoleText::PortProfile], port), irda::NameOf(answeredWith)) +
                         "\n");
        }
        std::string devices;
        if (options_.json) {
            // Said once for all ports, below.
        } else if (probe.openError != 0) {
            const std::string_view errnoName = bindings_.platform == HostPlatform::Linux && !dongle
                                                   ? LinuxErrorName(probe.openError)
                                                   : std::string_view();
            console_.Out(Fill(Fill((*texts_)[errnoName.empty() ? ConsoleText::PortOpenFailed
                                                               : ConsoleText::PortOpenFailedNamed],
                                   port),
                              errnoName.empty() ? std::to_string(probe.openError) : std::string(errnoName)) +
                         (dongle ? DongleAdvice(probe.openError, name) : WithAdvice(probe.openError, name)) +
                         mark + "\n");
        } else if (probe.discoveryError != 0) {
            console_.Out(Fill(Fill((*texts_)[ConsoleText::PortSearchFailed], port),
                              std::to_string(probe.discoveryError)) +
                         mark + "\n");
        } else if (probe.devices.empty()) {
            console_.Out(Fill((*texts_)[ConsoleText::PortNoDevice], port) + mark + "\n");
        }
        for (const irda::DiscoveredDevice& device : probe.devices) {
            char address[16];
            std::snprintf(address, sizeof address, "0x%08X", static_cast<unsigned>(device.address));
            const std::string nickname = PrintableName(device.nickname);
            if (options_.json) {
                devices += (devices.empty() ? "" : ", ") + std::string("{\"name\": ") + JsonString(nickname) +
                           ", \"address\": " + JsonString(address) + "}";
            } else {
                console_.Out(Fill(Fill(Fill((*texts_)[ConsoleText::PortDevice], port), nickname), address) +
                             mark + "\n");
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
        console_.Out(Fill((*texts_)[ConsoleText::PortSuggestUse], *answeredOn) + "\n");
    }
    return End(exitCode);
}

int ConsoleProgram::RunUsePort(const ConsoleOptions& options) {
    // "none" takes the key away: back to Windows' IrDA.
    std::string value = options.port.value_or("");
    std::transform(value.begin(), value.end(), value.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    const bool remove = value == "none";
    const std::optional<std::string> port =
        options.port && !remove ? ParsePortValue(*options.port, bindings_.platform) : std::nullopt;
    if (!port && !remove) {
        return Finish(
            EndingWithoutRun(options, "usage_error", EXIT_USAGE, (*texts_)[ConsoleText::PortMissing]));
    }
    // A path that is not there, or is no device, is refused before it is stored: every later run would
    // fail on it.
    if (port && !options.force && bindings_.inspectPort && !irda::ParseUsbPort(*port)) {
        const PortFile file = bindings_.inspectPort(*port);
        const ConsoleTexts& t = *texts_;
        std::string refusal;
        if (file.kind == PortFile::Kind::Missing) {
            refusal = FillNamed(t[ConsoleText::PortNotThere], {{"port", *port}, {"error", file.errorName}});
        } else if (file.kind != PortFile::Kind::Device) {
            refusal = FillNamed(t[ConsoleText::PortNotADevice],
                                {{"port", *port},
                                 {"what", t[file.kind == PortFile::Kind::Folder ? ConsoleText::PortIsFolder
                                                                                : ConsoleText::PortIsFile]}});
        }
        if (!refusal.empty()) {
            console_.Err(refusal + "\n");
            return End(EXIT_RUN_FAILED);
        }
    }
    Settings settings(bindings_.profile);
    // A file made here holds the language this run speaks, so that later runs speak it too.
    settings.Language = texts_->Language();
    switch (settings.StorePort(bindings_.programDirectory, options.settingsPath, port)) {
        case Settings::PortStore::Stored:
            break;
        case Settings::PortStore::NotOurs:
            console_.Err(FillNamed((*texts_)[ConsoleText::PortNotOurs], {{"file", settings.SettingsPath}}) +
                         "\n");
            return End(EXIT_RUN_FAILED);
        case Settings::PortStore::WriteFailed:
            console_.Err((settings.Refused != ProfileFileRead::Refusal::None
                              ? RefusalText(settings)
                              : Fill((*texts_)[ConsoleText::PortNotStored], settings.SettingsPath)) +
                         "\n");
            return End(EXIT_RUN_FAILED);
    }
    console_.Out((port ? Fill(Fill((*texts_)[ConsoleText::PortStored], *port), settings.SettingsPath)
                       : FillNamed((*texts_)[ConsoleText::PortRemoved], {{"file", settings.SettingsPath}})) +
                 "\n");
    return End(EXIT_DONE);
}

int ConsoleProgram::Run(const std::vector<std::string>& args) {
    ConsoleOptions options = ParseConsoleArguments(args, bindings_.platform);
    Settings settings(bindings_.profile);
    // A settings file named on the command line and not there is a mistake, not a wish for English; but
    // on Linux use-port makes it, as its help says (on Windows the window reads only the file beside it).
    const Settings::ReadOnlyLoad load =
        settings.ReadSettingsOnly(bindings_.programDirectory, options.settingsPath);
    settingsFound_ = load != Settings::ReadOnlyLoad::Missing;
    if (load == Settings::ReadOnlyLoad::Missing && options.settingsPath &&
        !(options.command == ConsoleCommand::UsePort && bindings_.platform == HostPlatform::Linux) &&
        options.problem == UsageProblem::None) {
        options.problem = UsageProblem::SettingsMissing;
        options.offending = settings.SettingsPath;
    }
    // --language, else the settings' Language, else what the console's locale asks for.
    int language = settings.Language;
    if (const std::optional<int> named = options.language ? LanguageNamed(*options.language) : std::nullopt) {
        language = *named;
    } else if (!settings.LanguageSet && bindings_.environmentLanguage) {
        language = bindings_.environmentLanguage().value_or(language);
    }
    FormTexts form;
    ApplyLanguage(language, form);
    if (settings.SectionNearMiss && !options.help && !options.version) {
        console_.Err(FillNamed(ConsoleTextsFor(language)[ConsoleText::SettingsNotUsed],
                               {{"file", settings.SettingsPath}}) +
                     "\n");
    }
    {
        const std::lock_guard lock(mutex_);
        options_ = options;
        texts_ = &ConsoleTextsFor(language, bindings_.platform);
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
    // A settings file refused for what it is: a mistake when named, else the defaults go on, and it is said.
    if (settings.Refused != ProfileFileRead::Refusal::None && options.command != ConsoleCommand::UsePort) {
        if (options.settingsPath) {
            return Finish(EndingWithoutRun(options, "usage_error", EXIT_USAGE, RefusalText(settings)));
        }
        console_.Err(RefusalText(settings) + "\n");
    }
    if (bindings_.loopbackPort) {
        console_.Err(Fill((*texts_)[ConsoleText::LoopbackActive], std::to_string(*bindings_.loopbackPort)) +
                     "\n");
    }
    // An adapter profile nobody knows fails the run before anything is sent: a wrong guess could hold the
    // adapter in reset or at the wrong speed.
    const std::string adapter = options.adapter.value_or(settings.Adapter);
    const auto profile = ChooseLineProfile(adapter);
    if (!profile) {
        return Finish(EndingWithoutRun(options, "usage_error", EXIT_USAGE,
                                       Fill((*texts_)[ConsoleText::AdapterUnknown], adapter)));
    }
    lineProfile_ = *profile;
    const std::string portSetting = options.port.value_or(settings.Port);
    const bool runs = options.command == ConsoleCommand::Status ||
                      options.command == ConsoleCommand::Enable || options.command == ConsoleCommand::Disable;
    link_ = ChooseLink(bindings_.loopbackPort, portSetting, bindings_.platform);
    if (link_.kind == LinkKind::Usb && bindings_.nameDongle && runs) {
        link_.dongle = bindings_.nameDongle(link_.port);
    }
    if (link_.kind == LinkKind::Usb && bindings_.usbLibraryProblem && runs) {
        link_.usbProblem = bindings_.usbLibraryProblem();
    }
    settingsPath_ = settings.SettingsPath;
    // The capture is made before anything is sent, or the command ends here as a usage error.
    std::unique_ptr<CaptureFile>& capture = capture_;
    if (options.capturePath) {
        std::string problem;
        if (!runs) {
            problem = (*texts_)[ConsoleText::CaptureNotForCommand];
        } else if ((link_.kind != LinkKind::Serial && link_.kind != LinkKind::Usb) ||
                   bindings_.captureFiles == nullptr) {
            problem = (*texts_)[ConsoleText::CaptureNeedsPort];
        } else {
            capture = std::make_unique<CaptureFile>(*bindings_.captureFiles, *options.capturePath);
            problem = CaptureProblem(capture->Open());
        }
        if (!problem.empty()) {
            return Finish(EndingWithoutRun(options, "usage_error", EXIT_USAGE, problem));
        }
    }
    LineSink usbTrace;
    if (runs && options.traceAll && link_.kind == LinkKind::Usb) {
        usbTrace = [this](const std::string& line) { console_.Err(line + "\n"); };
    }
    calls_ = bindings_.pickLink
                 ? &bindings_.pickLink(portSetting, capture.get(), lineProfile_, std::move(usbTrace))
                 : &bindings_.calls;
    if (runs && (options.trace || options.traceAll)) {
        // Whoever reads a trace later knows which program made it, and over which way.
        console_.Err(ProgramVersionText(CONSOLE_PROGRAM_NAME) + "; " + LinkName(link_, bindings_.platform) +
                     "\n");
    }
    switch (options.command) {
        case ConsoleCommand::Status:
            return FinishWithCapture(RunStatus(form.slots), capture.get());
        case ConsoleCommand::Enable:
        case ConsoleCommand::Disable:
            return FinishWithCapture(RunSwitch(options.command == ConsoleCommand::Enable, form.slots),
                                     capture.get());
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
