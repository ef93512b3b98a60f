#include "posix/system_calls.h"

#include <time.h>

#include <cerrno>

namespace qx {

int PosixSystemCalls::WSAStartup(std::uint16_t) {
    return 0;
}

int PosixSystemCalls::WSACleanup() {
    return 0;
}

SocketHandle PosixSystemCalls::Socket(int, int, int) {
    lastError_ = WSAEAFNOSUPPORT_CODE;
    return INVALID_SOCKET_HANDLE;
}

int PosixSystemCalls::NotASocket() {
    lastError_ = WSAENOTSOCK_CODE;
    return SOCKET_ERROR_RESULT;
}

int PosixSystemCalls::GetSockOpt(SocketHandle, int, int, std::span<std::uint8_t>, int&) {
    return NotASocket();
}
int PosixSystemCalls::Connect(SocketHandle, std::span<const std::uint8_t>) {
    return NotASocket();
}
int PosixSystemCalls::Send(SocketHandle, std::span<const std::uint8_t>) {
    return NotASocket();
}
int PosixSystemCalls::WaitReadable(SocketHandle, std::uint32_t) {
    return NotASocket();
}
int PosixSystemCalls::Recv(SocketHandle, std::span<std::uint8_t>) {
    return NotASocket();
}
int PosixSystemCalls::Shutdown(SocketHandle, int) {
    return NotASocket();
}
int PosixSystemCalls::CloseSocket(SocketHandle) {
    return NotASocket();
}

void PosixSystemCalls::Sleep(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal (Ctrl+C is taken by a thread of its own, but others may come) does not cut a pause short.
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint32_t PosixSystemCalls::TickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace qx
