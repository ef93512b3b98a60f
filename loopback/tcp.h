// The few TCP calls the loopback emulation makes to reach the simulator on 127.0.0.1, one file per platform
// (tcp_winsock.cpp, tcp_posix.cpp). Failures come back as Winsock error codes on both, so everything above
// this is the same in both builds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {

// A Winsock SOCKET or a POSIX descriptor; NO_TCP_SOCKET names none (INVALID_SOCKET and -1 alike).
using TcpSocket = std::uintptr_t;
inline constexpr TcpSocket NO_TCP_SOCKET = ~TcpSocket{0};

// The platform's network library, held for as long as the emulation lives (Winsock's own start and release,
// independent of the link's; nothing on POSIX).
class TcpLibrary {
  public:
    TcpLibrary();
    ~TcpLibrary();
    TcpLibrary(const TcpLibrary&) = delete;
    TcpLibrary& operator=(const TcpLibrary&) = delete;

  private:
    [[maybe_unused]] bool started_ = false;  // Winsock only: POSIX has nothing to start
};

// The Winsock code of the last failed call on this thread.
int TcpLastError();
// Starts a connection to 127.0.0.1:port without waiting for it (a listener that never accepts must not hold
// the caller for the system's own connect time-out of minutes): the socket, or NO_TCP_SOCKET with the error
// code in `error`.
TcpSocket TcpStartConnectLoopback(std::uint16_t port, int& error);
// Waits at most timeoutMs for a connection TcpStartConnectLoopback started: 1 connected (the socket blocks
// again from then on), 0 not yet, -1 failed with the code in `error`.
int TcpWaitConnected(TcpSocket s, std::uint32_t timeoutMs, int& error);
void TcpClose(TcpSocket s);
// Bytes sent or received (0: the peer closed), or -1 on failure.
int TcpSend(TcpSocket s, const std::uint8_t* data, std::size_t size);
int TcpRecv(TcpSocket s, std::uint8_t* data, std::size_t size);
// how: 0 receive, 1 send, 2 both.
int TcpShutdown(TcpSocket s, int how);
// 1 readable, 0 not within the wait, -1 error.
int TcpWaitReadable(TcpSocket s, std::uint32_t timeoutMs);

}  // namespace qx
