// The platform calls the loopback emulation and the serial IrDA stack hand on, for native tests: a real
// millisecond clock for the link's bounded receive, pauses recorded (and slept only when asked: the serial
// stack polls its link while a pause passes), no hook library, a socket library that always starts. The
// socket calls themselves belong to the emulation or the stack and fail here.
#pragma once

#include <cstdint>
#include <vector>

#include "link/socket_calls.h"

namespace qxtest {

class PosixPlatformCalls : public qx::SocketCalls {
  public:
    int WSAStartup(std::uint16_t version) override;
    int WSACleanup() override;
    qx::SocketHandle Socket(int family, int type, int protocol) override;
    int GetSockOpt(qx::SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override;
    int Connect(qx::SocketHandle s, std::span<const std::uint8_t> address) override;
    int Send(qx::SocketHandle s, std::span<const std::uint8_t> bytes) override;
    int WaitReadable(qx::SocketHandle s, std::uint32_t timeoutMs) override;
    int Recv(qx::SocketHandle s, std::span<std::uint8_t> buffer) override;
    int Shutdown(qx::SocketHandle s, int how) override;
    int CloseSocket(qx::SocketHandle s) override;
    int WSAGetLastError() override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    qx::ModuleHandle LoadHookLibrary() override;
    qx::ProcHandle GetHookEntry(qx::ModuleHandle module) override;
    void CallHookEntry(qx::ProcHandle entry, qx::SocketHandle s) override;

    bool sleeps = false;
    std::vector<std::uint32_t> pauses;
    int startups = 0;
    int cleanups = 0;
    int hookLoads = 0;
};

}  // namespace qxtest
