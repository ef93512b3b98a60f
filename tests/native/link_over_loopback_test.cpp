// The real link and frames, carried by the loopback emulation to the simulator: one switch-on run per case,
// in the order the mode switch makes its calls, checked against what the simulator recorded.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "link/device_frames.h"
#include "link/irda_link.h"
#include "loopback/loopback_calls.h"
#include "support/posix_platform_calls.h"
#include "support/sim_process.h"

namespace qxtest {
namespace {

const std::string READ = "83 00 05 B1 D3";

struct Outcome {
    int enumerate = 0;
    int connect = -100;  // not reached
    bool read = false;
    bool write = false;
    bool linkLeftOpen = true;
};

// Sets the search mode bit the way the mode switch does, stopping at the first step that fails.
Outcome SwitchOn(qx::IrdaLink& link) {
    Outcome outcome;
    qx::AddressRecord address{};
    qx::DeviceList devices{};
    if (link.StartLink(address) != qx::LINK_STARTED) {
        return outcome;
    }
    outcome.enumerate = link.EnumerateDevices(devices);
    if (devices.Count() != 0) {
        outcome.connect = link.ConnectAndGreet(0, qx::GreetingFrame, qx::GreetingReply, devices, address);
        qx::ConfigWord word = 0;
        if (outcome.connect == qx::LINK_OK) {
            outcome.read = qx::ReadConfigWord(link, word);
        }
        if (outcome.read) {
            outcome.write =
                qx::WriteConfigWord(link, static_cast<qx::ConfigWord>(word | qx::SEARCH_MODE_BIT));
        }
    }
    if (link.HasLink()) {
        link.CloseLink();
    }
    outcome.linkLeftOpen = link.HasLink();
    return outcome;
}

int CountFrames(const nlohmann::json& record, const std::string& prefix) {
    int count = 0;
    for (const auto& connection : record["connections"]) {
        for (const auto& frame : connection["received"]) {
            count += frame.get<std::string>().starts_with(prefix) ? 1 : 0;
        }
    }
    return count;
}

struct LinkCase {
    const char* name;
    std::vector<std::string> args;
    int enumerate;
    int connect;  // -100: not reached; 1: any non-zero
    bool read;
    bool write;
    int finalWord;
    int reads;
    int writes;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const LinkCase& c, std::ostream* os) {
    *os << c.name;
}

class LinkOverLoopback : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkOverLoopback, SwitchOnRun) {
    const LinkCase& c = GetParam();
    SimProcess sim(c.args);
    ASSERT_NE(sim.Port(), 0);
    PosixPlatformCalls platform;
    qx::LoopbackCalls calls(sim.Port(), platform);
    qx::IrdaLink link(calls);

    const Outcome outcome = SwitchOn(link);
    const auto record = sim.Stop();

    EXPECT_EQ(outcome.enumerate, c.enumerate);
    if (c.connect == 1) {
        EXPECT_NE(outcome.connect, 0);
        EXPECT_NE(outcome.connect, -100);
    } else {
        EXPECT_EQ(outcome.connect, c.connect);
    }
    EXPECT_EQ(outcome.read, c.read);
    EXPECT_EQ(outcome.write, c.write);
    EXPECT_FALSE(outcome.linkLeftOpen);
    EXPECT_EQ(platform.startups, 1);
    EXPECT_EQ(platform.cleanups, 1) << "the one start of the socket library is released once";
    EXPECT_EQ(platform.hookLoads, 1) << "the hook library is the platform's, in this mode too";
    EXPECT_EQ(record["final_word"], c.finalWord);
    EXPECT_EQ(CountFrames(record, READ), c.reads);
    EXPECT_EQ(CountFrames(record, "82 00 0A"), c.writes);
}

constexpr int NOT_REACHED = -100;
constexpr int ANY_FAILURE = 1;

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkOverLoopback,
    ::testing::Values(
        LinkCase{"Good", {}, 0, 0, true, true, 0x0104, 1, 1},
        LinkCase{"OtherBitsKept", {"--word", "0xFEFF"}, 0, 0, true, true, 0xFFFF, 1, 1},
        LinkCase{"NoDevice", {"--no-devices"}, qx::ENUM_NO_DEVICES, NOT_REACHED, false, false, 0x0004, 0, 0},
        LinkCase{"DiscoveryFailsThreeTimesThenWorks",
                 {"--discovery-error", "10050:3"},
                 0,
                 0,
                 true,
                 true,
                 0x0104,
                 1,
                 1},
        LinkCase{"DiscoveryAlwaysFails",
                 {"--discovery-error", "10047"},
                 10047,
                 NOT_REACHED,
                 false,
                 false,
                 0x0004,
                 0,
                 0},
        LinkCase{"ConnectFails", {"--connect-error", "10060"}, 0, 10060, false, false, 0x0004, 0, 0},
        LinkCase{"WrongGreetingReply",
                 {"--greeting-fault", "byte-11"},
                 0,
                 ANY_FAILURE,
                 false,
                 false,
                 0x0004,
                 0,
                 0},
        LinkCase{"GreetingDropped", {"--greeting-fault", "drop"}, 0, ANY_FAILURE, false, false, 0x0004, 0, 0},
        LinkCase{"ReadNegative", {"--read-fault", "status-c0"}, 0, 0, false, false, 0x0004, 1, 0},
        LinkCase{"ReadStatus90", {"--read-fault", "status-90"}, 0, 0, false, false, 0x0004, 1, 0},
        LinkCase{"ReadUnknownStatus", {"--read-fault", "status-55"}, 0, 0, false, false, 0x0004, 3, 0},
        LinkCase{"ReadUnknownStatusTwice", {"--read-fault", "status-55:2"}, 0, 0, true, true, 0x0104, 3, 1},
        // A length field one too large: the frame never completes, and each of the three attempts waits it
        // out.
        LinkCase{"ReadWrongLength", {"--read-fault", "length"}, 0, 0, false, false, 0x0004, 3, 0},
        LinkCase{"ReadWrongByte3", {"--read-fault", "byte-3"}, 0, 0, false, false, 0x0004, 1, 0},
        LinkCase{"ReadShortOnce", {"--read-fault", "short:1"}, 0, 0, true, true, 0x0104, 2, 1},
        LinkCase{"ReadDropped", {"--read-fault", "drop"}, 0, 0, false, false, 0x0004, 1, 0},
        LinkCase{
            "ReadDelayed", {"--read-fault", "delay", "--delay-ms", "100"}, 0, 0, true, true, 0x0104, 1, 1},
        LinkCase{"WriteNegative", {"--write-fault", "status-c0"}, 0, 0, true, false, 0x0004, 1, 1},
        LinkCase{"WriteStatus90", {"--write-fault", "status-90"}, 0, 0, true, false, 0x0004, 1, 1},
        LinkCase{"WriteUnknownStatusTwice", {"--write-fault", "status-55:2"}, 0, 0, true, true, 0x0104, 1, 3},
        LinkCase{"WriteSilentOnce", {"--write-fault", "silent:1"}, 0, 0, true, true, 0x0104, 1, 2},
        // The instrument stored the word before its acknowledgement was cut off: the one failure report that
        // may stand beside a written word, since the program never saw the acknowledgement.
        LinkCase{"WriteDropped", {"--write-fault", "drop"}, 0, 0, true, false, 0x0104, 1, 1},
        // The first read reply misses its wait and comes with the second read request; the second read reply
        // comes while the write waits, ahead of the acknowledgement.
        LinkCase{"ReadRepliesLate", {"--read-fault", "late:2"}, 0, 0, true, true, 0x0104, 2, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LinkOverLoopbackDevices, ConnectsToTheFirstDeviceByItsFullName) {
    const std::string name22 = "ABCDEFGHIJKLMNOPQRSTUV";
    SimProcess sim({"--device", name22 + ":0x01020304", "--device", "QX7710Z"});
    ASSERT_NE(sim.Port(), 0);
    PosixPlatformCalls platform;
    qx::LoopbackCalls calls(sim.Port(), platform);
    qx::IrdaLink link(calls);
    const Outcome outcome = SwitchOn(link);
    EXPECT_TRUE(outcome.write);
    const auto record = sim.Stop();
    ASSERT_EQ(record["connections"].size(), 1u);
    EXPECT_EQ(record["connections"][0]["service_name"], name22);
    EXPECT_EQ(record["connections"][0]["device_id"], 0x01020304);
    EXPECT_EQ(record["connections"][0]["received"].back(), "82 00 0A B1 D3 72 00 05 04 01");
}

TEST(LinkOverLoopbackDevices, NoSimulatorIsNetworkDownAfterEveryTry) {
    PosixPlatformCalls platform;
    RefusingPort refusing;
    ASSERT_NE(refusing.Port(), 0);
    qx::LoopbackCalls calls(refusing.Port(), platform);
    qx::IrdaLink link(calls);
    const Outcome outcome = SwitchOn(link);
    EXPECT_EQ(outcome.enumerate, qx::WSAENETDOWN_CODE);
    EXPECT_EQ(platform.pauses.size(), static_cast<std::size_t>(qx::DISCOVERY_TRIES) + 1)
        << "a pause after each try, and the close's";
    EXPECT_EQ(platform.pauses.back(), qx::CLOSE_PAUSE_MS);
}

}  // namespace
}  // namespace qxtest
