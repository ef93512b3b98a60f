#include "posix/console_io.h"

#include <unistd.h>

#include <cerrno>

namespace qx {

PosixConsole::PosixConsole() : start_(std::chrono::steady_clock::now()) {}

void PosixConsole::Write(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // a closed pipe (SIGPIPE is ignored): nobody is reading any more
        }
        done += static_cast<std::size_t>(written);
    }
}

void PosixConsole::Out(const std::string& text) {
    Write(STDOUT_FILENO, text);
}

void PosixConsole::Err(const std::string& text) {
    Write(STDERR_FILENO, text);
}

std::optional<std::string> PosixConsole::ReadLine() {
    // One byte at a time, so nothing after the line is taken from the next reader; past ANSWER_LIMIT nothing
    // more is read, as the answer declines whatever follows.
    std::string line;
    while (line.size() <= ANSWER_LIMIT) {
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return line.empty() ? std::nullopt : std::optional(line);
        }
        if (c == '\n') {
            break;
        }
        if (c != '\r') {
            line += c;
        }
    }
    // A terminal echoed the Enter that ended the line; from a file or a pipe (or past the limit) nobody typed
    // the line end under the prompt, and the prompt's line is ended here.
    if (line.size() > ANSWER_LIMIT || ::isatty(STDIN_FILENO) == 0) {
        Err("\n");
    }
    return line;
}

std::uint32_t PosixConsole::MillisecondsSinceStart() {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
            .count());
}

}  // namespace qx
