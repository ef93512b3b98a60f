#include "link/irda_link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/device_frames.h"
#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;

TEST(IrdaLinkStart, StartsTheLibraryAndOpensAnIrdaStreamSocket) {
    ScriptedInstrument instrument;
    IrdaLink link(instrument);
    AddressRecord address{};
    EXPECT_EQ(link.StartLink(address), LINK_STARTED);
    EXPECT_EQ(address[0], 26);
    EXPECT_EQ(address[1], 0);
    EXPECT_EQ(link.Handle(), ScriptedInstrument::SOCKET_VALUE);
    EXPECT_THAT(instrument.calls, ElementsAre("WSAStartup 257", "socket 26 1 0", "LoadHookLibrary"));
}

TEST(IrdaLinkStart, LibraryThatWillNotStartOpensNoSocket) {
    ScriptedInstrument instrument;
    instrument.startupError = 10091;  // WSASYSNOTREADY
    IrdaLink link(instrument);
    AddressRecord address{};
    EXPECT_EQ(link.StartLink(address), LINK_NO_SOCKETS);
    EXPECT_FALSE(link.HasLink());
    EXPECT_EQ(instrument.CountCalls("socket"), 0);
}

TEST(IrdaLinkStart, FailedSocketStillCountsAsALinkAndFailsAtDiscovery) {
    ScriptedInstrument instrument;
    instrument.socketFails = true;
    IrdaLink link(instrument);
    AddressRecord address{};
    DeviceList list{};
    EXPECT_EQ(link.StartLink(address), LINK_STARTED);
    EXPECT_EQ(link.Handle(), INVALID_SOCKET_HANDLE);
    EXPECT_EQ(instrument.CountCalls("LoadHookLibrary"), 0) << "no socket to hand to the hook";
    EXPECT_EQ(link.EnumerateDevices(list), WSAENOTSOCK_CODE);
    // Closing it fails and leaves everything as it was.
    EXPECT_EQ(link.CloseLink(), WSAENOTSOCK_CODE);
    EXPECT_EQ(link.Handle(), INVALID_SOCKET_HANDLE);
    EXPECT_EQ(instrument.cleanups, 0);
    EXPECT_TRUE(instrument.pauses.size() == DISCOVERY_TRIES) << "only discovery's own pauses";
}

TEST(IrdaLinkHook, LoadedUntilItSucceedsThenKeptAndItsEntryLookedUpEachTime) {
    ScriptedInstrument instrument;
    IrdaLink link(instrument);
    AddressRecord address{};
    link.StartLink(address);  // no library yet
    instrument.hookModule = 0x5000;
    instrument.hookEntry = 0x5010;
    link.StartLink(address);    // loads it and calls the entry
    instrument.hookModule = 0;  // a second load would fail now: the first stays in use
    instrument.hookEntry = 0;   // the entry is gone: looked up again, not called
    link.StartLink(address);
    EXPECT_EQ(instrument.CountCalls("LoadHookLibrary"), 2);
    EXPECT_EQ(instrument.CountCalls("GetHookEntry 20480"), 2);
    EXPECT_THAT(instrument.hookCalls, ElementsAre(ScriptedInstrument::SOCKET_VALUE));
}

struct DiscoveryCase {
    const char* name;
    std::vector<Device> devices;
    int failures;
    int result;
    int tries;
    int pauses;
    int hookLoadError = 0;  // what a failed hook load left in the last error before discovery
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const DiscoveryCase& c, std::ostream* os) {
    *os << c.name;
}

class DiscoveryTest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryTest, TriesUpTo49TimesWithAPauseAfterEachFailure) {
    const auto& c = GetParam();
    ScriptedInstrument instrument;
    instrument.devices = c.devices;
    instrument.discoveryFailures = c.failures;
    instrument.discoveryError = WSAETIMEDOUT_CODE;
    instrument.hookLoadError = c.hookLoadError;
    IrdaLink link(instrument);
    AddressRecord address{};
    DeviceList list{};
    link.StartLink(address);
    EXPECT_EQ(link.EnumerateDevices(list), c.result);
    EXPECT_EQ(instrument.discoveryTries, c.tries);
    EXPECT_EQ(static_cast<int>(instrument.pauses.size()), c.pauses);
    for (auto pause : instrument.pauses) {
        EXPECT_EQ(pause, DISCOVERY_PAUSE_MS);
    }
    EXPECT_EQ(instrument.CountCalls("getsockopt 255 16 355"), c.tries)
        << "the length is 355 before every try";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"one_device", {{1, "QX"}}, 0, LINK_OK, 1, 0},
        DiscoveryCase{"none_in_range", {}, 0, ENUM_NO_DEVICES, 1, 0},
        DiscoveryCase{"fails_every_try", {{1, "QX"}}, 1000, WSAETIMEDOUT_CODE, 49, 49},
        // The fake, like the platform, keeps its last error through later successes: after a
        // successful try only the count decides, whatever the error slot still holds.
        DiscoveryCase{"fails_then_finds", {{1, "QX"}}, 3, LINK_OK, 4, 3},
        DiscoveryCase{"fails_then_none_in_range", {}, 3, ENUM_NO_DEVICES, 4, 3},
        // SockDll.dll absent: the failed load leaves 126 (module not found) on the thread.
        DiscoveryCase{"hook_load_error_then_finds", {{1, "QX"}}, 0, LINK_OK, 1, 0, 126},
        DiscoveryCase{"hook_load_error_then_none_in_range", {}, 0, ENUM_NO_DEVICES, 1, 0, 126},
        // A failed last try has an error of its own, and that one is the result.
        DiscoveryCase{
            "hook_load_error_then_fails_every_try", {{1, "QX"}}, 1000, WSAETIMEDOUT_CODE, 49, 49, 126}),
    [](const auto& info) { return std::string(info.param.name); });

// A started and discovered link, ready to connect.
struct DiscoveredLink {
    ScriptedInstrument instrument;
    IrdaLink link{instrument};
    AddressRecord address{};
    DeviceList list{};

    explicit DiscoveredLink(std::vector<Device> devices) {
        instrument.devices = std::move(devices);
        link.StartLink(address);
        link.EnumerateDevices(list);
        instrument.calls.clear();
    }
    int Greet() { return link.ConnectAndGreet(0, GREETING, GREETING_REPLY, list, address); }
};

TEST(IrdaLinkConnect, UsesTheFirstDeviceAndItsNameAsServiceName) {
    DiscoveredLink d({{0x0A0B0C0D, "FIRST-DEVICE"}, {0x01020304, "SECOND"}});
    d.instrument.ExpectGreeting();
    EXPECT_EQ(d.Greet(), LINK_OK);
    const Bytes& a = d.instrument.connectAddress;
    ASSERT_EQ(a.size(), 32u);
    EXPECT_EQ(HexBytes(Bytes(a.begin(), a.begin() + 6)), "1A 00 0D 0C 0B 0A");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data() + 6)), "FIRST-DEVICE");
    EXPECT_TRUE(d.link.HasLink());
}

TEST(IrdaLinkConnect, TwentyTwoCharacterNameFillsTheServiceNameWithoutTerminator) {
    const std::string name = "ABCDEFGHIJKLMNOPQRSTUV";
    DiscoveredLink d({{1, name}});
    d.instrument.ExpectGreeting();
    EXPECT_EQ(d.Greet(), LINK_OK);
    const Bytes& a = d.instrument.connectAddress;
    EXPECT_EQ(std::string(a.begin() + 6, a.begin() + 28), name);
    EXPECT_EQ(HexBytes(Bytes(a.begin() + 28, a.end())), "00 00 00 00");
}

TEST(IrdaLinkConnect, GreetingMismatchInAnyByteClosesAndReleases) {
    for (std::size_t i = 0; i < GREETING_REPLY.size(); ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        DiscoveredLink d({{1, "QX"}});
        Bytes reply = GREETING_REPLY;
        reply[i] ^= 0x01;
        d.instrument.Expect(GREETING, {Data(reply), Data(Bytes(12, 0))});
        EXPECT_NE(d.Greet(), LINK_OK);
        EXPECT_FALSE(d.link.HasLink());
        EXPECT_EQ(d.instrument.cleanups, 1);
        EXPECT_EQ(d.instrument.CountCalls("closesocket"), 1);
        EXPECT_EQ(d.instrument.CountCalls("shutdown"), 0);
        EXPECT_EQ(d.instrument.CountCalls("Sleep"), 0);
    }
}

struct ConnectFailure {
    const char* name;
    int connectError;
    int sendError;
    std::vector<Incoming> reply;
    int result;
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const ConnectFailure& c, std::ostream* os) {
    *os << c.name;
}

class ConnectFailureTest : public ::testing::TestWithParam<ConnectFailure> {};

TEST_P(ConnectFailureTest, TearsDownWithoutShutdownOrPause) {
    const auto& c = GetParam();
    DiscoveredLink d({{1, "QX"}});
    d.instrument.connectError = c.connectError;
    if (c.connectError == 0) {
        if (c.sendError != 0) {
            d.instrument.ExpectSendFailure(GREETING, c.sendError);
        } else {
            d.instrument.Expect(GREETING, c.reply);
        }
    }
    EXPECT_EQ(d.Greet(), c.result);
    EXPECT_EQ(d.link.Handle(), 0u);
    EXPECT_EQ(d.instrument.cleanups, 1);
    EXPECT_EQ(d.instrument.CountCalls("closesocket"), 1);
    EXPECT_EQ(d.instrument.CountCalls("shutdown"), 0);
    EXPECT_EQ(d.instrument.CountCalls("Sleep"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectFailureTest,
    ::testing::Values(
        ConnectFailure{"connect_refused", WSAECONNREFUSED_CODE, 0, {}, WSAECONNREFUSED_CODE},
        ConnectFailure{"greeting_send_fails", 0, WSAECONNRESET_CODE, {}, WSAECONNRESET_CODE},
        ConnectFailure{"silent", 0, 0, {Silence()}, WSAETIMEDOUT_CODE},
        ConnectFailure{"hangs_up", 0, 0, {Close()}, WSAEDISCON_CODE},
        ConnectFailure{"receive_error", 0, 0, {RecvError(WSAECONNRESET_CODE)}, WSAECONNRESET_CODE},
        // A complete 3-byte frame is not the 12-byte greeting reply.
        ConnectFailure{"short_negative_reply", 0, 0, {Data({0xC0, 0x00, 0x03})}, LINK_GREETING_MISMATCH}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IrdaLinkReceive, GathersAFrameInPiecesAndTakesNothingOfTheNext) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.Expect(GREETING, {Data({0xA0, 0x00}), Data({0x0C, 0x10, 0x00}),
                                   Data({0x00, 0x40, 0xF0, 0x00, 0x00, 0x77, 0x10, 0xC0, 0x00, 0x03})});
    EXPECT_EQ(d.Greet(), LINK_OK);
    // The bytes after the greeting reply are the next frame, still waiting to be received.
    std::array<std::uint8_t, 8> next;
    next.fill(0x55);
    EXPECT_EQ(d.link.ReceiveFrame(next), LINK_OK);
    EXPECT_THAT(next, ElementsAre(0xC0, 0x00, 0x03, 0, 0, 0, 0, 0))
        << "a short frame is complete; the rest is zero";
}

TEST(IrdaLinkReceive, FrameLongerThanTheDestinationIsTakenOffWhole) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.ExpectGreeting();
    ASSERT_EQ(d.Greet(), LINK_OK);
    d.instrument.Expect({0x01},
                        {Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x04, 0x01}), Data({0xA0, 0x00, 0x03})});
    ASSERT_EQ(d.link.SendFrame(Bytes{0x01}), LINK_OK);
    std::array<std::uint8_t, 3> dest{};
    ASSERT_EQ(d.link.ReceiveFrame(dest), LINK_OK);
    EXPECT_THAT(dest, ElementsAre(0xA0, 0x00, 0x08));
    // The next receive starts at the next frame, not inside the rest of the first.
    ASSERT_EQ(d.link.ReceiveFrame(dest), LINK_OK);
    EXPECT_THAT(dest, ElementsAre(0xA0, 0x00, 0x03));
}

TEST(IrdaLinkReceive, FailedReceiveLeavesTheDestinationUntouched) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.ExpectGreeting();
    ASSERT_EQ(d.Greet(), LINK_OK);
    d.instrument.Expect({0x01}, {Data({0xA0, 0x00, 0x08, 0x72}), Close()});
    ASSERT_EQ(d.link.SendFrame(Bytes{0x01}), LINK_OK);
    std::array<std::uint8_t, 8> dest;
    dest.fill(0x55);
    EXPECT_EQ(d.link.ReceiveFrame(dest), WSAEDISCON_CODE);
    EXPECT_THAT(dest, ElementsAre(0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55));
}

TEST(IrdaLinkReceive, WaitIsBoundedForTheWholeFrame) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.ExpectGreeting();
    ASSERT_EQ(d.Greet(), LINK_OK);
    d.instrument.Expect({0x01}, {Silence()});
    ASSERT_EQ(d.link.SendFrame(Bytes{0x01}), LINK_OK);
    std::array<std::uint8_t, 8> dest{};
    const auto before = d.instrument.TickCount();
    EXPECT_EQ(d.link.ReceiveFrame(dest), WSAETIMEDOUT_CODE);
    EXPECT_EQ(d.instrument.TickCount() - before, RECEIVE_WAIT_MS);
}

TEST(IrdaLinkClose, ShutsDownClosesPausesThenReleases) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.ExpectGreeting();
    ASSERT_EQ(d.Greet(), LINK_OK);
    d.instrument.calls.clear();
    EXPECT_EQ(d.link.CloseLink(), LINK_OK);
    EXPECT_THAT(d.instrument.calls, ElementsAre("shutdown 1", "closesocket", "Sleep 1500", "WSACleanup"));
    EXPECT_FALSE(d.link.HasLink());
}

TEST(IrdaLinkClose, FailedCloseChangesNothing) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.ExpectGreeting();
    ASSERT_EQ(d.Greet(), LINK_OK);
    d.instrument.closeError = WSAENETDOWN_CODE;
    d.instrument.calls.clear();
    EXPECT_EQ(d.link.CloseLink(), WSAENETDOWN_CODE);
    EXPECT_THAT(d.instrument.calls, ElementsAre("shutdown 1", "closesocket"));
    EXPECT_EQ(d.link.Handle(), ScriptedInstrument::SOCKET_VALUE);
}

}  // namespace
}  // namespace qx::test

namespace qx::test {
namespace {

TEST(IrdaLinkReceive, FailureWithoutAnErrorCodeIsStillAFailure) {
    DiscoveredLink d({{1, "QX"}});
    d.instrument.ExpectGreeting();
    ASSERT_EQ(d.Greet(), LINK_OK);
    d.instrument.Expect({0x01}, {RecvError(0)});
    ASSERT_EQ(d.link.SendFrame(Bytes{0x01}), LINK_OK);
    std::array<std::uint8_t, 8> dest{};
    EXPECT_EQ(d.link.ReceiveFrame(dest), LINK_NO_ERROR_CODE);
}

}  // namespace
}  // namespace qx::test
