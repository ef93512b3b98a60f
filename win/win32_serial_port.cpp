#include "win/win32_serial_port.h"

#include <windows.h>

#include <algorithm>

#include "app/link_choice.h"
#include "win/wide_text.h"

namespace qx {
namespace {

// A write the driver does not finish within PORT_WRITE_WAIT_MS plus its bytes' time on the wire fails: about
// a millisecond a byte at 9600 baud, two to spare.
constexpr DWORD WRITE_TIMEOUT_MS = irda::PORT_WRITE_WAIT_MS;
constexpr DWORD WRITE_MS_PER_BYTE = 2;
// A wait for bytes is made of reads this long. Windows returns from each as soon as a byte arrives; Wine
// waits out the whole read time, so a long single read would hold every answer back until the wait is over.
constexpr std::uint32_t READ_SLICE_MS = 10;

}  // namespace

struct Win32SerialPort::Handle {
    HANDLE value = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE) {
            CloseHandle(value);
        }
    }
};

Win32SerialPort::Win32SerialPort() = default;
Win32SerialPort::~Win32SerialPort() = default;

bool Win32SerialPort::Fail() {
    lastError_ = GetLastError();
    if (lastError_ == 0) {
        lastError_ = irda::PORT_ERROR_GEN_FAILURE;
    }
    return false;
}

bool Win32SerialPort::IsOpen() const {
    return handle_ != nullptr;
}

bool Win32SerialPort::Open(const std::string& name) {
    Close();
    const std::wstring path = name.starts_with("\\\\") ? Widen(name) : L"\\\\.\\" + Widen(name);
    auto handle = std::make_unique<Handle>();
    // No sharing: the port is this program's alone while it is open.
    handle->value =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle->value == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle->value, &dcb)) {
        return Fail();
    }
    dcb.BaudRate = irda::SIR_CONTENTION_BAUD;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    const auto levels = irda::LevelsOf(LineProfileToUse());
    if (levels) {
        dcb.fDtrControl = levels->dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = levels->rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    if (!SetCommState(handle->value, &dcb)) {
        // A port without modem lines (a pty under Wine) may refuse them; the lines are only a convenience.
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        if (!SetCommState(handle->value, &dcb)) {
            return Fail();
        }
    }
    if (levels) {
        EscapeCommFunction(handle->value, levels->dtr ? SETDTR : CLRDTR);
        EscapeCommFunction(handle->value, levels->rts ? SETRTS : CLRRTS);
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_MS_PER_BYTE;
    if (!SetCommTimeouts(handle->value, &timeouts)) {
        return Fail();
    }
    PurgeComm(handle->value, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    handle_ = std::move(handle);
    readTimeout_ = 0;
    timeoutSet_ = true;  // as set above: return at once
    return true;
}

void Win32SerialPort::Close() {
    handle_.reset();
}

bool Win32SerialPort::SetReadTimeout(std::uint32_t timeoutMs) {
    if (timeoutSet_ && readTimeout_ == timeoutMs) {
        return true;
    }
    // MAXDWORD, MAXDWORD, n: return at once with what is there, else with the first bytes to arrive within n
    // ms. MAXDWORD, 0, 0: return at once.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = timeoutMs == 0 ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = timeoutMs == 0 ? 0 : std::min<DWORD>(timeoutMs, MAXDWORD - 1);
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = WRITE_MS_PER_BYTE;
    if (!SetCommTimeouts(handle_->value, &timeouts)) {
        timeoutSet_ = false;
        return Fail();
    }
    readTimeout_ = timeoutMs;
    timeoutSet_ = true;
    return true;
}

bool Win32SerialPort::Write(std::span<const std::uint8_t> bytes) {
    handedOver_ = false;
    if (!handle_) {
        lastError_ = ERROR_INVALID_HANDLE;
        return false;
    }
    while (!bytes.empty()) {
        DWORD written = 0;
        const BOOL done =
            WriteFile(handle_->value, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        // A failed WriteFile may still have taken some of the bytes.
        handedOver_ = handedOver_ || written > 0;
        if (!done) {
            return Fail();
        }
        if (written == 0) {
            lastError_ = ERROR_WRITE_FAULT;
            return false;
        }
        bytes = bytes.subspan(written);
    }
    return true;
}

int Win32SerialPort::Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) {
    if (!handle_) {
        lastError_ = ERROR_INVALID_HANDLE;
        return -1;
    }
    if (!SetReadTimeout(std::min(timeoutMs, READ_SLICE_MS))) {
        return -1;
    }
    // 32 bits are enough for a wait this short, and the unsigned difference is right across the wrap.
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle_->value, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            Fail();
            return -1;
        }
        if (got > 0 || GetTickCount() - start >= timeoutMs) {
            return static_cast<int>(got);
        }
    }
}

std::vector<std::string> ListComPorts() {
    // Each name asked for by itself. A name Windows does not list may still open (Wine maps a port by a link
    // that it names only when the port is opened), so such a name counts when opening it fails for any other
    // reason than its absence (it is in use, say) or succeeds; it is closed again at once.
    std::vector<std::string> ports;
    std::vector<wchar_t> target(1024);
    for (int number = 1; number <= COM_PORT_LAST; ++number) {
        // Widened from the narrow digits: std::to_wstring would link in the C runtime's whole wide printf.
        const std::string digits = std::to_string(number);
        const std::wstring name = L"COM" + std::wstring(digits.begin(), digits.end());
        bool present = QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0 ||
                       GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        if (!present) {
            const HANDLE port = CreateFileW((L"\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
            const DWORD error = GetLastError();
            present = port != INVALID_HANDLE_VALUE ||
                      (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND);
            if (port != INVALID_HANDLE_VALUE) {
                CloseHandle(port);
            }
        }
        if (present) {
            ports.push_back("COM" + std::to_string(number));
        }
    }
    return ports;
}

}  // namespace qx
