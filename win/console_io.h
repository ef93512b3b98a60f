// The console program's console on Windows: text out through the UTF-16 console functions when the handle is
// a console window (so Russian reads right whatever the console's code page), as UTF-8 bytes when it is a
// file or a pipe; a line in from either.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "app/console_program.h"

namespace qx {

class ConsoleIo final : public ConsoleEnvironment {
  public:
    ConsoleIo();

    void Out(const std::string& text) override;
    void Err(const std::string& text) override;
    std::optional<std::string> ReadLine() override;
    std::uint32_t MillisecondsSinceStart() override;

  private:
    static void Write(HANDLE handle, const std::string& text);

    DWORD start_;
};

}  // namespace qx
