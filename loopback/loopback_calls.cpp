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

using AnswerClock = std::chrono::steady_clock;

// One emulated operation waits at most LOOPBACK_ANSWER_WAIT_MS for the whole of the simulator's answer.
AnswerClock::time_point AnswerDeadline() {
    return AnswerClock::now() + std::chrono::milliseconds(LOOPBACK_ANSWER_WAIT_MS);
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

    // Fills `bytes` by `deadline`: 0, WSAETIMEDOUT, WSAECONNRESET when the simulator ended the connection
    // early, or the platform's code.
    int ReceiveAll(std::span<std::uint8_t> bytes, AnswerClock::time_point deadline) {
        using Clock = AnswerClock;
        while (!bytes.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const int ready =
                TcpWaitReadable(socket_, static_cast<std::uint32_t>(std::max<long long>(left.count(), 0)));
            if (ready < 0) {
                return TcpLastError();
            }
            if (ready == 0) {
                return WSAETIMEDOUT_CODE;
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
    if (!*entry) {
        lastError_ = WSAENOTCONN_CODE;
        return nullptr;
    }
    return entry->get();
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
    sockets_.emplace(handle, nullptr);
    return handle;
}

int LoopbackCalls::GetSockOpt(SocketHandle s, int level, int option, std::span<std::uint8_t> value,
                              int& length) {
    if (Find(s) == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    std::size_t room = 0;
    if (const int error = CheckDeviceListRequest(level, option, value.size(), length, room); error != 0) {
        return Fail(error);
    }

    int error = 0;
    const TcpSocket native = TcpConnectLoopback(port_, error);
    if (native == NO_TCP_SOCKET) {
        // No simulator listening is no IrDA stack to ask.
        return Fail(WSAENETDOWN_CODE);
    }
    TcpConnection tcp(native);
    const auto deadline = AnswerDeadline();
    const std::array<std::uint8_t, 1> request{LOOPBACK_DISCOVERY_REQUEST};
    if (const int code = tcp.SendAll(request); code != 0) {
        return Fail(code);
    }
    std::array<std::uint8_t, 4> word{};
    if (const int code = tcp.ReceiveAll(word, deadline); code != 0) {
        return Fail(code);
    }
    if (const int result = static_cast<int>(ReadLittle32(word)); result != 0) {
        return Fail(result);
    }
    if (const int code = tcp.ReceiveAll(word, deadline); code != 0) {
        return Fail(code);
    }
    const std::uint32_t count = ReadLittle32(word);
    const std::size_t fitting =
        std::min<std::size_t>(count, (room - DEVICE_LIST_HEADER_SIZE) / DEVICE_RECORD_SIZE);
    // The count goes in last: an answer that breaks off leaves the count the caller set, normally 0.
    std::span<std::uint8_t> records = value.subspan(DEVICE_LIST_HEADER_SIZE, fitting * DEVICE_RECORD_SIZE);
    if (const int code = tcp.ReceiveAll(records, deadline); code != 0) {
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
    if (*entry) {
        return Fail(WSAEISCONN_CODE);
    }
    if (address.size() != ADDRESS_SIZE) {
        return Fail(WSAEFAULT_CODE);
    }
    int error = 0;
    const TcpSocket native = TcpConnectLoopback(port_, error);
    if (native == NO_TCP_SOCKET) {
        return Fail(error);
    }
    auto tcp = std::make_unique<TcpConnection>(native);
    const auto deadline = AnswerDeadline();
    std::array<std::uint8_t, 1 + ADDRESS_SIZE> request{LOOPBACK_CONNECT_REQUEST};
    std::copy(address.begin(), address.end(), request.begin() + 1);
    if (const int code = tcp->SendAll(request); code != 0) {
        return Fail(code);
    }
    std::array<std::uint8_t, 4> result{};
    if (const int code = tcp->ReceiveAll(result, deadline); code != 0) {
        return Fail(code);
    }
    if (const int code = static_cast<int>(ReadLittle32(result)); code != 0) {
        return Fail(code);
    }
    *entry = std::move(tcp);
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
