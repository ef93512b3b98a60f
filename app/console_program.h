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

#include "app/capture_files.h"
#include "app/console_options.h"
#include "app/message_slots.h"
#include "app/profile_calls.h"
#include "app/run_outcome.h"
#include "app/texts.h"
#include "irda/serial_irda_calls.h"
#include "link/socket_calls.h"

namespace qx {

inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_RUN_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_CANCELLED = 3;
inline constexpr int EXIT_INTERRUPTED = 4;

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

// Picks the socket calls for the Port value in force (--port, else the settings' Port; empty for none) and
// the file the capture is written to (with CaptureFileCalls, beside the --capture file until the capture is
// put in place); the calls stay valid for the program's life. `profile`: how the serial port's lines are set
// for the adapter.
using LinkPicker = std::function<SocketCalls&(
    std::string_view portSetting, const std::optional<std::string>& capturePath, irda::LineProfile profile)>;

// The COM ports present, by name ("COM5").
using PortLister = std::function<std::vector<std::string>()>;
// One discovery at 9600 baud on a named port, its lines set for the adapter as `profile` says.
using PortProber = std::function<irda::PortProbe(const std::string& port, irda::LineProfile profile)>;

struct ConsoleBindings {
    SocketCalls& calls;                         // Winsock, or the loopback emulation, when no picker is given
    std::optional<std::uint16_t> loopbackPort;  // set when the emulation is in use
    ProfileCalls& profile;  // read only, but for use-port, which writes the Port key alone
    std::string programDirectory;
    CallTracer tracer;      // for --trace
    LinkPicker pickLink{};  // the entry point's choice of Winsock, serial stack or emulation
    PortLister listPorts{};
    PortProber probePort{};
    // For --capture: with them the capture is written beside the file and put in place only with frames
    // (FinishCapture); without them the picker writes the --capture file itself.
    CaptureFileCalls* captureFiles = nullptr;
    // How ports are named and which advice the texts give.
    HostPlatform platform = HostPlatform::Windows;
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
    std::string portInForce_;  // the Port value the run's link was picked for (--port, else the settings')
    int RunUsePort(const ConsoleOptions& options);
    // The command itself; Run adds the capture's end.
    int RunCommand(const std::vector<std::string>& args);
    // Once the run is over (its link closed): the capture is put in place of the --capture file when it holds
    // frames, else removed, the file left as it was. A capture with frames that cannot be put in place is
    // said on standard error and stays beside the file. The file may still be open for writing: the platform
    // bindings open it so that it can be renamed or removed meanwhile.
    void FinishCapture();
    // The link of one run, through the brake for an interruption and, with --trace, the witness.
    std::unique_ptr<RunLink> MakeLink();
    // The report of a run that went ahead, from its outcome.
    ConsoleReport RunReport(const RunOutcome& outcome, std::vector<std::string> statuses,
                            std::string resultText);

    // ": " and what to do about a port that would not open with `error`, where the platform has advice.
    // `port`: the port value that failed, whose kind (serial or USB dongle) the advice is about.
    std::string WithAdvice(std::uint32_t error, std::string_view port) const;
    // Moves to Running unless a stop came first.
    bool EnterRun();
    // Prints the report (unless an interruption already printed one) and ends.
    int Finish(const ConsoleReport& report);
    int End(int code);
    void Write(const ConsoleReport& report);

    ConsoleEnvironment& console_;
    ConsoleBindings bindings_;
    std::atomic<bool> stopRequested_{false};
    std::mutex mutex_;
    std::condition_variable ended_;
    Phase phase_ = Phase::Before;
    bool reported_ = false;
    ConsoleOptions options_;
    const ConsoleTexts* texts_;
    SocketCalls* calls_;      // the link's calls for this run
    std::string serialPort_;  // the COM port the run's link uses, when it is the serial stack's
    std::optional<std::string> captureWork_;  // where the capture is written until FinishCapture
    int language_ = LANGUAGE_ENGLISH;
};

}  // namespace qx
