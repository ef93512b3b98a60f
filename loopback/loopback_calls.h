// The IrDA loopback emulation: the link's socket calls carried over TCP to the instrument simulator on
// 127.0.0.1, for machines that have no IrDA (Wine has none). Pauses, the clock and the hook library stay with
// the platform's own calls, so the two modes differ in the transport only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>

#include "link/forwarding_calls.h"

namespace qx {

// Names the simulator's TCP port; when it holds one, the program talks to the simulator instead of IrDA.
inline constexpr const char* LOOPBACK_PORT_VARIABLE = "QX2205R_IRDA_LOOPBACK";

// The port in QX2205R_IRDA_LOOPBACK when it is a plain decimal number from 1 to 65535; anything else (unset,
// empty, signs, spaces, other text) leaves the emulation off.
std::optional<std::uint16_t> LoopbackPortFromEnvironment();
// The same rule applied to a given text.
std::optional<std::uint16_t> ParseLoopbackPort(const char* text);

// The byte that opens each emulated operation's TCP connection.
inline constexpr std::uint8_t LOOPBACK_DISCOVERY_REQUEST = 'D';
inline constexpr std::uint8_t LOOPBACK_CONNECT_REQUEST = 'C';
// How long one discovery try or connect request may take, from the start of its TCP connection to the last
// byte of the simulator's answer; a simulator that never accepts, or accepts and then hangs, must not freeze
// the program.
inline constexpr std::uint32_t LOOPBACK_ANSWER_WAIT_MS = 5000;
// How long all the tries of one discovery (the tries on one socket) may take together: the link tries up to
// 49 times, and a hung simulator must cost seconds, not 49 waits. Once it has passed, every further try fails
// at once with WSAETIMEDOUT.
inline constexpr std::uint32_t LOOPBACK_DISCOVERY_WAIT_MS = 10000;

class TcpLibrary;

// An emulated socket call that fails sets the last error to its Winsock code; one that succeeds leaves the
// last error as it was, as Winsock does.
class LoopbackCalls : public ForwardingCalls {
  public:
    LoopbackCalls(std::uint16_t port, SocketCalls& platform);
    ~LoopbackCalls() override;
    LoopbackCalls(const LoopbackCalls&) = delete;
    LoopbackCalls& operator=(const LoopbackCalls&) = delete;

    // A fresh handle that is not yet connected; only the IrDA family and stream type are emulated.
    SocketHandle Socket(int family, int type, int protocol) override;
    // IRLMP_ENUMDEVICES: one discovery try over its own TCP connection.
    int GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                   int& length) override;
    // Hands the address record to the simulator; on its 0 the TCP connection carries the frames from then on.
    int Connect(SocketHandle s, std::span<const std::uint8_t> address) override;
    int Send(SocketHandle s, std::span<const std::uint8_t> bytes) override;
    int WaitReadable(SocketHandle s, std::uint32_t timeoutMs) override;
    int Recv(SocketHandle s, std::span<std::uint8_t> buffer) override;
    int Shutdown(SocketHandle s, int how) override;
    int CloseSocket(SocketHandle s) override;
    int WSAGetLastError() override { return lastError_; }

    // From any thread (Ctrl+C, the console closing): a discovery try or connect under way ends at once with
    // WSAEINTR, and so does every later one. Frames on a connection already made still pass, so an answer to
    // a frame already sent is still received.
    void Interrupt() { interrupted_ = true; }

  private:
    class TcpConnection;
    using Clock = std::chrono::steady_clock;
    // An emulated socket: no TCP connection until Connect succeeds; the end of its discovery's time from its
    // first try on.
    struct SocketEntry {
        std::unique_ptr<TcpConnection> tcp;
        std::optional<Clock::time_point> discoveryEnds;
    };

    // The entry of an open handle, or null with WSAENOTSOCK set.
    SocketEntry* Find(SocketHandle s);
    // The connected TCP connection of a handle, or null with the error set.
    TcpConnection* Connected(SocketHandle s);
    int Fail(int code);
    int Succeed(int result);
    // Opens the TCP connection of one emulated operation by `deadline`: 0 with `tcp` set, or the code.
    int OpenBy(Clock::time_point deadline, std::unique_ptr<TcpConnection>& tcp);

    std::uint16_t port_;
    std::unique_ptr<TcpLibrary> network_;
    std::map<SocketHandle, SocketEntry> sockets_;
    SocketHandle nextHandle_ = 0x100;
    int lastError_ = 0;
    std::atomic<bool> interrupted_{false};
};

}  // namespace qx
