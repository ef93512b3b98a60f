// The size, start-up and memory baseline for the benchmarks: the least a Win32 program can be that opens one
// window with one button. Built by the same toolchain, flags and static linking as QX2205R.exe, so what
// QX2205R.exe adds beyond it is what the benchmarks show.
// Built with QX_MINIMAL_RUNTIME it is the second size baseline, minimal_runtime.exe: the same program using
// the runtime pieces the shipped programs use (a std::thread, std::string, an exception thrown and caught),
// so that what a shipped program adds beyond it is what its own code costs.
#include <windows.h>

#ifdef QX_MINIMAL_RUNTIME
#include <stdexcept>
#include <string>
#include <thread>
#endif

namespace {

constexpr const wchar_t* WINDOW_CLASS = L"QxMinimalWindow";
constexpr int BUTTON_ID = 100;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) == BUTTON_ID) {
                DestroyWindow(window);
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

#ifdef QX_MINIMAL_RUNTIME
std::wstring caption;

// The button's caption, made on a thread of its own through a thrown and caught exception.
const wchar_t* ButtonCaption() {
    std::string text;
    std::thread worker([&text] {
        try {
            throw std::runtime_error("Close");
        } catch (const std::exception& e) {
            text = e.what();
        }
    });
    worker.join();
    caption.assign(text.begin(), text.end());
    return caption.c_str();
}
#else
const wchar_t* ButtonCaption() {
    return L"Close";
}
#endif

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (RegisterClassW(&windowClass) == 0) {
        return 1;
    }
    HWND window =
        CreateWindowExW(0, WINDOW_CLASS, L"Minimal", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                        CW_USEDEFAULT, 388, 258, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    CreateWindowExW(0, L"BUTTON", ButtonCaption(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 40, 48,
                    281, 33, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(BUTTON_ID)), instance,
                    nullptr);
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
