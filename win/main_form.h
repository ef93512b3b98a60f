// The program's main window: three buttons and a two-panel status bar, the settings loaded when it is shown
// and saved when it closes, and the mode switch run off the interface thread so the window keeps painting and
// answering while the link works. It hosts the mode switch: status panel 1 and the two boxes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/layout.h"
#include "app/link_choice.h"
#include "app/mode_switch.h"
#include "app/settings.h"
#include "app/texts.h"
#include "link/irda_link.h"
#include "win/form_support.h"
#include "win/private_profile_calls.h"
#include "win/run_worker.h"

namespace qx {

// The window's class name and caption, by which tests find it.
inline constexpr const wchar_t* MAIN_FORM_CLASS = L"TMainForm";
inline constexpr const wchar_t* MAIN_FORM_CAPTION = PROGRAM_NAME;

// The caption: the program's name, and the way to the instrument when it is not Windows' own IrDA (the COM
// port of the program's own stack, or the loopback emulation and its port), so that nobody wonders which path
// a run took.
std::wstring FormCaption(const LinkChoice& link, int language = 0);

class TMainForm final : public ModeSwitchHost {
  public:
    // The window talks to the instrument through `platformCalls`, which the entry point picked as `link`
    // says: Winsock, the program's own IrDA on a COM port, or the loopback emulation; the caption shows it.
    TMainForm(HINSTANCE instance, SocketCalls& platformCalls, const LinkChoice& link);
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    HWND Handle() const { return handle_; }
    // Runs FormShow (an exception from it is shown and the window still appears), then shows the window.
    void Show(int showCommand);
    // Asks the window to close, as the close box does.
    void Close();
    // For the entry point once its message loop has ended on a WM_QUIT, which another program may have
    // posted: a window still open closes the normal way (a run under way ends first, the link is closed, the
    // settings are saved). A window already closed has nothing left to do.
    void CloseAfterQuit();

  private:
    // The window class's procedure: finds the form the window belongs to and hands it the message.
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    // The handlers.
    void FormShow();
    void FormClose();
    void btnSetClick();
    void btnClearClick();
    void btnExitClick();

    // Starts the mode switch on a worker thread; does nothing while a run is under way.
    void StartModeSwitch(bool enable);
    // Starts the read-only status run on the worker thread, as the system menu asks; the same rules.
    void StartModeRead();
    // Runs `run` on the worker with the buttons and the menu item disabled, as every run does.
    void StartRun(std::function<void()> run);

    // The mode switch's host operations, on the interface thread (the run worker carries them there).
    void SetStatusText(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    void ShowResult(const std::string& text, const std::string& caption, ResultIcon icon) override;

    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void OnCreate();
    void OnCommand(int id);
    // True when the system menu command was ours.
    bool OnSysCommand(WPARAM command);
    void OnClose();
    void OnActivate(bool active);
    void OnDpiChanged(int dpi, const RECT& suggested);
    void OnRunDone();
    // The one way the window goes: only a teardown begun here is carried out.
    void DestroyOwnWindow();
    // The buttons and the focus as they were before the run.
    void EndRun();

    HWND CreateControl(const wchar_t* className, const std::string& text, DWORD style, int id);
    // Places the window's controls, font, images and size for `dpi`.
    void ApplyLayout(int dpi);
    // Sets the text (and the tooltip, for a text cut short) of a status bar panel, and splits the bar anew.
    void SetPanelText(int part, const std::string& text);
    // Splits the bar between the two panels so that their texts fit whole wherever they can.
    void SplitStatusBar();
    // The pixels `text` needs in a panel, in the window's font.
    int PanelTextWidth(const std::wstring& text) const;
    void ShowTexts();

    HINSTANCE instance_;
    // The way to the instrument, which the last run's reasons name.
    LinkChoice linkChoice_;
    // Drops the messages only the system sends when another program posts them, for every window of the
    // interface thread (the controls' own procedures trust them as much as the form's does); set before the
    // window is made, released after it has gone.
    HookHandle postedSystemMessages_;
    HWND handle_ = nullptr;
    // The controls, under the names the layout gives them.
    HWND btnSet = nullptr;
    HWND btnClear = nullptr;
    HWND btnExit = nullptr;
    HWND StatusBar1 = nullptr;
    HWND lastFocus_ = nullptr;
    int dpi_ = DESIGN_DPI;
    // Russian texts, the layout's "Выход" among them, need a font with Cyrillic letters even where the
    // system's code page has none; only English does without.
    BYTE charset_ = RUSSIAN_CHARSET;
    FontHandle font_;
    IconHandle checkImage_;
    IconHandle doorImage_;

    FormTexts texts_;
    PrivateProfileCalls profileCalls_;
    Settings settings_{profileCalls_};

    // The link's calls, with the hook library's entry carried to the interface thread by the run worker.
    RunWorker runner_;
    HookOnInterfaceThread calls_;
    IrdaLink link_;
    // Set once the window and its controls are all made: a window destroyed before then ends nothing.
    bool built_ = false;
    // Set by DestroyOwnWindow: WM_DESTROY and WM_NCDESTROY from anywhere else are not the window's end.
    bool destroying_ = false;

    // A run: the interface thread alone reads and writes these.
    bool closeRequested_ = false;
    HWND focusBeforeRun_ = nullptr;
    // What the last run came to: written by the worker, read once it has been joined.
    RunOutcome lastOutcome_;
    bool lastRunRead_ = false;  // the last run read the mode and wrote nothing
    // The two panels' texts, for splitting the bar.
    std::wstring panelTexts_[2];
};

}  // namespace qx
