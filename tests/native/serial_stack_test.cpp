// The program's own IrDA stack over a real pty against the simulator's serial IrDA mode: discovery, the
// connection and the mode switch's whole run, and each link fault. Whatever the fault, the word changes only
// with the instrument's acknowledgement, the result box says what the instrument holds, and a silent
// instrument ends the run with a failure instead of hanging it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "app/mode_switch.h"
#include "app/texts.h"
#include "irda/serial_irda_calls.h"
#include "link/device_frames.h"
#include "link/irda_link.h"
#include "posix/posix_serial_port.h"
#include "support/posix_platform_calls.h"
#include "support/sim_process.h"
#include "support/stack_run.h"
#include "tests/unit/support/recording_host.h"

namespace qxtest {
namespace {

constexpr int IRDA_FAMILY = 26;

// One run of the mode switch, as the window would make it, over the stack on `path`.
StackRun SwitchOver(const std::string& path, bool enable) {
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::PosixSerialPort port;
    return SwitchOverPort(port, path, platform, enable);
}

TEST(SerialStack, DiscoveryFindsTheInstrumentByItsNicknameAndAddress) {
    SimProcess sim({"--device", "QX7710Z:0x0A0B0C0D"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::PosixSerialPort port;
    qx::irda::SerialIrdaCalls calls(sim.Path(), port, platform);
    qx::IrdaLink link(calls);
    qx::AddressRecord address{};
    qx::DeviceList devices{};
    ASSERT_EQ(link.StartLink(address), qx::LINK_STARTED);
    EXPECT_EQ(link.EnumerateDevices(devices), 0);
    ASSERT_EQ(devices.Count(), 1u);
    const auto device = devices.Record(0);
    EXPECT_EQ(qx::ReadLittle32(device), 0x0A0B0C0Du);
    const auto name = device.subspan(qx::DEVICE_NAME_OFFSET, qx::DEVICE_NAME_SIZE);
    EXPECT_EQ(std::string(name.begin(), std::find(name.begin(), name.end(), 0)), "QX7710Z");
    link.CloseLink();
    const auto record = sim.Stop();
    ASSERT_GE(record["irda"]["discoveries"].size(), 1u);
    EXPECT_EQ(record["irda"]["discoveries"][0]["answered"][0]["name"], "QX7710Z");
    EXPECT_EQ(record["irda"]["line"]["frames_dropped"], 0);
}

struct StackCase {
    const char* name;
    std::vector<std::string> args;
    bool enable;
    int initialWord;
    bool succeeds;
    int finalWord;
    std::vector<int> writesApplied;
    const char* linkEnd;  // how the simulator saw the last link end; nullptr: not checked
};

void PrintTo(const StackCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialStack : public ::testing::TestWithParam<StackCase> {};

TEST_P(SerialStack, ModeSwitchRun) {
    const StackCase& c = GetParam();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--word", std::to_string(c.initialWord)});
    SimProcess sim(args, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());

    const StackRun run = SwitchOver(sim.Path(), c.enable);
    const auto record = sim.Stop();

    // The one rule: the word is either untouched or the word read with only the search mode bit changed,
    // and "Success" only when the instrument took exactly that.
    ExpectTheOneRule(run, record, c.enable, c.initialWord, c.succeeds, c.finalWord, c.writesApplied);
    for (const auto& connection : record["connections"]) {
        EXPECT_EQ(connection["family"], IRDA_FAMILY);
        EXPECT_EQ(connection["service_name"], "QX7710Z") << "the class the stack asked IAS for";
    }
    const auto& links = record["irda"]["links"];
    if (c.linkEnd != nullptr) {
        ASSERT_FALSE(links.empty());
        EXPECT_EQ(links.back()["end"], c.linkEnd);
    }
    for (const auto& link : links) {
        EXPECT_EQ(link.value("credit_violations", 0), 0) << "TinyTP credit honestly accounted";
    }
}

// The same runs on a line paced at 9600 baud, where every frame takes its time on the wire and the answers
// come that much later: the stack's waits must still hold them.
TEST(SerialStack, ModeSwitchRunOnAPacedLine) {
    const std::vector<StackCase> cases = {
        {"Enable", {}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        {"DroppedReply", {"--link-fault", "drop-reply"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
    };
    for (const StackCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--word", std::to_string(c.initialWord)});
        SimProcess sim(args, SimLine::PacedSerial);
        ASSERT_FALSE(sim.Path().empty());
        const StackRun run = SwitchOver(sim.Path(), c.enable);
        const auto record = sim.Stop();
        ExpectTheOneRule(run, record, c.enable, c.initialWord, c.succeeds, c.finalWord, c.writesApplied);
        EXPECT_EQ(record["irda"]["line"]["paced"], true);
        ASSERT_FALSE(record["irda"]["links"].empty());
        EXPECT_EQ(record["irda"]["links"].back()["end"], c.linkEnd);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialStack,
    ::testing::Values(
        StackCase{"Enable", {}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{"Disable", {}, false, 0x0105, true, 0x0005, {0x0005}, "disc"},
        StackCase{"BadFcsOnce", {"--link-fault", "bad-fcs"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{
            "DroppedReply", {"--link-fault", "drop-reply"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        // The greeting's, the read's and the write's replies each lost once and sent again: the write is
        // taken once.
        StackCase{"EveryReplyLostOnce",
                  {"--link-fault", "drop-reply:3"},
                  true,
                  0x0004,
                  true,
                  0x0104,
                  {0x0104},
                  "disc"},
        StackCase{"RnrOnce", {"--link-fault", "rnr"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{"Noise", {"--link-fault", "noise"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{"EchoingAdapter", {"--link-fault", "echo"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{"SlowTurnaround",
                  {"--link-fault", "slow-turnaround", "--turnaround-ms", "300"},
                  true,
                  0x0004,
                  true,
                  0x0104,
                  {0x0104},
                  "disc"},
        // DM refuses the connection: the run fails before any frame of the instrument's.
        StackCase{"DmToTheFirstSnrm", {"--link-fault", "dm-snrm"}, true, 0x0004, false, 0x0004, {}, "dm"},
        StackCase{"NoIasClass", {"--link-fault", "no-ias-class"}, true, 0x0004, false, 0x0004, {}, nullptr},
        StackCase{"SilentAfterConnect",
                  {"--link-fault", "silent-after-connect"},
                  true,
                  0x0004,
                  false,
                  0x0004,
                  {},
                  nullptr},
        StackCase{"NoDevice", {"--no-devices"}, true, 0x0004, false, 0x0004, {}, nullptr},
        StackCase{"WriteRefused", {"--write-fault", "status-c0"}, true, 0x0004, false, 0x0004, {}, nullptr},
        StackCase{"ReadUnanswered", {"--read-fault", "silent"}, true, 0x0004, false, 0x0004, {}, nullptr},
        // The instrument asks for the link to end (RD) or cannot take a data frame (FRMR): DISC ends it.
        StackCase{
            "RdAfterConnect", {"--link-fault", "rd-after-connect"}, true, 0x0004, false, 0x0004, {}, "disc"},
        StackCase{
            "FrmrForTheFirstData", {"--link-fault", "frmr-data"}, true, 0x0004, false, 0x0004, {}, "disc"},
        // A link of a primary that vanished: DISC ends it, and the discovery run again finds the instrument.
        StackCase{"StaleLink", {"--link-fault", "stale-link"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{
            "LiteFirmware", {"--link-fault", "lite-firmware"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{"RnrWhileWriting",
                  {"--link-fault", "rnr-while-writing"},
                  true,
                  0x0004,
                  true,
                  0x0104,
                  {0x0104},
                  "disc"},
        StackCase{
            "IasAckFrameFirst", {"--link-fault", "ias-ack"}, true, 0x0004, true, 0x0104, {0x0104}, "disc"},
        StackCase{"DiscoveryMissed",
                  {"--link-fault", "miss-discovery"},
                  true,
                  0x0004,
                  true,
                  0x0104,
                  {0x0104},
                  "disc"}),
    [](const auto& info) { return std::string(info.param.name); });

// The instrument stores the write and the link is lost before its acknowledgement comes back: the run says
// the write went out unconfirmed and names the word sent, never "nothing written".
TEST(SerialStack, LinkLostAfterTheInstrumentTookTheWrite) {
    const struct {
        const char* fault;
        int code;
    } cases[] = {
        {"silent-after-write", qx::WSAETIMEDOUT_CODE}, {"dm-after-write", qx::WSAECONNRESET_CODE},
        {"frmr-after-write", qx::WSAECONNRESET_CODE},  {"bad-nr-after-write", qx::WSAECONNRESET_CODE},
        {"gone-after-write", qx::WSAENETDOWN_CODE},
    };
    for (const auto& c : cases) {
        SimProcess sim({"--link-fault", c.fault}, SimLine::Serial);
        ASSERT_FALSE(sim.Path().empty());
        const StackRun run = SwitchOver(sim.Path(), true);
        const auto record = sim.Stop();
        EXPECT_EQ(record["final_word"], 0x0104) << c.fault << ": the instrument took the write";
        EXPECT_EQ(run.outcome.stage, qx::RunStage::WriteUnconfirmed) << c.fault;
        EXPECT_EQ(run.outcome.code, c.code) << c.fault;
        EXPECT_EQ(run.outcome.wordSent, std::optional<qx::ConfigWord>(0x0104)) << c.fault;
        EXPECT_FALSE(run.succeeded) << c.fault;
    }
}

// A serial port whose line never drains (a wedged adapter or driver): the pty's other end is never read, and
// the line is filled as soon as the port is open. Counts the writes asked of it and those that failed.
class WedgedPort : public qx::irda::SerialPort {
  public:
    WedgedPort() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            path = ptsname(master_);
        }
    }
    ~WedgedPort() override {
        if (master_ >= 0) {
            close(master_);
        }
    }
    bool Open(const std::string& name) override {
        if (!port_.Open(name)) {
            return false;
        }
        const int fill = ::open(name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
        // Until the line takes nothing more for a while: the pty moves what it holds on to its reader's
        // buffer behind the writer's back, so one write that would block is not yet a full line.
        const std::vector<std::uint8_t> block(4096, 0x55);
        pollfd room{fill, POLLOUT, 0};
        while (fill >= 0 && (::write(fill, block.data(), block.size()) > 0 || ::poll(&room, 1, 200) > 0)) {
        }
        if (fill >= 0) {
            ::close(fill);
        }
        return true;
    }
    void Close() override { port_.Close(); }
    bool IsOpen() const override { return port_.IsOpen(); }
    bool Write(std::span<const std::uint8_t> bytes) override {
        ++writes;
        const bool written = port_.Write(bytes);
        failedWrites += written ? 0 : 1;
        return written;
    }
    bool LastWriteHandedOver() const override { return port_.LastWriteHandedOver(); }
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override {
        return port_.Read(buffer, timeoutMs);
    }
    std::uint32_t LastError() const override { return port_.LastError(); }

    std::string path;
    int writes = 0;
    int failedWrites = 0;

  private:
    int master_ = -1;
    qx::PosixSerialPort port_;
};

// A port that cannot take a frame is a failed port: the first write that does not finish ends the search,
// and no later discovery try waits on the port again.
TEST(SerialStack, APortThatNeverDrainsEndsTheRunAtItsFirstWrite) {
    WedgedPort port;
    ASSERT_FALSE(port.path.empty());
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::irda::SerialIrdaCalls calls(port.path, port, platform);
    qx::IrdaLink link(calls);
    qx::FormTexts texts;
    qx::ApplyLanguage(qx::LANGUAGE_ENGLISH, texts);
    qx::test::RecordingHost host;
    const auto start = std::chrono::steady_clock::now();
    const qx::RunOutcome outcome = qx::RunModeSwitch(true, link, texts.slots, host);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::printf("a port that never drains: %s (error %d) after %lld ms, %d writes, %d failed\n",
                std::string(qx::StageName(outcome.stage)).c_str(), outcome.code, static_cast<long long>(ms),
                port.writes, port.failedWrites);
    EXPECT_EQ(outcome.stage, qx::RunStage::SearchFailed);
    EXPECT_EQ(outcome.code, qx::WSAENETDOWN_CODE);
    EXPECT_EQ(port.failedWrites, 1);
    EXPECT_EQ(port.writes, 1) << "the port was written to again after it failed";
}

// Whatever ended a run, the instrument is left disconnected: a second run, started at once, reaches it.
TEST(SerialStackAgain, TheNextRunAtOnceReachesTheInstrument) {
    for (const char* fault : {"rd-after-connect", "frmr-data"}) {
        SimProcess sim({"--link-fault", fault, "--word", "4"}, SimLine::Serial);
        ASSERT_FALSE(sim.Path().empty());
        EXPECT_FALSE(SwitchOver(sim.Path(), true).succeeded) << fault;
        EXPECT_TRUE(SwitchOver(sim.Path(), true).succeeded) << fault;
        const auto record = sim.Stop();
        EXPECT_EQ(record["final_word"], 0x0104) << fault;
        const auto& links = record["irda"]["links"];
        ASSERT_EQ(links.size(), 2u) << fault;
        EXPECT_EQ(links[0]["end"], "disc") << fault << ": the first link ended with the program's DISC";
    }
}

}  // namespace
}  // namespace qxtest
