#include "support/posix_platform_calls.h"

#include <chrono>
#include <thread>

namespace qxtest {

int PosixPlatformCalls::WSAStartup(std::uint16_t) {
    ++startups;
    return 0;
}

int PosixPlatformCalls::WSACleanup() {
    ++cleanups;
    return 0;
}

qx::SocketHandle PosixPlatformCalls::Socket(int, int, int) {
    return qx::INVALID_SOCKET_HANDLE;
}
int PosixPlatformCalls::GetSockOpt(qx::SocketHandle, int, int, std::span<std::uint8_t>, int&) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::Connect(qx::SocketHandle, std::span<const std::uint8_t>) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::Send(qx::SocketHandle, std::span<const std::uint8_t>) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::WaitReadable(qx::SocketHandle, std::uint32_t) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::Recv(qx::SocketHandle, std::span<std::uint8_t>) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::Shutdown(qx::SocketHandle, int) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::CloseSocket(qx::SocketHandle) {
    return qx::SOCKET_ERROR_RESULT;
}
int PosixPlatformCalls::WSAGetLastError() {
    return qx::WSAENETDOWN_CODE;
}

void PosixPlatformCalls::Sleep(std::uint32_t ms) {
    pauses.push_back(ms);
    if (sleeps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

std::uint32_t PosixPlatformCalls::TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

qx::ModuleHandle PosixPlatformCalls::LoadHookLibrary() {
    ++hookLoads;
    return 0;
}

qx::ProcHandle PosixPlatformCalls::GetHookEntry(qx::ModuleHandle) {
    return 0;
}
void PosixPlatformCalls::CallHookEntry(qx::ProcHandle, qx::SocketHandle) {}

}  // namespace qxtest
