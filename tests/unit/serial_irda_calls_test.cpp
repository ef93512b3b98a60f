#include "irda/serial_irda_calls.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "app/mode_switch.h"
#include "link/irda_link.h"
#include "support/instrument_bytes.h"
#include "support/irda_secondary.h"
#include "support/named_slots.h"
#include "support/recording_host.h"

namespace qx::test {
namespace {

using namespace qx::irda;

constexpr std::uint32_t OWN_ADDRESS = 0x0BADCAFE;
constexpr std::uint16_t WORD = 0x1234;

// The program's link over the serial stack, the secondary on the fake clock, everything captured.
struct SerialStack {
    FakeClockPlatform platform;
    IrdaSecondary secondary{platform};
    std::ostringstream captured;
    PcapWriter capture{captured, [this] { return std::uint64_t{platform.now} * 1000; }};
    SerialIrdaCalls calls{"COM5", secondary, platform, &capture, OWN_ADDRESS};
    IrdaLink link{calls};

    SerialStack() {
        secondary.respond = [](const IrdaBytes& request) -> std::optional<IrdaBytes> {
            if (request == GREETING) {
                return GREETING_REPLY;
            }
            if (request == READ_REQUEST) {
                return ReadReply(WORD);
            }
            return std::nullopt;
        };
    }
};

// The connection address of the link's SNRM, as the address byte of a command.
std::uint8_t CommandAddress(const SerialStack& stack) {
    for (const IrdaBytes& frame : stack.secondary.frames) {
        if (frame.size() > 10 && frame[1] == 0x93) {
            return static_cast<std::uint8_t>(frame[10] | 0x01);
        }
    }
    return 0;
}

struct RunResult {
    std::string stage;  // where the run stopped: "discover", "connect", "send", "receive", "close", "done"
    int code = 0;
    std::uint32_t elapsedMs = 0;
};

// What the mode switch does with the link: start, discover, connect and greet, reads, close; a link left
// open by a failure is closed at the end, as the mode switch does.
RunResult RunLink(SerialStack& stack, int reads = 1) {
    const std::uint32_t start = stack.platform.now;
    const auto result = [&](std::string stage, int code) {
        if (stack.link.HasLink()) {
            stack.link.CloseLink();
        }
        return RunResult{std::move(stage), code, stack.platform.now - start};
    };
    AddressRecord address{};
    DeviceList list{};
    if (const int code = stack.link.StartLink(address); code != LINK_STARTED) {
        return result("start", code);
    }
    if (const int code = stack.link.EnumerateDevices(list); code != LINK_OK) {
        return result("discover", code);
    }
    if (const int code = stack.link.ConnectAndGreet(0, GREETING, GREETING_REPLY, list, address);
        code != LINK_OK) {
        return result("connect", code);
    }
    for (int i = 0; i < reads; ++i) {
        if (const int code = stack.link.SendFrame(READ_REQUEST); code != LINK_OK) {
            return result("send", code);
        }
        std::array<std::uint8_t, READ_REPLY_SIZE> reply{};
        if (const int code = stack.link.ReceiveFrame(reply); code != LINK_OK) {
            return result("receive", code);
        }
        if (IrdaBytes(reply.begin(), reply.end()) != ReadReply(WORD)) {
            return result("reply", SOCKET_ERROR_RESULT);
        }
    }
    if (const int code = stack.link.CloseLink(); code != LINK_OK) {
        return result("close", code);
    }
    return result("done", 0);
}

TEST(SerialIrdaCalls, WholeRunOverTheStack) {
    SerialStack stack;
    const RunResult run = RunLink(stack);
    EXPECT_EQ(run.stage, "done");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(stack.secondary.sdus, (std::vector<IrdaBytes>{GREETING, READ_REQUEST}));
    // Only the connects: the IAS connection stays until the link ends, and DISC ends both IrLMP connections
    // with the link, then the port is closed.
    EXPECT_EQ(stack.secondary.lmpControl,
              (std::vector<IrdaBytes>{{0x80, IAS_CLIENT_LSAP, 0x01, 0x00},
                                      {static_cast<std::uint8_t>(0x80 | stack.secondary.ttpLsap),
                                       TINYTP_LOCAL_LSAP, 0x01, 0x00, TTP_RECEIVE_CREDIT}}));
    EXPECT_EQ(stack.secondary.discs, 1);
    EXPECT_EQ(stack.secondary.frames.back(),
              (IrdaBytes{static_cast<std::uint8_t>(CommandAddress(stack)), 0x53}));
    EXPECT_FALSE(stack.secondary.IsOpen());
    EXPECT_EQ(stack.secondary.opens, 1);
    // The serial stack needs no socket library and never gives the hook library a socket.
    EXPECT_EQ(stack.platform.hookLoads, 0);
    EXPECT_EQ(stack.platform.socketCalls, 0);
    EXPECT_EQ(stack.secondary.creditViolations, 0);
}

struct FaultCase {
    const char* name;
    std::function<void(IrdaSecondary&)> setUp;
    std::string stage;
    int code;
    std::uint32_t boundMs;  // the run, with the link's own 1.5 s close pause when it opened the port
};

TEST(SerialIrdaCalls, LinkFaultsEndInTheRightResultWithinTheirBound) {
    const FaultCase cases[] = {
        {"no fault", [](IrdaSecondary&) {}, "done", 0, 4000},
        {"bad FCS once (the UA)", [](IrdaSecondary& s) { s.faults.badFcsOnReply = 1; }, "done", 0, 4500},
        {"a dropped reply", [](IrdaSecondary& s) { s.faults.droppedReplies = {4}; }, "done", 0, 4500},
        {"two dropped replies in a row",
         [](IrdaSecondary& s) {
             s.faults.droppedReplies = {6, 7};
         },
         "done", 0, 5000},
        {"DM to the connection request", [](IrdaSecondary& s) { s.faults.dmToSnrm = 1; }, "connect",
         WSAECONNREFUSED_CODE, 1500},
        {"no such IAS class", [](IrdaSecondary& s) { s.faults.noSuchIasClass = true; }, "connect",
         WSAECONNREFUSED_CODE, 2000},
        {"a different IAS class", [](IrdaSecondary& s) { s.iasClass = "Other"; }, "connect",
         WSAECONNREFUSED_CODE, 2000},
        {"RNR once", [](IrdaSecondary& s) { s.faults.rnrOnce = true; }, "done", 0, 4000},
        {"slow turnaround", [](IrdaSecondary& s) { s.faults.turnaroundMs = 450; }, "done", 0, 8000},
        {"adapter echoes every byte", [](IrdaSecondary& s) { s.faults.echo = true; }, "done", 0, 4000},
        {"noise between frames", [](IrdaSecondary& s) { s.faults.noise = true; }, "done", 0, 4000},
        {"silence after the connect", [](IrdaSecondary& s) { s.faults.silenceAfterConnect = true; },
         "connect", WSAETIMEDOUT_CODE, 5500},
        {"garbage after the connect", [](IrdaSecondary& s) { s.faults.garbageAfterConnect = true; },
         "connect", WSAETIMEDOUT_CODE, 5500},
        {"huge frames after the connect", [](IrdaSecondary& s) { s.faults.hugeAfterConnect = true; },
         "connect", WSAETIMEDOUT_CODE, 5500},
        // A frame that never ends: every F-timer grows by its extension, and the medium stays busy, so a new
        // connection request waits out the busy bound and gives up.
        {"an endless frame after the connect", [](IrdaSecondary& s) { s.faults.endlessAfterConnect = true; },
         "connect", WSAETIMEDOUT_CODE, 12500},
        {"no credit ever granted", [](IrdaSecondary& s) { s.faults.initialCredit = 0; }, "connect",
         WSAETIMEDOUT_CODE, 5500},
        {"the device disconnects", [](IrdaSecondary& s) { s.faults.disconnectOnData = true; }, "connect",
         WSAECONNRESET_CODE, 2000},
        {"the link drops (DM)", [](IrdaSecondary& s) { s.faults.dmOnData = true; }, "connect",
         WSAECONNRESET_CODE, 2000},
        {"nobody in range (three discoveries)", [](IrdaSecondary& s) { s.devices.clear(); }, "discover",
         ENUM_NO_DEVICES, 3800},
        {"RD after the connect", [](IrdaSecondary& s) { s.faults.rdAfterConnect = 1; }, "connect",
         WSAECONNRESET_CODE, 2500},
        {"FRMR for the first data frame", [](IrdaSecondary& s) { s.faults.frmrOnData = 1; }, "connect",
         WSAECONNRESET_CODE, 2500},
        {"an N(r) for a frame never sent", [](IrdaSecondary& s) { s.faults.badNr = true; }, "connect",
         WSAECONNRESET_CODE, 2500},
        {"RNR for a second while a frame is stored", [](IrdaSecondary& s) { s.faults.rnrForMs = 1000; },
         "done", 0, 5000},
        {"RNR for longer than the reply may wait", [](IrdaSecondary& s) { s.faults.rnrForMs = 20000; },
         "connect", WSAETIMEDOUT_CODE, 7000},
        {"RNR before the frame is taken, for two seconds",
         [](IrdaSecondary& s) { s.faults.refuseForMs = 2000; }, "done", 0, 6000},
        // Busy beyond PEER_BUSY_LIMIT_MS while still answering: DISC, and the link is given up.
        {"RNR before the frame is taken, for ever", [](IrdaSecondary& s) { s.faults.refuseForMs = 60000; },
         "connect", WSAETIMEDOUT_CODE, 13500},
        {"a stale link kept by the device", [](IrdaSecondary& s) { s.faults.staleLink = true; }, "done", 0,
         5000},
        {"firmware that ends the link on any IrLMP disconnect",
         [](IrdaSecondary& s) { s.faults.liteFirmware = true; }, "done", 0, 4000},
        {"the link lost after the IAS answer", [](IrdaSecondary& s) { s.faults.dropAfterIas = true; }, "done",
         0, 8500},
        {"an IAS Ack frame first", [](IrdaSecondary& s) { s.faults.iasAckFirst = true; }, "done", 0, 4000},
        {"one discovery missed", [](IrdaSecondary& s) { s.faults.missedDiscoveries = 1; }, "done", 0, 4800},
        {"two discoveries missed", [](IrdaSecondary& s) { s.faults.missedDiscoveries = 2; }, "done", 0, 5500},
        {"three discoveries missed", [](IrdaSecondary& s) { s.faults.missedDiscoveries = 3; }, "discover",
         ENUM_NO_DEVICES, 3800},
        {"no such port", [](IrdaSecondary& s) { s.openError = PORT_ERROR_FILE_NOT_FOUND; }, "discover",
         static_cast<int>(PORT_ERROR_FILE_NOT_FOUND), 600},
        {"port in use", [](IrdaSecondary& s) { s.openError = PORT_ERROR_ACCESS_DENIED; }, "discover",
         static_cast<int>(PORT_ERROR_ACCESS_DENIED), 600},
        {"adapter unreachable", [](IrdaSecondary& s) { s.writeFails = true; }, "discover", WSAENETDOWN_CODE,
         2500},
    };
    for (const FaultCase& c : cases) {
        SerialStack stack;
        c.setUp(stack.secondary);
        const RunResult run = RunLink(stack);
        EXPECT_EQ(run.stage, c.stage) << c.name;
        EXPECT_EQ(run.code, c.code) << c.name;
        EXPECT_LE(run.elapsedMs, c.boundMs) << c.name;
        EXPECT_FALSE(stack.secondary.IsOpen()) << c.name << ": the port is closed whatever happened";
        EXPECT_EQ(stack.secondary.creditViolations, 0) << c.name;
        EXPECT_EQ(stack.platform.hookLoads, 0) << c.name;
        EXPECT_EQ(stack.secondary.framesWhileBusy, 0) << c.name << ": no I-frame to a busy peer";
    }
}

// The run's bound reaches into the stack: a frame the peer keeps refusing (RNR) is not polled for the whole
// busy limit once the run's time is up, and DISC ends the link.
TEST(SerialIrdaCalls, TheRunsBoundEndsAStackCallUnderWay) {
    SerialStack stack;
    stack.secondary.faults.refuseForMs = 60000;  // the greeting's frame is never taken
    const std::uint32_t start = stack.platform.now;
    AddressRecord address{};
    DeviceList list{};
    ASSERT_EQ(stack.link.StartLink(address), LINK_STARTED);
    ASSERT_EQ(stack.link.EnumerateDevices(list), LINK_OK);
    stack.platform.now += 15000;  // a search that took most of the run's time
    EXPECT_EQ(stack.link.ConnectAndGreet(0, GREETING, GREETING_REPLY, list, address), WSAETIMEDOUT_CODE);
    const std::uint32_t elapsed = stack.platform.now - start;
    // Within the bound and the DISC after it, not the busy limit on top of the 15 s.
    EXPECT_LE(elapsed, RUN_BOUND_MS + 2000);
    EXPECT_GE(elapsed, RUN_BOUND_MS);
    EXPECT_TRUE(stack.secondary.sdus.empty());
    EXPECT_FALSE(stack.secondary.IsOpen()) << "the port is closed";
    EXPECT_TRUE(std::any_of(stack.secondary.frames.begin(), stack.secondary.frames.end(),
                            [](const IrdaBytes& f) { return f.size() == 2 && f[1] == 0x53; }))
        << "the link was ended with DISC";
}

// The link lost around the write: once the write's frame went out the instrument may hold the new word, and
// the run must say so; only a write of which nothing went out is "not written".
TEST(SerialIrdaCalls, AWriteThatWentOutIsNeverReportedAsNotSent) {
    constexpr std::size_t WRITE_SDU = 2;  // after the greeting and the read
    constexpr std::size_t READ_SDU = 1;
    struct LossCase {
        const char* name;
        std::size_t afterSdu;
        LinkLoss loss;
        RunStage stage;
        int code;
    };
    const LossCase cases[] = {
        {"silent after taking the write", WRITE_SDU, LinkLoss::Silent, RunStage::WriteUnconfirmed,
         WSAETIMEDOUT_CODE},
        {"DM after taking the write", WRITE_SDU, LinkLoss::Dm, RunStage::WriteUnconfirmed,
         WSAECONNRESET_CODE},
        {"FRMR after taking the write", WRITE_SDU, LinkLoss::Frmr, RunStage::WriteUnconfirmed,
         WSAECONNRESET_CODE},
        {"bad N(r) after taking the write", WRITE_SDU, LinkLoss::BadNr, RunStage::WriteUnconfirmed,
         WSAECONNRESET_CODE},
        {"adapter gone after the write went out", WRITE_SDU, LinkLoss::Gone, RunStage::WriteUnconfirmed,
         WSAENETDOWN_CODE},
        {"adapter gone before the write went out", READ_SDU, LinkLoss::GoneLater, RunStage::NotWritten,
         WSAENETDOWN_CODE},
    };
    const IrdaBytes write = {0x82, 0x00, 0x0A, 0xB1, 0xD3, 0x72, 0x00, 0x05, 0x34, 0x13};  // 0x1334
    for (const LossCase& c : cases) {
        SerialStack stack;
        stack.secondary.faults.lossAfterSdu = std::pair{c.afterSdu, c.loss};
        RecordingHost host;
        const RunOutcome outcome = RunModeSwitch(true, stack.link, NamedSlots(), host);
        EXPECT_EQ(outcome.stage, c.stage) << c.name;
        EXPECT_EQ(outcome.code, c.code) << c.name;
        EXPECT_FALSE(outcome.written) << c.name;
        EXPECT_EQ(outcome.wordRead, std::optional<ConfigWord>(WORD)) << c.name;
        const bool taken = std::find(stack.secondary.sdus.begin(), stack.secondary.sdus.end(), write) !=
                           stack.secondary.sdus.end();
        EXPECT_EQ(taken, c.stage == RunStage::WriteUnconfirmed) << c.name;
        // The word sent is named exactly when the instrument may hold it.
        EXPECT_EQ(outcome.wordSent.has_value(), taken) << c.name;
        EXPECT_FALSE(stack.secondary.IsOpen()) << c.name;
    }
}

TEST(SerialIrdaCalls, DiscoveryFillsTheDeviceListRecords) {
    SerialStack stack;
    stack.secondary.devices = {{0x11223344, "QX7710Z", 1}, {0x55667788, "A name of 24 characters", 4}};
    const SocketHandle s = stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    DeviceList list{};
    int length = static_cast<int>(DEVICE_LIST_SIZE);
    const std::uint32_t start = stack.platform.now;
    ASSERT_EQ(stack.calls.GetSockOpt(s, SOL_IRLMP_LEVEL, IRLMP_ENUMDEVICES_OPTION, list.bytes, length), 0);
    EXPECT_LE(stack.platform.now - start, 1100u);
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(length, static_cast<int>(DEVICE_LIST_HEADER_SIZE + 2 * DEVICE_RECORD_SIZE));
    IrdaBytes first(list.Record(0).begin(), list.Record(0).end());
    IrdaBytes expected = {0x44, 0x33, 0x22, 0x11, 'Q', 'X', '7', '7', '1', '0', 'Z'};
    expected.resize(DEVICE_RECORD_SIZE);
    expected[26] = 0x82;
    expected[27] = 0x01;
    expected[28] = 0x00;
    EXPECT_EQ(first, expected);
    const auto second = list.Record(1);
    EXPECT_EQ(std::string(second.begin() + 4, second.begin() + 26), "A name of 24 character");
    // Six slots, then the final XID with our own discovery information.
    std::vector<int> slots;
    for (const IrdaBytes& frame : stack.secondary.frames) {
        ASSERT_GE(frame.size(), 14u);
        EXPECT_EQ(frame[11], 0x01);  // 6 slots
        EXPECT_EQ(ReadLittle32(std::span(frame).subspan(3, 4)), OWN_ADDRESS);
        slots.push_back(frame[12]);
    }
    EXPECT_EQ(slots, (std::vector<int>{0, 1, 2, 3, 4, 5, 0xFF}));
    EXPECT_EQ(stack.calls.CloseSocket(s), 0);
}

// A slot runs from the moment its XID is handed to the line, so the XID's own time on the air (about 28 ms at
// 9600 baud) is inside the slot, not added to it: with nobody answering, one XID follows the last a slot
// later.
TEST(SerialIrdaCalls, EachDiscoverySlotCountsFromItsXidHandedToTheLine) {
    SerialStack stack;
    stack.secondary.devices = {};
    const SocketHandle s = stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    DeviceList list{};
    int length = static_cast<int>(DEVICE_LIST_SIZE);
    ASSERT_EQ(stack.calls.GetSockOpt(s, SOL_IRLMP_LEVEL, IRLMP_ENUMDEVICES_OPTION, list.bytes, length), 0);
    ASSERT_GE(stack.secondary.frames.size(), DISCOVERY_SLOTS + 1);
    // When each frame was handed to the line: its arrival less its time on the air (XIDs have no escapes).
    const auto handed = [&](std::size_t i) {
        return stack.secondary.frameTimes[i] -
               WireMs(stack.secondary.frames[i].size() + 4 + CONTENTION_XBOFS);
    };
    for (std::size_t i = 1; i <= DISCOVERY_SLOTS; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(stack.secondary.frames[i][1], 0x3F);  // an XID command, not another discovery's wait
        EXPECT_EQ(handed(i) - handed(i - 1), SLOT_MS);
    }
    EXPECT_EQ(stack.calls.CloseSocket(s), 0);
}

TEST(SerialIrdaCalls, ConnectionOffersOnlyNineThousandSixHundredAndHonoursTheTurnaround) {
    SerialStack stack;
    stack.secondary.minTurnaroundBits = 0x01;  // 10 ms
    ASSERT_EQ(RunLink(stack).stage, "done");
    const auto snrm = std::find_if(stack.secondary.frames.begin(), stack.secondary.frames.end(),
                                   [](const IrdaBytes& f) { return f.size() > 11 && f[1] == 0x93; });
    ASSERT_NE(snrm, stack.secondary.frames.end());
    EXPECT_EQ(ReadLittle32(std::span(*snrm).subspan(6, 4)), 0x2A7710C5u);
    const LinkParameters offered = ParseParameters(std::span(*snrm).subspan(11));
    EXPECT_EQ(offered.baudRates, PV_BAUD_9600);
    EXPECT_EQ(offered.disconnectThresholds, 0x01);
    EXPECT_GE(stack.secondary.minGapAfterReply, 10u);
}

TEST(SerialIrdaCalls, PausesKeepTheLinkAlive) {
    SerialStack stack;
    stack.secondary.faults.watchdogMs = 1000;
    AddressRecord address{};
    DeviceList list{};
    ASSERT_EQ(stack.link.StartLink(address), LINK_STARTED);
    ASSERT_EQ(stack.link.EnumerateDevices(list), LINK_OK);
    ASSERT_EQ(stack.link.ConnectAndGreet(0, GREETING, GREETING_REPLY, list, address), LINK_OK);
    const std::size_t before = stack.secondary.frames.size();
    stack.link.Pause(5000);
    EXPECT_GE(stack.secondary.frames.size() - before, 10u);
    for (std::size_t i = before; i < stack.secondary.frameTimes.size(); ++i) {
        EXPECT_LE(stack.secondary.frameTimes[i] - stack.secondary.frameTimes[i - 1], 1000u);
    }
    ASSERT_EQ(stack.link.SendFrame(READ_REQUEST), LINK_OK);
    std::array<std::uint8_t, READ_REPLY_SIZE> reply{};
    ASSERT_EQ(stack.link.ReceiveFrame(reply), LINK_OK);
    EXPECT_EQ(IrdaBytes(reply.begin(), reply.end()), ReadReply(WORD));
    EXPECT_EQ(stack.link.CloseLink(), LINK_OK);
}

TEST(SerialIrdaCalls, CreditsAreReturnedHonestlyOverManyExchanges) {
    SerialStack stack;
    stack.secondary.faults.initialCredit = 2;
    const RunResult run = RunLink(stack, 12);
    EXPECT_EQ(run.stage, "done");
    EXPECT_EQ(stack.secondary.grantedByPrimary, TTP_RECEIVE_CREDIT);
    EXPECT_EQ(stack.secondary.creditViolations, 0);
    EXPECT_EQ(stack.secondary.sdus.size(), 13u);
}

TEST(SerialIrdaCalls, LsapSelectorSkipsTheIasQuery) {
    SerialStack stack;
    const SocketHandle s = stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    AddressRecord address{};
    address[0] = AF_IRDA_FAMILY;
    const std::uint32_t device = stack.secondary.devices[0].address;
    for (int i = 0; i < 4; ++i) {
        address[ADDRESS_DEVICE_ID_OFFSET + i] = static_cast<std::uint8_t>(device >> (8 * i));
    }
    const std::string service = "LSAP-SEL5";
    std::copy(service.begin(), service.end(), address.begin() + ADDRESS_SERVICE_NAME_OFFSET);
    ASSERT_EQ(stack.calls.Connect(s, address), 0);
    ASSERT_EQ(stack.secondary.lmpControl.size(), 1u);
    EXPECT_EQ(stack.secondary.lmpControl[0][0], 0x80 | 0x05);  // straight to LSAP 5, no IAS
    EXPECT_EQ(stack.calls.Send(s, GREETING), static_cast<int>(GREETING.size()));
    EXPECT_EQ(stack.calls.WaitReadable(s, 1000), 1);
    std::array<std::uint8_t, 64> reply{};
    EXPECT_EQ(stack.calls.Recv(s, reply), static_cast<int>(GREETING_REPLY.size()));
    EXPECT_EQ(stack.calls.CloseSocket(s), 0);
}

TEST(SerialIrdaCalls, CallsOnAClosedOrFailedSocketFail) {
    SerialStack stack;
    stack.secondary.openError = PORT_ERROR_ACCESS_DENIED;
    EXPECT_EQ(stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0), INVALID_SOCKET_HANDLE);
    EXPECT_EQ(stack.calls.WSAGetLastError(), 5);
    stack.secondary.openError = 0;
    EXPECT_EQ(stack.calls.Socket(2, SOCK_STREAM_TYPE, 0), INVALID_SOCKET_HANDLE);
    EXPECT_EQ(stack.calls.WSAGetLastError(), WSAEAFNOSUPPORT_CODE);
    const SocketHandle s = stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    ASSERT_NE(s, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0), INVALID_SOCKET_HANDLE);
    EXPECT_EQ(stack.calls.Send(s, GREETING), SOCKET_ERROR_RESULT);
    EXPECT_EQ(stack.calls.WSAGetLastError(), WSAENOTCONN_CODE);
    EXPECT_EQ(stack.calls.CloseSocket(s), 0);
    EXPECT_EQ(stack.calls.CloseSocket(s), SOCKET_ERROR_RESULT);
    EXPECT_EQ(stack.calls.WSAGetLastError(), WSAENOTSOCK_CODE);
}

TEST(SerialIrdaCalls, CaptureHoldsEveryFrameInAndOut) {
    SerialStack stack;
    ASSERT_EQ(RunLink(stack).stage, "done");
    const std::string file = stack.captured.str();
    ASSERT_GE(file.size(), 24u);
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(file[i]); };
    const auto little32 = [&](std::size_t i) {
        return static_cast<std::uint32_t>(byte(i)) | static_cast<std::uint32_t>(byte(i + 1)) << 8 |
               static_cast<std::uint32_t>(byte(i + 2)) << 16 | static_cast<std::uint32_t>(byte(i + 3)) << 24;
    };
    EXPECT_EQ(little32(0), 0xA1B2C3D4u);
    EXPECT_EQ(little32(20), PCAP_LINKTYPE_LINUX_IRDA);
    std::vector<IrdaBytes> sent;
    std::size_t received = 0;
    std::uint32_t lastTime = 0;
    for (std::size_t at = 24; at < file.size();) {
        ASSERT_LE(at + 16 + PCAP_IRDA_PSEUDO_HEADER_SIZE, file.size());
        const std::uint32_t time = little32(at) * 1000 + little32(at + 4) / 1000;
        EXPECT_GE(time, lastTime);
        lastTime = time;
        const std::uint32_t length = little32(at + 8);
        ASSERT_EQ(length, little32(at + 12));
        const std::size_t header = at + 16;
        EXPECT_EQ(byte(header + 2) << 8 | byte(header + 3), 783);
        EXPECT_EQ(byte(header + 14) << 8 | byte(header + 15), 0x0017);
        const int type = byte(header) << 8 | byte(header + 1);
        const IrdaBytes frame(
            file.begin() + static_cast<std::ptrdiff_t>(header + PCAP_IRDA_PSEUDO_HEADER_SIZE),
            file.begin() + static_cast<std::ptrdiff_t>(header + length));
        if (type == PCAP_PACKET_SENT) {
            sent.push_back(frame);
        } else {
            EXPECT_EQ(type, PCAP_PACKET_RECEIVED);
            ++received;
        }
        at = header + length;
    }
    EXPECT_EQ(sent, stack.secondary.frames);
    EXPECT_EQ(received, stack.secondary.replies.size());
}

TEST(SerialIrdaCalls, ProbeListsTheDevicesOrSaysWhatFailed) {
    FakeClockPlatform platform;
    PlatformClock clock(platform);
    IrdaSecondary secondary(platform);
    PortProbe probe = ProbePort("COM5", secondary, clock);
    EXPECT_EQ(probe.openError, 0u);
    EXPECT_EQ(probe.discoveryError, 0);
    ASSERT_EQ(probe.devices.size(), 1u);
    EXPECT_EQ(probe.devices[0].nickname, "QX7710Z");
    EXPECT_EQ(probe.devices[0].address, 0x2A7710C5u);
    EXPECT_FALSE(secondary.IsOpen());

    secondary.openError = PORT_ERROR_FILE_NOT_FOUND;
    probe = ProbePort("COM9", secondary, clock);
    EXPECT_EQ(probe.openError, PORT_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(probe.devices.empty());

    secondary.openError = 0;
    secondary.writeFails = true;
    probe = ProbePort("COM9", secondary, clock);
    EXPECT_EQ(probe.discoveryError, WSAENETDOWN_CODE);
    EXPECT_FALSE(secondary.IsOpen());
}

// What the primary puts on the line after each rule's event, byte for byte (C: the link's command address).
TEST(SerialIrdaCalls, FramesThePrimarySendsAfterEachEvent) {
    constexpr std::uint8_t C = 0xFF;  // stands for the link's command address, known only after SNRM
    const IrdaBytes XID_SLOT_0 = {0xFF, 0x3F, 0x01, 0xFE, 0xCA, 0xAD, 0x0B,
                                  0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00};
    struct Case {
        const char* name;
        std::function<void(IrdaSecondary&)> setUp;
        const char* mark;
        std::vector<IrdaBytes> expected;  // the first frames after the event
    };
    const Case cases[] = {
        {"RD is answered with DISC",
         [](IrdaSecondary& s) { s.faults.rdAfterConnect = 1; },
         "rd",
         {{C, 0x53}}},
        {"FRMR is followed by DISC", [](IrdaSecondary& s) { s.faults.frmrOnData = 1; }, "frmr", {{C, 0x53}}},
        {"a bad N(r) ends the link with DISC",
         [](IrdaSecondary& s) { s.faults.badNr = true; },
         "bad-nr",
         {{C, 0x53}}},
        // The greeting was taken with RNR: no I-frame, an RR poll (N(r) 3: confirm, answer, TinyTP confirm).
        {"RNR is followed by RR polls",
         [](IrdaSecondary& s) { s.faults.rnrForMs = 1000; },
         "rnr",
         {{C, 0x71}, {C, 0x71}}},
        // The IAS Ack frame carries no answer: poll for it (N(r) 2: the confirm and the Ack frame).
        {"an IAS Ack frame is skipped",
         [](IrdaSecondary& s) { s.faults.iasAckFirst = true; },
         "ias-ack",
         {{C, 0x51}}},
        // The TinyTP connect goes unanswered six times; one DISC; then (after the new SNRM) straight to
        // LSAP 5.
        {"a link lost after IAS",
         [](IrdaSecondary& s) { s.faults.dropAfterIas = true; },
         "lost",
         {{C, 0x54, 0x85, 0x11, 0x01, 0x00, 0x04},
          {C, 0x54, 0x85, 0x11, 0x01, 0x00, 0x04},
          {C, 0x54, 0x85, 0x11, 0x01, 0x00, 0x04},
          {C, 0x54, 0x85, 0x11, 0x01, 0x00, 0x04},
          {C, 0x54, 0x85, 0x11, 0x01, 0x00, 0x04},
          {C, 0x54, 0x85, 0x11, 0x01, 0x00, 0x04},
          {C, 0x53}}},
        // A busy peer that never gets ready: RR polls only, then DISC (N(r) 3, as above).
        {"RNR beyond the busy bound ends the link with DISC",
         [](IrdaSecondary& s) { s.faults.refuseForMs = 60000; },
         "refused",
         {{C, 0x71}}},
        {"a missed discovery is run again",
         [](IrdaSecondary& s) { s.faults.missedDiscoveries = 1; },
         "missed",
         {XID_SLOT_0}},
    };
    for (const Case& c : cases) {
        SerialStack stack;
        c.setUp(stack.secondary);
        RunLink(stack);
        ASSERT_TRUE(stack.secondary.marks.contains(c.mark)) << c.name;
        const auto after = stack.secondary.PrimaryFramesFrom(stack.secondary.marks.at(c.mark));
        ASSERT_GE(after.size(), c.expected.size()) << c.name;
        const std::uint8_t command = CommandAddress(stack);
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            IrdaBytes wanted = c.expected[i];
            if (wanted[0] == C && wanted != XID_SLOT_0) {
                wanted[0] = command;
            }
            EXPECT_EQ(after[i], wanted) << c.name << ", frame " << i;
        }
    }
}

TEST(SerialIrdaCalls, ABusyPeerIsPolledAtTheFTimersPaceAndGetsNoInformationFrame) {
    SerialStack stack;
    stack.secondary.faults.rnrForMs = 1000;
    ASSERT_EQ(RunLink(stack).stage, "done");
    const std::size_t from = stack.secondary.marks.at("rnr");
    std::vector<std::uint32_t> polls;
    std::size_t frame = 0;
    for (std::size_t i = 0; i < from; ++i) {
        frame += stack.secondary.log[i].first ? 1 : 0;
    }
    // Until the peer says RR again, only RR polls, each at least the F-timer after the one before.
    // Times are when a frame ended on the wire; the pace is counted from when the one before began.
    const auto began = [&](std::size_t i) {
        return stack.secondary.frameTimes[i] - WireMs(stack.secondary.frames[i].size() + 4);
    };
    for (std::size_t last = frame - 1;
         frame < stack.secondary.frames.size() && stack.secondary.frames[frame][1] == 0x71; last = frame++) {
        EXPECT_GE(stack.secondary.frameTimes[frame] - began(last), F_TIMER_MS) << "poll " << frame;
        polls.push_back(stack.secondary.frameTimes[frame]);
    }
    EXPECT_GE(polls.size(), 2u);
    EXPECT_LE(polls.size(), 3u);
}

TEST(SerialIrdaCalls, AStaleLinkIsEndedWithDiscAndTheDeviceFoundAgain) {
    SerialStack stack;
    stack.secondary.faults.staleLink = true;
    ASSERT_EQ(RunLink(stack).stage, "done");
    const auto after = stack.secondary.PrimaryFramesFrom(stack.secondary.marks.at("stale"));
    const auto disc = std::find(after.begin(), after.end(), IrdaBytes{0x6B, 0x53});  // connection 0x35
    ASSERT_NE(disc, after.end());
    ASSERT_NE(disc + 1, after.end());
    EXPECT_EQ(*(disc + 1), (IrdaBytes{0xFF, 0x3F, 0x01, 0xFE, 0xCA, 0xAD, 0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,
                                      0x00, 0x00}));
    EXPECT_TRUE(std::none_of(after.begin(), disc, [](const IrdaBytes& f) { return f[1] == 0x93; }))
        << "no SNRM to a station that still holds a link";
}

TEST(SerialIrdaCalls, TheNextRunAtOnceReachesTheDeviceWhateverEndedTheLast) {
    const std::function<void(IrdaSecondary&)> faults[] = {
        [](IrdaSecondary& s) { s.faults.rdAfterConnect = 1; },
        [](IrdaSecondary& s) { s.faults.frmrOnData = 1; },
        [](IrdaSecondary& s) { s.faults.badNr = true; },
        [](IrdaSecondary& s) { s.faults.rnrForMs = 20000; },
        [](IrdaSecondary& s) { s.faults.refuseForMs = 60000; },
    };
    for (const auto& setUp : faults) {
        SerialStack stack;
        setUp(stack.secondary);
        EXPECT_NE(RunLink(stack).stage, "done");
        EXPECT_FALSE(stack.secondary.connected) << "the run left the device disconnected";
        stack.secondary.faults = LinkFaults{};
        EXPECT_EQ(RunLink(stack).stage, "done");
    }
}

TEST(SerialIrdaCalls, AfterTheConnectionFramesCarryThePeersAdditionalBofs) {
    SerialStack stack;
    ASSERT_EQ(RunLink(stack).stage, "done");
    const std::uint8_t command = CommandAddress(stack);
    ASSERT_EQ(stack.secondary.frameXbofs.size(), stack.secondary.frames.size());
    for (std::size_t i = 0; i < stack.secondary.frames.size(); ++i) {
        const bool contention = stack.secondary.frames[i][0] == 0xFF;  // XID and SNRM
        // The secondary states no additional BOFs (0x80); before the connection the contention rule's 10.
        EXPECT_EQ(stack.secondary.frameXbofs[i], contention ? CONTENTION_XBOFS : 0u) << "frame " << i;
        if (!contention) {
            EXPECT_EQ(stack.secondary.frames[i][0], command);
        }
    }
}

TEST(SerialIrdaCalls, TheIasServerAnswersEveryConnectAndKnowsNoClass) {
    SerialStack stack;
    const SocketHandle s = stack.calls.Socket(AF_IRDA_FAMILY, SOCK_STREAM_TYPE, 0);
    AddressRecord address{};
    address[0] = AF_IRDA_FAMILY;
    const std::uint32_t device = stack.secondary.devices[0].address;
    for (int i = 0; i < 4; ++i) {
        address[ADDRESS_DEVICE_ID_OFFSET + i] = static_cast<std::uint8_t>(device >> (8 * i));
    }
    const std::string service = "LSAP-SEL5";
    std::copy(service.begin(), service.end(), address.begin() + ADDRESS_SERVICE_NAME_OFFSET);
    // The device asks our IAS server (LSAP 0) and another LSAP of ours for a connection, then queries IAS.
    stack.secondary.respond = [&](const IrdaBytes&) -> std::optional<IrdaBytes> { return std::nullopt; };
    ASSERT_EQ(stack.calls.Connect(s, address), 0);
    stack.secondary.Inject({0x80, 0x20, 0x01, 0x00});  // its LSAP 0x20 connects to our IAS server
    stack.secondary.Inject({0xB0, 0x21, 0x01, 0x00});  // its LSAP 0x21 connects to our LSAP 0x30: nobody
    stack.secondary.Inject(
        {0x00, 0x20, 0x84, 0x03, 'A', 'B', 'C', 0x01, 'x'});  // GetValueByClass("ABC", "x")
    stack.calls.Sleep(4000);
    EXPECT_THAT(stack.secondary.lmReceived,
                ::testing::IsSupersetOf(std::vector<IrdaBytes>{
                    {0xA0, 0x00, 0x81, 0x00}, {0xA1, 0x30, 0x02, 0x08}, {0x20, 0x00, 0x84, 0x01}}));
    EXPECT_EQ(stack.calls.CloseSocket(s), 0);
}

TEST(SerialIrdaCalls, SnrmIsTriedThreeTimesAfterARandomBackOff) {
    for (const int ignored : {2, 3}) {
        SerialStack stack;
        stack.secondary.faults.snrmIgnored = ignored;
        const RunResult run = RunLink(stack);
        EXPECT_EQ(run.stage, ignored < SNRM_TRIES ? "done" : "connect") << ignored;
        std::vector<std::size_t> snrms;
        for (std::size_t i = 0; i < stack.secondary.frames.size(); ++i) {
            if (stack.secondary.frames[i][1] == 0x93) {
                snrms.push_back(i);
            }
        }
        ASSERT_EQ(snrms.size(), static_cast<std::size_t>(std::min(ignored + 1, SNRM_TRIES))) << ignored;
        for (std::size_t k = 1; k < snrms.size(); ++k) {
            // The F-timer after the SNRM went out, then 20-50 ms.
            const std::uint32_t gap =
                stack.secondary.frameTimes[snrms[k]] - stack.secondary.frameTimes[snrms[k - 1]];
            EXPECT_GE(gap, F_TIMER_MS + SNRM_BACKOFF_MIN_MS) << ignored;
            EXPECT_LE(gap, F_TIMER_MS + SNRM_BACKOFF_MAX_MS + 100) << ignored;
        }
    }
}

TEST(SerialIrdaCalls, NoXidWhileTheMediumIsBusy) {
    SerialStack stack;
    stack.secondary.faults.chatterMs = 1000;
    ASSERT_EQ(RunLink(stack).stage, "done");
    ASSERT_FALSE(stack.secondary.frames.empty());
    // The first XID begins only after 500 ms of quiet since the other station's last frame.
    const std::uint32_t firstBegan =
        stack.secondary.frameTimes[0] - WireMs(stack.secondary.frames[0].size() + 4 + CONTENTION_XBOFS);
    EXPECT_GE(firstBegan, stack.secondary.lastChatterEnd + MEDIA_BUSY_MS);
}

TEST(SerialIrdaCalls, AnAnswerStillArrivingWhenTheFTimerRunsOutIsWaitedFor) {
    // Each answer begins within the F-timer and ends about 200 ms after it: the 300 ms extension takes it in,
    // so nothing is sent twice and the frames are those of a run without the stall.
    SerialStack plain;
    ASSERT_EQ(RunLink(plain).stage, "done");
    SerialStack stalled;
    stalled.secondary.faults.turnaroundMs = 450;
    stalled.secondary.faults.tailLateMs = 250;
    ASSERT_EQ(RunLink(stalled).stage, "done");
    EXPECT_EQ(stalled.secondary.frames.size(), plain.secondary.frames.size());
    EXPECT_EQ(stalled.secondary.sdus, plain.secondary.sdus);
}

}  // namespace
}  // namespace qx::test
