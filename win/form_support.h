// What the main window needs from the platform besides its own controls: the standard exception display, a
// handler guard that sends exceptions there, the window's DPI and font, a message box that notices a WM_QUIT,
// the window class, and sizing and centring a window.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "win/scoped_handles.h"

namespace qx {

// The program's name, the main window's caption and the exception display's.
inline constexpr const wchar_t* PROGRAM_NAME = L"QX2205R";

// The standard exception display: the message in an error box titled with the program's name.
void ShowException(HWND owner, const std::string& message);

// Runs one handler; an exception escaping it goes to the standard display and the program goes on.
template <typename Work>
void Guarded(HWND owner, Work&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        ShowException(owner, e.what());
    } catch (...) {
        ShowException(owner, "");
    }
}

// The DPI the window is shown at.
int WindowDpi(HWND window);

// The window's font at `height` with the letters of `charset`.
FontHandle CreateFormFont(int height, BYTE charset);

// Shows a box and reports whether a WM_QUIT ended it rather than a button; the quit is then left for the
// program's own loop, so it still ends the program.
int MessageBoxWatchingForQuit(HWND owner, const wchar_t* text, const wchar_t* caption, UINT style,
                              bool& quit);

// Registers the window class `className` with `procedure`, the program's icon and the button-face colour,
// unless it is registered already.
void RegisterFormClass(HINSTANCE instance, const wchar_t* className, WNDPROC procedure);

// Gives `window` a client area of `width` x `height`, keeping its frame and place.
void SetClientSize(HWND window, int width, int height);
// Centres `window` on its monitor.
void CenterOnScreen(HWND window);

}  // namespace qx
