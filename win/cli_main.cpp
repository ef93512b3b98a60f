// The console program's entry point: binds the console, the settings calls and Winsock (or the loopback
// emulation) to the console program and runs it. Ctrl+C, Ctrl+Break and the console closing reach the run
// through the console's control handler, which lets the run close its link before the process ends.
#include <windows.h>

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/console_program.h"
#include "link/traced_calls.h"
#include "win/capture_file_calls.h"
#include "win/console_io.h"
#include "win/platform_calls.h"
#include "win/private_profile_calls.h"
#include "win/program_folder.h"
#include "win/scoped_handles.h"
#include "win/wide_text.h"
#include "win/win32_serial_port.h"
#include "win/winusb_host.h"

namespace {

// What the control handler acts on, which it gets no context of its own to find. It is set only while the
// program and its link exist: the guard that sets it clears it before either is destroyed, and waits for a
// handler that is using them to finish first.
struct InterruptTarget {
    qx::ConsoleProgram* program = nullptr;
    qx::PlatformCalls* link = nullptr;
};
std::mutex targetMutex;
InterruptTarget target;

BOOL WINAPI OnConsoleControl(DWORD event) {
    const std::lock_guard lock(targetMutex);
    if (target.program == nullptr) {
        return FALSE;
    }
    const bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    const qx::ConsoleProgram::InterruptEffect effect = target.program->Interrupt();
    // A discovery try or connect under way over the loopback emulation ends now rather than after its wait.
    target.link->Interrupt();
    switch (effect) {
        case qx::ConsoleProgram::InterruptEffect::NothingOpen:
            ExitProcess(qx::EXIT_INTERRUPTED);
        case qx::ConsoleProgram::InterruptEffect::RunUnderWay:
        case qx::ConsoleProgram::InterruptEffect::Ended:
            // For Ctrl+C the run goes on to its close and ends the program itself. A closing console ends the
            // process as soon as this returns, so the handler waits for the run first.
            if (closing) {
                target.program->WaitUntilEnded();
            }
            return TRUE;
    }
    return TRUE;
}

// The run's own link, once the command line and the settings have chosen it, takes the interruptions.
void RetargetInterrupt(qx::PlatformCalls& link) {
    const std::lock_guard lock(targetMutex);
    if (target.program != nullptr) {
        target.link = &link;
    }
}

// Hands the control handler its target for the guard's life.
class InterruptGuard {
  public:
    InterruptGuard(qx::ConsoleProgram& program, qx::PlatformCalls& link) {
        {
            const std::lock_guard lock(targetMutex);
            target = {&program, &link};
        }
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ~InterruptGuard() {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        const std::lock_guard lock(targetMutex);
        target = {};
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(qx::Narrow(argv[i]));
    }
    qx::ConsoleIo console;
    // Winsock or the emulation until the command line and the settings are read; then the picker makes the
    // link the Port value in force asks for.
    qx::PlatformCalls link;
    qx::Win32CaptureFileCalls captureFiles;
    // The picked link hands frames to the program's capture even as it closes, so it is declared after the
    // program (and goes before it); the picker reaches it through this slot.
    std::unique_ptr<qx::PlatformCalls>* pickedSlot = nullptr;
    const qx::LinkPicker pickLink = [&](std::string_view port, qx::irda::FrameSink* capture,
                                        qx::irda::LineProfile lineProfile,
                                        qx::LineSink usbTrace) -> qx::SocketCalls& {
        std::unique_ptr<qx::PlatformCalls>& picked = *pickedSlot;
        picked = std::make_unique<qx::PlatformCalls>(port, capture, lineProfile, std::move(usbTrace));
        // From here on an interruption is for the link the run uses.
        RetargetInterrupt(*picked);
        return picked->Calls();
    };
    qx::PrivateProfileCalls profile;
    const qx::CallTracer tracer = [&console](qx::SocketCalls& inner, qx::LineSink sink, bool everything) {
        return std::make_unique<qx::TracedCalls>(
            inner, std::move(sink), [&console] { return console.MillisecondsSinceStart(); }, everything);
    };
    qx::ConsoleBindings bindings{link.Calls(),
                                 link.LoopbackPort(),
                                 profile,
                                 qx::ProgramDirectory(),
                                 tracer,
                                 pickLink,
                                 [] {
                                     std::vector<std::string> ports = qx::ListComPorts();
                                     qx::WinUsbHost usb;
                                     const auto dongles = qx::irda::UsbPortValues(usb);
                                     ports.insert(ports.end(), dongles.begin(), dongles.end());
                                     return ports;
                                 },
                                 [&link](const std::string& port, qx::irda::LineProfile lineProfile) {
                                     qx::irda::PlatformClock clock(link.Calls());
                                     if (qx::irda::ParseUsbPort(port)) {
                                         qx::WinUsbHost usb;
                                         return qx::irda::ProbeUsbPort(port, usb, clock);
                                     }
                                     qx::Win32SerialPort serial;
                                     serial.SetLineProfile(lineProfile);
                                     return qx::irda::ProbePort(port, serial, clock);
                                 }};
    bindings.captureFiles = &captureFiles;
    qx::ConsoleProgram program(console, std::move(bindings));
    std::unique_ptr<qx::PlatformCalls> picked;
    pickedSlot = &picked;
    // Declared after the program and the links, so it goes first.
    const InterruptGuard guard(program, link);
    return program.Run(args);
}
