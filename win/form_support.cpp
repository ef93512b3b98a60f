#include "win/form_support.h"

#include <stdexcept>
#include <utility>

#include "app/layout.h"
#include "resources/resource.h"
#include "win/wide_text.h"

namespace qx {
namespace {

// The window's font, then the faces that stand in for it where it lacks the letters of the texts' language
// (an English Windows has MS Sans Serif in its Western code page only, and Russian would show as question
// marks).
constexpr const wchar_t* FONT_FACES[] = {L"MS Sans Serif", L"Microsoft Sans Serif", L"Tahoma"};
// Whether a WM_QUIT ended the message loop of a box on this thread, and its exit code. A box's loop takes the
// quit and ends; the box then reports its default button as if it had been pressed.
struct QuitWatch {
    HHOOK hook = nullptr;
    bool seen = false;
    WPARAM exitCode = 0;
};
thread_local QuitWatch* quitWatch = nullptr;

LRESULT CALLBACK WatchForQuit(int code, WPARAM removal, LPARAM message) {
    const auto* msg = reinterpret_cast<const MSG*>(message);
    if (code == HC_ACTION && removal == PM_REMOVE && msg->message == WM_QUIT && quitWatch != nullptr) {
        quitWatch->seen = true;
        quitWatch->exitCode = msg->wParam;
    }
    return CallNextHookEx(nullptr, code, removal, message);
}

}  // namespace

// GetDpiForWindow exists from Windows 10 1607 on; it is looked up at run time so the program still starts on
// older Windows, which have one DPI for the whole screen.
int WindowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr) {
        if (const UINT dpi = getDpiForWindow(window); dpi != 0) {
            return static_cast<int>(dpi);
        }
    }
    const ScreenDc screen;
    const int dpi = GetDeviceCaps(screen.Get(), LOGPIXELSY);
    return dpi > 0 ? dpi : DESIGN_DPI;
}

int MessageBoxWatchingForQuit(HWND owner, const wchar_t* text, const wchar_t* caption, UINT style,
                              bool& quit) {
    QuitWatch watch;
    QuitWatch* const outer = std::exchange(quitWatch, &watch);
    watch.hook = SetWindowsHookExW(WH_GETMESSAGE, WatchForQuit, nullptr, GetCurrentThreadId());
    const int answer = MessageBoxW(owner, text, caption, style);
    if (watch.hook != nullptr) {
        UnhookWindowsHookEx(watch.hook);
    }
    quitWatch = outer;
    MSG waiting{};
    const bool quitWaiting = PeekMessageW(&waiting, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
    quit = watch.seen || quitWaiting;
    if (watch.seen && !quitWaiting) {
        PostQuitMessage(static_cast<int>(watch.exitCode));
    }
    return answer;
}

// The first face of FONT_FACES the platform really has in `charset`; failing all, what it maps the first one
// to.
FontHandle CreateFormFont(int height, BYTE charset) {
    const auto create = [&](const wchar_t* face) {
        return FontHandle(CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset,
                                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                      DEFAULT_PITCH | FF_SWISS, face));
    };
    const ScreenDc screen;
    for (const wchar_t* face : FONT_FACES) {
        FontHandle font = create(face);
        bool found = false;
        {
            const SelectedObject selectedFont(screen.Get(), font.get());
            wchar_t selected[LF_FACESIZE] = {};
            GetTextFaceW(screen.Get(), LF_FACESIZE, selected);
            found = lstrcmpiW(selected, face) == 0 &&
                    (charset == DEFAULT_CHARSET || GetTextCharset(screen.Get()) == charset);
        }
        if (found) {
            return font;
        }
    }
    return create(FONT_FACES[0]);
}

void RegisterFormClass(HINSTANCE instance, const wchar_t* className, WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(instance, className, &windowClass)) {
        return;
    }
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    windowClass.hIcon =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON),
                                                        GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (RegisterClassExW(&windowClass) == 0) {
        throw std::runtime_error("The main window's class could not be registered");
    }
}

void ShowException(HWND owner, const std::string& message) {
    MessageBoxW(owner, Widen(message).c_str(), PROGRAM_NAME, MB_OK | MB_ICONERROR);
}

void SetClientSize(HWND window, int width, int height) {
    RECT frame{};
    RECT client{};
    GetWindowRect(window, &frame);
    GetClientRect(window, &client);
    const int frameWidth = (frame.right - frame.left) - (client.right - client.left);
    const int frameHeight = (frame.bottom - frame.top) - (client.bottom - client.top);
    SetWindowPos(window, nullptr, 0, 0, width + frameWidth, height + frameHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CenterOnScreen(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT frame{};
    GetWindowRect(window, &frame);
    const RECT& screen = monitor.rcMonitor;
    const int x = screen.left + ((screen.right - screen.left) - (frame.right - frame.left)) / 2;
    const int y = screen.top + ((screen.bottom - screen.top) - (frame.bottom - frame.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace qx
