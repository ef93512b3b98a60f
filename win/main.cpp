// The window program's entry point, where it is put together: the socket calls (Winsock, the program's own
// IrDA on the settings' COM port, or the loopback emulation), the common controls, the main window, the
// message loop, and the standard exception display for anything that escapes them.
#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <exception>

#include "app/settings.h"
#include "win/main_form.h"
#include "win/platform_calls.h"
#include "win/private_profile_calls.h"
#include "win/program_folder.h"

namespace {

int RunMessageLoop(const qx::TMainForm& form) {
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The dialog keys: Tab and the arrows move between the buttons, Enter presses the focused one.
        if (form.Handle() != nullptr && IsDialogMessageW(form.Handle(), &message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    try {
        INITCOMMONCONTROLSEX controls{};
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES;
        InitCommonControlsEx(&controls);

        // The Port key picks the way to the instrument before the window exists; the window reads the rest of
        // the settings when it is first shown.
        qx::PrivateProfileCalls profile;
        qx::Settings portSetting(profile);
        portSetting.ReadSettingsOnly(qx::ProgramDirectory(), profile.FirstArgument());
        qx::PlatformCalls platform(portSetting.Port, nullptr, qx::ChooseLineProfile(portSetting.Adapter));
        qx::TMainForm form(instance, platform.Calls(), platform.Choice());
        form.Show(showCommand);
        const int code = RunMessageLoop(form);
        form.CloseAfterQuit();
        return code;
    } catch (const std::exception& e) {
        qx::ShowException(nullptr, e.what());
    } catch (...) {
        qx::ShowException(nullptr, "");
    }
    return 1;
}
