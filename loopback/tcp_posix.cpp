// The loopback emulation's TCP on POSIX sockets, for the native tests and the simulator's own checks; POSIX
// errors are given as the Winsock codes the link and its callers know.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "link/socket_calls.h"
#include "loopback/tcp.h"

namespace qx {

namespace {

int Native(TcpSocket s) {
    return static_cast<int>(s);
}

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
}  // namespace

TcpLibrary::TcpLibrary() = default;
TcpLibrary::~TcpLibrary() = default;

int TcpLastError() {
    return WinsockCodeFor(errno);
}

void TcpClose(TcpSocket s) {
    ::close(Native(s));
}

int TcpSend(TcpSocket s, const std::uint8_t* data, std::size_t size) {
    ssize_t sent;
    do {
        sent = ::send(Native(s), data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<int>(sent);
}

int TcpRecv(TcpSocket s, std::uint8_t* data, std::size_t size) {
    ssize_t received;
    do {
        received = ::recv(Native(s), data, size, 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<int>(received);
}

int TcpShutdown(TcpSocket s, int how) {
    const int posixHow = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(Native(s), posixHow);
}

int TcpWaitReadable(TcpSocket s, std::uint32_t timeoutMs) {
    pollfd entry{Native(s), POLLIN, 0};
    int result;
    do {
        result = ::poll(&entry, 1, static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF)));
    } while (result < 0 && errno == EINTR);
    return result > 0 ? 1 : result;
}

TcpSocket TcpStartConnectLoopback(std::uint16_t port, int& error) {
    const int s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s < 0) {
        error = TcpLastError();
        return NO_TCP_SOCKET;
    }
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = TcpLastError();
        ::close(s);
        return NO_TCP_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        error = TcpLastError();
        ::close(s);
        return NO_TCP_SOCKET;
    }
    return static_cast<TcpSocket>(s);
}

int TcpWaitConnected(TcpSocket s, std::uint32_t timeoutMs, int& error) {
    pollfd entry{Native(s), POLLOUT, 0};
    int result;
    do {
        result = ::poll(&entry, 1, static_cast<int>(std::min<std::uint32_t>(timeoutMs, 0x7FFFFFFF)));
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return 0;
    }
    int pending = 0;
    socklen_t size = sizeof pending;
    if (result < 0 || ::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
        error = TcpLastError();
        return -1;
    }
    if (pending != 0) {
        error = WinsockCodeFor(pending);
        return -1;
    }
    const int flags = ::fcntl(Native(s), F_GETFL);
    if (flags < 0 || ::fcntl(Native(s), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = TcpLastError();
        return -1;
    }
    return 1;
}

}  // namespace qx
