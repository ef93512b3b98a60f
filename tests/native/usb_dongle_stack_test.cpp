// The program's own IrDA stack over each simulated USB dongle family, the chip's light side on the pty of the
// simulator's serial IrDA mode: the mode switch's whole run with the link faults the serial tests play, the
// dongle unplugged in the middle of a run, and the choice of a dongle by the Port value among other devices.
// Whatever the fault, the word changes only with the instrument's acknowledgement.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/mode_switch.h"
#include "app/texts.h"
#include "irda/irlap.h"
#include "irda/serial_irda_calls.h"
#include "irda/sir_medium.h"
#include "irda/usb_dongle.h"
#include "link/irda_link.h"
#include "posix/libusb_host.h"
#include "posix/posix_serial_port.h"
#include "sim_chips.h"
#include "support/posix_platform_calls.h"
#include "support/sim_process.h"
#include "support/stack_run.h"
#include "tests/unit/support/recording_host.h"

namespace qxtest {
namespace {

using qx::irda::DongleFamily;

constexpr std::array<DongleFamily, 6> ALL_FAMILIES{DongleFamily::Bridge,   DongleFamily::Stir4200,
                                                   DongleFamily::Mcs7780,  DongleFamily::Ks959,
                                                   DongleFamily::KsDazzle, DongleFamily::KingSun};

// A chip on a simulated bus, its light on the simulator's pty.
struct SimulatedDongle {
    explicit SimulatedDongle(DongleFamily family, const std::string& pty) {
        lightOpen = light.Open(pty);
        chip = dongle_sim::MakeChip(family, light);
        bus.Attach(*chip);
    }
    qx::PosixSerialPort light;
    bool lightOpen = false;
    std::unique_ptr<dongle_sim::SimChip> chip;
    dongle_sim::SimUsbHost bus;
};

StackRun SwitchOver(SimulatedDongle& dongle, bool enable) {
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::irda::PlatformClock clock(platform);
    qx::irda::UsbSerialPort port(dongle.bus, clock);
    return SwitchOverPort(port, "USB", platform, enable);
}

struct DongleCase {
    const char* name;
    DongleFamily family;
    std::vector<std::string> args;
    bool enable;
    int initialWord;
    bool succeeds;
    int finalWord;
    std::vector<int> writesApplied;
};

void PrintTo(const DongleCase& c, std::ostream* os) {
    *os << c.name;
}

class DongleStack : public ::testing::TestWithParam<DongleCase> {};

TEST_P(DongleStack, ModeSwitchRun) {
    const DongleCase& c = GetParam();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--word", std::to_string(c.initialWord)});
    SimProcess sim(args, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    SimulatedDongle dongle(c.family, sim.Path());
    ASSERT_TRUE(dongle.lightOpen);

    const StackRun run = SwitchOver(dongle, c.enable);
    const auto record = sim.Stop();

    ExpectTheOneRule(run, record, c.enable, c.initialWord, c.succeeds, c.finalWord, c.writesApplied);
    EXPECT_GT(dongle.chip->BytesSent(), 0u) << "the chip put the stack's frames on the light";
}

std::vector<DongleCase> Cases() {
    struct Fault {
        const char* name;
        std::vector<std::string> args;
        bool enable;
        int initialWord;
        bool succeeds;
        int finalWord;
        std::vector<int> writesApplied;
    };
    const std::vector<Fault> faults{
        {"Enable", {}, true, 0x0004, true, 0x0104, {0x0104}},
        {"Disable", {}, false, 0x0105, true, 0x0005, {0x0005}},
        {"BadFcsOnce", {"--link-fault", "bad-fcs"}, true, 0x0004, true, 0x0104, {0x0104}},
        {"EveryReplyLostOnce", {"--link-fault", "drop-reply:3"}, true, 0x0004, true, 0x0104, {0x0104}},
        {"RnrOnce", {"--link-fault", "rnr"}, true, 0x0004, true, 0x0104, {0x0104}},
        {"Noise", {"--link-fault", "noise"}, true, 0x0004, true, 0x0104, {0x0104}},
        {"EchoingAdapter", {"--link-fault", "echo"}, true, 0x0004, true, 0x0104, {0x0104}},
        {"DmToTheFirstSnrm", {"--link-fault", "dm-snrm"}, true, 0x0004, false, 0x0004, {}},
        {"SilentAfterConnect", {"--link-fault", "silent-after-connect"}, true, 0x0004, false, 0x0004, {}},
        {"NoInstrument", {"--no-devices"}, true, 0x0004, false, 0x0004, {}},
        {"WriteRefused", {"--write-fault", "status-c0"}, true, 0x0004, false, 0x0004, {}},
    };
    std::vector<DongleCase> cases;
    static std::vector<std::string> names;
    names.reserve(ALL_FAMILIES.size() * faults.size());  // the cases keep pointers into it
    for (DongleFamily family : ALL_FAMILIES) {
        std::string prefix(qx::irda::FamilyName(family));
        prefix.erase(std::remove_if(prefix.begin(), prefix.end(),
                                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }),
                     prefix.end());
        for (const Fault& f : faults) {
            names.push_back(prefix + "_" + f.name);
            cases.push_back({names.back().c_str(), family, f.args, f.enable, f.initialWord, f.succeeds,
                             f.finalWord, f.writesApplied});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Families, DongleStack, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A bridge that reports the medium busy (other stations' traffic it hears): no frame goes out while it is,
// and the run goes on once it has been quiet for the media-busy time; a medium that stays busy ends the run
// without any frame sent and without touching the word.
TEST(BridgeMediaBusy, TheStackWaitsForTheMediumThenProceeds) {
    SimProcess sim({"--word", "4"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    SimulatedDongle dongle(DongleFamily::Bridge, sim.Path());
    ASSERT_TRUE(dongle.lightOpen);
    ASSERT_TRUE(dongle.chip->HearTraffic(1000));

    const StackRun run = SwitchOver(dongle, true);
    const auto record = sim.Stop();

    ExpectTheOneRule(run, record, true, 0x0004, true, 0x0104, {0x0104});
    const auto reported = dongle.chip->LastBusyReport();
    const auto firstSent = dongle.chip->FirstSentAt();
    ASSERT_TRUE(reported.has_value()) << "the chip reported the medium busy";
    ASSERT_TRUE(firstSent.has_value());
    // The stack's clock counts whole milliseconds, so its media-busy time may end up to one short of the
    // chip's finer one.
    EXPECT_GE(*firstSent - *reported, std::chrono::milliseconds(qx::irda::MEDIA_BUSY_MS - 1))
        << "the first frame went out only after the media-busy time of quiet";
}

TEST(BridgeMediaBusy, AMediumThatStaysBusyEndsTheRunWithNothingSent) {
    SimProcess sim({"--word", "4"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    SimulatedDongle dongle(DongleFamily::Bridge, sim.Path());
    ASSERT_TRUE(dongle.lightOpen);
    ASSERT_TRUE(dongle.chip->HearTraffic(std::numeric_limits<std::uint32_t>::max()));

    const StackRun run = SwitchOver(dongle, true);
    const auto record = sim.Stop();

    ExpectTheOneRule(run, record, true, 0x0004, false, 0x0004, {});
    EXPECT_EQ(dongle.chip->BytesSent(), 0u) << "no XID or SNRM while the medium is busy";
    EXPECT_FALSE(dongle.chip->FirstSentAt().has_value());
    EXPECT_TRUE(dongle.chip->LastBusyReport().has_value());
    std::printf("a medium busy for good: \"%s\"\n", run.host.results.at(0).text.c_str());
}

// A dongle pulled out once open: every transfer after that fails as unplugged (the stack's medium failure,
// through SIR framing or the bridge's own frames), the bus no longer lists it, and the instrument's word is
// untouched.
TEST(DongleUnplugged, EveryTransferAfterItFailsAsUnplugged) {
    for (DongleFamily family : ALL_FAMILIES) {
        SCOPED_TRACE(std::string(qx::irda::FamilyName(family)));
        SimProcess sim({"--word", "4", "--read-fault", "silent"}, SimLine::Serial);
        ASSERT_FALSE(sim.Path().empty());
        SimulatedDongle dongle(family, sim.Path());
        ASSERT_TRUE(dongle.lightOpen);
        PosixPlatformCalls platform;
        platform.sleeps = true;
        qx::irda::PlatformClock clock(platform);
        qx::irda::UsbSerialPort port(dongle.bus, clock);
        ASSERT_TRUE(port.Open("USB"));
        // The bridge frames for itself and is IrLAP's medium; the others carry SIR bytes.
        EXPECT_EQ(port.FrameMedium() != nullptr, family == DongleFamily::Bridge);
        qx::irda::PortMedium medium(port, clock);
        dongle.chip->Unplug();
        std::vector<std::uint8_t> received;
        EXPECT_EQ(medium.Receive(qx::irda::Deadline::After(clock, 50), received),
                  qx::irda::MediumReceive::Failed);
        EXPECT_EQ(medium.LastError(), qx::irda::USB_ERROR_UNPLUGGED);
        const std::array<std::uint8_t, 3> frame{0xFF, 0x93, 0x00};
        EXPECT_EQ(medium.Send(frame, qx::irda::SIR_DEFAULT_XBOFS), std::nullopt);
        EXPECT_EQ(medium.LastError(), qx::irda::USB_ERROR_UNPLUGGED);
        port.Close();
        EXPECT_FALSE(port.Open("USB")) << "an unplugged dongle is not on the bus";
        EXPECT_EQ(port.LastError(), qx::irda::USB_ERROR_NO_DONGLE);
        const auto record = sim.Stop();
        EXPECT_EQ(record["final_word"], 4);
    }
}

// Which dongle a Port value opens, among devices that are no dongle, dongles this program may not open, and
// a refused open.
TEST(DongleChoice, ByPortValue) {
    qx::PosixSerialPort noLight;  // never opened: the chip hears nothing and its frames go nowhere
    auto stir = dongle_sim::MakeChip(DongleFamily::Stir4200, noLight);
    auto mcs = dongle_sim::MakeChip(DongleFamily::Mcs7780, noLight);
    PosixPlatformCalls platform;
    qx::irda::PlatformClock clock(platform);

    qx::irda::UsbDeviceInfo mouse;
    mouse.vendor = 0x046D;
    mouse.product = 0xC077;
    mouse.path = "sim:mouse";
    mouse.interfaces.push_back({0, 0x03, 0x01, {}});
    qx::irda::UsbDeviceInfo unboundBridge;
    unboundBridge.vendor = 0x09C4;
    unboundBridge.product = 0x0011;
    unboundBridge.path = "sim:act-ir2000u";
    unboundBridge.access = qx::irda::UsbAccess::NoDriver;
    qx::irda::UsbDeviceInfo forbiddenStir = stir->Info();
    forbiddenStir.path = "sim:other-stir4200";
    forbiddenStir.access = qx::irda::UsbAccess::NoPermission;

    struct Case {
        const char* value;
        bool withMouse, withUnbound, withForbidden, withStir, withMcs;
        bool opens;
        std::uint32_t error;
        const char* family;
    };
    for (const Case& c : {
             Case{"USB", true, false, false, false, false, false, qx::irda::USB_ERROR_NO_DONGLE, nullptr},
             Case{"USB", true, true, false, false, false, false, qx::irda::USB_ERROR_NOT_WINUSB, nullptr},
             Case{"USB", false, false, true, false, false, false, qx::irda::USB_ERROR_NO_PERMISSION, nullptr},
             Case{"USB", true, true, true, true, false, true, 0, "STIr4200"},
             Case{"USB:9710:7780", true, false, false, true, true, true, 0, "MCS7780"},
             Case{"usb:066f:4200", false, false, false, true, true, true, 0, "STIr4200"},
             Case{"USB:9710:7780", false, false, false, true, false, false, qx::irda::USB_ERROR_NO_DONGLE,
                  nullptr},
             Case{"USB:046D:C077", true, false, false, false, false, false, qx::irda::USB_ERROR_NO_DONGLE,
                  nullptr},
             Case{"USB:09C4:0011", false, true, false, true, false, false, qx::irda::USB_ERROR_NOT_WINUSB,
                  nullptr},
             Case{"USB:1", false, false, false, true, false, false, qx::irda::PORT_ERROR_INVALID_NAME,
                  nullptr},
         }) {
        SCOPED_TRACE(c.value);
        dongle_sim::SimUsbHost bus;
        if (c.withMouse) {
            bus.AddDevice(mouse);
        }
        if (c.withUnbound) {
            bus.AddDevice(unboundBridge);
        }
        if (c.withForbidden) {
            bus.AddDevice(forbiddenStir);
        }
        if (c.withStir) {
            bus.Attach(*stir);
        }
        if (c.withMcs) {
            bus.Attach(*mcs);
        }
        qx::irda::UsbSerialPort port(bus, clock);
        EXPECT_EQ(port.Open(c.value), c.opens);
        if (c.opens) {
            ASSERT_TRUE(port.Family().has_value());
            EXPECT_EQ(qx::irda::FamilyName(*port.Family()), c.family);
        } else {
            EXPECT_EQ(port.LastError(), c.error);
            EXPECT_FALSE(port.IsOpen());
        }
    }

    dongle_sim::SimUsbHost bus;
    bus.Attach(*stir);
    bus.FailNextOpen(qx::irda::UsbFailure(qx::irda::UsbStatus::Failed, -3));
    qx::irda::UsbSerialPort port(bus, clock);
    EXPECT_FALSE(port.Open("USB"));
    EXPECT_EQ(port.LastError(), qx::irda::USB_ERROR_DEVICE);
    EXPECT_TRUE(port.Open("USB")) << "the next try opens it";
}

// A capture over a dongle holds the IrLAP frames (no USB transfers, no dongle headers, no SIR flags): the
// XID command first, the instrument's XID answer among the frames received, every frame's address byte that
// of IrLAP.
TEST(DongleCapture, HoldsTheFramesNotTheTransfers) {
    struct Recorder : qx::irda::FrameSink {
        std::vector<std::pair<bool, std::vector<std::uint8_t>>> frames;
        void Frame(bool sent, std::span<const std::uint8_t> frame) override {
            frames.emplace_back(sent, std::vector<std::uint8_t>(frame.begin(), frame.end()));
        }
    };
    for (DongleFamily family : ALL_FAMILIES) {
        SCOPED_TRACE(std::string(qx::irda::FamilyName(family)));
        SimProcess sim({"--word", "4"}, SimLine::Serial);
        ASSERT_FALSE(sim.Path().empty());
        SimulatedDongle dongle(family, sim.Path());
        ASSERT_TRUE(dongle.lightOpen);
        PosixPlatformCalls platform;
        platform.sleeps = true;
        qx::irda::PlatformClock clock(platform);
        qx::irda::UsbSerialPort port(dongle.bus, clock);
        Recorder recorder;
        qx::irda::SerialIrdaCalls calls("USB", port, platform, &recorder);
        qx::IrdaLink link(calls);
        qx::FormTexts texts;
        qx::ApplyLanguage(qx::LANGUAGE_ENGLISH, texts);
        qx::test::RecordingHost host;
        EXPECT_TRUE(qx::SetSearchMode(true, link, texts.slots, host));
        sim.Stop();
        ASSERT_FALSE(recorder.frames.empty());
        EXPECT_TRUE(recorder.frames.front().first);
        EXPECT_EQ(recorder.frames.front().second.at(0), 0xFF) << "broadcast address, command";
        EXPECT_EQ(recorder.frames.front().second.at(1), 0x3F) << "XID command with P";
        const bool xidAnswered =
            std::any_of(recorder.frames.begin(), recorder.frames.end(), [](const auto& f) {
                return !f.first && f.second.size() > 2 && f.second[0] == 0xFE && f.second[1] == 0xBF;
            });
        EXPECT_TRUE(xidAnswered) << "the instrument's XID response captured";
        // Past discovery every frame carries the one connection address (the C/R bit aside): a dongle's
        // header in front of a frame would show as another first byte. The address itself is random, so no
        // fixed byte (a header's 0x55 is the address 0x2A) can stand for a header.
        std::optional<std::uint8_t> connection;
        for (const auto& [sent, frame] : recorder.frames) {
            // (A leading BOF shows here too: the address 0x60 alone makes a first byte of 0xC0 or 0xC1.)
            const std::uint8_t address = frame.at(0) | 0x01;
            if (address == 0xFF) {
                continue;  // discovery and the connection request go to every station
            }
            if (!connection) {
                connection = address;
            }
            EXPECT_EQ(address, *connection) << "no dongle header in a captured frame";
        }
        EXPECT_TRUE(connection.has_value()) << "the connection's frames captured";
    }
}

// What `ports` shows of the USB bus: one value per dongle (not the other devices), and one discovery through
// each dongle finding the instrument, the dongle's family named.
TEST(DonglePorts, ListedAndProbed) {
    SimProcess sim({"--device", "QX7710Z:0x0A0B0C0D"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    SimulatedDongle dongle(DongleFamily::Mcs7780, sim.Path());
    ASSERT_TRUE(dongle.lightOpen);
    qx::irda::UsbDeviceInfo keyboard;
    keyboard.vendor = 0x413C;
    keyboard.product = 0x2107;
    keyboard.path = "sim:keyboard";
    keyboard.interfaces.push_back({0, 0x03, 0x01, {}});
    dongle.bus.AddDevice(keyboard);
    qx::irda::UsbDeviceInfo unbound;
    unbound.vendor = 0x066F;
    unbound.product = 0x4200;
    unbound.path = "sim:unbound";
    unbound.access = qx::irda::UsbAccess::NoDriver;
    dongle.bus.AddDevice(unbound);

    EXPECT_EQ(qx::irda::UsbPortValues(dongle.bus),
              (std::vector<std::string>{"USB:066F:4200", "USB:9710:7780"}));
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::irda::PlatformClock clock(platform);
    const qx::irda::PortProbe found = qx::irda::ProbeUsbPort("USB:9710:7780", dongle.bus, clock);
    EXPECT_EQ(found.adapter, "MCS7780");
    EXPECT_EQ(found.openError, 0u);
    ASSERT_EQ(found.devices.size(), 1u);
    EXPECT_EQ(found.devices[0].nickname, "QX7710Z");
    EXPECT_EQ(found.devices[0].address, 0x0A0B0C0Du);
    const qx::irda::PortProbe refused = qx::irda::ProbeUsbPort("USB:066F:4200", dongle.bus, clock);
    EXPECT_EQ(refused.adapter, "STIr4200");
    EXPECT_EQ(refused.openError, qx::irda::USB_ERROR_NOT_WINUSB);
    sim.Stop();
}

// libusb on this machine: every transfer's return code maps to its kind, and the real bus (usually without
// any dongle here) either offers a dongle or makes "USB" fail as no dongle, never anything else.
TEST(Libusb, CodesAndTheRealBus) {
    EXPECT_EQ(qx::posix::LibusbResult(5).length, 5u);
    EXPECT_EQ(qx::posix::LibusbResult(-7).status, qx::irda::UsbStatus::Timeout);  // LIBUSB_ERROR_TIMEOUT
    EXPECT_EQ(qx::posix::LibusbResult(-9).status, qx::irda::UsbStatus::Stall);    // LIBUSB_ERROR_PIPE
    EXPECT_EQ(qx::posix::LibusbResult(-4).status, qx::irda::UsbStatus::Gone);     // LIBUSB_ERROR_NO_DEVICE
    EXPECT_EQ(qx::posix::LibusbResult(-3).status, qx::irda::UsbStatus::Failed);   // LIBUSB_ERROR_ACCESS
    EXPECT_EQ(qx::posix::LibusbResult(-3).systemCode, -3);

    qx::posix::LibusbHost host;
    const auto dongles = qx::irda::FindDongles(host);
    if (!dongles.empty()) {
        GTEST_SKIP() << "a USB IrDA dongle is plugged in here";
    }
    PosixPlatformCalls platform;
    qx::irda::PlatformClock clock(platform);
    qx::irda::UsbSerialPort port(host, clock);
    EXPECT_FALSE(port.Open("USB"));
    EXPECT_EQ(port.LastError(), qx::irda::USB_ERROR_NO_DONGLE);
}

}  // namespace
}  // namespace qxtest
