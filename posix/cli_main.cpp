// The console program's entry point on Linux: binds the terminal, the settings file and the program's own
// IrDA stack on a serial device or a USB dongle (or the loopback emulation) to the console program and runs
// it. Ctrl+C (SIGINT), SIGTERM and a closed terminal (SIGHUP) reach the run through a thread of their own
// that waits for them, so the run closes its link before the process ends, as the control handler on Windows
// lets it.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/console_program.h"
#include "irda/capture.h"
#include "irda/usb_dongle.h"
#include "link/traced_calls.h"
#include "posix/capture_file_calls.h"
#include "posix/console_io.h"
#include "posix/ini_profile_calls.h"
#include "posix/libusb_host.h"
#include "posix/platform_calls.h"
#include "posix/posix_serial_port.h"
#include "posix/serial_devices.h"
#include "posix/udev_rules.h"

namespace {

// What the signal thread acts on. It is set only while the program and its link exist: the guard that sets it
// clears it before either is destroyed, and waits for the thread to be done with them first.
struct InterruptTarget {
    qx::ConsoleProgram* program = nullptr;
    qx::PosixPlatformLinks* link = nullptr;
};
std::mutex targetMutex;
InterruptTarget target;

sigset_t InterruptSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

void OnInterrupt() {
    const std::lock_guard lock(targetMutex);
    if (target.program == nullptr) {
        return;
    }
    const qx::ConsoleProgram::InterruptEffect effect = target.program->Interrupt();
    // A discovery try or connect under way over the loopback emulation ends now rather than after its wait.
    target.link->Interrupt();
    if (effect == qx::ConsoleProgram::InterruptEffect::NothingOpen) {
        // Nothing was sent and nothing is open; the report is written already.
        _exit(qx::EXIT_INTERRUPTED);
    }
    // Otherwise the run goes on to its close and ends the program itself.
}

// Takes the interruption signals, which every thread blocks, one after another for the process's life.
void WaitForSignals() {
    const sigset_t signals = InterruptSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) == 0) {
            OnInterrupt();
        }
    }
}

void RetargetInterrupt(qx::PosixPlatformLinks& link) {
    const std::lock_guard lock(targetMutex);
    if (target.program != nullptr) {
        target.link = &link;
    }
}

class InterruptGuard {
  public:
    InterruptGuard(qx::ConsoleProgram& program, qx::PosixPlatformLinks& link) {
        const std::lock_guard lock(targetMutex);
        target = {&program, &link};
    }
    ~InterruptGuard() {
        const std::lock_guard lock(targetMutex);
        target = {};
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Where the settings file lives by the XDG convention: $XDG_CONFIG_HOME/qx2205r (only an absolute value
// counts), else ~/.config/qx2205r.
std::string SettingsFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return std::string(config) + "/qx2205r";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    return home != nullptr ? std::string(home) + "/.config/qx2205r" : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread starts, so every thread inherits it and only the signal thread takes them.
    const sigset_t signals = InterruptSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A reader that went away (`| head`) ends the output, not the program in the middle of a run.
    signal(SIGPIPE, SIG_IGN);
    std::thread(WaitForSignals).detach();

    std::vector<std::string> args(argv + 1, argv + argc);
    qx::PosixConsole console;
    // The system's calls or the emulation until the command line and the settings are read; then the picker
    // makes the link the Port value in force asks for.
    qx::PosixPlatformLinks link;
    qx::PosixCaptureFileCalls captureFiles;
    // The picked link hands frames to the program's capture even as it closes, so it is declared after the
    // program (and goes before it); the picker reaches it through this slot.
    std::unique_ptr<qx::PosixPlatformLinks>* pickedSlot = nullptr;
    const qx::LinkPicker pickLink = [&](std::string_view port, qx::irda::FrameSink* capture,
                                        qx::irda::LineProfile lineProfile,
                                        qx::LineSink usbTrace) -> qx::SocketCalls& {
        std::unique_ptr<qx::PosixPlatformLinks>& picked = *pickedSlot;
        picked = std::make_unique<qx::PosixPlatformLinks>(port, capture, lineProfile, std::move(usbTrace));
        RetargetInterrupt(*picked);
        return picked->Calls();
    };
    const std::string settingsFolder = SettingsFolder();
    qx::IniProfileCalls profile(std::nullopt, settingsFolder);
    const qx::CallTracer tracer = [&console](qx::SocketCalls& inner, qx::LineSink sink, bool everything) {
        return std::make_unique<qx::TracedCalls>(
            inner, std::move(sink), [&console] { return console.MillisecondsSinceStart(); }, everything);
    };
    qx::ConsoleBindings bindings{link.Calls(),
                                 link.LoopbackPort(),
                                 profile,
                                 settingsFolder,
                                 tracer,
                                 pickLink,
                                 [] {
                                     std::vector<std::string> ports = qx::ListSerialDevices();
                                     qx::posix::LibusbHost usb;
                                     const auto dongles = qx::irda::UsbPortValues(usb);
                                     ports.insert(ports.end(), dongles.begin(), dongles.end());
                                     return ports;
                                 },
                                 [&link](const std::string& port, qx::irda::LineProfile lineProfile) {
                                     if (qx::irda::ParseUsbPort(port)) {
                                         qx::posix::LibusbHost usb;
                                         qx::irda::PlatformClock clock(link.System());
                                         return qx::irda::ProbeUsbPort(port, usb, clock);
                                     }
                                     qx::PosixSerialPort serial;
                                     serial.SetLineProfile(lineProfile);
                                     qx::irda::PlatformClock clock(link.System());
                                     return qx::irda::ProbePort(port, serial, clock);
                                 }};
    bindings.platform = qx::HostPlatform::Linux;
    bindings.captureFiles = &captureFiles;
    bindings.nameDongle = [](const std::string& port) {
        qx::posix::LibusbHost usb;
        return qx::irda::UsbDongleName(port, usb);
    };
    bindings.usbLibraryProblem = [] { return qx::posix::LibusbHost().StartProblem(); };
    bindings.inspectPort = qx::InspectPort;
    bindings.udevRules = std::string("/usr/") + qx::posix::UDEV_RULES_FILE;
    bindings.environmentLanguage = [] {
        const auto value = [](const char* name) {
            const char* text = std::getenv(name);
            return std::string_view(text != nullptr ? text : "");
        };
        return qx::LanguageFromLocale(value("LC_ALL"), value("LC_MESSAGES"), value("LANG"));
    };
    qx::ConsoleProgram program(console, std::move(bindings));
    std::unique_ptr<qx::PosixPlatformLinks> picked;
    pickedSlot = &picked;
    // Declared after the program and the links, so it goes first.
    const InterruptGuard guard(program, link);
    return program.Run(args);
}
