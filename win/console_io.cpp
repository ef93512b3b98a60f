#include "win/console_io.h"

#include "win/wide_text.h"

namespace qx {
namespace {

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

ConsoleIo::ConsoleIo() : start_(GetTickCount()) {}

void ConsoleIo::Write(HANDLE handle, const std::string& text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    if (IsConsole(handle)) {
        const std::wstring wide = Widen(text);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       nullptr) ||
            written == 0) {
            return;  // a closed pipe: nobody is reading any more
        }
        done += written;
    }
}

void ConsoleIo::Out(const std::string& text) {
    Write(GetStdHandle(STD_OUTPUT_HANDLE), text);
}

void ConsoleIo::Err(const std::string& text) {
    Write(GetStdHandle(STD_ERROR_HANDLE), text);
}

std::optional<std::string> ConsoleIo::ReadLine() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    // Past ANSWER_LIMIT nothing more is read: the answer declines whatever follows, and a stream without a
    // line end would otherwise be read for ever. A character is at least one byte, so a line cut at the limit
    // in characters is past it in bytes too.
    if (IsConsole(input)) {
        std::wstring line;
        while (line.size() <= ANSWER_LIMIT) {
            wchar_t c = 0;
            DWORD read = 0;
            if (!ReadConsoleW(input, &c, 1, &read, nullptr) || read == 0) {
                return line.empty() ? std::nullopt : std::optional(Narrow(line));
            }
            if (c == L'\n') {
                break;
            }
            if (c != L'\r') {
                line += c;
            }
        }
        return Narrow(line);
    }
    // A file or a pipe: UTF-8 bytes, one at a time so nothing after the line is taken from the next reader.
    std::string line;
    while (line.size() <= ANSWER_LIMIT) {
        char c = 0;
        DWORD read = 0;
        if (!ReadFile(input, &c, 1, &read, nullptr) || read == 0) {
            return line.empty() ? std::nullopt : std::optional(line);
        }
        if (c == '\n') {
            break;
        }
        if (c != '\r') {
            line += c;
        }
    }
    // Nobody typed the line end under the prompt: the prompt's line is ended here.
    Err("\n");
    return line;
}

std::uint32_t ConsoleIo::MillisecondsSinceStart() {
    // Unsigned arithmetic keeps the difference right across the 32-bit tick's wrap every 49.7 days.
    return static_cast<std::uint32_t>(GetTickCount() - start_);
}

}  // namespace qx
