// The loopback emulation on Winsock's own TCP, where it runs in the real programs: a port nobody listens on
// is refused at once, and a connection that is never answered or never taken ends as soon as the run is
// interrupted. Winsock reports a failed connection among select's exceptions, not as writable, and a
// blocking connect would hold an interruption back for the system's connect time-out of minutes.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "link/irda_link.h"
#include "loopback/loopback_calls.h"
#include "win/winsock_calls.h"

namespace qx {
namespace {

// A TCP port on 127.0.0.1: bound and not listening (every connect refused), or listening and never
// answering, its queue left open or filled so that no connection is taken any more.
class TestPort {
  public:
    enum class Kind { Refusing, Silent, Full };

    explicit TestPort(Kind kind) {
        WSADATA data{};
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        if (kind != Kind::Refusing) {
            ::listen(socket_, kind == Kind::Full ? 0 : 8);
        }
        if (kind == Kind::Full) {
            Fill(address);
        }
    }
    ~TestPort() {
        for (const SOCKET filler : fillers_) {
            ::closesocket(filler);
        }
        ::closesocket(socket_);
        if (started_) {
            ::WSACleanup();
        }
    }
    TestPort(const TestPort&) = delete;
    TestPort& operator=(const TestPort&) = delete;
    std::uint16_t Port() const { return port_; }

  private:
    // Connections until one is left waiting: from then on the queue takes nothing more.
    void Fill(const sockaddr_in& address) {
        for (int i = 0; i < 16; ++i) {
            const SOCKET filler = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            fillers_.push_back(filler);
            u_long nonBlocking = 1;
            ::ioctlsocket(filler, FIONBIO, &nonBlocking);
            ::connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(filler, &writable);
            timeval wait{0, 200000};
            if (::select(0, nullptr, &writable, nullptr, &wait) == 0) {
                return;
            }
        }
    }

    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    std::vector<SOCKET> fillers_;
    std::uint16_t port_ = 0;
};

constexpr std::array<std::uint8_t, ADDRESS_RECORD_SIZE> ADDRESS{26, 0, 0x10, 0x29, 0x3A, 0x4B, 'Q', 'X', '7'};

int Discover(LoopbackCalls& calls, SocketHandle s) {
    DeviceList list;
    int length = static_cast<int>(list.bytes.size());
    return calls.GetSockOpt(s, SOL_IRLMP_LEVEL, IRLMP_ENUMDEVICES_OPTION, list.bytes, length);
}

TEST(LoopbackTcp, APortNobodyListensOnIsRefusedAtOnce) {
    const TestPort refusing(TestPort::Kind::Refusing);
    WinsockCalls platform;
    LoopbackCalls calls(refusing.Port(), platform);
    const SocketHandle s = calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    EXPECT_EQ(Discover(calls, s), SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), WSAENETDOWN_CODE) << "no simulator is no IrDA stack";
    EXPECT_EQ(calls.Connect(s, ADDRESS), SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), WSAECONNREFUSED_CODE);
}

TEST(LoopbackTcp, AnInterruptionEndsATryThatIsNeverAnsweredOrNeverTaken) {
    for (const TestPort::Kind kind : {TestPort::Kind::Silent, TestPort::Kind::Full}) {
        SCOPED_TRACE(kind == TestPort::Kind::Silent ? "never answered" : "never taken");
        const TestPort port(kind);
        WinsockCalls platform;
        LoopbackCalls calls(port.Port(), platform);
        const SocketHandle s = calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
        std::thread interrupter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            calls.Interrupt();
        });
        const int result = calls.Connect(s, ADDRESS);
        interrupter.join();
        EXPECT_EQ(result, SOCKET_ERROR_RESULT);
        EXPECT_EQ(calls.WSAGetLastError(), WSAEINTR_CODE);
        EXPECT_EQ(Discover(calls, s), SOCKET_ERROR_RESULT);
        EXPECT_EQ(calls.WSAGetLastError(), WSAEINTR_CODE);
    }
}

}  // namespace
}  // namespace qx
