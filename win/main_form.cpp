#include "win/main_form.h"

#include <commctrl.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "app/form_close.h"
#include "app/outcome_table.h"
#include "app/read_search_mode.h"
#include "resources/resource.h"
#include "win/program_folder.h"
#include "win/wide_text.h"

namespace qx {

namespace {

// Single border, not resizable, system menu and minimize only.
constexpr DWORD FORM_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr const wchar_t* CONFIRMATION_TITLE = L"Information";

// The form whose window CreateWindowExW is making on this thread, for its WM_NCCREATE: the message's own
// pointers are not trusted, since another program can send a WM_NCCREATE of its own to the window.
thread_local TMainForm* formBeingCreated = nullptr;

}  // namespace

std::wstring FormCaption(const LinkChoice& link, int language) {
    return MAIN_FORM_CAPTION + Widen(LinkCaption(link, language));
}

TMainForm::TMainForm(HINSTANCE instance, SocketCalls& platformCalls, const LinkChoice& link)
    : instance_(instance),
      linkChoice_(link),
      postedSystemMessages_(FilterPostedSystemMessages()),
      calls_(platformCalls, runner_),
      link_(calls_) {
    RegisterFormClass(instance, MAIN_FORM_CLASS, WindowProc);
    formBeingCreated = this;
    CreateWindowExW(0, MAIN_FORM_CLASS, FormCaption(link).c_str(), FORM_STYLE, CW_USEDEFAULT, CW_USEDEFAULT,
                    DESIGN_LAYOUT.clientWidth, DESIGN_LAYOUT.clientHeight, nullptr, nullptr, instance,
                    nullptr);
    formBeingCreated = nullptr;
    if (handle_ == nullptr) {
        throw std::runtime_error("The main window could not be created");
    }
    // Here rather than in WM_CREATE, so that a failure reaches the entry point instead of a half-made window.
    // A window whose form failed to build must not outlive it: it would hold a pointer to the form.
    try {
        OnCreate();
    } catch (...) {
        DestroyOwnWindow();
        throw;
    }
    runner_.SetWindow(handle_);
    built_ = true;
}

TMainForm::~TMainForm() {
    // Normally a run has ended long before (a close waits for it). Should one still be under way, its host
    // calls need this thread: they are answered until it reports its end, and only then does the window go.
    runner_.FinishWhileAnswering(handle_);
    DestroyOwnWindow();
    runner_.Join();
}

void TMainForm::DestroyOwnWindow() {
    if (handle_ != nullptr) {
        destroying_ = true;
        DestroyWindow(handle_);
    }
}

void TMainForm::CloseAfterQuit() {
    if (handle_ == nullptr) {
        return;
    }
    runner_.FinishWhileAnswering(handle_);
    closeRequested_ = false;
    Guarded(handle_, [this] { FormClose(); });
    DestroyOwnWindow();
}

LRESULT CALLBACK TMainForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        // Only the window being created here takes its form; a WM_NCCREATE sent later is nobody's.
        if (form != nullptr || formBeingCreated == nullptr || formBeingCreated->handle_ != nullptr) {
            return FALSE;
        }
        formBeingCreated->handle_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(formBeingCreated));
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (form == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY || message == WM_DESTROY) {
        // Sent by another program, these would end nothing but the form's hold on its window.
        if (!form->destroying_) {
            return 0;
        }
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            form->handle_ = nullptr;
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }
    LRESULT result = 0;
    Guarded(hwnd, [&] { result = form->HandleMessage(message, wParam, lParam); });
    return result;
}

LRESULT TMainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return 0;
        case WM_SYSCOMMAND:
            if (OnSysCommand(wParam)) {
                return 0;
            }
            break;
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_ACTIVATE:
            if (HIWORD(wParam) == 0) {  // not while minimized
                OnActivate(LOWORD(wParam) != WA_INACTIVE);
                return 0;
            }
            break;
        case DPI_CHANGED_MESSAGE:
            // The system says so first: the window's DPI has changed by the time it sends this, and only then
            // is the message its own, with a rectangle to read. Any other DPI change message changes nothing.
            if (const int dpi = WindowDpi(handle_); dpi != dpi_) {
                OnDpiChanged(dpi, *reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        case WM_HOST_CALL:
            runner_.OnHostCall();
            return 0;
        case WM_RUN_DONE:
            OnRunDone();
            return 0;
        case WM_DESTROY:
            // A window that never finished building ends nothing: the entry point still has to show why.
            if (built_) {
                PostQuitMessage(0);
            }
            return 0;
        default:
            break;
    }
    return DefWindowProcW(handle_, message, wParam, lParam);
}

void TMainForm::OnCreate() {
    link_.ResetHandle();
    // Creation order is the tab order: btnSet, btnClear, btnExit.
    btnSet = CreateControl(WC_BUTTONW, texts_.btnSet, WS_TABSTOP | BS_PUSHBUTTON, BTN_SET_ID);
    btnClear = CreateControl(WC_BUTTONW, texts_.btnClear, WS_TABSTOP | BS_PUSHBUTTON, BTN_CLEAR_ID);
    btnExit = CreateControl(WC_BUTTONW, texts_.btnExit, WS_TABSTOP | BS_PUSHBUTTON, BTN_EXIT_ID);
    // Placed by the layout like the buttons, not by the bar itself; no size grip, as the window has no size.
    StatusBar1 =
        CreateControl(STATUSCLASSNAMEW, "", CCS_NORESIZE | CCS_NOPARENTALIGN | SBARS_TOOLTIPS, STATUS_BAR_ID);
    ApplyLayout(WindowDpi(handle_));
    CenterOnScreen(handle_);
    // The item's text comes with the language, at FormShow.
    const HMENU menu = GetSystemMenu(handle_, FALSE);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, READ_MODE_COMMAND_ID, L"");
}

HWND TMainForm::CreateControl(const wchar_t* className, const std::string& text, DWORD style, int id) {
    const HWND control =
        CreateWindowExW(0, className, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, handle_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (control == nullptr) {
        throw std::runtime_error("A control of the main window could not be created");
    }
    return control;
}

void TMainForm::ApplyLayout(int dpi) {
    dpi_ = dpi;
    const FormLayout layout = ScaleLayout(dpi);

    // The controls take the new font and images before the old ones are released.
    FontHandle font = CreateFormFont(layout.fontHeight, charset_);
    for (const HWND control : {btnSet, btnClear, btnExit, StatusBar1}) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    }
    font_ = std::move(font);

    // The icon files hold drawn images of several sizes; asking for the size the DPI needs picks the drawn
    // one.
    const auto loadImage = [&](int id) {
        return IconHandle(
            static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(id), IMAGE_ICON, layout.imageSize,
                                          layout.imageSize, LR_DEFAULTCOLOR)));
    };
    IconHandle check = loadImage(IDI_CHECK);
    IconHandle door = loadImage(IDI_DOOR);
    // Without BS_ICON the button shows the image beside its caption.
    SendMessageW(btnSet, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(check.get()));
    SendMessageW(btnClear, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(door.get()));
    checkImage_ = std::move(check);
    doorImage_ = std::move(door);

    const std::pair<HWND, ControlRect> places[] = {
        {btnSet, layout.btnSet},
        {btnClear, layout.btnClear},
        {btnExit, layout.btnExit},
        {StatusBar1, layout.statusBar},
    };
    for (const auto& [control, rect] : places) {
        MoveWindow(control, rect.left, rect.top, rect.width, rect.height, TRUE);
    }
    SplitStatusBar();

    SetClientSize(handle_, layout.clientWidth, layout.clientHeight);
}

int TMainForm::PanelTextWidth(const std::wstring& text) const {
    if (text.empty()) {
        return 0;
    }
    const ScreenDc screen;
    const SelectedObject font(screen.Get(), font_.get());
    SIZE size{};
    GetTextExtentPoint32W(screen.Get(), text.c_str(), static_cast<int>(text.size()), &size);
    // The panel's borders and the space the bar keeps around a text.
    return size.cx + ScaleForDpi(STATUS_TEXT_MARGIN, dpi_);
}

void TMainForm::SplitStatusBar() {
    const FormLayout layout = ScaleLayout(dpi_);
    // Panel 1 runs to the right edge; panel 0 keeps the layout's width unless a text needs more room.
    int parts[] = {StatusPanel0Right(layout.statusBar.width, layout.statusPanel0Width,
                                     PanelTextWidth(panelTexts_[0]), PanelTextWidth(panelTexts_[1])),
                   -1};
    SendMessageW(StatusBar1, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

void TMainForm::SetPanelText(int part, const std::string& text) {
    panelTexts_[part] = Widen(text);
    SplitStatusBar();
    SendMessageW(StatusBar1, SB_SETTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(panelTexts_[part].c_str()));
    // Shown only where the text is cut short, which the split avoids wherever both texts fit the bar.
    SendMessageW(StatusBar1, SB_SETTIPTEXTW, static_cast<WPARAM>(part),
                 reinterpret_cast<LPARAM>(panelTexts_[part].c_str()));
}

void TMainForm::Show(int showCommand) {
    Guarded(handle_, [this] { FormShow(); });
    ShowWindow(handle_, showCommand);
    UpdateWindow(handle_);
}

void TMainForm::Close() {
    SendMessageW(handle_, WM_CLOSE, 0, 0);
}

void TMainForm::FormShow() {
    settings_.LoadSettings(ProgramDirectory());
    ApplyLanguage(settings_.Language, texts_);
    ShowTexts();
    if (settings_.SectionNearMiss) {
        SetPanelText(0, FillNamed(texts_.settingsNotUsed, {{"file", settings_.SettingsPath}}));
    }
}

void TMainForm::ShowTexts() {
    // Every language but English leaves Cyrillic on the window: Russian, or the layout's "Выход".
    const BYTE charset = texts_.script == Script::Latin ? DEFAULT_CHARSET : RUSSIAN_CHARSET;
    if (charset != charset_) {
        charset_ = charset;
        ApplyLayout(dpi_);
    }
    SetWindowTextW(handle_, FormCaption(linkChoice_, settings_.Language).c_str());
    SetWindowTextW(btnSet, Widen(texts_.btnSet).c_str());
    SetWindowTextW(btnClear, Widen(texts_.btnClear).c_str());
    SetWindowTextW(btnExit, Widen(texts_.btnExit).c_str());
    ModifyMenuW(GetSystemMenu(handle_, FALSE), READ_MODE_COMMAND_ID, MF_BYCOMMAND | MF_STRING,
                READ_MODE_COMMAND_ID, Widen(texts_.readModeItem).c_str());
}

void TMainForm::FormClose() {
    CloseLinkAndSaveSettings(link_, settings_, ProgramDirectory());
}

void TMainForm::btnSetClick() {
    StartModeSwitch(true);
}

void TMainForm::btnClearClick() {
    StartModeSwitch(false);
}

void TMainForm::btnExitClick() {
    Close();
}

void TMainForm::OnCommand(int id) {
    switch (id) {
        case BTN_SET_ID:
            btnSetClick();
            break;
        case BTN_CLEAR_ID:
            btnClearClick();
            break;
        case BTN_EXIT_ID:
            btnExitClick();
            break;
        case IDOK:
            // Enter, as the dialog keys report it: the focused button acts, as if pressed.
            if (const HWND focus = GetFocus(); focus == btnSet || focus == btnClear || focus == btnExit) {
                SendMessageW(focus, BM_CLICK, 0, 0);
            }
            break;
        default:
            break;
    }
}

bool TMainForm::OnSysCommand(WPARAM command) {
    if ((command & 0xFFF0) != READ_MODE_COMMAND_ID) {
        return false;
    }
    StartModeRead();
    return true;
}

void TMainForm::OnClose() {
    if (runner_.Running()) {
        // Carried out when the run has ended: the link is the worker's until then. A silent instrument keeps
        // a run going for many seconds, so the user is told the close was heard.
        closeRequested_ = true;
        SetPanelText(0, texts_.closingAfterRun);
        return;
    }
    FormClose();
    DestroyOwnWindow();
}

void TMainForm::OnActivate(bool active) {
    if (!active) {
        if (const HWND focus = GetFocus(); focus != nullptr && IsChild(handle_, focus)) {
            lastFocus_ = focus;
        }
        return;
    }
    HWND target = lastFocus_;
    if (target == nullptr || !IsWindowEnabled(target)) {
        target = IsWindowEnabled(btnSet) ? btnSet : btnExit;
    }
    SetFocus(target);
}

void TMainForm::OnDpiChanged(int dpi, const RECT& suggested) {
    SetWindowPos(handle_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    ApplyLayout(dpi);
}

void TMainForm::StartModeSwitch(bool enable) {
    StartRun([this, enable, slots = texts_.slots] {
        CarriedHost host(runner_, *this);
        lastOutcome_ = RunModeSwitch(enable, link_, slots, host);
        lastRunRead_ = false;
    });
}

void TMainForm::StartModeRead() {
    StartRun([this, slots = texts_.slots] {
        CarriedHost host(runner_, *this);
        lastOutcome_ =
            ReadSearchMode(link_, slots, [&host](const std::string& text) { host.SetStatusText(text); });
        lastRunRead_ = true;
    });
}

void TMainForm::StartRun(std::function<void()> run) {
    if (runner_.Running()) {
        return;
    }
    focusBeforeRun_ = GetFocus();
    EnableWindow(btnSet, FALSE);
    EnableWindow(btnClear, FALSE);
    EnableMenuItem(GetSystemMenu(handle_, FALSE), READ_MODE_COMMAND_ID, MF_BYCOMMAND | MF_GRAYED);
    // A disabled button loses the focus; the keyboard keeps working on btnExit.
    if (const HWND focus = GetFocus(); focus == nullptr || !IsWindowEnabled(focus)) {
        SetFocus(btnExit);
    }
    try {
        // The last run's outcome stays in panel 0 until this one starts.
        SetPanelText(0, "");
        runner_.Start(std::move(run));
    } catch (...) {
        EndRun();
        throw;
    }
}

void TMainForm::OnRunDone() {
    std::exception_ptr failure;
    if (!runner_.OnRunDone(failure)) {
        return;
    }
    EndRun();
    if (std::exchange(closeRequested_, false)) {
        PostMessageW(handle_, WM_CLOSE, 0, 0);
    } else if (!failure) {
        const OutcomeValues values{lastOutcome_, linkChoice_, settings_.SettingsPath};
        const int language = texts_.language.value_or(-1);
        const auto lastRun = [&](bool names) {
            return lastRunRead_ ? ModeReadText(values, language, names)
                                : OutcomeLastRun(values, language, names);
        };
        // A device's name may be too long for the whole bar: the count of instruments is what must show.
        std::string text = lastRun(true);
        if (PanelTextWidth(Widen(text)) > ScaleLayout(dpi_).statusBar.width) {
            text = lastRun(false);
        }
        SetPanelText(0, text);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TMainForm::EndRun() {
    EnableWindow(btnSet, TRUE);
    EnableWindow(btnClear, TRUE);
    EnableMenuItem(GetSystemMenu(handle_, FALSE), READ_MODE_COMMAND_ID, MF_BYCOMMAND | MF_ENABLED);
    if (focusBeforeRun_ != nullptr && IsChild(handle_, focusBeforeRun_) && GetActiveWindow() == handle_) {
        SetFocus(focusBeforeRun_);
    }
    focusBeforeRun_ = nullptr;
}

void TMainForm::SetStatusText(const std::string& text) {
    SetPanelText(1, text);
}

bool TMainForm::Confirm(const std::string& text) {
    // A box ended by WM_QUIT reports its default button, OK, though nobody pressed it: that is Cancel.
    bool quit = false;
    const int answer = MessageBoxWatchingForQuit(handle_, Widen(text).c_str(), CONFIRMATION_TITLE,
                                                 MB_OKCANCEL | MB_ICONINFORMATION, quit);
    return answer == IDOK && !quit;
}

void TMainForm::ShowResult(const std::string& text, const std::string& caption, ResultIcon icon) {
    const UINT iconStyle = icon == ResultIcon::Information ? MB_ICONINFORMATION : MB_ICONERROR;
    MessageBoxW(handle_, Widen(text).c_str(), Widen(caption).c_str(), MB_OK | iconStyle);
}

}  // namespace qx
