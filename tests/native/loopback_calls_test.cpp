// The loopback emulation's own calls against the simulator: discovery into the caller's buffer, connect
// results, error codes, and the port taken from the environment.
#include "loopback/loopback_calls.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/irda_link.h"
#include "support/posix_platform_calls.h"
#include "support/sim_process.h"

namespace qxtest {
namespace {

using qx::LoopbackCalls;

constexpr int IRDA = 26;
constexpr int STREAM = 1;
constexpr int SOL_IRLMP = 255;
constexpr int ENUMDEVICES = 16;

std::uint32_t Little32(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

struct PortCase {
    const char* text;
    std::optional<std::uint16_t> port;
};

TEST(LoopbackPort, OnlyAPlainDecimalPortSelectsTheEmulation) {
    const PortCase cases[] = {
        {"1", 1},
        {"65535", 65535},
        {"4242", 4242},
        {"08080", 8080},
        {nullptr, std::nullopt},
        {"", std::nullopt},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"-1", std::nullopt},
        {"+80", std::nullopt},
        {" 80", std::nullopt},
        {"80 ", std::nullopt},
        {"8o", std::nullopt},
        {"0x50", std::nullopt},
        {"4294967377", std::nullopt},
    };
    for (const PortCase& c : cases) {
        EXPECT_EQ(qx::ParseLoopbackPort(c.text), c.port) << (c.text ? c.text : "(unset)");
    }
}

TEST(LoopbackPort, ReadFromTheEnvironment) {
    ::setenv(qx::LOOPBACK_PORT_VARIABLE, "4242", 1);
    EXPECT_EQ(qx::LoopbackPortFromEnvironment(), std::optional<std::uint16_t>(4242));
    ::setenv(qx::LOOPBACK_PORT_VARIABLE, "irda", 1);
    EXPECT_EQ(qx::LoopbackPortFromEnvironment(), std::nullopt);
    ::unsetenv(qx::LOOPBACK_PORT_VARIABLE);
    EXPECT_EQ(qx::LoopbackPortFromEnvironment(), std::nullopt);
}

TEST(LoopbackCalls, SocketsAreFreshNonZeroHandlesOfTheIrdaStreamKindOnly) {
    PosixPlatformCalls platform;
    LoopbackCalls calls(RefusingPort().Port(), platform);
    const qx::SocketHandle first = calls.Socket(IRDA, STREAM, 0);
    const qx::SocketHandle second = calls.Socket(IRDA, STREAM, 0);
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, qx::INVALID_SOCKET_HANDLE);
    EXPECT_NE(first, second);
    EXPECT_EQ(calls.CloseSocket(first), 0);
    EXPECT_NE(calls.Socket(IRDA, STREAM, 0), first) << "a closed handle is not handed out again";
    EXPECT_EQ(calls.Socket(2, STREAM, 0), qx::INVALID_SOCKET_HANDLE);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAEAFNOSUPPORT_CODE);
}

TEST(LoopbackCalls, CallsOnHandlesThatAreNotOpenOrNotConnectedFail) {
    PosixPlatformCalls platform;
    LoopbackCalls calls(RefusingPort().Port(), platform);
    std::array<std::uint8_t, 8> buffer{};
    const qx::SocketHandle s = calls.Socket(IRDA, STREAM, 0);
    const qx::SocketHandle closed = calls.Socket(IRDA, STREAM, 0);
    calls.CloseSocket(closed);

    struct Case {
        const char* call;
        std::function<int()> run;
        int error;
    };
    const Case cases[] = {
        {"send unconnected", [&] { return calls.Send(s, buffer); }, qx::WSAENOTCONN_CODE},
        {"recv unconnected", [&] { return calls.Recv(s, buffer); }, qx::WSAENOTCONN_CODE},
        {"wait unconnected", [&] { return calls.WaitReadable(s, 0); }, qx::WSAENOTCONN_CODE},
        {"shutdown unconnected", [&] { return calls.Shutdown(s, 1); }, qx::WSAENOTCONN_CODE},
        {"send invalid", [&] { return calls.Send(qx::INVALID_SOCKET_HANDLE, buffer); }, qx::WSAENOTSOCK_CODE},
        {"close closed", [&] { return calls.CloseSocket(closed); }, qx::WSAENOTSOCK_CODE},
        {"connect closed", [&] { return calls.Connect(closed, std::array<std::uint8_t, 32>{}); },
         qx::WSAENOTSOCK_CODE},
        {"discovery closed",
         [&] {
             int length = 8;
             return calls.GetSockOpt(closed, SOL_IRLMP, ENUMDEVICES, buffer, length);
         },
         qx::WSAENOTSOCK_CODE},
        {"other option",
         [&] {
             int length = 8;
             return calls.GetSockOpt(s, SOL_IRLMP, 17, buffer, length);
         },
         qx::WSAENOPROTOOPT_CODE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.run(), qx::SOCKET_ERROR_RESULT) << c.call;
        EXPECT_EQ(calls.WSAGetLastError(), c.error) << c.call;
    }
}

TEST(LoopbackCalls, DiscoveryWithoutASimulatorFailsWithNetworkDown) {
    PosixPlatformCalls platform;
    RefusingPort refusing;
    LoopbackCalls calls(refusing.Port(), platform);
    const qx::SocketHandle s = calls.Socket(IRDA, STREAM, 0);
    std::array<std::uint8_t, 355> list{};
    int length = static_cast<int>(list.size());
    EXPECT_EQ(calls.GetSockOpt(s, SOL_IRLMP, ENUMDEVICES, list, length), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAENETDOWN_CODE);
}

// The emulation towards a port, with one socket opened as a run opens it.
struct Emulation {
    explicit Emulation(std::uint16_t port) : calls(port, platform), s(calls.Socket(IRDA, STREAM, 0)) {}
    // One discovery try into a full-size list.
    int Discover() {
        std::array<std::uint8_t, 355> list{};
        int length = static_cast<int>(list.size());
        return calls.GetSockOpt(s, SOL_IRLMP, ENUMDEVICES, list, length);
    }

    PosixPlatformCalls platform;
    LoopbackCalls calls;
    qx::SocketHandle s;
};

// A try that the simulator never answers, or whose TCP connection it never takes, ends with its own wait
// (LOOPBACK_ANSWER_WAIT_MS), as timed out, instead of the system's connect time-out of minutes. Discovery and
// connect open and wait the same way.
TEST(LoopbackCalls, ATryThatIsNeverAnsweredOrNeverTakenTimesOut) {
    struct Case {
        const char* name;
        SilentPort::Queue queue;
        bool discovery;  // else connect
    };
    for (const Case& c : {Case{"discovery, accepted and never answered", SilentPort::Queue::Open, true},
                          Case{"connect, never taken", SilentPort::Queue::Full, false}}) {
        SilentPort silent(c.queue);
        ASSERT_NE(silent.Port(), 0) << c.name;
        Emulation e(silent.Port());
        const std::array<std::uint8_t, 32> address{26,  0,   0x10, 0x29, 0x3A, 0x4B, 'Q',
                                                   'X', '7', '7',  '1',  '0',  'Z'};
        EXPECT_EQ(c.discovery ? e.Discover() : e.calls.Connect(e.s, address), qx::SOCKET_ERROR_RESULT)
            << c.name;
        EXPECT_EQ(e.calls.WSAGetLastError(), qx::WSAETIMEDOUT_CODE) << c.name;
    }
}

// Ctrl+C or a closing console: the try under way ends at once, whatever it waits for, and no later try or
// connect starts.
TEST(LoopbackCalls, AnInterruptionEndsTheTryUnderWayAndRefusesTheNext) {
    for (const SilentPort::Queue queue : {SilentPort::Queue::Open, SilentPort::Queue::Full}) {
        SilentPort silent(queue);
        ASSERT_NE(silent.Port(), 0);
        Emulation e(silent.Port());
        std::thread interrupter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            e.calls.Interrupt();
        });
        const int result = e.Discover();
        interrupter.join();
        EXPECT_EQ(result, qx::SOCKET_ERROR_RESULT);
        EXPECT_EQ(e.calls.WSAGetLastError(), qx::WSAEINTR_CODE);
        EXPECT_EQ(e.calls.Connect(e.s, std::array<std::uint8_t, 32>{26}), qx::SOCKET_ERROR_RESULT);
        EXPECT_EQ(e.calls.WSAGetLastError(), qx::WSAEINTR_CODE);
    }
}

// All the tries of one discovery share LOOPBACK_DISCOVERY_WAIT_MS: once it is spent, the tries left fail at
// once without a connection, so the link's 49 tries against a hung simulator end in seconds, not minutes.
TEST(LoopbackCalls, TheTriesOfOneDiscoveryShareOneBound) {
    SilentPort silent(SilentPort::Queue::Open);
    ASSERT_NE(silent.Port(), 0);
    Emulation e(silent.Port());
    int connections = 0;
    for (int i = 0; i < qx::DISCOVERY_TRIES; ++i) {
        ASSERT_EQ(e.Discover(), qx::SOCKET_ERROR_RESULT);
        ASSERT_EQ(e.calls.WSAGetLastError(), qx::WSAETIMEDOUT_CODE);
        connections += silent.TakeQueued();
    }
    // Each try that waited waited its own LOOPBACK_ANSWER_WAIT_MS, so at most two fit in the bound (fewer when a
    // loaded machine stretches a wait), and the first always gets its connection.
    EXPECT_GE(connections, 1);
    EXPECT_LE(connections, static_cast<int>(qx::LOOPBACK_DISCOVERY_WAIT_MS / qx::LOOPBACK_ANSWER_WAIT_MS));

    // A new socket is a new discovery, with a bound of its own.
    e.s = e.calls.Socket(IRDA, STREAM, 0);
    EXPECT_EQ(e.Discover(), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(silent.TakeQueued(), 1);
}

TEST(LoopbackCalls, DiscoveryCopiesTheCountAndTheRecordsThatFit) {
    std::vector<std::string> args;
    for (int i = 0; i < 14; ++i) {
        args.insert(args.end(), {"--device", "DEV" + std::to_string(i) + ":" + std::to_string(100 + i)});
    }
    SimProcess sim(args);
    ASSERT_NE(sim.Port(), 0);
    PosixPlatformCalls platform;
    LoopbackCalls calls(sim.Port(), platform);
    const qx::SocketHandle s = calls.Socket(IRDA, STREAM, 0);

    struct Case {
        int length;
        int records;
    };
    for (const Case c : {Case{355, 12}, Case{4 + 29 * 2 + 28, 2}, Case{4, 0}}) {
        std::array<std::uint8_t, 360> list;
        list.fill(0xEE);
        int length = c.length;
        ASSERT_EQ(calls.GetSockOpt(s, SOL_IRLMP, ENUMDEVICES, std::span(list).first(355), length), 0)
            << c.length;
        EXPECT_EQ(calls.WSAGetLastError(), 0);
        EXPECT_EQ(Little32(list.data()), 14u) << "the count as the simulator gave it";
        EXPECT_EQ(length, 4 + 29 * c.records);
        for (int i = 0; i < c.records; ++i) {
            const std::uint8_t* record = list.data() + 4 + 29 * i;
            EXPECT_EQ(Little32(record), static_cast<std::uint32_t>(100 + i));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(record + 4)), "DEV" + std::to_string(i));
        }
        EXPECT_EQ(list[static_cast<std::size_t>(4 + 29 * c.records)], 0xEE)
            << "nothing beyond the records that fit";
    }
    int tooShort = 3;
    std::array<std::uint8_t, 355> list{};
    EXPECT_EQ(calls.GetSockOpt(s, SOL_IRLMP, ENUMDEVICES, list, tooShort), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAEFAULT_CODE);
}

TEST(LoopbackCalls, DiscoveryErrorFromTheSimulatorIsTheTrysError) {
    SimProcess sim({"--discovery-error", "10060:1"});
    ASSERT_NE(sim.Port(), 0);
    PosixPlatformCalls platform;
    LoopbackCalls calls(sim.Port(), platform);
    const qx::SocketHandle s = calls.Socket(IRDA, STREAM, 0);
    std::array<std::uint8_t, 355> list{};
    int length = 355;
    EXPECT_EQ(calls.GetSockOpt(s, SOL_IRLMP, ENUMDEVICES, list, length), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAETIMEDOUT_CODE);
    EXPECT_EQ(Little32(list.data()), 0u) << "a failed try leaves the caller's count";
    EXPECT_EQ(calls.GetSockOpt(s, SOL_IRLMP, ENUMDEVICES, list, length), 0);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAETIMEDOUT_CODE)
        << "as on Winsock, a try that works leaves the earlier error where it was";
    EXPECT_EQ(Little32(list.data()), 1u);
}

TEST(LoopbackCalls, ConnectCarriesTheAddressRecordAndItsResult) {
    SimProcess sim({"--connect-error", "10060:1"});
    ASSERT_NE(sim.Port(), 0);
    PosixPlatformCalls platform;
    LoopbackCalls calls(sim.Port(), platform);
    const qx::SocketHandle s = calls.Socket(IRDA, STREAM, 0);
    std::array<std::uint8_t, 32> address{26, 0, 0x10, 0x29, 0x3A, 0x4B, 'Q', 'X', '7', '7', '1', '0', 'Z'};

    EXPECT_EQ(calls.Connect(s, address), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAETIMEDOUT_CODE);
    EXPECT_EQ(calls.Connect(s, std::span(address).first(31)), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAEFAULT_CODE);
    ASSERT_EQ(calls.Connect(s, address), 0);
    EXPECT_EQ(calls.Connect(s, address), qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAEISCONN_CODE);

    // The frames go raw over the same connection.
    const std::array<std::uint8_t, 18> greeting = {0x80, 0x00, 0x12, 0x10, 0x00, 0x08, 0x00, 0x70, 0x00,
                                                   0x0B, 'Q',  'X',  '7',  '7',  '1',  '0',  'Z',  '_'};
    EXPECT_EQ(calls.Send(s, greeting), 18);
    ASSERT_EQ(calls.WaitReadable(s, 5000), 1);
    std::array<std::uint8_t, 12> reply{};
    std::size_t got = 0;
    while (got < reply.size() && calls.WaitReadable(s, 5000) == 1) {
        const int n = calls.Recv(s, std::span(reply).subspan(got));
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), FromHex("A0 00 0C 10 00 00 40 F0 00 00 77 10"));
    EXPECT_EQ(calls.Shutdown(s, 1), 0);
    EXPECT_EQ(calls.CloseSocket(s), 0);

    const auto record = sim.Stop();
    ASSERT_EQ(record["connections"].size(), 2u);
    EXPECT_EQ(FromHex(record["connections"][1]["address"]), Bytes(address.begin(), address.end()));
    EXPECT_EQ(record["connections"][1]["received"][0],
              "80 00 12 10 00 08 00 70 00 0B 51 58 37 37 31 30 5A 5F");
}

TEST(LoopbackCalls, AConnectionTheSimulatorResetFailsWithConnectionReset) {
    SimProcess sim({"--read-fault", "reset"});
    ASSERT_NE(sim.Port(), 0);
    PosixPlatformCalls platform;
    LoopbackCalls calls(sim.Port(), platform);
    const qx::SocketHandle s = calls.Socket(IRDA, STREAM, 0);
    const std::array<std::uint8_t, 32> address{26,  0,   0x10, 0x29, 0x3A, 0x4B, 'Q',
                                               'X', '7', '7',  '1',  '0',  'Z'};
    ASSERT_EQ(calls.Connect(s, address), 0);
    calls.Send(s, FromHex("80 00 12 10 00 08 00 70 00 0B 51 58 37 37 31 30 5A 5F"));
    std::array<std::uint8_t, 12> reply{};
    std::size_t got = 0;
    while (got < reply.size() && calls.WaitReadable(s, 5000) == 1) {
        got += static_cast<std::size_t>(calls.Recv(s, std::span(reply).subspan(got)));
    }
    calls.Send(s, FromHex("83 00 05 B1 D3"));
    // Whatever of the half reply arrives, the connection then reports its reset.
    int result = 0;
    for (int i = 0; i < 10 && result >= 0; ++i) {
        if (calls.WaitReadable(s, 5000) != 1) {
            break;
        }
        result = calls.Recv(s, reply);
        if (result == 0) {
            break;
        }
    }
    EXPECT_EQ(result, qx::SOCKET_ERROR_RESULT);
    EXPECT_EQ(calls.WSAGetLastError(), qx::WSAECONNRESET_CODE);
}

}  // namespace
}  // namespace qxtest
