// The console program's console on POSIX: texts out as UTF-8 bytes on the standard output and error
// descriptors (a terminal, a file or a pipe alike), a line in from standard input one byte at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "app/console_program.h"

namespace qx {

class PosixConsole final : public ConsoleEnvironment {
  public:
    PosixConsole();

    void Out(const std::string& text) override;
    void Err(const std::string& text) override;
    std::optional<std::string> ReadLine() override;
    std::uint32_t MillisecondsSinceStart() override;

  private:
    static void Write(int fd, const std::string& text);

    std::chrono::steady_clock::time_point start_;
};

}  // namespace qx
