#include "link/loopback_calls.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qx {

namespace {

// The transport shim: the few TCP calls the emulation needs, on Winsock or POSIX sockets. Everything above it
// is the same in both builds.
#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket NO_SOCKET = INVALID_SOCKET;

// Winsock already speaks in Winsock codes.
int LastNetworkError() {
    return ::WSAGetLastError();
}
void CloseNative(NativeSocket s) {
    ::closesocket(s);
}
int SendNative(NativeSocket s, const std::uint8_t* data, std::size_t size) {
    return ::send(s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
}
int RecvNative(NativeSocket s, std::uint8_t* data, std::size_t size) {
    return ::recv(s, reinterpret_cast<char*>(data), static_cast<int>(size), 0);
}
int ShutdownNative(NativeSocket s, int how) {
    return ::shutdown(s, how);
}
// 1 readable, 0 not within the wait, -1 error.
int WaitNative(NativeSocket s, std::uint32_t timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int result = ::select(0, &readable, nullptr, nullptr, &wait);
    return result > 0 ? 1 : result;
}
#else
using NativeSocket = int;
constexpr NativeSocket NO_SOCKET = -1;

constexpr int WSAEINTR_CODE = 10004;
constexpr int WSAEWOULDBLOCK_CODE = 10035;
constexpr int WSAECONNABORTED_CODE = 10053;
constexpr int WSAESHUTDOWN_CODE = 10058;

// POSIX errors in the Winsock codes the link and its callers know.
int WinsockCodeFor(int error) {
    switch (error) {
        case EINTR:
            return WSAEINTR_CODE;
        case EBADF:
            return WSAENOTSOCK_CODE;
        case EFAULT:
            return WSAEFAULT_CODE;
        case EINVAL:
            return WSAEINVAL_CODE;
        case EAGAIN:
            return WSAEWOULDBLOCK_CODE;
        case ENOTSOCK:
            return WSAENOTSOCK_CODE;
        case ENETDOWN:
            return WSAENETDOWN_CODE;
        case ECONNABORTED:
            return WSAECONNABORTED_CODE;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET_CODE;
        case EISCONN:
            return WSAEISCONN_CODE;
        case ENOTCONN:
            return WSAENOTCONN_CODE;
        case ESHUTDOWN:
            return WSAESHUTDOWN_CODE;
        case ETIMEDOUT:
            return WSAETIMEDOUT_CODE;
        case ECONNREFUSED:
            return WSAECONNREFUSED_CODE;
        default:
            return WSAENETDOWN_CODE;
    }
}
int LastNetworkError() {
    return WinsockCodeFor(errno);
}
void CloseNative(NativeSocket s) {
    ::close(s);
}
int SendNative(NativeSocket s, const std::uint8_t* data, std::size_t size) {
    ssize_t sent;
    do {
        sent = ::send(s, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<int>(sent);
}
int RecvNative(NativeSocket s, std::uint8_t* data, std::size_t size) {
    ssize_t received;
    do {
        received = ::recv(s, data, size, 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<int>(received);
}
int ShutdownNative(NativeSocket s, int how) {
    const int posixHow = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(s, posixHow);
}
int WaitNative(NativeSocket s, std::uint32_t timeoutMs) {
    pollfd entry{s, POLLIN, 0};
    int result;
    do {
        result = ::poll(&entry, 1, static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF)));
    } while (result < 0 && errno == EINTR);
    return result > 0 ? 1 : result;
}
#endif

using AnswerClock = std::chrono::steady_clock;

// One emulated operation waits at most LOOPBACK_ANSWER_WAIT_MS for the whole of the simulator's answer.
AnswerClock::time_point AnswerDeadline() {
    return AnswerClock::now() + std::chrono::milliseconds(LOOPBACK_ANSWER_WAIT_MS);
}

// A TCP connection to the simulator; the error code of a failed open is in `error`.
NativeSocket OpenLoopbackConnection(std::uint16_t port, int& error) {
    const NativeSocket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == NO_SOCKET) {
        error = LastNetworkError();
        return NO_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = LastNetworkError();
        CloseNative(s);
        return NO_SOCKET;
    }
    return s;
}

std::uint32_t ReadLittleEndian32(std::span<const std::uint8_t, 4> bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

}  // namespace

#ifdef _WIN32
// The emulation's own start of Winsock, independent of the link's start and release of the socket library.
class LoopbackCalls::NetworkLibrary {
  public:
    NetworkLibrary() {
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~NetworkLibrary() {
        if (started_) {
            ::WSACleanup();
        }
    }
    NetworkLibrary(const NetworkLibrary&) = delete;
    NetworkLibrary& operator=(const NetworkLibrary&) = delete;

  private:
    bool started_ = false;
};
#else
class LoopbackCalls::NetworkLibrary {};
#endif

class LoopbackCalls::TcpConnection {
  public:
    explicit TcpConnection(NativeSocket s) : socket_(s) {}
    ~TcpConnection() { CloseNative(socket_); }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    NativeSocket Native() const { return socket_; }

    // 0, or the code of what went wrong.
    int SendAll(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const int sent = SendNative(socket_, bytes.data(), bytes.size());
            if (sent < 0) {
                return LastNetworkError();
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
                WaitNative(socket_, static_cast<std::uint32_t>(std::max<long long>(left.count(), 0)));
            if (ready < 0) {
                return LastNetworkError();
            }
            if (ready == 0) {
                return WSAETIMEDOUT_CODE;
            }
            const int received = RecvNative(socket_, bytes.data(), bytes.size());
            if (received < 0) {
                return LastNetworkError();
            }
            if (received == 0) {
                return WSAECONNRESET_CODE;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(received));
        }
        return 0;
    }

  private:
    NativeSocket socket_;
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
    : port_(port), platform_(platform), network_(std::make_unique<NetworkLibrary>()) {}

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
    constexpr int IRDA_FAMILY = 26;
    constexpr int STREAM_TYPE = 1;
    if (family != IRDA_FAMILY || type != STREAM_TYPE || protocol != 0) {
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
    constexpr int IRLMP_LEVEL = 255;
    constexpr int ENUMDEVICES_OPTION = 16;
    constexpr std::size_t COUNT_SIZE = 4;
    constexpr std::size_t RECORD_SIZE = 29;
    if (Find(s) == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    if (level != IRLMP_LEVEL || option != ENUMDEVICES_OPTION) {
        return Fail(WSAENOPROTOOPT_CODE);
    }
    const std::size_t room = std::min(value.size(), static_cast<std::size_t>(std::max(length, 0)));
    if (room < COUNT_SIZE) {
        return Fail(WSAEFAULT_CODE);
    }

    int error = 0;
    const NativeSocket native = OpenLoopbackConnection(port_, error);
    if (native == NO_SOCKET) {
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
    if (const int result = static_cast<int>(ReadLittleEndian32(word)); result != 0) {
        return Fail(result);
    }
    if (const int code = tcp.ReceiveAll(word, deadline); code != 0) {
        return Fail(code);
    }
    const std::uint32_t count = ReadLittleEndian32(word);
    const std::size_t fitting = std::min<std::size_t>(count, (room - COUNT_SIZE) / RECORD_SIZE);
    // The count goes in last: an answer that breaks off leaves the count the caller set, normally 0.
    std::span<std::uint8_t> records = value.subspan(COUNT_SIZE, fitting * RECORD_SIZE);
    if (const int code = tcp.ReceiveAll(records, deadline); code != 0) {
        return Fail(code);
    }
    std::copy(word.begin(), word.end(), value.begin());
    length = static_cast<int>(COUNT_SIZE + records.size());
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
    const NativeSocket native = OpenLoopbackConnection(port_, error);
    if (native == NO_SOCKET) {
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
    if (const int code = static_cast<int>(ReadLittleEndian32(result)); code != 0) {
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
    const int ready = WaitNative(tcp->Native(), timeoutMs);
    if (ready < 0) {
        return Fail(LastNetworkError());
    }
    return Succeed(ready);
}

int LoopbackCalls::Recv(SocketHandle s, std::span<std::uint8_t> buffer) {
    TcpConnection* tcp = Connected(s);
    if (tcp == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    const int received = RecvNative(tcp->Native(), buffer.data(), buffer.size());
    if (received < 0) {
        return Fail(LastNetworkError());
    }
    return Succeed(received);
}

int LoopbackCalls::Shutdown(SocketHandle s, int how) {
    TcpConnection* tcp = Connected(s);
    if (tcp == nullptr) {
        return SOCKET_ERROR_RESULT;
    }
    if (ShutdownNative(tcp->Native(), how) != 0) {
        return Fail(LastNetworkError());
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
