// The emulation itself, the same in both builds; its TCP is in tcp_winsock.cpp or tcp_posix.cpp.
#include "loopback/loopback_calls.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "link/irda_link.h"
#include "loopback/tcp.h"

namespace qx {

namespace {

using namespace std::chrono_literals;

// An interruption is noticed within this much of any of the emulation's own waits.
constexpr std::chrono::milliseconds STOP_CHECK = 50ms;

// Waits until `deadline` in short slices, so that an interruption ends the wait at once. `poll(ms, error)`
// waits at most ms and answers 1 ready, 0 not yet, or -1 failed with `error` set. 0 when ready, else
// WSAETIMEDOUT, WSAEINTR or the code poll gave.
template <typename Clock, typename Poll>
int WaitUntil(typename Clock::time_point deadline, const std::atomic<bool>& interrupted, Poll poll) {
    for (;;) {
        if (interrupted) {
            return WSAEINTR_CODE;
        }
        // Rounded up: a wait never ends before its deadline, so a bound shared by several waits is spent
        // whole by the waits that fit in it.
        const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()), 0ms);
        const auto slice = std::min(left, STOP_CHECK);
        int error = 0;
        const int ready = poll(static_cast<std::uint32_t>(slice.count()), error);
        if (ready > 0) {
            return 0;
        }
        if (ready < 0) {
            return error;
        }
        if (left <= slice) {
            return WSAETIMEDOUT_CODE;
        }
    }
}

}  // namespace

class LoopbackCalls::TcpConnection {
  public:
    explicit TcpConnection(TcpSocket s) : socket_(s) {}
    ~TcpConnection() { TcpClose(socket_); }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    TcpSocket Native() const { return socket_; }

    // 0, or the code of what went wrong.
    int SendAll(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const int sent = TcpSend(socket_, bytes.data(), bytes.size());
            if (sent < 0) {
                return TcpLastError();
            }
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
        }
        return 0;
    }

    // Fills `bytes` by `deadline`: 0, WSAETIMEDOUT, WSAEINTR when interrupted, WSAECONNRESET when the
    // simulator ended the connection early, or the platform's code.
    template <typename Clock>
    int ReceiveAll(std::span<std::uint8_t> bytes, typename Clock::time_point deadline,
                   const std::atomic<bool>& interrupted) {
        while (!bytes.empty()) {
            const int waited = WaitUntil<Clock>(deadline, interrupted, [this](std::uint32_t ms, int& error) {
                const int ready = TcpWaitReadable(socket_, ms);
                if (ready < 0) {
                    error = TcpLastError();
                }
                return ready;
            });
            if (waited != 0) {
                return waited;
            }
            const int received = TcpRecv(socket_, bytes.data(), bytes.size());
            if (received < 0) {
                return TcpLastError();
            }
            if (received == 0) {
                return WSAECONNRESET_CODE;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(received));
        }
        return 0;
    }

  private:
    TcpSocket socket_;
};

std::optional<std::uint16_t> ParseLoopbackPort(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    const char* end = text + std::strlen(text);
    if (text == end || *text < '0' || *text > '9') {
        return std::nullopt;
    }
    std::uint32_t port = 0;
    const auto [stop, error] = std::from_chars(text, end, port);
    if (error != std::errc{} || stop != end || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

std::optional<std::uint16_t> LoopbackPortFromEnvironment() {
    return ParseLoopbackPort(std::getenv(LOOPBACK_PORT_VARIABLE));
}

LoopbackCalls::LoopbackCalls(std::uint16_t port, SocketCalls& platform)
    : ForwardingCalls(platform), port_(port), network_(std::make_unique<TcpLibrary>()) {}

// The TCP connections go before the network library that carries them.
LoopbackCalls::~LoopbackCalls() {
    sockets_.clear();
}

int LoopbackCalls::Fail(int code) {
    lastError_ = code;
    return SOCKET_ERROR_RESULT;
}

// Like Winsock, a successful call leaves the last error as it was.
int LoopbackCalls::Succeed(int result) {
    return result;
}

LoopbackCalls::SocketEntry* LoopbackCalls::Find(SocketHandle s) {
    const auto found = sockets_.find(s);
    if (found == sockets_.end()) {
        lastError_ = WSAENOTSOCK_CODE;
        return nullptr;
    }
    return &found->second;
}

LoopbackCalls::TcpConnection* LoopbackCalls::Connected(SocketHandle s) {
    SocketEntry* entry = Find(s);
    if (entry == nullptr) {
        return nullptr;
    }
    if (!entry->tcp) {
        lastError_ = WSAENOTCONN_CODE;
        return nullptr;
    }
    return entry->tcp.get();
}

SocketHandle LoopbackCalls::Socket(int family, int type, int protocol) {
    if (family != AF_IRDA_FAMILY || type != SOCK_STREAM_TYPE || protocol != 0) {
        lastError_ = WSAEAFNOSUPPORT_CODE;
        return INVALID_SOCKET_HANDLE;
    }
    // Handles are never reused while the emulation lives, so a stale handle cannot reach a newer socket.
    while (nextHandle_ == 0 || nextHandle_ == INVALID_SOCKET_HANDLE || sockets_.contains(nextHandle_)) {
        ++nextHandle_;
    }
    const SocketHandle handle = nextHandle_++;
    sockets_.emplace(handle, SocketEntry{});
    return handle;
}

int LoopbackCalls::OpenBy(Clock::time_point deadline, std::unique_ptr<TcpConnection>& tcp) {
    if (interrupted_) {
        return WSAEINTR_CODE;
    }
    int error = 0;
    const TcpSocket native = TcpStartConnectLoopback(port_, error);
    if (native == NO_TCP_SOCKET) {
        return error;
    }
    auto opened = std::make_unique<TcpConnection>(native);
    const int waited = WaitUntil<Clock>(deadline, interrupted_, [native](std::uint32_t ms, int& failure) {
        return TcpWaitConnected(native, ms, failure);
    });
    if (waited != 0) {
        return waited;
    }
    tcp = std::move(opened);
    return 0;
}

int LoopbackCalls::GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                              int& length) {
    SocketEntry* entry = Find(s);
    if (entry == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    std::size_t room = 0;
    if (const int error = CheckDeviceListRequest(level, option, value.size(), length, room); error != 0) {
        return Fail(error);
    }

    const auto now = Clock::now();
    if (!entry->discoveryEnds) {
        entry->discoveryEnds = now + std::chrono::milliseconds(LOOPBACK_DISCOVERY_WAIT_MS);
    }
    // The waits count in whole milliseconds: less than one left is none.
    if (std::chrono::duration_cast<std::chrono::milliseconds>(*entry->discoveryEnds - now) <= 0ms) {
        return Fail(WSAETIMEDOUT_CODE);
    }
    const auto deadline =
        std::min(now + std::chrono::milliseconds(LOOPBACK_ANSWER_WAIT_MS), *entry->discoveryEnds);
    std::unique_ptr<TcpConnection> tcp;
    if (const int code = OpenBy(deadline, tcp); code != 0) {
        // No simulator listening is no IrDA stack to ask; one that does not take the connection in time is a
        // try that timed out.
        return Fail(code == WSAETIMEDOUT_CODE || code == WSAEINTR_CODE ? code : WSAENETDOWN_CODE);
    }
    const std::array<std::uint8_t, 1> request{LOOPBACK_DISCOVERY_REQUEST};
    if (const int code = tcp->SendAll(request); code != 0) {
        return Fail(code);
    }
    std::array<std::uint8_t, 4> word{};
    if (const int code = tcp->ReceiveAll<Clock>(word, deadline, interrupted_); code != 0) {
        return Fail(code);
    }
    if (const int result = static_cast<int>(ReadLittle32(word)); result != 0) {
        return Fail(result);
    }
    if (const int code = tcp->ReceiveAll<Clock>(word, deadline, interrupted_); code != 0) {
        return Fail(code);
    }
    const std::uint32_t count = ReadLittle32(word);
    const std::size_t fitting =
        std::min<std::size_t>(count, (room - DEVICE_LIST_HEADER_SIZE) / DEVICE_RECORD_SIZE);
    // The count goes in last: an answer that breaks off leaves the count the caller set, normally 0.
    std::span<std::uint8_t> records = value.subspan(DEVICE_LIST_HEADER_SIZE, fitting * DEVICE_RECORD_SIZE);
    if (const int code = tcp->ReceiveAll<Clock>(records, deadline, interrupted_); code != 0) {
        return Fail(code);
    }
    std::copy(word.begin(), word.end(), value.begin());
    length = static_cast<int>(DEVICE_LIST_HEADER_SIZE + records.size());
    return Succeed(0);
}

int LoopbackCalls::Connect(SocketHandle s, std::span<const std::uint8_t> address) {
    constexpr std::size_t ADDRESS_SIZE = 32;
    SocketEntry* entry = Find(s);
    if (entry == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    if (entry->tcp) {
        return Fail(WSAEISCONN_CODE);
    }
    if (address.size() != ADDRESS_SIZE) {
        return Fail(WSAEFAULT_CODE);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(LOOPBACK_ANSWER_WAIT_MS);
    std::unique_ptr<TcpConnection> tcp;
    if (const int code = OpenBy(deadline, tcp); code != 0) {
        return Fail(code);
    }
    std::array<std::uint8_t, 1 + ADDRESS_SIZE> request{LOOPBACK_CONNECT_REQUEST};
    std::copy(address.begin(), address.end(), request.begin() + 1);
    if (const int code = tcp->SendAll(request); code != 0) {
        return Fail(code);
    }
    std::array<std::uint8_t, 4> result{};
    if (const int code = tcp->ReceiveAll<Clock>(result, deadline, interrupted_); code != 0) {
        return Fail(code);
    }
    if (const int code = static_cast<int>(ReadLittle32(result)); code != 0) {
        return Fail(code);
    }
    entry->tcp = std::move(tcp);
    return Succeed(0);
}

int LoopbackCalls::Send(SocketHandle s, std::span<const std::uint8_t> bytes) {
    TcpConnection* tcp = Connected(s);
    if (tcp == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    if (const int code = tcp->SendAll(bytes); code != 0) {
        return Fail(code);
    }
    return Succeed(static_cast<int>(bytes.size()));
}

int LoopbackCalls::WaitReadable(SocketHandle s, std::uint32_t timeoutMs) {
    TcpConnection* tcp = Connected(s);
    if (tcp == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    const int ready = TcpWaitReadable(tcp->Native(), timeoutMs);
    if (ready < 0) {
        return Fail(TcpLastError());
    }
    return Succeed(ready);
}

int LoopbackCalls::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    TcpConnection* tcp = Connected(s);
    if (tcp == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    const int received = TcpRecv(tcp->Native(), buffer.data(), buffer.size());
    if (received < 0) {
        return Fail(TcpLastError());
    }
    return Succeed(received);
}

int LoopbackCalls::Shutdown(SocketHandle s, int how) {
    TcpConnection* tcp = Connected(s);
    if (tcp == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    if (TcpShutdown(tcp->Native(), how) != 0) {
        return Fail(TcpLastError());
    }
    return Succeed(0);
}

int LoopbackCalls::CloseSocket(SocketHandle s) {
    if (Find(s) == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    sockets_.erase(s);
    return Succeed(0);
}

}  // namespace qx
