// The benchmarks' eyes inside Wine: starts a Windows program, times it with the performance counter and reads
// its memory figures, and can drive one enable run through its window while checking that the window keeps
// answering. Prints key=value lines on stdout for scripts/bench; every wait is bounded.
//
//   bench_probe startup [--idle-ms N] PROGRAM   time until the main window is visible, then the peak memory
//   bench_probe run [--button-id N] PROGRAM     press the first mode button, confirm, wait for the result box
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr DWORD POLL_MS = 1;
constexpr DWORD PING_INTERVAL_MS = 10;
constexpr UINT PING_TIMEOUT_MS = 5000;
constexpr double WINDOW_TIMEOUT_MS = 20000;
constexpr double BOX_TIMEOUT_MS = 10000;
constexpr double RUN_TIMEOUT_MS = 30000;
constexpr DWORD EXIT_TIMEOUT_MS = 10000;
constexpr DWORD SETTLE_MS = 300;
constexpr DWORD DEFAULT_IDLE_MS = 1000;
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

// Closes a kernel handle when it goes out of scope.
class Handle {
  public:
    explicit Handle(HANDLE h = nullptr) : handle(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    HANDLE Get() const { return handle; }

  private:
    HANDLE handle;
};

class Stopwatch {
  public:
    Stopwatch() {
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
    }
    double ElapsedMs() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
               static_cast<double>(frequency.QuadPart);
    }

  private:
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
};

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    // One value per line: line breaks inside a box text become spaces.
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return out;
}

void Print(const char* key, double value) {
    std::printf("%s=%.3f\n", key, value);
}

void Print(const char* key, long long value) {
    std::printf("%s=%lld\n", key, value);
}

void Print(const char* key, const std::string& value) {
    std::printf("%s=%s\n", key, value.c_str());
}

int Fail(const char* what) {
    std::fflush(stdout);
    std::fprintf(stderr, "bench_probe: %s\n", what);
    return 1;
}

std::wstring ClassOf(HWND window) {
    std::wstring name(256, L'\0');
    int length = GetClassNameW(window, name.data(), static_cast<int>(name.size()));
    name.resize(static_cast<std::size_t>(std::max(length, 0)));
    return name;
}

bool IsDialogClass(HWND window) {
    return ClassOf(window) == L"#32770";
}

// What a top-level window must be to count: visible, of the process, and either the main window (any class
// but the dialog class) or a box owned by the main window, other than one already handled.
struct WindowQuery {
    DWORD processId = 0;
    HWND owner = nullptr;
    HWND skip = nullptr;
    HWND found = nullptr;
};

BOOL CALLBACK MatchTopWindow(HWND window, LPARAM param) {
    auto& query = *reinterpret_cast<WindowQuery*>(param);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != query.processId || window == query.skip || !IsWindowVisible(window)) {
        return TRUE;
    }
    bool matches = query.owner == nullptr
                       ? !IsDialogClass(window)
                       : IsDialogClass(window) && GetWindow(window, GW_OWNER) == query.owner;
    if (matches) {
        query.found = window;
        return FALSE;
    }
    return TRUE;
}

bool Exited(HANDLE process) {
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// Polls every millisecond until the window turns up, the process ends or the time is up.
HWND WaitForTopWindow(HANDLE process, DWORD processId, HWND owner, HWND skip, double timeoutMs) {
    Stopwatch waited;
    while (waited.ElapsedMs() < timeoutMs && !Exited(process)) {
        WindowQuery query{processId, owner, skip, nullptr};
        EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&query));
        if (query.found != nullptr) {
            return query.found;
        }
        Sleep(POLL_MS);
    }
    return nullptr;
}

struct ButtonQuery {
    std::optional<int> controlId;
    HWND found = nullptr;
    RECT place{};
};

// Without a control id, the mode button that comes first is the one placed highest (then leftmost).
BOOL CALLBACK MatchButton(HWND window, LPARAM param) {
    auto& query = *reinterpret_cast<ButtonQuery*>(param);
    if (_wcsicmp(ClassOf(window).c_str(), L"Button") != 0 || !IsWindowVisible(window)) {
        return TRUE;
    }
    if (query.controlId) {
        if (GetDlgCtrlID(window) == *query.controlId) {
            query.found = window;
            return FALSE;
        }
        return TRUE;
    }
    RECT place;
    GetWindowRect(window, &place);
    if (query.found == nullptr || place.top < query.place.top ||
        (place.top == query.place.top && place.left < query.place.left)) {
        query.found = window;
        query.place = place;
    }
    return TRUE;
}

std::wstring DialogText(HWND box) {
    HWND text = GetDlgItem(box, MESSAGE_BOX_TEXT_ID);
    std::wstring buffer(1024, L'\0');
    DWORD_PTR length = 0;
    if (text == nullptr ||
        SendMessageTimeoutW(text, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                            SMTO_NORMAL, PING_TIMEOUT_MS, &length) == 0) {
        return {};
    }
    buffer.resize(std::min<std::size_t>(length, buffer.size()));
    return buffer;
}

std::wstring Caption(HWND window) {
    std::wstring buffer(512, L'\0');
    int length = GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
    buffer.resize(static_cast<std::size_t>(std::max(length, 0)));
    return buffer;
}

bool PressOk(HWND box) {
    HWND ok = GetDlgItem(box, IDOK);
    return ok != nullptr && PostMessageW(ok, BM_CLICK, 0, 0) != 0;
}

long long PeakWorkingSet(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, &counters, sizeof counters) == 0) {
        return -1;
    }
    return static_cast<long long>(counters.PeakWorkingSetSize);
}

// A started program; closes its window and waits for it on every way out, ending it only when it will not go.
class Target {
  public:
    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target() {
        if (process && !Exited(process->Get())) {
            Close();
        }
    }

    bool Start(const std::wstring& program) {
        std::wstring commandLine = L"\"" + program + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &info) == 0) {
            return false;
        }
        process = std::make_unique<Handle>(info.hProcess);
        Handle thread(info.hThread);
        processId = info.dwProcessId;
        return true;
    }

    // Asks the main window to close; reports whether the program ended by itself within the bound.
    bool Close() {
        if (mainWindow != nullptr) {
            PostMessageW(mainWindow, WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(process->Get(), EXIT_TIMEOUT_MS) == WAIT_OBJECT_0) {
            return true;
        }
        TerminateProcess(process->Get(), 1);
        WaitForSingleObject(process->Get(), EXIT_TIMEOUT_MS);
        return false;
    }

    HANDLE Process() const { return process->Get(); }
    DWORD processId = 0;
    HWND mainWindow = nullptr;

  private:
    std::unique_ptr<Handle> process;
};

int Startup(const std::wstring& program, DWORD idleMs) {
    Target target;
    Stopwatch sinceStart;
    if (!target.Start(program)) {
        return Fail("cannot start the program");
    }
    target.mainWindow =
        WaitForTopWindow(target.Process(), target.processId, nullptr, nullptr, WINDOW_TIMEOUT_MS);
    double startupMs = sinceStart.ElapsedMs();
    if (target.mainWindow == nullptr) {
        return Fail("no visible main window");
    }
    Print("startup_ms", startupMs);
    Sleep(idleMs);
    Print("peak_working_set", PeakWorkingSet(target.Process()));
    Print("closed", target.Close() ? "yes" : "no");
    return 0;
}

// Sends a null message every 10 ms and keeps the longest wait for the answer.
struct Pinger {
    HWND window = nullptr;
    std::atomic<bool> stop{false};
    double longestMs = 0;
    long long pings = 0;
    long long unanswered = 0;

    static DWORD WINAPI Loop(void* param) {
        auto& self = *static_cast<Pinger*>(param);
        while (!self.stop.load()) {
            Stopwatch wait;
            DWORD_PTR answer = 0;
            bool answered =
                SendMessageTimeoutW(self.window, WM_NULL, 0, 0, SMTO_NORMAL, PING_TIMEOUT_MS, &answer) != 0;
            self.longestMs = std::max(self.longestMs, wait.ElapsedMs());
            ++self.pings;
            self.unanswered += answered ? 0 : 1;
            Sleep(PING_INTERVAL_MS);
        }
        return 0;
    }
};

int Run(const std::wstring& program, std::optional<int> buttonId) {
    Target target;
    Stopwatch sinceStart;
    if (!target.Start(program)) {
        return Fail("cannot start the program");
    }
    target.mainWindow =
        WaitForTopWindow(target.Process(), target.processId, nullptr, nullptr, WINDOW_TIMEOUT_MS);
    if (target.mainWindow == nullptr) {
        return Fail("no visible main window");
    }
    Print("startup_ms", sinceStart.ElapsedMs());
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(target.mainWindow, WM_NULL, 0, 0, SMTO_NORMAL, PING_TIMEOUT_MS, &answer);
    Sleep(SETTLE_MS);
    ButtonQuery buttons{buttonId, nullptr, {}};
    EnumChildWindows(target.mainWindow, MatchButton, reinterpret_cast<LPARAM>(&buttons));
    if (buttons.found == nullptr) {
        return Fail("no button in the main window");
    }

    Pinger pinger;
    pinger.window = target.mainWindow;
    Handle pingThread(CreateThread(nullptr, 0, Pinger::Loop, &pinger, 0, nullptr));
    Stopwatch sinceClick;
    PostMessageW(buttons.found, BM_CLICK, 0, 0);
    HWND confirmation =
        WaitForTopWindow(target.Process(), target.processId, target.mainWindow, nullptr, BOX_TIMEOUT_MS);
    std::optional<double> confirmedAt;
    if (confirmation != nullptr) {
        Print("confirmation_text", Utf8(DialogText(confirmation)));
        confirmedAt = sinceClick.ElapsedMs();
        PressOk(confirmation);
    }
    // The confirmation box may take a moment to go; the result box is the next box, whichever it is.
    HWND result = confirmation == nullptr ? nullptr
                                          : WaitForTopWindow(target.Process(), target.processId,
                                                             target.mainWindow, confirmation, RUN_TIMEOUT_MS);
    double runMs = sinceClick.ElapsedMs();
    pinger.stop.store(true);
    WaitForSingleObject(pingThread.Get(), PING_TIMEOUT_MS + 1000);
    if (confirmation == nullptr) {
        return Fail("no confirmation box");
    }
    if (result == nullptr) {
        return Fail("no result box");
    }
    Print("confirmation_ms", *confirmedAt);
    Print("run_ms", runMs);
    Print("work_ms", runMs - *confirmedAt);
    Print("longest_stall_ms", pinger.longestMs);
    Print("pings", pinger.pings);
    Print("unanswered", pinger.unanswered);
    Print("peak_working_set", PeakWorkingSet(target.Process()));
    Print("result_caption", Utf8(Caption(result)));
    Print("result_text", Utf8(DialogText(result)));
    PressOk(result);
    Print("closed", target.Close() ? "yes" : "no");
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_probe startup [--idle-ms N] PROGRAM\n"
                 "       bench_probe run [--button-id N] PROGRAM\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() < 2) {
        return Usage();
    }
    const std::wstring command = args.front();
    DWORD idleMs = DEFAULT_IDLE_MS;
    std::optional<int> buttonId;
    std::size_t i = 1;
    for (; i + 1 < args.size(); i += 2) {
        if (args[i] == L"--idle-ms") {
            idleMs = static_cast<DWORD>(std::wcstoul(args[i + 1].c_str(), nullptr, 10));
        } else if (args[i] == L"--button-id") {
            buttonId = static_cast<int>(std::wcstol(args[i + 1].c_str(), nullptr, 0));
        } else {
            break;
        }
    }
    if (i + 1 != args.size()) {
        return Usage();
    }
    int status = command == L"startup" ? Startup(args[i], idleMs)
                 : command == L"run"   ? Run(args[i], buttonId)
                                       : Usage();
    std::fflush(stdout);
    return status;
}
