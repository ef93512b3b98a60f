// A socket seam that hands every call to another one unchanged: the base of the wrappers that change one or
// two calls and leave the rest alone.
#pragma once

#include "link/socket_calls.h"

namespace qx {

class ForwardingCalls : public SocketCalls {
  public:
    explicit ForwardingCalls(SocketCalls& inner) : inner_(inner) {}

    int WSAStartup(std::uint16_t version) override { return inner_.WSAStartup(version); }
    int WSACleanup() override { return inner_.WSACleanup(); }
    SocketHandle Socket(int family, int type, int protocol) override {
        return inner_.Socket(family, type, protocol);
    }
    int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override {
        return inner_.GetSockOpt(s, level, option, value, length);
    }
    int Connect(SocketHandle s, std::span<const std::uint8_t> address) override {
        return inner_.Connect(s, address);
    }
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override { return inner_.Send(s, bytes); }
    int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) override {
        return inner_.WaitReadable(s, timeoutMs);
    }
    int Recv(SocketHandle s, std::span<std::uint8_t> buffer) override { return inner_.Recv(s, buffer); }
    int Shutdown(SocketHandle s, int how) override { return inner_.Shutdown(s, how); }
    int CloseSocket(SocketHandle s) override { return inner_.CloseSocket(s); }
    int WSAGetLastError() override { return inner_.WSAGetLastError(); }
    void Sleep(std::uint32_t ms) override { inner_.Sleep(ms); }
    std::uint32_t TickCount() override { return inner_.TickCount(); }
    ModuleHandle LoadHookLibrary() override { return inner_.LoadHookLibrary(); }
    ProcHandle GetHookEntry(ModuleHandle module) override { return inner_.GetHookEntry(module); }
    void CallHookEntry(ProcHandle entry, SocketHandle s) override { inner_.CallHookEntry(entry, s); }
    std::optional<StackFailure> LastStackFailure() override { return inner_.LastStackFailure(); }

  protected:
    SocketCalls& Inner() { return inner_; }

  private:
    SocketCalls& inner_;
};

}  // namespace qx
