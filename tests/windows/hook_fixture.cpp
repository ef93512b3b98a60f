// A stand-in for the hook library: remembers the last socket handle it was given.
#include <windows.h>

#include <cstdint>

namespace {
std::uintptr_t lastValue = 0;
}  // namespace

extern "C" __declspec(dllexport) int WINAPI SetSockVal(std::uintptr_t socket) {
    lastValue = socket;
    return 0;
}

extern "C" __declspec(dllexport) std::uintptr_t WINAPI LastSockVal() {
    return lastValue;
}
