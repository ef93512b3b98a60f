// The socket calls of the system itself on Linux, under the program's own IrDA stack and the loopback
// emulation: the pauses and the millisecond clock are real. Linux has no IrDA sockets (its IrDA stack left
// the kernel in 4.17), so a socket call with no serial adapter chosen fails as Windows' does on a PC without
// IrDA: WSAEAFNOSUPPORT.
#pragma once

#include <cstdint>

#include "link/socket_calls.h"

namespace qx {

class PosixSystemCalls final : public SocketCalls {
  public:
    int WSAStartup(std::uint16_t version) override;
    int WSACleanup() override;
    SocketHandle Socket(int family, int type, int protocol) override;
    int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override;
    int Connect(SocketHandle s, std::span<const std::uint8_t> address) override;
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override;
    int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) override;
    int Recv(SocketHandle s, std::span<std::uint8_t> buffer) override;
    int Shutdown(SocketHandle s, int how) override;
    int CloseSocket(SocketHandle s) override;
    int WSAGetLastError() override { return lastError_; }
    void Sleep(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    ModuleHandle LoadHookLibrary() override { return 0; }
    ProcHandle GetHookEntry(ModuleHandle) override { return 0; }
    void CallHookEntry(ProcHandle, SocketHandle) override {}

  private:
    int NotASocket();

    int lastError_ = 0;
};

}  // namespace qx
