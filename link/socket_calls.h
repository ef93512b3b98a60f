// The platform calls the IrDA link makes, as one seam. The Winsock binding, the loopback emulation and the
// scripted test instrument implement it; the link itself makes every decision and only calls through here.
// No Windows header is needed to use it: handles and error codes are plain integers of the platform's width.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "link/stack_failure.h"

namespace qx {

// A Winsock SOCKET, at the platform's pointer width: 32 bits in the 32-bit program, 64 in the 64-bit one. 0
// never names a socket the program owns; INVALID_SOCKET_HANDLE is the value socket() returns when it fails
// (all bits set).
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = ~SocketHandle{0};

// The socket-error return of the calls that return an int.
inline constexpr int SOCKET_ERROR_RESULT = -1;

// The Winsock error codes that the program's own code produces (the link, its wrappers, the loopback
// emulation) or names; every other code passes through unchanged.
inline constexpr int WSAEINTR_CODE = 10004;
inline constexpr int WSAEFAULT_CODE = 10014;
inline constexpr int WSAEINVAL_CODE = 10022;
inline constexpr int WSAEWOULDBLOCK_CODE = 10035;
inline constexpr int WSAENOTSOCK_CODE = 10038;
inline constexpr int WSAENOPROTOOPT_CODE = 10042;
inline constexpr int WSAEAFNOSUPPORT_CODE = 10047;
inline constexpr int WSAENETDOWN_CODE = 10050;
inline constexpr int WSAECONNABORTED_CODE = 10053;
inline constexpr int WSAECONNRESET_CODE = 10054;
inline constexpr int WSAEISCONN_CODE = 10056;
inline constexpr int WSAENOTCONN_CODE = 10057;
inline constexpr int WSAESHUTDOWN_CODE = 10058;
inline constexpr int WSAETIMEDOUT_CODE = 10060;
inline constexpr int WSAECONNREFUSED_CODE = 10061;
inline constexpr int WSAEDISCON_CODE = 10101;

// Opaque module and procedure handles of the hook library; 0 means none.
using ModuleHandle = std::uintptr_t;
using ProcHandle = std::uintptr_t;

class SocketCalls {
  public:
    virtual ~SocketCalls() = default;

    // WSAStartup: 0 on success, else the error it returned.
    virtual int WSAStartup(std::uint16_t version) = 0;
    // WSACleanup: 0 or SOCKET_ERROR_RESULT.
    virtual int WSACleanup() = 0;
    // socket(): a handle, or INVALID_SOCKET_HANDLE.
    virtual SocketHandle Socket(int family, int type, int protocol) = 0;
    // getsockopt(): 0 or SOCKET_ERROR_RESULT. `length` is in/out as on the platform.
    virtual int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                           int& length) = 0;
    // connect() with the address record exactly as the platform gets it.
    virtual int Connect(SocketHandle s, std::span<const std::uint8_t> address) = 0;
    // send(): bytes sent, or SOCKET_ERROR_RESULT.
    virtual int Send(SocketHandle s, std::span<const std::uint8_t> bytes) = 0;
    // select() for readability of one socket with a time-out: 1 readable (data or end of connection),
    // 0 nothing within the wait, SOCKET_ERROR_RESULT on error.
    virtual int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) = 0;
    // recv(): bytes received (0 = the peer ended the connection), or SOCKET_ERROR_RESULT.
    virtual int Recv(SocketHandle s, std::span<std::uint8_t> buffer) = 0;
    // shutdown(): 0 or SOCKET_ERROR_RESULT.
    virtual int Shutdown(SocketHandle s, int how) = 0;
    // closesocket(): 0 or SOCKET_ERROR_RESULT.
    virtual int CloseSocket(SocketHandle s) = 0;
    // WSAGetLastError() of the calling thread.
    virtual int WSAGetLastError() = 0;

    // Sleep(); the fake records it instead of sleeping.
    virtual void Sleep(std::uint32_t ms) = 0;
    // GetTickCount(): a millisecond clock for bounding a receive.
    virtual std::uint32_t TickCount() = 0;

    // Loads the hook library from the program's own folder (never through the search order); 0 on failure.
    virtual ModuleHandle LoadHookLibrary() = 0;
    // GetProcAddress of the hook's entry by name; 0 when absent.
    virtual ProcHandle GetHookEntry(ModuleHandle module) = 0;
    // Calls the entry with the socket handle (stdcall, one 32-bit argument); its result is ignored.
    virtual void CallHookEntry(ProcHandle entry, SocketHandle s) = 0;

    // Not a platform call: how the program's own IrDA stack failed in its last failed call, beside the
    // Winsock code that call left. Nothing for Winsock and the emulation, and after a call that worked.
    virtual std::optional<StackFailure> LastStackFailure() { return std::nullopt; }
};

}  // namespace qx
