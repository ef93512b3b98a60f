// The console companion of the window: `status` reads the search mode without changing it, `enable` and
// `disable` run the same mode switch as the window's buttons with the confirmation asked on the console. It
// prints each status text as it happens and the result last, as text or as one JSON object, traces every
// platform call and frame on request, and reads the settings file for its language and COM port (`use-port`
// writes the Port key, and nothing else ever writes the file). `ports` lists the COM ports and the IrDA
// devices a serial adapter on each finds. The console itself, the socket calls, the serial ports and the
// settings calls are the platform's, handed in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/capture_file.h"
#include "app/console_options.h"
#include "app/link_choice.h"
#include "app/message_slots.h"
#include "app/outcome_table.h"
#include "app/profile_calls.h"
#include "app/run_outcome.h"
#include "app/settings.h"
#include "app/texts.h"
#include "irda/serial_irda_calls.h"
#include "link/socket_calls.h"

namespace qx {

// The longest answer to the confirmation, in bytes; a longer one declines, however it begins.
inline constexpr std::size_t ANSWER_LIMIT = 256;

// The console as the program sees it. Texts are UTF-8; the binding decides how they reach a console window, a
// file or a pipe.
class ConsoleEnvironment {
  public:
    virtual ~ConsoleEnvironment() = default;
    virtual void Out(const std::string& text) = 0;
    virtual void Err(const std::string& text) = 0;
    // One line of standard input without its line end; empty at the end of input. At most ANSWER_LIMIT
    // bytes are taken: a longer line comes back cut just past the limit, and the rest is never read.
    virtual std::optional<std::string> ReadLine() = 0;
    virtual std::uint32_t MillisecondsSinceStart() = 0;
};

// One line of text, without its line end.
using LineSink = std::function<void(const std::string&)>;
// Puts a witness on socket calls for --trace: the calls it returns pass everything to `inner` and write a
// line about each to `sink`; with `everything` (--trace=all) none is folded or left out.
using CallTracer =
    std::function<std::unique_ptr<SocketCalls>(SocketCalls& inner, LineSink sink, bool everything)>;

// Picks the socket calls for the Port value in force (--port, else the settings' Port; empty for none), with
// the --capture file's sink for the serial stack's frames when one was made; the calls stay valid for the
// program's life. `profile`: how the serial port's lines are set for the adapter. `usbTrace`, set for
// --trace=all, takes a line about each USB transfer of a dongle.
using LinkPicker = std::function<SocketCalls&(std::string_view portSetting, irda::FrameSink* capture,
                                              irda::LineProfile profile, LineSink usbTrace)>;

// The COM ports present, by name ("COM5").
using PortLister = std::function<std::vector<std::string>()>;
// One discovery at 9600 baud on a named port, its lines set for the adapter as `profile` says.
using PortProber = std::function<irda::PortProbe(const std::string& port, irda::LineProfile profile)>;

// What the system says of a device path without opening it (Linux): whether it is a device at all, and
// whether this process, or its user at a new login, may use it.
struct PortFile {
    enum class Kind { Missing, Device, Folder, Other };
    Kind kind = Kind::Missing;
    std::string errorName;        // the errno of a path that could not be looked at ("ENOENT")
    std::string group;            // the device's group, by name
    bool groupMayUse = false;     // its group may read and write it
    bool processInGroup = false;  // this process carries that group now
    bool userInGroup = false;     // the user is listed in it, as a new login would carry it
};
using PortInspector = std::function<PortFile(const std::string& path)>;

struct ConsoleBindings {
    SocketCalls& calls;                         // Winsock, or the loopback emulation, when no picker is given
    std::optional<std::uint16_t> loopbackPort;  // set when the emulation is in use
    ProfileCalls& profile;  // read only, but for use-port, which writes the Port key alone
    std::string programDirectory;
    CallTracer tracer;      // for --trace
    LinkPicker pickLink{};  // the entry point's choice of Winsock, serial stack or emulation
    PortLister listPorts{};
    PortProber probePort{};
    CaptureFileCalls* captureFiles = nullptr;  // for --capture; without them --capture is refused
    // The dongle a USB port value picks, as "STIr4200 (066F:4200)"; empty when none is plugged in.
    std::function<std::string(const std::string& port)> nameDongle{};
    // Why the platform's USB library could not start, in its own words; empty when it started.
    std::function<std::string()> usbLibraryProblem{};
    // Looks at a device path before use-port stores it and after it would not open; none on Windows.
    PortInspector inspectPort{};
    // How ports are named and which advice the texts give.
    HostPlatform platform = HostPlatform::Windows;
    // Where the package's udev rules for the dongles are installed (Linux); `ports` names it beside a dongle
    // this user may not open.
    std::string udevRules{};
    // The language the console's locale asks for, where neither --language nor the settings' Language
    // says one (Linux); none on Windows, whose console keeps to the Language key.
    std::function<std::optional<int>()> environmentLanguage{};
};

struct ConsoleReport;
class RunLink;

class ConsoleProgram {
  public:
    ConsoleProgram(ConsoleEnvironment& console, ConsoleBindings bindings);

    // `args` without the program's name; returns the exit code.
    int Run(const std::vector<std::string>& args);

    enum class InterruptEffect {
        NothingOpen,  // nothing was sent and no link is open: the process may end now
        RunUnderWay,  // the run finishes its step and closes the link; Run returns EXIT_INTERRUPTED soon
        Ended,        // the run is over; its output may still be on its way
    };
    // From another thread (Ctrl+C, the console closing): asks the run to stop between steps and says so.
    InterruptEffect Interrupt();
    // Blocks until Run has printed everything and is about to return.
    void WaitUntilEnded();

  private:
    enum class Phase { Before, Running, Ended };

    // One function per command; each returns the report of how it ended.
    ConsoleReport RunStatus(const MessageSlots& slots);
    ConsoleReport RunSwitch(bool enable, const MessageSlots& slots);
    // The COM ports and the IrDA devices on each; the stored Port.
    int RunPorts(const std::string& storedPort);
    // The adapter's line profile in force: --adapter, else the settings' Adapter, else the default.
    irda::LineProfile lineProfile_ = irda::DEFAULT_LINE_PROFILE;
    int RunUsePort(const ConsoleOptions& options);
    // The link of one run, through the brake for an interruption and, with --trace, the witness.
    std::unique_ptr<RunLink> MakeLink();
    // The report of a run that went ahead, from its outcome.
    ConsoleReport RunReport(const RunOutcome& outcome, std::vector<std::string> statuses,
                            std::string resultText);

    // ": " and what to do about a port that would not open with `error`, where the platform has advice.
    // `port`: the port value that failed, whose kind (serial or USB dongle) the advice is about.
    // What to do about a serial device that would not open, from what the system says of its path: not a
    // device, or whose group it belongs to; empty where the error's own advice stands.
    std::string PortUseAdvice(const PortFile& file, std::uint32_t error) const;
    std::string WithAdvice(std::uint32_t error, std::string_view port) const;
    // The same for a dongle in the ports list: one this user may not open is told the package's udev rules
    // and the rule to write without them.
    std::string DongleAdvice(std::uint32_t error, std::string_view port) const;
    // Moves to Running unless a stop came first.
    bool EnterRun();
    // Prints the report (unless an interruption already printed one) and ends.
    int Finish(const ConsoleReport& report);
    // Finishes the capture first, saying where it is and how many frames it holds.
    int FinishWithCapture(const ConsoleReport& report, CaptureFile* capture);
    // The usage error for a capture that could not be made; empty when it was.
    // Why the settings file was not read, naming it.
    std::string RefusalText(const Settings& settings) const;
    std::string CaptureProblem(const CaptureFile::Opened& opened) const;
    int End(int code);
    void Write(const ConsoleReport& report);

    ConsoleEnvironment& console_;
    ConsoleBindings bindings_;
    std::atomic<bool> stopRequested_{false};
    // Data went, or may have gone, to the instrument: an interruption then lets the step under way finish.
    std::atomic<bool> dataSent_{false};
    std::mutex mutex_;
    std::condition_variable ended_;
    Phase phase_ = Phase::Before;
    bool reported_ = false;
    ConsoleOptions options_;
    const ConsoleTexts* texts_;
    SocketCalls* calls_;  // the link's calls for this run
    LinkChoice link_;     // the way to the instrument that the command line and the settings chose
    // The --capture file; it outlives the run, as the link may hand it frames until it is destroyed.
    std::unique_ptr<CaptureFile> capture_;
    std::string settingsPath_;
    bool settingsFound_ = false;  // the settings file was there to read
};

}  // namespace qx
