// Drives the real QX2205R.exe the way a user would and checks what it shows: starts it with a settings file
// in a folder of its own, finds the window and its controls, presses buttons, reads and answers the boxes,
// and reads the status bar from the program's memory. Run as: window_driver <scenario> <path of QX2205R.exe>.
// Every wait has a deadline; a scenario that does not see what it expects fails with a message.
// winsock2.h before windows.h, and commctrl.h after it.
#include <winsock2.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/layout.h"
#include "win/form_support.h"
#include "win/run_worker.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD WAIT_MS = 15000;
constexpr DWORD POLL_MS = 5;
constexpr UINT MESSAGE_TIMEOUT_MS = 5000;
constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

// The window as laid out at 96 dpi: the facts the user sees, independent of how the program computes them.
struct LayoutFact {
    const char* name;
    int id;
    const wchar_t* className;
    RECT rect;  // left, top, right, bottom in the main window's client area
};
constexpr SIZE CLIENT_SIZE = {372, 219};
constexpr LayoutFact LAYOUT_FACTS[] = {
    {"btnSet", qx::BTN_SET_ID, L"Button", {40, 48, 40 + 281, 48 + 33}},
    {"btnClear", qx::BTN_CLEAR_ID, L"Button", {40, 88, 40 + 281, 88 + 33}},
    {"btnExit", qx::BTN_EXIT_ID, L"Button", {40, 128, 40 + 281, 128 + 33}},
    {"StatusBar1", qx::STATUS_BAR_ID, STATUSCLASSNAMEW, {0, 200, 372, 219}},
};
constexpr int STATUS_PANEL0_RIGHT = 200;

struct Captions {
    std::wstring btnSet;
    std::wstring btnClear;
    std::wstring btnExit;
};
const std::map<int, Captions> CAPTIONS = {
    {0, {L"Enable Searching heterogeneity mode", L"Disable Searching heterogeneity mode", L"Exit"}},
    {1, {L"Включить режим Поиска неоднородностей", L"Выключить режим Поиска неоднородностей", L"Выход"}},
    {5, {L"", L"", L"Выход"}},
};
const std::wstring ENGLISH_PROMPT =
    L"Set the instrument in PC communication mode and click ”OK”.\n ”Cancel” to cancel";

// ---- failing and waiting

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), length, nullptr, nullptr);
    return result;
}

void Check(bool condition, const std::string& what) {
    if (!condition) {
        throw Failure(what);
    }
}

void CheckText(const std::wstring& seen, const std::wstring& expected, const std::string& what) {
    Check(seen == expected, what + ": \"" + Utf8(seen) + "\", expected \"" + Utf8(expected) + "\"");
}

// Polls `probe` until it gives a value, for at most `limitMs`.
template <typename Probe>
auto WaitFor(const std::string& what, Probe probe, DWORD limitMs = WAIT_MS) {
    const DWORD started = GetTickCount();
    for (;;) {
        if (auto value = probe()) {
            return value;
        }
        if (GetTickCount() - started >= limitMs) {
            throw Failure("timed out waiting for " + what);
        }
        Sleep(POLL_MS);
    }
}

// ---- reading windows

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &length)) {
        throw Failure("the window does not answer WM_GETTEXTLENGTH");
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &copied);
    text.resize(copied);
    return text;
}

// A control's rectangle in its parent's client area.
RECT PlaceOf(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::string Describe(const RECT& r) {
    std::ostringstream out;
    out << "(" << r.left << "," << r.top << ")-(" << r.right << "," << r.bottom << ") " << r.right - r.left
        << "x" << r.bottom - r.top;
    return out.str();
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
    auto& search = *reinterpret_cast<WindowSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search.processId && ClassOf(window) == search.className) {
        search.found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t* className) {
    WindowSearch search{processId, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Press(HWND button) {
    // Posted: the click opens a modal box and would not return until it is answered.
    PostMessageW(button, BM_CLICK, 0, 0);
}

// ---- the program under test

// Memory in the program's process, for the status bar messages that take a pointer.
class RemoteBuffer {
  public:
    RemoteBuffer(HANDLE process, std::size_t bytes)
        : process_(process),
          size_(bytes),
          address_(VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
        Check(address_ != nullptr, "cannot allocate memory in the program's process");
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    ~RemoteBuffer() { VirtualFreeEx(process_, address_, 0, MEM_RELEASE); }

    LPARAM Address() const { return reinterpret_cast<LPARAM>(address_); }
    void Write(const void* data, std::size_t bytes) const {
        Check(bytes <= size_ && WriteProcessMemory(process_, address_, data, bytes, nullptr),
              "cannot write the program's memory");
    }
    template <typename T>
    std::vector<T> Read(std::size_t count) const {
        std::vector<T> values(count);
        Check(count * sizeof(T) <= size_ &&
                  ReadProcessMemory(process_, address_, values.data(), count * sizeof(T), nullptr),
              "cannot read the program's memory");
        return values;
    }

  private:
    HANDLE process_;
    std::size_t size_;
    void* address_;
};

constexpr std::size_t STATUS_TEXT_CHARS = 512;
constexpr wchar_t UNWRITTEN = 0xFFFF;

// The text SB_GETTEXTW left in `buffer`; a panel that never had a text leaves the buffer as it was.
std::wstring StatusTextIn(const RemoteBuffer& buffer) {
    const std::vector<wchar_t> chars = buffer.Read<wchar_t>(STATUS_TEXT_CHARS);
    if (chars[0] == UNWRITTEN) {
        return {};
    }
    return std::wstring(chars.data(), wcsnlen(chars.data(), chars.size()));
}

class Program {
  public:
    // Starts QX2205R.exe with `settingsPath` as its argument, in `folder`, with the loopback emulation's
    // variable set to `loopbackPort` or removed; `comPort` is the port its settings name for the program's
    // own IrDA stack, if any.
    Program(const std::wstring& exe, const fs::path& folder, const fs::path& settingsPath,
            std::optional<unsigned> loopbackPort = std::nullopt, const std::wstring& comPort = {})
        // With the loopback emulation or the program's own IrDA on, the caption says so, with its port.
        : caption_(loopbackPort      ? L"QX2205R - IrDA loopback 127.0.0.1:" + std::to_wstring(*loopbackPort)
                   : comPort.empty() ? L"QX2205R"
                                     : L"QX2205R - IrDA on " + comPort),
          // The Russian window names the port in Russian.
          captionRussian_(loopbackPort || comPort.empty() ? caption_ : L"QX2205R - IrDA через " + comPort) {
        const std::wstring port = loopbackPort ? std::to_wstring(*loopbackPort) : std::wstring();
        SetEnvironmentVariableW(L"QX2205R_IRDA_LOOPBACK", loopbackPort ? port.c_str() : nullptr);
        std::wstring commandLine = L"\"" + exe + L"\" \"" + settingsPath.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        Check(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             folder.wstring().c_str(), &startup, &info_),
              "cannot start " + Utf8(exe));
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() {
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, WAIT_MS);
        }
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }

    HANDLE Process() const { return info_.hProcess; }
    // wWinMain runs the window on the process's first thread.
    HANDLE InterfaceThread() const { return info_.hThread; }

    // The main window, found by class and caption among this process's windows (a box may carry the same
    // caption).
    HWND MainWindow(bool visible = true) const {
        return WaitFor("the main window", [&]() -> HWND {
            for (const HWND window : TopLevelWindows(info_.dwProcessId, L"TMainForm")) {
                if ((TextOf(window) == caption_ || TextOf(window) == captionRussian_) &&
                    (!visible || IsWindowVisible(window))) {
                    return window;
                }
            }
            return nullptr;
        });
    }
    // A visible message box owned by `owner`, if one is open.
    HWND OpenBox(HWND owner) const {
        for (const HWND box : TopLevelWindows(info_.dwProcessId, L"#32770")) {
            if (GetWindow(box, GW_OWNER) == owner && IsWindowVisible(box)) {
                return box;
            }
        }
        return nullptr;
    }
    HWND WaitBox(HWND owner, const std::string& what) const {
        return WaitFor(what, [&] { return OpenBox(owner); });
    }

    std::wstring StatusText(HWND bar, int part) const {
        RemoteBuffer buffer(Process(), STATUS_TEXT_CHARS * sizeof(wchar_t));
        buffer.Write(&UNWRITTEN, sizeof UNWRITTEN);
        DWORD_PTR result = 0;
        Check(SendMessageTimeoutW(bar, SB_GETTEXTW, part, buffer.Address(), SMTO_ABORTIFHUNG,
                                  MESSAGE_TIMEOUT_MS, &result),
              "the status bar does not answer SB_GETTEXT");
        return StatusTextIn(buffer);
    }
    void SetStatusText(HWND bar, int part, const std::wstring& text) const {
        RemoteBuffer buffer(Process(), (text.size() + 1) * sizeof(wchar_t));
        buffer.Write(text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        DWORD_PTR result = 0;
        SendMessageTimeoutW(bar, SB_SETTEXTW, part, buffer.Address(), SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS,
                            &result);
    }
    // Panel `part`'s rectangle in the bar, and the width of the bar's vertical border around a text.
    RECT StatusRect(HWND bar, int part) const {
        RemoteBuffer buffer(Process(), sizeof(RECT));
        DWORD_PTR ignored = 0;
        Check(SendMessageTimeoutW(bar, SB_GETRECT, part, buffer.Address(), SMTO_ABORTIFHUNG,
                                  MESSAGE_TIMEOUT_MS, &ignored) != 0,
              "the status bar does not answer SB_GETRECT");
        return buffer.Read<RECT>(1)[0];
    }
    int StatusBorder(HWND bar) const {
        RemoteBuffer buffer(Process(), 3 * sizeof(int));
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(bar, SB_GETBORDERS, 0, buffer.Address(), SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS,
                            &ignored);
        return buffer.Read<int>(3)[0];
    }
    std::vector<int> StatusParts(HWND bar) const {
        RemoteBuffer buffer(Process(), 16 * sizeof(int));
        DWORD_PTR count = 0;
        SendMessageTimeoutW(bar, SB_GETPARTS, 16, buffer.Address(), SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS,
                            &count);
        return buffer.Read<int>(count);
    }

    DWORD WaitExit() const {
        Check(WaitForSingleObject(info_.hProcess, WAIT_MS) == WAIT_OBJECT_0, "the program did not end");
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

    DWORD InterfaceThreadId() const { return info_.dwThreadId; }

  private:
    std::wstring caption_;
    std::wstring captionRussian_;
    PROCESS_INFORMATION info_{};
};

// The pixels `text` takes in the bar's font: the window's font at the window's DPI, with the letters of its
// language (the handle the bar holds is the program's own and cannot be read from here).
int TextWidthInBar(HWND bar, const std::wstring& text, bool cyrillic) {
    const qx::FontHandle font = qx::CreateFormFont(qx::ScaleLayout(qx::WindowDpi(bar)).fontHeight,
                                                   cyrillic ? RUSSIAN_CHARSET : DEFAULT_CHARSET);
    const qx::ScreenDc screen;
    const qx::SelectedObject selected(screen.Get(), font.get());
    SIZE size{};
    GetTextExtentPoint32W(screen.Get(), text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

// Panel `part` shows `text` whole: the text is no wider than the panel inside its borders.
void CheckPanelFits(const Program& program, HWND bar, int part, const std::wstring& text, bool cyrillic) {
    if (text.empty()) {
        return;
    }
    const RECT rect = program.StatusRect(bar, part);
    // A run's texts come and go quickly: the split measured must be the one for this text still shown.
    if (program.StatusText(bar, part) != text) {
        std::printf("panel %d changed while measured; \"%s\" not checked\n", part, Utf8(text).c_str());
        return;
    }
    const int room = (rect.right - rect.left) - 2 * program.StatusBorder(bar);
    const int width = TextWidthInBar(bar, text, cyrillic);
    std::printf("fits panel %d: %d px of text in %d px: %s\n", part, width, room, Utf8(text).c_str());
    Check(width <= room, "panel " + std::to_string(part) + " cuts \"" + Utf8(text) + "\" short: " +
                             std::to_string(width) + " px of text in " + std::to_string(room) + " px");
}

// The screen's DPI for the programs started while this lives, as Wine takes it from the user's settings.
class ScreenDpi {
  public:
    explicit ScreenDpi(DWORD dpi) {
        if (dpi == 0) {
            return;
        }
        // The calls the headers offer at the program's oldest Windows: an opened key, read and written.
        Check(RegCreateKeyExW(HKEY_CURRENT_USER, KEY, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                              &key_, nullptr) == ERROR_SUCCESS,
              "cannot open the screen's settings");
        DWORD type = 0;
        DWORD size = sizeof old_;
        had_ = RegQueryValueExW(key_, L"LogPixels", nullptr, &type, reinterpret_cast<BYTE*>(&old_), &size) ==
                   ERROR_SUCCESS &&
               type == REG_DWORD;
        Check(RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                             sizeof dpi) == ERROR_SUCCESS,
              "cannot set the screen's DPI");
        set_ = true;
    }
    ScreenDpi(const ScreenDpi&) = delete;
    ScreenDpi& operator=(const ScreenDpi&) = delete;
    ~ScreenDpi() {
        if (set_) {
            if (had_) {
                RegSetValueExW(key_, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old_),
                               sizeof old_);
            } else {
                RegDeleteValueW(key_, L"LogPixels");
            }
        }
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }

  private:
    static constexpr const wchar_t* KEY = L"Control Panel\\Desktop";
    HKEY key_ = nullptr;
    DWORD old_ = 0;
    bool had_ = false;
    bool set_ = false;
};

// A folder of the scenario's own under the temporary folder, removed at the end.
class ScratchFolder {
  public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path_ = fs::path(temp) / (L"qx2205r-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount()));
        fs::create_directories(path_);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

fs::path WriteSettings(const ScratchFolder& folder, const std::string& languageValue,
                       const std::string& port = {}) {
    const fs::path path = folder.Path() / L"QX2205R.ini";
    std::ofstream out(path, std::ios::binary);
    out << "[Parameters]\r\nLanguage=" << languageValue << "\r\n";
    if (!port.empty()) {
        out << "Port=" << port << "\r\n";
    }
    return path;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The main window's controls by their identifiers.
struct Form {
    HWND window;
    HWND btnSet;
    HWND btnClear;
    HWND btnExit;
    HWND statusBar;

    explicit Form(HWND main)
        : window(main),
          btnSet(GetDlgItem(main, qx::BTN_SET_ID)),
          btnClear(GetDlgItem(main, qx::BTN_CLEAR_ID)),
          btnExit(GetDlgItem(main, qx::BTN_EXIT_ID)),
          statusBar(GetDlgItem(main, qx::STATUS_BAR_ID)) {
        Check(btnSet && btnClear && btnExit && statusBar, "a control of the main window is missing");
    }
    void CheckCaptions(const Captions& expected) const {
        CheckText(TextOf(btnSet), expected.btnSet, "btnSet caption");
        CheckText(TextOf(btnClear), expected.btnClear, "btnClear caption");
        CheckText(TextOf(btnExit), expected.btnExit, "btnExit caption");
    }
    // A run has ended once the mode buttons are enabled again.
    void WaitIdle(const Program& program) const {
        WaitFor("the run to end", [&] { return IsWindowEnabled(btnSet) && !program.OpenBox(window); });
    }
    void CloseWithCloseBox() const { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }
};

// A TCP listener on 127.0.0.1 for the loopback emulation: any connection to it means the program touched the
// link.
class LinkWatch {
  public:
    LinkWatch() {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        Check(socket_ != INVALID_SOCKET &&
                  bind(socket_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                  listen(socket_, 8) == 0 &&
                  getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
              "cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
    }
    LinkWatch(const LinkWatch&) = delete;
    LinkWatch& operator=(const LinkWatch&) = delete;
    ~LinkWatch() {
        closesocket(socket_);
        WSACleanup();
    }
    unsigned Port() const { return port_; }
    bool Touched() const {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket_, &set);
        timeval none{0, 0};
        return select(0, &set, nullptr, nullptr, &none) > 0;
    }

  private:
    SOCKET socket_ = INVALID_SOCKET;
    unsigned port_ = 0;
};

// ---- scenarios

void Layout(const std::wstring& exe) {
    ScratchFolder folder;
    Program program(exe, folder.Path(), WriteSettings(folder, "0"));
    const Form form(program.MainWindow());

    RECT client{};
    GetClientRect(form.window, &client);
    std::printf("client area %ldx%ld\n", client.right, client.bottom);
    Check(client.right == CLIENT_SIZE.cx && client.bottom == CLIENT_SIZE.cy,
          "the client area is not 372x219");
    for (const LayoutFact& fact : LAYOUT_FACTS) {
        const HWND control = GetDlgItem(form.window, fact.id);
        const RECT place = PlaceOf(control);
        std::printf("%-10s %s\n", fact.name, Describe(place).c_str());
        Check(ClassOf(control) == fact.className, std::string(fact.name) + " is not of its class");
        Check(EqualRect(&place, &fact.rect),
              std::string(fact.name) + " is at " + Describe(place) + ", expected " + Describe(fact.rect));
    }
    Check(GetNextDlgTabItem(form.window, form.btnSet, FALSE) == form.btnClear &&
              GetNextDlgTabItem(form.window, form.btnClear, FALSE) == form.btnExit &&
              GetNextDlgTabItem(form.window, form.btnExit, FALSE) == form.btnSet,
          "the tab order is not btnSet, btnClear, btnExit");

    const LONG style = GetWindowLongW(form.window, GWL_STYLE);
    Check((style & WS_SYSMENU) && (style & WS_MINIMIZEBOX) && !(style & WS_MAXIMIZEBOX) &&
              !(style & WS_THICKFRAME),
          "the window is not single-bordered with system menu and minimize only");
    RECT frame{};
    GetWindowRect(form.window, &frame);
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    Check(std::abs((frame.left + frame.right) - screenWidth) <= 1 &&
              std::abs((frame.top + frame.bottom) - screenHeight) <= 1,
          "the window " + Describe(frame) + " is not centred on the screen");

    for (const HWND button : {form.btnSet, form.btnClear}) {
        Check(SendMessageW(button, BM_GETIMAGE, IMAGE_ICON, 0) != 0, "a mode button has no image");
        Check(!(GetWindowLongW(button, GWL_STYLE) & BS_ICON),
              "a mode button shows its image instead of its caption");
    }
    Check(!(GetWindowLongW(form.statusBar, GWL_STYLE) & SBARS_SIZEGRIP), "the status bar has a size grip");
    const std::vector<int> parts = program.StatusParts(form.statusBar);
    Check(parts.size() == 2 && parts[0] == STATUS_PANEL0_RIGHT && parts[1] == -1,
          "the status bar is not two panels of 200 pixels and the rest");
    CheckText(program.StatusText(form.statusBar, 1), L"", "panel 1 when idle");

    form.CloseWithCloseBox();
    Check(program.WaitExit() == 0, "the program did not end cleanly");
}

void CaptionsByLanguage(const std::wstring& exe) {
    for (const auto& [language, captions] : CAPTIONS) {
        std::printf("language %d\n", language);
        ScratchFolder folder;
        Program program(exe, folder.Path(), WriteSettings(folder, std::to_string(language)));
        const Form form(program.MainWindow());
        form.CheckCaptions(captions);
        Press(form.btnExit);
        Check(program.WaitExit() == 0, "btnExit did not end the program");
    }
}

void ConfirmCancel(const std::wstring& exe) {
    ScratchFolder folder;
    const LinkWatch link;
    Program program(exe, folder.Path(), WriteSettings(folder, "0"), link.Port());
    const Form form(program.MainWindow());
    // Whatever panel 1 shows before the run must still be there after Cancel.
    const std::wstring marker = L"shown before the run";
    program.SetStatusText(form.statusBar, 1, marker);

    Press(form.btnSet);
    const HWND box = program.WaitBox(form.window, "the confirmation box");
    CheckText(TextOf(box), L"Information", "confirmation box title");
    CheckText(TextOf(GetDlgItem(box, MESSAGE_BOX_TEXT_ID)), ENGLISH_PROMPT, "confirmation box text");
    CheckText(TextOf(GetDlgItem(box, IDOK)), L"OK", "confirmation box OK button");
    CheckText(TextOf(GetDlgItem(box, IDCANCEL)), L"Cancel", "confirmation box Cancel button");
    Check(!IsWindowEnabled(form.btnSet) && !IsWindowEnabled(form.btnClear),
          "btnSet and btnClear stay enabled while a run is under way");

    Press(GetDlgItem(box, IDCANCEL));
    form.WaitIdle(program);
    CheckText(program.StatusText(form.statusBar, 1), marker, "panel 1 after Cancel");
    Check(!link.Touched(), "the link was used after Cancel");

    form.CloseWithCloseBox();
    Check(program.WaitExit() == 0, "the program did not end cleanly");
}

// Keeps the program's interface thread stopped while it lives. Host calls from the run's worker then queue up
// behind the driver's own requests, so a status text that the run replaces at once can still be read.
class HeldThread {
  public:
    explicit HeldThread(HANDLE thread) : thread_(thread) {
        Check(SuspendThread(thread_) != static_cast<DWORD>(-1), "cannot hold the interface thread");
    }
    HeldThread(const HeldThread&) = delete;
    HeldThread& operator=(const HeldThread&) = delete;
    ~HeldThread() { ResumeThread(thread_); }

    // Panel `part` as it is once the messages already waiting for the interface thread have been handled, and
    // before anything sent after that: the request is queued while the thread is held, then it runs until the
    // request has been answered, and is held again.
    std::wstring StatusTextAfterPending(const Program& program, HWND bar, int part) const {
        RemoteBuffer buffer(program.Process(), STATUS_TEXT_CHARS * sizeof(wchar_t));
        buffer.Write(&UNWRITTEN, sizeof UNWRITTEN);
        Check(SendNotifyMessageW(bar, SB_GETTEXTW, part, buffer.Address()), "cannot queue SB_GETTEXT");
        ResumeThread(thread_);
        DWORD_PTR ignored = 0;
        const bool answered =
            SendMessageTimeoutW(bar, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &ignored) != 0;
        SuspendThread(thread_);
        Check(answered, "the interface thread does not answer");
        return StatusTextIn(buffer);
    }

  private:
    HANDLE thread_;
};

bool IsSearchErrorWithCode(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    std::size_t digits = prefix.size();
    if (text[digits] == L'-') {
        ++digits;
    }
    return digits < text.size() && text.find_first_not_of(L"0123456789", digits) == std::wstring::npos;
}

void WinsockRun(const std::wstring& exe) {
    ScratchFolder folder;
    Program program(exe, folder.Path(), WriteSettings(folder, "0"));
    const Form form(program.MainWindow());

    Press(form.btnSet);
    Press(GetDlgItem(program.WaitBox(form.window, "the confirmation box"), IDOK));
    WaitFor("\"Searching devices\" in panel 1",
            [&] { return program.StatusText(form.statusBar, 1) == L"Searching devices"; });
    // Discovery pauses 10 ms after each of its 49 failing tries, so the interface thread is held well before
    // discovery ends, and the search error it then reports waits for the thread behind the driver's request.
    // The first look comes after the usual length of discovery: each look that finds discovery still going
    // lets the thread run for a moment, in which the run could slip past unseen.
    Sleep(50);
    std::wstring searchError;
    {
        const HeldThread held(program.InterfaceThread());
        Sleep(800);
        searchError = *WaitFor("the end of discovery", [&]() -> std::optional<std::wstring> {
            std::wstring text = held.StatusTextAfterPending(program, form.statusBar, 1);
            if (text == L"Searching devices") {
                Sleep(200);
                return std::nullopt;
            }
            return text;
        });
    }
    std::printf("panel 1 after discovery: %s\n", Utf8(searchError).c_str());
    Check(IsSearchErrorWithCode(searchError, L"Searching devices error"),
          "panel 1 after discovery is \"" + Utf8(searchError) + "\", not the search error with its code");

    const HWND box = program.WaitBox(form.window, "the result box");
    CheckText(TextOf(box), L"Error", "result box caption");
    CheckText(TextOf(GetDlgItem(box, MESSAGE_BOX_TEXT_ID)), L"Error Data are't writen", "result box text");
    Check(GetDlgItem(box, IDCANCEL) == nullptr || !IsWindowVisible(GetDlgItem(box, IDCANCEL)),
          "the result box has more than an OK button");
    CheckText(program.StatusText(form.statusBar, 1), L"", "panel 1 under the result box");
    Press(GetDlgItem(box, IDOK));
    form.WaitIdle(program);
    CheckText(program.StatusText(form.statusBar, 1), L"", "panel 1 after the run");
    // Panel 0 keeps how the run ended: no IrDA in Windows, with the platform's code, and the serial route.
    const std::wstring lastRun = program.StatusText(form.statusBar, 0);
    std::printf("panel 0 after the run: %s\n", Utf8(lastRun).c_str());
    const std::wstring expected = L"Last run: no IrDA in Windows (error ";
    Check(lastRun.compare(0, expected.size(), expected) == 0,
          "panel 0 after the run reads \"" + Utf8(lastRun) + "\"");
    CheckPanelFits(program, form.statusBar, 0, lastRun, false);

    // The invalid socket could not be closed, so the link is still there: the next run tries to close it
    // again, pauses, starts the socket library a second time and ends the same way.
    Press(form.btnClear);
    const HWND confirm = program.WaitBox(form.window, "the second confirmation box");
    Press(GetDlgItem(confirm, IDOK));
    WaitFor("the second confirmation box to close",
            [&] { return !IsWindow(confirm) || !IsWindowVisible(confirm); });
    const HWND second = program.WaitBox(form.window, "the second result box");
    CheckText(TextOf(GetDlgItem(second, MESSAGE_BOX_TEXT_ID)), L"Error Data are't writen",
              "second result box");
    Press(GetDlgItem(second, IDOK));
    form.WaitIdle(program);

    form.CloseWithCloseBox();
    Check(program.WaitExit() == 0, "the program did not end cleanly");
}

// The program still runs and its window still answers, whatever another program just sent it.
void CheckAnswers(const Program& program, const Form& form, const std::string& when) {
    DWORD_PTR ignored = 0;
    Check(
        SendMessageTimeoutW(form.window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS, &ignored) != 0,
        "the window does not answer " + when);
    Check(WaitForSingleObject(program.Process(), 0) == WAIT_TIMEOUT, "the program ended " + when);
}

// The settings file that held "0x0" was written back at the close, as 0 in decimal.
void CheckSavedAtClose(const fs::path& settings, const std::string& close) {
    const std::string written = ReadFile(settings);
    Check(written == "[Parameters]\r\nLanguage=0\r\n",
          "the settings file after " + close + " holds \"" + written + "\": the settings were not saved");
}

// Another program posts the window's private messages, idle and while the confirmation box is up: nothing
// may crash, hang, end a run early or count as OK. A WM_QUIT during the box is Cancel, and ends the program
// through the normal close, which saves the settings.
void ForeignMessages(const std::wstring& exe) {
    ScratchFolder folder;
    const LinkWatch link;
    const fs::path settings = WriteSettings(folder, "0x0");
    Program program(exe, folder.Path(), settings, link.Port());
    const Form form(program.MainWindow());
    const auto answers = [&](const std::string& when) { CheckAnswers(program, form, when); };
    const auto postAll = [&] {
        for (int i = 0; i < 20; ++i) {
            PostMessageW(form.window, qx::WM_HOST_CALL, 0, 0x1234);
            PostMessageW(form.window, qx::WM_HOST_CALL, 0x1234, 0);
            PostMessageW(form.window, qx::WM_RUN_DONE, 0, 0);
        }
    };

    postAll();
    answers("after the messages while idle");
    Check(IsWindowEnabled(form.btnSet), "the mode buttons changed while idle");

    Press(form.btnSet);
    const HWND box = program.WaitBox(form.window, "the confirmation box");
    postAll();
    answers("after the messages during the confirmation");
    Check(IsWindow(box) && IsWindowVisible(box), "the confirmation box went away");
    Check(!IsWindowEnabled(form.btnSet), "a posted WM_RUN_DONE ended the run under the confirmation box");

    PostMessageW(form.window, WM_QUIT, 7, 0);
    Check(program.WaitExit() == 7, "the quit during the confirmation did not end the program with its code");
    Check(!link.Touched(), "the quit during the confirmation was taken for OK: the link was used");
    CheckSavedAtClose(settings, "the quit");
}

// Another program posts the messages only the system may send: the window's teardown (WM_NCDESTROY,
// WM_DESTROY) and a DPI change whose rectangle pointer points nowhere, idle and while a run waits on a link
// that never answers. The window must neither crash, nor let go of its form, nor end: the run still ends
// with its box, the buttons come back, and the close box still closes the link and saves the settings.
void SystemMessagesFromOthers(const std::wstring& exe) {
    // WM_DPICHANGED, which the headers at the program's oldest Windows do not name.
    constexpr UINT dpiChanged = 0x02E0;
    ScratchFolder folder;
    // Read as 0 and written back in decimal: the new text shows the settings were saved at the close.
    const fs::path settings = WriteSettings(folder, "0x0");
    const LinkWatch link;  // takes connections and never answers: discovery runs to its bound
    Program program(exe, folder.Path(), settings, link.Port());
    const Form form(program.MainWindow());
    const auto postAll = [&] {
        for (const HWND target : {form.window, form.btnSet, form.statusBar}) {
            PostMessageW(target, dpiChanged, MAKEWPARAM(192, 192), 0x10);
            PostMessageW(target, WM_NCDESTROY, 0, 0);
            PostMessageW(target, WM_DESTROY, 0, 0);
        }
    };
    const auto alive = [&](const std::string& when) {
        CheckAnswers(program, form, when);
        Check(IsWindow(form.window) && IsWindowVisible(form.window), "the window is gone " + when);
        CheckText(TextOf(form.btnExit), L"Exit", "btnExit caption " + when);
        // A control told it is gone lets go of its own state: the status bar would lose its panels.
        Check(program.StatusParts(form.statusBar).size() == 2, "the status bar lost its panels " + when);
    };

    postAll();
    alive("after the messages while idle");
    Check(IsWindowEnabled(form.btnSet), "the mode buttons changed while idle");

    Press(form.btnSet);
    Press(GetDlgItem(program.WaitBox(form.window, "the confirmation box"), IDOK));
    WaitFor("\"Searching devices\" in panel 1",
            [&] { return program.StatusText(form.statusBar, 1) == L"Searching devices"; });
    postAll();
    alive("after the messages during the run");
    Check(!IsWindowEnabled(form.btnSet), "the run ended under the messages");

    const DWORD started = GetTickCount();
    const HWND result = WaitFor(
        "the result box", [&] { return program.OpenBox(form.window); }, 60000);
    std::printf("the run against a link that never answers ended %lu ms after the messages\n",
                static_cast<unsigned long>(GetTickCount() - started));
    Press(GetDlgItem(result, IDOK));
    form.WaitIdle(program);
    alive("after the run");

    form.CloseWithCloseBox();
    Check(program.WaitExit() == 0, "the close box did not end the program cleanly");
    CheckSavedAtClose(settings, "the close box");
}

void CloseBoxSavesSettings(const std::wstring& exe) {
    ScratchFolder folder;
    // Read as 1 and written back in decimal: the new text shows the file was written on close.
    const fs::path settings = WriteSettings(folder, "0x1");
    Program program(exe, folder.Path(), settings);
    const Form form(program.MainWindow());
    form.CheckCaptions(CAPTIONS.at(1));
    form.CloseWithCloseBox();
    Check(program.WaitExit() == 0, "the close box did not end the program");
    const std::string written = ReadFile(settings);
    Check(written == "[Parameters]\r\nLanguage=1\r\n",
          "the settings file after closing holds \"" + written + "\"");
}

void CloseDuringRun(const std::wstring& exe) {
    ScratchFolder folder;
    const fs::path settings = WriteSettings(folder, "0x0");
    Program program(exe, folder.Path(), settings);
    const Form form(program.MainWindow());

    Press(form.btnSet);
    Press(GetDlgItem(program.WaitBox(form.window, "the confirmation box"), IDOK));
    // Discovery takes at least 490 ms from here: the close box is pressed while the link works.
    WaitFor("\"Searching devices\" in panel 1",
            [&] { return program.StatusText(form.statusBar, 1) == L"Searching devices"; });
    // Sent, not posted, so the close has been handled when the checks below look.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(form.window, WM_SYSCOMMAND, SC_CLOSE, 0, SMTO_ABORTIFHUNG, MESSAGE_TIMEOUT_MS,
                        &ignored);
    Check(IsWindow(form.window) && IsWindowVisible(form.window),
          "the window closed under a running mode switch");
    Check(ReadFile(settings) == "[Parameters]\r\nLanguage=0x0\r\n",
          "the settings were saved before the run ended");
    CheckText(program.StatusText(form.statusBar, 0), L"Closing when the current run ends",
              "panel 0 while the close waits for the run");

    // The run goes on to its end; then the window closes as usual.
    Press(GetDlgItem(program.WaitBox(form.window, "the result box"), IDOK));
    Check(program.WaitExit() == 0, "the close asked for during the run was not carried out");
    Check(ReadFile(settings) == "[Parameters]\r\nLanguage=0\r\n",
          "the settings were not saved on the late close");
}

void UnwritableSettings(const std::wstring& exe) {
    ScratchFolder folder;
    const fs::path settings = folder.Path() / L"missing" / L"QX2205R.ini";
    Program program(exe, folder.Path(), settings);

    const HWND main = program.MainWindow(false);
    const HWND box = program.WaitBox(main, "the error box at start");
    CheckText(TextOf(box), L"QX2205R", "error box caption");
    CheckText(TextOf(GetDlgItem(box, MESSAGE_BOX_TEXT_ID)), L"Unable to write to " + settings.wstring(),
              "error box text");
    Press(GetDlgItem(box, IDOK));

    const Form form(program.MainWindow());
    form.CheckCaptions(CAPTIONS.at(5));
    form.CloseWithCloseBox();
    Check(program.WaitExit() == 0, "the program did not end cleanly");
    Check(!fs::exists(settings.parent_path()), "closing created the settings folder");
}

// ---- runs against the instrument simulator (its port given by the caller)

// The whole screen as a 24-bit BMP, for the demo's pictures of each step.
void SaveScreen(const fs::path& path) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::vector<char> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
}

// One press of a mode button in the real program, talking to the simulator through the loopback emulation.
// Writes what the user saw to `outcome` for the caller to check against what the instrument got: every text
// panel 1 showed while the run went on ("status" lines), the result box, the run's length and panel 1 after
// it. With a `shots` prefix it also saves a picture of each step.
// `port`: the loopback emulation's TCP port, or COMn for the program's own IrDA stack on that COM port.
// `action`: "enable", "disable", or "read" (the system menu's "Read the instrument's mode": no boxes, and the
// buttons must be disabled while it runs).
void SimRun(const std::wstring& exe, const std::string& port, const std::string& action,
            const fs::path& outcome, const fs::path& shots, const std::string& language, DWORD dpi) {
    const bool enable = action == "enable";
    const auto shot = [&](const wchar_t* step) {
        if (!shots.empty()) {
            Sleep(300);  // a box that just opened is painted by then; only the demo takes pictures
            SaveScreen(fs::path(shots.wstring() + step + L".bmp"));
        }
    };
    ScratchFolder folder;
    const ScreenDpi screenDpi(dpi);
    const bool serial = port.starts_with("COM");
    Program program(exe, folder.Path(), WriteSettings(folder, language, serial ? port : std::string()),
                    serial ? std::nullopt : std::optional<unsigned>(std::strtoul(port.c_str(), nullptr, 10)),
                    serial ? std::wstring(port.begin(), port.end()) : std::wstring());
    const Form form(program.MainWindow());
    shot(L"1-window");
    // The end of every run: panel 0's outcome and its fit, the window's place, the last picture and a clean
    // close; then the outcome file for the scenario script, with `fields` of the run's own before the rest.
    const auto finish = [&](const std::wstring& panel0, const std::wstring& panelAfter,
                            const std::vector<std::wstring>& statuses, const std::string& fields,
                            DWORD elapsed) {
        std::printf("panel 0 after the run: %s\n", Utf8(panel0).c_str());
        CheckPanelFits(program, form.statusBar, 0, panel0, language != "0");
        RECT frame{};
        GetWindowRect(form.window, &frame);
        std::printf("window %ld %ld %ld %ld\n", frame.right - frame.left, frame.bottom - frame.top,
                    frame.left, frame.top);
        shot(L"5-after");
        form.CloseWithCloseBox();
        Check(program.WaitExit() == 0, "the program did not end cleanly");
        std::ofstream out(outcome, std::ios::binary);
        for (const std::wstring& status : statuses) {
            out << "status " << Utf8(status) << "\n";
        }
        out << fields << "elapsed_ms " << elapsed << "\npanel_after " << Utf8(panelAfter) << "\npanel0 "
            << Utf8(panel0) << "\n";
    };

    if (action == "read") {
        PostMessageW(form.window, WM_SYSCOMMAND, qx::READ_MODE_COMMAND_ID, 0);
        std::vector<std::wstring> statuses;
        bool disabled = false;
        const DWORD started = GetTickCount();
        const std::wstring panel0 =
            WaitFor(
                "the read's outcome in panel 0",
                [&]() -> std::optional<std::wstring> {
                    const std::wstring text = program.StatusText(form.statusBar, 1);
                    if (!text.empty() && (statuses.empty() || statuses.back() != text)) {
                        statuses.push_back(text);
                        std::printf("panel 1: %s\n", Utf8(text).c_str());
                    }
                    disabled = disabled || !IsWindowEnabled(form.btnSet);
                    std::wstring outcome = program.StatusText(form.statusBar, 0);
                    if (outcome.empty() || !IsWindowEnabled(form.btnSet)) {
                        return std::nullopt;
                    }
                    return outcome;
                },
                60000)
                .value();
        const DWORD elapsed = GetTickCount() - started;
        Check(program.OpenBox(form.window) == nullptr, "the read opened a box");
        Check(disabled, "the buttons were not disabled while the read ran");
        finish(panel0, program.StatusText(form.statusBar, 1), statuses, "", elapsed);
        return;
    }

    Press(enable ? form.btnSet : form.btnClear);
    const HWND confirm = program.WaitBox(form.window, "the confirmation box");
    WaitFor("the confirmation box's text",
            [&] { return !TextOf(GetDlgItem(confirm, MESSAGE_BOX_TEXT_ID)).empty(); });
    shot(L"2-confirm");
    const DWORD started = GetTickCount();
    Press(GetDlgItem(confirm, IDOK));
    WaitFor("the confirmation box to close", [&] { return !IsWindow(confirm) || !IsWindowVisible(confirm); });

    std::vector<std::wstring> statuses;
    bool shotDuringRun = false;
    const HWND result = WaitFor(
        "the result box",
        [&]() -> HWND {
            const std::wstring text = program.StatusText(form.statusBar, 1);
            if (!text.empty() && (statuses.empty() || statuses.back() != text)) {
                statuses.push_back(text);
                std::printf("panel 1: %s\n", Utf8(text).c_str());
                CheckPanelFits(program, form.statusBar, 1, text, language != "0");
            }
            if (!shotDuringRun && !text.empty() && text != L"Searching devices") {
                shot(L"3-running");
                shotDuringRun = true;
            }
            return program.OpenBox(form.window);
        },
        60000);
    const DWORD elapsed = GetTickCount() - started;
    WaitFor("the result box's text",
            [&] { return !TextOf(GetDlgItem(result, MESSAGE_BOX_TEXT_ID)).empty(); });
    const std::wstring caption = TextOf(result);
    const std::wstring text = TextOf(GetDlgItem(result, MESSAGE_BOX_TEXT_ID));
    const std::wstring panelAfter = program.StatusText(form.statusBar, 1);
    shot(L"4-result");
    std::printf("result box: %s / %s after %lu ms\n", Utf8(caption).c_str(), Utf8(text).c_str(), elapsed);
    Press(GetDlgItem(result, IDOK));
    form.WaitIdle(program);
    const std::wstring panel0 = WaitFor("panel 0's outcome", [&]() -> std::optional<std::wstring> {
                                    std::wstring text = program.StatusText(form.statusBar, 0);
                                    return text.empty() ? std::nullopt : std::optional(text);
                                }).value();
    finish(panel0, panelAfter, statuses, "caption " + Utf8(caption) + "\ntext " + Utf8(text) + "\n", elapsed);
}

using Scenario = void (*)(const std::wstring& exe);
// One ctest test per row: ctest asks for them with --list.
const std::map<std::string, Scenario> SCENARIOS = {
    {"layout", Layout},
    {"captions", CaptionsByLanguage},
    {"confirm_cancel", ConfirmCancel},
    {"winsock_run", WinsockRun},
    {"close_box_saves", CloseBoxSavesSettings},
    {"close_during_run", CloseDuringRun},
    {"unwritable_settings", UnwritableSettings},
    {"foreign_messages", ForeignMessages},
    {"system_messages_from_others", SystemMessagesFromOthers},
};

// CMake passes the program's path as the build machine names it; under Wine a Unix path is reached through
// Z:.
std::wstring WindowsPath(const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    if (!wide.empty() && wide[0] == L'/') {
        wide = L"Z:" + wide;
    }
    for (wchar_t& c : wide) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::string(argv[1]) == "sim_run") {
        // sim_run <QX2205R.exe> <port|COMn> <enable|disable|read> <outcome file> [screenshot prefix or ""]
        //         [language] [dpi]
        try {
            SimRun(WindowsPath(argv[2]), argv[3], argv[4], fs::path(WindowsPath(argv[5])),
                   argc > 6 ? fs::path(WindowsPath(argv[6])) : fs::path(), argc > 7 ? argv[7] : "0",
                   argc > 8 ? static_cast<DWORD>(std::strtoul(argv[8], nullptr, 10)) : 0);
        } catch (const std::exception& e) {
            std::printf("FAILED sim_run: %s\n", e.what());
            return 1;
        }
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--list") {
        for (const auto& [name, scenario] : SCENARIOS) {
            std::printf("%s\n", name.c_str());
        }
        return 0;
    }
    if (argc != 3 || SCENARIOS.count(argv[1]) == 0) {
        std::fprintf(
            stderr,
            "usage: window_driver <scenario> <QX2205R.exe>\n"
            "       window_driver --list\n"
            "       window_driver sim_run <QX2205R.exe> <port|COMn> <enable|disable|read> <outcome>\n"
            "                     [shots] [language] [dpi]\n"
            "scenarios:");
        for (const auto& [name, scenario] : SCENARIOS) {
            std::fprintf(stderr, " %s", name.c_str());
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    try {
        SCENARIOS.at(argv[1])(WindowsPath(argv[2]));
    } catch (const std::exception& e) {
        std::printf("FAILED %s: %s\n", argv[1], e.what());
        return 1;
    }
    std::printf("passed %s\n", argv[1]);
    return 0;
}
