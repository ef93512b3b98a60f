#include "win/tick_count.h"

namespace qx {

std::uint64_t TickExtender::Extend(std::uint32_t tick) noexcept {
    std::uint64_t latest = latest_.load(std::memory_order_relaxed);
    for (;;) {
        std::uint64_t next = tick;
        if (latest != UNSET) {
            const auto ahead = static_cast<std::uint32_t>(tick - static_cast<std::uint32_t>(latest));
            const auto behind = static_cast<std::uint32_t>(0u - ahead);
            if (ahead == 0) {
                return latest;
            }
            if (behind <= TICK_RACE_MS && behind <= latest) {
                return latest - behind;
            }
            next = latest + ahead;
        }
        if (latest_.compare_exchange_weak(latest, next, std::memory_order_relaxed)) {
            return next;
        }
    }
}

TickCount64Function ChooseTickCount64(HMODULE kernel32) {
    const FARPROC found = kernel32 != nullptr ? GetProcAddress(kernel32, "GetTickCount64") : nullptr;
    if (found == nullptr) {
        return FallbackTickCount64;
    }
    return reinterpret_cast<TickCount64Function>(reinterpret_cast<void (*)()>(found));
}

namespace {
constinit TickExtender fallbackTicks;
constinit std::atomic<TickCount64Function> chosenTickCount64{nullptr};
}  // namespace

ULONGLONG WINAPI FallbackTickCount64() {
    return fallbackTicks.Extend(GetTickCount());
}

ULONGLONG WINAPI TickCount64() {
    // No function-local static: its guard may wait on the thread library, which may be what is calling here.
    // Two threads choosing at once choose the same.
    TickCount64Function tick = chosenTickCount64.load(std::memory_order_acquire);
    if (tick == nullptr) {
        tick = ChooseTickCount64(GetModuleHandleW(L"kernel32.dll"));
        chosenTickCount64.store(tick, std::memory_order_release);
    }
    return tick();
}

}  // namespace qx

// The import slot the thread library's calls go through (it is built to call GetTickCount64 through
// __imp_GetTickCount64). Defined here, in an object linked before the libraries, it keeps the linker from
// taking kernel32's slot, and with it the import that stops the program from loading on Windows XP.
#if defined(_WIN64)
#define QX_TICK_COUNT64_SLOT "__imp_GetTickCount64"
#else
#define QX_TICK_COUNT64_SLOT "__imp__GetTickCount64@0"
#endif
extern "C" {
extern qx::TickCount64Function const qxTickCount64Slot __asm__(QX_TICK_COUNT64_SLOT);
qx::TickCount64Function const qxTickCount64Slot __asm__(QX_TICK_COUNT64_SLOT) = qx::TickCount64;
}
