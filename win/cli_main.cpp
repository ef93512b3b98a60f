// The console program's entry point: binds the console, the settings calls and Winsock (or the loopback
// emulation) to the console program and runs it. Ctrl+C, Ctrl+Break and the console closing reach the run
// through the console's control handler, which lets the run close its link before the process ends.
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/console_program.h"
#include "irda/capture.h"
#include "link/traced_calls.h"
#include "win/console_io.h"
#include "win/platform_calls.h"
#include "win/private_profile_calls.h"
#include "win/program_folder.h"
#include "win/wide_text.h"

namespace {

// The control handler gets no context of its own: this is how it finds the program.
std::atomic<qx::ConsoleProgram*> runningProgram{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
    qx::ConsoleProgram* program = runningProgram.load();
    if (program == nullptr) {
        return FALSE;
    }
    const bool closing = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
    switch (program->Interrupt()) {
        case qx::ConsoleProgram::InterruptEffect::NothingOpen:
            ExitProcess(qx::EXIT_INTERRUPTED);
        case qx::ConsoleProgram::InterruptEffect::RunUnderWay:
        case qx::ConsoleProgram::InterruptEffect::Ended:
            // For Ctrl+C the run goes on to its close and ends the program itself. A closing console ends the
            // process as soon as this returns, so the handler waits for the run first.
            if (closing) {
                program->WaitUntilEnded();
            }
            return TRUE;
    }
    return TRUE;
}

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
    std::unique_ptr<qx::PlatformCalls> picked;
    std::ofstream captureFile;
    std::unique_ptr<qx::irda::PcapWriter> capture;
    const qx::LinkPicker pickLink = [&](std::string_view port,
                                        const std::optional<std::string>& capturePath) -> qx::SocketCalls& {
        if (capturePath) {
            captureFile.open(std::filesystem::path(qx::Widen(*capturePath)),
                             std::ios::binary | std::ios::trunc);
            if (captureFile) {
                capture = std::make_unique<qx::irda::PcapWriter>(captureFile);
            }
        }
        picked = std::make_unique<qx::PlatformCalls>(port, capture.get());
        return picked->Calls();
    };
    qx::PrivateProfileCalls profile;
    const qx::CallTracer tracer = [&console](qx::SocketCalls& inner, qx::LineSink sink) {
        return std::make_unique<qx::TracedCalls>(inner, std::move(sink),
                                                 [&console] { return console.MillisecondsSinceStart(); });
    };
    qx::ConsoleProgram program(
        console, {link.Calls(), link.LoopbackPort(), profile, qx::ProgramDirectory(), tracer, pickLink});
    runningProgram = &program;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const int code = program.Run(args);
    return code;
}
