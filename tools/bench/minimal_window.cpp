// The size, start-up and memory baseline for the benchmarks: the least a Win32 program can be that opens one
// window with one button. Built by the same toolchain, flags and static linking as QX2205R.exe, so what
// QX2205R.exe adds beyond it is what the benchmarks show.
#include <windows.h>

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
    CreateWindowExW(0, L"BUTTON", L"Close", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 40, 48, 281,
                    33, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(BUTTON_ID)), instance, nullptr);
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
