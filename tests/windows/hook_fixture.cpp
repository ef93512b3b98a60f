// A stand-in for the hook library: remembers the last socket handle it was given.
#include <windows.h>

#include <cstdint>

namespace {
std::uint32_t lastValue = 0;
int calls = 0;
}  // namespace

extern "C" __declspec(dllexport) int WINAPI SetSockVal(std::uint32_t socket) {
    lastValue = socket;
    ++calls;
    return 0;
}

extern "C" __declspec(dllexport) std::uint32_t WINAPI LastSockVal() {
    return lastValue;
}

extern "C" __declspec(dllexport) int WINAPI SockValCalls() {
    return calls;
}
