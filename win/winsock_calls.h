// The socket seam bound to Winsock 1.1 with the IrDA address family: each call is the platform call of the
// same name, translated and nothing more. The hook library is looked for in the program's own folder only.
#pragma once

#include "link/socket_calls.h"

namespace qx {

class WinsockCalls : public SocketCalls {
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
    int WSAGetLastError() override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    ModuleHandle LoadHookLibrary() override;
    ProcHandle GetHookEntry(ModuleHandle module) override;
    void CallHookEntry(ProcHandle entry, SocketHandle s) override;
};

}  // namespace qx
