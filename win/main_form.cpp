#include "win/main_form.h"

#include <commctrl.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/form_close.h"
#include "resources/resource.h"
#include "win/program_folder.h"
#include "win/wide_text.h"

namespace qx {

namespace {

// Single border, not resizable, system menu and minimize only.
constexpr DWORD FORM_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// The window's font, then the faces that stand in for it where it lacks the letters of the texts' language
// (an English Windows has MS Sans Serif in its Western code page only, and Russian would show as question
// marks).
constexpr const wchar_t* FONT_FACES[] = {L"MS Sans Serif", L"Microsoft Sans Serif", L"Tahoma"};
constexpr const wchar_t* CONFIRMATION_TITLE = L"Information";

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

// Sent from Windows 8.1 on when the window moves to a monitor of another DPI or the DPI changes; the headers
// at the program's oldest Windows do not know it, and older Windows never send it.
constexpr UINT DPI_CHANGED_MESSAGE = 0x02E0;

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
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : DESIGN_DPI;
}

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

// Shows a box and reports whether a WM_QUIT ended it rather than a button; the quit is then left for the
// program's own loop, so it still ends the program.
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
    const HDC screen = GetDC(nullptr);
    for (const wchar_t* face : FONT_FACES) {
        FontHandle font = create(face);
        const HGDIOBJ previous = SelectObject(screen, font.get());
        wchar_t selected[LF_FACESIZE] = {};
        GetTextFaceW(screen, LF_FACESIZE, selected);
        const bool found = lstrcmpiW(selected, face) == 0 &&
                           (charset == DEFAULT_CHARSET || GetTextCharset(screen) == charset);
        SelectObject(screen, previous);
        if (found) {
            ReleaseDC(nullptr, screen);
            return font;
        }
    }
    ReleaseDC(nullptr, screen);
    return create(FONT_FACES[0]);
}

void RegisterFormClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(instance, MAIN_FORM_CLASS, &windowClass)) {
        return;
    }
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = TMainForm::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = MAIN_FORM_CLASS;
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

}  // namespace

void ShowException(HWND owner, const std::string& message) {
    MessageBoxW(owner, Widen(message).c_str(), MAIN_FORM_CAPTION, MB_OK | MB_ICONERROR);
}

std::wstring FormCaption(std::optional<std::uint16_t> loopbackPort) {
    std::wstring caption = MAIN_FORM_CAPTION;
    if (loopbackPort) {
        caption += L" - IrDA loopback 127.0.0.1:" + Widen(std::to_string(*loopbackPort));
    }
    return caption;
}

TMainForm::TMainForm(HINSTANCE instance, SocketCalls& platformCalls,
                     std::optional<std::uint16_t> loopbackPort)
    : instance_(instance), calls_(platformCalls, runner_), loopbackPort_(loopbackPort), link_(calls_) {
    RegisterFormClass(instance);
    CreateWindowExW(0, MAIN_FORM_CLASS, FormCaption(loopbackPort_).c_str(), FORM_STYLE, CW_USEDEFAULT,
                    CW_USEDEFAULT, DESIGN_LAYOUT.clientWidth, DESIGN_LAYOUT.clientHeight, nullptr, nullptr,
                    instance, this);
    if (handle_ == nullptr) {
        throw std::runtime_error("The main window could not be created");
    }
    // Here rather than in WM_CREATE, so that a failure reaches the entry point instead of a half-made window.
    // A window whose form failed to build must not outlive it: it would hold a pointer to the form.
    try {
        OnCreate();
    } catch (...) {
        DestroyWindow(handle_);
        throw;
    }
    runner_.SetWindow(handle_);
    built_ = true;
}

TMainForm::~TMainForm() {
    // Normally a run has ended long before (a close waits for it). Should one still be under way, its host
    // calls need this thread: they are answered until it reports its end, and only then does the window go.
    runner_.FinishWhileAnswering(handle_);
    if (handle_ != nullptr) {
        DestroyWindow(handle_);
    }
    runner_.Join();
}

LRESULT CALLBACK TMainForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* created =
            static_cast<TMainForm*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        created->handle_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(created));
    }
    auto* form = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (form == nullptr) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        form->handle_ = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
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
            OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
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
    StatusBar1 = CreateControl(STATUSCLASSNAMEW, "", CCS_NORESIZE | CCS_NOPARENTALIGN, STATUS_BAR_ID);
    ApplyLayout(WindowDpi(handle_));
    CenterOnScreen();
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
    // Panel 1 runs to the right edge: at its least width a search error with its code would be cut off.
    int parts[] = {layout.statusPanel0Width, -1};
    SendMessageW(StatusBar1, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));

    SetClientSize(layout.clientWidth, layout.clientHeight);
}

void TMainForm::SetClientSize(int width, int height) {
    RECT window{};
    RECT client{};
    GetWindowRect(handle_, &window);
    GetClientRect(handle_, &client);
    const int frameWidth = (window.right - window.left) - (client.right - client.left);
    const int frameHeight = (window.bottom - window.top) - (client.bottom - client.top);
    SetWindowPos(handle_, nullptr, 0, 0, width + frameWidth, height + frameHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TMainForm::CenterOnScreen() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(handle_, MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT window{};
    GetWindowRect(handle_, &window);
    const RECT& screen = monitor.rcMonitor;
    const int x = screen.left + ((screen.right - screen.left) - (window.right - window.left)) / 2;
    const int y = screen.top + ((screen.bottom - screen.top) - (window.bottom - window.top)) / 2;
    SetWindowPos(handle_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
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
}

void TMainForm::ShowTexts() {
    // Every language but English leaves Cyrillic on the window: Russian, or the layout's "Выход".
    const BYTE charset = texts_.script == Script::Latin ? DEFAULT_CHARSET : RUSSIAN_CHARSET;
    if (charset != charset_) {
        charset_ = charset;
        ApplyLayout(dpi_);
    }
    SetWindowTextW(btnSet, Widen(texts_.btnSet).c_str());
    SetWindowTextW(btnClear, Widen(texts_.btnClear).c_str());
    SetWindowTextW(btnExit, Widen(texts_.btnExit).c_str());
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

void TMainForm::OnClose() {
    if (runner_.Running()) {
        // Carried out when the run has ended: the link is the worker's until then. A silent instrument keeps
        // a run going for many seconds, so the user is told the close was heard.
        closeRequested_ = true;
        SendMessageW(StatusBar1, SB_SETTEXTW, 0,
                     reinterpret_cast<LPARAM>(Widen(texts_.closingAfterRun).c_str()));
        return;
    }
    FormClose();
    DestroyWindow(handle_);
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
    if (runner_.Running()) {
        return;
    }
    focusBeforeRun_ = GetFocus();
    EnableWindow(btnSet, FALSE);
    EnableWindow(btnClear, FALSE);
    // A disabled button loses the focus; the keyboard keeps working on btnExit.
    if (const HWND focus = GetFocus(); focus == nullptr || !IsWindowEnabled(focus)) {
        SetFocus(btnExit);
    }
    try {
        runner_.Start([this, enable, slots = texts_.slots] {
            CarriedHost host(runner_, *this);
            SetSearchMode(enable, link_, slots, host);
        });
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
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TMainForm::EndRun() {
    EnableWindow(btnSet, TRUE);
    EnableWindow(btnClear, TRUE);
    if (focusBeforeRun_ != nullptr && IsChild(handle_, focusBeforeRun_) && GetActiveWindow() == handle_) {
        SetFocus(focusBeforeRun_);
    }
    focusBeforeRun_ = nullptr;
}

void TMainForm::SetStatusText(const std::string& text) {
    SendMessageW(StatusBar1, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(Widen(text).c_str()));
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
