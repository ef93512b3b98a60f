// The loopback emulation's TCP on Winsock, which already speaks in Winsock codes.
#include "loopback/tcp.h"

#include <winsock2.h>

namespace qx {

namespace {

SOCKET Native(TcpSocket s) {
    return static_cast<SOCKET>(s);
}

}  // namespace

TcpLibrary::TcpLibrary() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

TcpLibrary::~TcpLibrary() {
    if (started_) {
        ::WSACleanup();
    }
}

int TcpLastError() {
    return ::WSAGetLastError();
}

TcpSocket TcpStartConnectLoopback(std::uint16_t port, int& error) {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = TcpLastError();
        return NO_TCP_SOCKET;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        error = TcpLastError();
        ::closesocket(s);
        return NO_TCP_SOCKET;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        TcpLastError() != WSAEWOULDBLOCK) {
        error = TcpLastError();
        ::closesocket(s);
        return NO_TCP_SOCKET;
    }
    return static_cast<TcpSocket>(s);
}

int TcpWaitConnected(TcpSocket s, std::uint32_t timeoutMs, int& error) {
    // Winsock reports a connection that failed among the exceptions, not as writable.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Native(s), &writable);
    FD_SET(Native(s), &failed);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int result = ::select(0, nullptr, &writable, &failed, &wait);
    if (result == 0) {
        return 0;
    }
    if (result < 0) {
        error = TcpLastError();
        return -1;
    }
    if (FD_ISSET(Native(s), &failed)) {
        int pending = 0;
        int size = sizeof pending;
        const bool known =
            ::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) == 0 &&
            pending != 0;
        error = known ? pending : WSAECONNREFUSED;
        return -1;
    }
    u_long nonBlocking = 0;
    if (::ioctlsocket(Native(s), FIONBIO, &nonBlocking) != 0) {
        error = TcpLastError();
        return -1;
    }
    return 1;
}

void TcpClose(TcpSocket s) {
    ::closesocket(Native(s));
}

int TcpSend(TcpSocket s, const std::uint8_t* data, std::size_t size) {
    return ::send(Native(s), reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
}

int TcpRecv(TcpSocket s, std::uint8_t* data, std::size_t size) {
    return ::recv(Native(s), reinterpret_cast<char*>(data), static_cast<int>(size), 0);
}

int TcpShutdown(TcpSocket s, int how) {
    return ::shutdown(Native(s), how);
}

int TcpWaitReadable(TcpSocket s, std::uint32_t timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(s), &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int result = ::select(0, &readable, nullptr, nullptr, &wait);
    return result > 0 ? 1 : result;
}

}  // namespace qx
