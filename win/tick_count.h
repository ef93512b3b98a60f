// GetTickCount64 for a program that also starts on Windows XP, which lacks it: the thread library calls it
// through the import slot this module fills, so the program imports no GetTickCount64 and takes Windows' own
// where it exists (Vista and later), else a 64-bit count extended from the 32-bit GetTickCount.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace qx {

// Extends a millisecond tick that wraps every 2^32 ms (49.7 days) to 64 bits. Safe from any thread. A tick up
// to TICK_RACE_MS behind the latest one seen is an earlier reading from a thread that was overtaken, not a
// wrap; anything else counts forward, so the tick must be seen at least once per wrap.
class TickExtender {
  public:
    static constexpr std::uint32_t TICK_RACE_MS = 60000;

    std::uint64_t Extend(std::uint32_t tick) noexcept;

  private:
    static constexpr std::uint64_t UNSET = ~std::uint64_t{0};
    std::atomic<std::uint64_t> latest_{UNSET};
};

using TickCount64Function = ULONGLONG(WINAPI*)();

// The 64-bit tick to use with `kernel32`: its GetTickCount64 where it exports one, else FallbackTickCount64.
TickCount64Function ChooseTickCount64(HMODULE kernel32);

// GetTickCount extended to 64 bits by one process-wide TickExtender.
ULONGLONG WINAPI FallbackTickCount64();

// The tick the program's GetTickCount64 import slot calls: ChooseTickCount64 of the loaded kernel32, chosen
// at the first call.
ULONGLONG WINAPI TickCount64();

}  // namespace qx
