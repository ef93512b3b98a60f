#include "win/tick_count.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace qx::test {
namespace {

constexpr std::uint64_t WRAP = std::uint64_t{1} << 32;

struct ExtendCase {
    const char* name;
    std::vector<std::uint32_t> ticks;
    std::vector<std::uint64_t> expected;
};

TEST(TickExtender, ExtendsTheThirtyTwoBitTickAcrossItsWrap) {
    const ExtendCase cases[] = {
        {"the first tick as it is, then forward", {5000, 5001, 90000}, {5000, 5001, 90000}},
        {"the wrap carries into the high half",
         {0xFFFFFFF0u, 0x10, 0x20},
         {0xFFFFFFF0u, WRAP + 0x10, WRAP + 0x20}},
        {"a reading overtaken by another thread is earlier, not a wrap",
         {1000, 1005, 1000, 1006},
         {1000, 1005, 1000, 1006}},
        {"an overtaken reading across the wrap",
         {0xFFFFFFFEu, 3, 0xFFFFFFFFu, 4},
         {0xFFFFFFFEu, WRAP + 3, WRAP - 1, WRAP + 4}},
        {"a step back beyond the race window is a long gap across the wrap",
         {100000, 100000 - TickExtender::TICK_RACE_MS - 1},
         {100000, WRAP + 100000 - TickExtender::TICK_RACE_MS - 1}},
        {"nothing earlier than the count's start", {5, 0xFFFFFFFFu}, {5, 0xFFFFFFFFu}},
        {"several wraps",
         {0xFFFFFF00u, 0x100, 0x80000000u, 0xFFFFFF00u, 0x100},
         {0xFFFFFF00u, WRAP + 0x100, WRAP + 0x80000000u, WRAP + 0xFFFFFF00u, 2 * WRAP + 0x100}},
    };
    for (const ExtendCase& c : cases) {
        SCOPED_TRACE(c.name);
        TickExtender extender;
        std::vector<std::uint64_t> seen;
        for (const std::uint32_t tick : c.ticks) {
            seen.push_back(extender.Extend(tick));
        }
        EXPECT_EQ(seen, c.expected);
    }
}

TEST(TickCount64, TakesWindowsOwnWhereKernel32ExportsIt) {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    const FARPROC own = GetProcAddress(kernel32, "GetTickCount64");
    ASSERT_NE(own, nullptr) << "this Windows has no GetTickCount64: the path below cannot be checked here";
    const TickCount64Function chosen = ChooseTickCount64(kernel32);
    EXPECT_EQ(reinterpret_cast<void (*)()>(chosen), reinterpret_cast<void (*)()>(own));

    // The program's own slot, through which the thread library calls, answers with the same clock.
    const ULONGLONG before = chosen();
    const ULONGLONG slot = TickCount64();
    const ULONGLONG after = chosen();
    EXPECT_LE(before, slot);
    EXPECT_LE(slot, after);
}

TEST(TickCount64, FallsBackToTheExtendedTickWhereKernel32HasNone) {
    // The test program exports nothing, like a kernel32 from before Vista as far as GetTickCount64 goes.
    EXPECT_EQ(ChooseTickCount64(GetModuleHandleW(nullptr)), FallbackTickCount64);
    EXPECT_EQ(ChooseTickCount64(nullptr), FallbackTickCount64);

    const DWORD before = GetTickCount();
    const ULONGLONG first = FallbackTickCount64();
    const DWORD after = GetTickCount();
    // Its low half is GetTickCount at the call, its high half the wraps seen so far (none within this
    // process).
    EXPECT_EQ(first >> 32, 0u);
    EXPECT_LE(before, static_cast<DWORD>(first));
    EXPECT_LE(static_cast<DWORD>(first), after);

    // It follows the clock forward: a later reading is never smaller, and its low half is again the clock's.
    // (How far Windows' own tick moves during a sleep is the platform's business, not asserted here.)
    Sleep(20);
    const DWORD beforeSecond = GetTickCount();
    const ULONGLONG second = FallbackTickCount64();
    EXPECT_GE(second, first);
    EXPECT_LE(beforeSecond, static_cast<DWORD>(second));
}

}  // namespace
}  // namespace qx::test
