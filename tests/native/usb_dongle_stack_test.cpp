// The program's own IrDA stack over each simulated USB dongle family, the chip's light side on the pty of the
// simulator's serial IrDA mode: the mode switch's whole run with the link faults the serial tests play, the
// dongle unplugged in the middle of a run, and the choice of a dongle by the Port value among other devices.
// Whatever the fault, the word changes only with the instrument's acknowledgement.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/mode_switch.h"
#include "app/run_outcome.h"
#include "app/texts.h"
#include "irda/irlap.h"
#include "irda/serial_irda_calls.h"
#include "irda/sir_medium.h"
#include "irda/usb_dongle.h"
#include "link/irda_link.h"
#include "posix/libusb_host.h"
#include "posix/posix_serial_port.h"
#include "posix/udev_rules.h"
#include "sim_chips.h"
#include "support/posix_platform_calls.h"
#include "support/sim_process.h"
#include "support/stack_run.h"
#include "tests/unit/support/recording_host.h"

namespace qxtest {
namespace {

using qx::irda::DongleFamily;
using qx::irda::UsbResult;

constexpr std::array<DongleFamily, 6> ALL_FAMILIES{DongleFamily::Bridge,   DongleFamily::Stir4200,
                                                   DongleFamily::Mcs7780,  DongleFamily::Ks959,
                                                   DongleFamily::KsDazzle, DongleFamily::KingSun};

// A chip on a simulated bus, its light on the simulator's pty.
struct SimulatedDongle {
    explicit SimulatedDongle(DongleFamily family, const std::string& pty,
                             dongle_sim::UsbRules rules = dongle_sim::UsbRules::Usbfs)
        : bus(rules) {
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

// The light side of a hostile chip, over the simulator's pty: it notes when the write request (82 00 0A) has
// gone out whole on the air (its frame's EOF seen), and it can answer every read at once with a valid frame
// (UA from the broadcast address, SIR-wrapped), from the start or from the moment the write is on the air. So
// the test fails rather than hangs, the flood ends after FLOOD_BYTES_LIMIT bytes and says so.
class HostileLight : public qx::irda::SerialPort {
  public:
    enum class Flood { Never, FromStart, AfterWrite };
    static constexpr std::size_t FLOOD_BYTES_LIMIT = 4 << 20;
    static constexpr std::array<std::uint8_t, 6> FLOOD_FRAME{0xC0, 0xFE, 0x73, 0x43, 0xA8, 0xC1};

    explicit HostileLight(Flood flood) : flood_(flood) {}
    bool Open(const std::string& name) override { return inner_.Open(name); }
    void Close() override { inner_.Close(); }
    bool IsOpen() const override { return inner_.IsOpen(); }
    bool Write(std::span<const std::uint8_t> bytes) override {
        for (std::uint8_t byte : bytes) {
            tail_ = {tail_[1], tail_[2], byte};
            writeSeen_ = writeSeen_ || tail_ == std::array<std::uint8_t, 3>{0x82, 0x00, 0x0A};
            writeOnAir_ = writeOnAir_ || (writeSeen_ && byte == qx::irda::SIR_EOF);
        }
        return inner_.Write(bytes);
    }
    bool LastWriteHandedOver() const override { return inner_.LastWriteHandedOver(); }
    int Read(std::span<std::uint8_t> buffer, std::uint32_t timeoutMs) override {
        const bool flooding = flood_ == Flood::FromStart || (flood_ == Flood::AfterWrite && writeOnAir_);
        if (!flooding || flooded >= FLOOD_BYTES_LIMIT) {
            return inner_.Read(buffer, timeoutMs);
        }
        for (std::uint8_t& byte : buffer) {
            byte = FLOOD_FRAME[flooded++ % FLOOD_FRAME.size()];
        }
        return static_cast<int>(buffer.size());
    }
    std::uint32_t LastError() const override { return inner_.LastError(); }

    bool WriteOnAir() const { return writeOnAir_; }
    std::size_t flooded = 0;

  private:
    Flood flood_;
    qx::PosixSerialPort inner_;
    std::array<std::uint8_t, 3> tail_{};
    bool writeSeen_ = false;
    bool writeOnAir_ = false;
};

// A chip that takes the write and puts it on the air, and then fails the transfer out that carried it: the
// device gone (as LIBUSB_ERROR_NO_DEVICE, and every transfer after it), a timeout, or a stall (the endpoint
// halted until cleared; a control request's stall ends with it).
class FailingOutChip : public dongle_sim::SimChip {
  public:
    FailingOutChip(std::unique_ptr<dongle_sim::SimChip> inner, HostileLight& light, qx::irda::UsbStatus fault)
        : SimChip(light), inner_(std::move(inner)), light_(light), fault_(fault) {}

    UsbResult ControlOut(const qx::irda::UsbSetup& setup, std::span<const std::uint8_t> data,
                         std::uint32_t timeoutMs) override {
        return After(inner_->ControlOut(setup, data, timeoutMs), std::nullopt);
    }
    UsbResult ControlIn(const qx::irda::UsbSetup& setup, std::span<std::uint8_t> data,
                        std::uint32_t timeoutMs) override {
        return inner_->ControlIn(setup, data, timeoutMs);
    }
    UsbResult BulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                      std::uint32_t timeoutMs) override {
        if (halted_ == endpoint) {
            return qx::irda::UsbFailure(qx::irda::UsbStatus::Stall);
        }
        return After(inner_->BulkOut(endpoint, data, timeoutMs), endpoint);
    }
    UsbResult BulkIn(std::uint8_t endpoint, std::span<std::uint8_t> data, std::uint32_t timeoutMs) override {
        return inner_->BulkIn(endpoint, data, timeoutMs);
    }
    UsbResult InterruptIn(std::uint8_t endpoint, std::span<std::uint8_t> data,
                          std::uint32_t timeoutMs) override {
        return inner_->InterruptIn(endpoint, data, timeoutMs);
    }
    UsbResult InterruptOut(std::uint8_t endpoint, std::span<const std::uint8_t> data,
                           std::uint32_t timeoutMs) override {
        if (halted_ == endpoint) {
            return qx::irda::UsbFailure(qx::irda::UsbStatus::Stall);
        }
        return After(inner_->InterruptOut(endpoint, data, timeoutMs), endpoint);
    }
    UsbResult ClearHalt(std::uint8_t endpoint) override {
        if (halted_ == endpoint) {
            halted_.reset();
        }
        return inner_->ClearHalt(endpoint);
    }
    qx::irda::UsbDeviceInfo Info() const override { return inner_->Info(); }
    bool failed = false;

  protected:
    bool HasEndpoint(std::uint8_t) const override { return true; }

  private:
    UsbResult After(const UsbResult& result, std::optional<std::uint8_t> endpoint) {
        if (failed || !light_.WriteOnAir()) {
            return result;
        }
        failed = true;
        if (fault_ == qx::irda::UsbStatus::Gone) {
            inner_->Unplug();
        } else if (fault_ == qx::irda::UsbStatus::Stall) {
            halted_ = endpoint;
        }
        return qx::irda::UsbFailure(fault_);
    }

    std::unique_ptr<dongle_sim::SimChip> inner_;
    HostileLight& light_;
    qx::irda::UsbStatus fault_;
    std::optional<std::uint8_t> halted_;
};

std::string FamilyPrefix(DongleFamily family) {
    std::string prefix(qx::irda::FamilyName(family));
    prefix.erase(std::remove_if(prefix.begin(), prefix.end(),
                                [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }),
                 prefix.end());
    return prefix;
}

// A flood of valid frames, from the start or from the write on: the run ends by itself, within the run's
// bound, and says what it knows (from the write on: sent, not confirmed, as the instrument holds the word).
struct FloodCase {
    std::string name;
    std::optional<DongleFamily> family;  // none: the serial pty itself
    HostileLight::Flood flood;
};

class Flood : public ::testing::TestWithParam<FloodCase> {};

TEST_P(Flood, TheRunEndsByItself) {
    const FloodCase& c = GetParam();
    SimProcess sim({"--word", "4"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    HostileLight light(c.flood);
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::irda::PlatformClock clock(platform);
    const auto start = std::chrono::steady_clock::now();
    StackRun run;
    if (c.family) {
        ASSERT_TRUE(light.Open(sim.Path()));
        auto chip = dongle_sim::MakeChip(*c.family, light);
        dongle_sim::SimUsbHost bus;
        bus.Attach(*chip);
        qx::irda::UsbSerialPort port(bus, clock);
        run = SwitchOverPort(port, "USB", platform, true);
    } else {
        run = SwitchOverPort(light, sim.Path(), platform, true);
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto record = sim.Stop();
    std::printf("%s: %.1f s, %s, %zu flood bytes\n", c.name.c_str(), seconds,
                std::string(qx::StageName(run.outcome.stage)).c_str(), light.flooded);
    EXPECT_LT(light.flooded, HostileLight::FLOOD_BYTES_LIMIT) << "the run ended only when the flood did";
    EXPECT_FALSE(run.succeeded);
    if (c.flood == HostileLight::Flood::AfterWrite) {
        EXPECT_EQ(record["final_word"], 0x0104);
        EXPECT_EQ(run.outcome.stage, qx::RunStage::WriteUnconfirmed);
    } else {
        EXPECT_EQ(record["final_word"], 0x0004);
        EXPECT_FALSE(run.outcome.wordSent.has_value());
    }
}

std::vector<FloodCase> FloodCases() {
    std::vector<FloodCase> cases;
    for (const auto& [flood, when] : {std::pair{HostileLight::Flood::FromStart, "FromStart"},
                                      {HostileLight::Flood::AfterWrite, "AfterWrite"}}) {
        cases.push_back({std::string("SerialPty_") + when, std::nullopt, flood});
        for (DongleFamily family : ALL_FAMILIES) {
            cases.push_back({FamilyPrefix(family) + "_" + when, family, flood});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Media, Flood, ::testing::ValuesIn(FloodCases()),
                         [](const auto& info) { return info.param.name; });

// The transfer out that carried the write reached the chip, which put it on the air, and then failed: the
// instrument holds the new word, and the run says the write was sent and not confirmed, never "not sent".
struct OutFailureCase {
    std::string name;
    DongleFamily family;
    qx::irda::UsbStatus fault;
};

class WriteTransferFails : public ::testing::TestWithParam<OutFailureCase> {};

TEST_P(WriteTransferFails, TheWriteCountsAsSent) {
    const OutFailureCase& c = GetParam();
    SimProcess sim({"--word", "4"}, SimLine::Serial);
    ASSERT_FALSE(sim.Path().empty());
    HostileLight light(HostileLight::Flood::Never);
    ASSERT_TRUE(light.Open(sim.Path()));
    FailingOutChip chip(dongle_sim::MakeChip(c.family, light), light, c.fault);
    dongle_sim::SimUsbHost bus;
    bus.Attach(chip);
    PosixPlatformCalls platform;
    platform.sleeps = true;
    qx::irda::PlatformClock clock(platform);
    qx::irda::UsbSerialPort port(bus, clock);
    const StackRun run = SwitchOverPort(port, "USB", platform, true);
    const auto record = sim.Stop();

    ASSERT_TRUE(chip.failed) << "the write's transfer was failed";
    EXPECT_EQ(record["final_word"], 0x0104);
    EXPECT_EQ(run.outcome.stage, qx::RunStage::WriteUnconfirmed) << qx::StageName(run.outcome.stage);
    EXPECT_EQ(run.outcome.wordSent, std::optional<qx::ConfigWord>(0x0104));
    EXPECT_FALSE(run.succeeded);
}

std::vector<OutFailureCase> OutFailureCases() {
    std::vector<OutFailureCase> cases;
    for (DongleFamily family : ALL_FAMILIES) {
        for (const auto& [fault, name] : {std::pair{qx::irda::UsbStatus::Gone, "NoDevice"},
                                          {qx::irda::UsbStatus::Timeout, "Timeout"},
                                          {qx::irda::UsbStatus::Stall, "Stall"}}) {
            cases.push_back({FamilyPrefix(family) + "_" + name, family, fault});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Families, WriteTransferFails, ::testing::ValuesIn(OutFailureCases()),
                         [](const auto& info) { return info.param.name; });

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

// The KS-959 and the Dazzle take their speed record, without which they put nothing on the light, through
// what each platform does to a program's request: usbfs refuses the drivers' request to an interface the
// dongle does not have, WinUSB rewrites its index. The whole run goes through under both.
TEST(DongleRules, TheKingSunSpeedRecordPassesUsbfsAndWinUsb) {
    for (const DongleFamily family : {DongleFamily::Ks959, DongleFamily::KsDazzle}) {
        for (const auto rules : {dongle_sim::UsbRules::Usbfs, dongle_sim::UsbRules::WinUsb}) {
            SCOPED_TRACE(std::string(qx::irda::FamilyName(family)) +
                         (rules == dongle_sim::UsbRules::Usbfs ? " usbfs" : " WinUSB"));
            SimProcess sim({"--word", "4"}, SimLine::Serial);
            ASSERT_FALSE(sim.Path().empty());
            SimulatedDongle dongle(family, sim.Path(), rules);
            ASSERT_TRUE(dongle.lightOpen);
            const StackRun run = SwitchOver(dongle, true);
            const auto record = sim.Stop();
            ExpectTheOneRule(run, record, true, 0x0004, true, 0x0104, {0x0104});
            EXPECT_GT(dongle.chip->BytesSent(), 0u);
        }
    }
}

// The bridge chip finds a frame's end by a short packet: a frame whose transfer is a whole number of packets
// (63 bytes behind the header: one 64-byte packet) goes on the light whole and alone, and so does the frame
// after it.
TEST(DongleRules, ABridgeFrameOfWholePacketsEndsWithAZeroLengthPacket) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    qx::PosixSerialPort light;
    ASSERT_TRUE(light.Open(ptsname(master)));
    auto chip = dongle_sim::MakeChip(DongleFamily::Bridge, light);
    dongle_sim::SimUsbHost bus;
    bus.Attach(*chip);
    PosixPlatformCalls platform;
    qx::irda::PlatformClock clock(platform);
    qx::irda::UsbSerialPort port(bus, clock);
    ASSERT_TRUE(port.Open("USB"));
    ASSERT_NE(port.FrameMedium(), nullptr);
    std::vector<std::uint8_t> whole(63);
    for (std::size_t i = 0; i < whole.size(); ++i) {
        whole[i] = static_cast<std::uint8_t>(i);
    }
    const std::vector<std::uint8_t> small{0xFF, 0x93, 0x01};
    ASSERT_TRUE(port.FrameMedium()->Send(whole, 0).has_value());
    ASSERT_TRUE(port.FrameMedium()->Send(small, 0).has_value());

    qx::irda::SirDeframer deframer;
    std::vector<std::vector<std::uint8_t>> frames;
    while (frames.size() < 2) {
        pollfd wait{master, POLLIN, 0};
        if (poll(&wait, 1, 1000) <= 0) {
            break;
        }
        std::array<std::uint8_t, 256> bytes{};
        const ssize_t n = read(master, bytes.data(), bytes.size());
        for (ssize_t i = 0; i < n; ++i) {
            if (deframer.Push(bytes[static_cast<std::size_t>(i)])) {
                const auto frame = deframer.Frame();
                frames.emplace_back(frame.begin(), frame.end());
            }
        }
    }
    port.Close();
    light.Close();
    close(master);
    EXPECT_EQ(frames, (std::vector<std::vector<std::uint8_t>>{whole, small}));
}

// A pty whose far end is a chip's light: what is written here, the chip hears.
struct PtyLight {
    PtyLight() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            open = light.Open(ptsname(master));
        }
    }
    ~PtyLight() {
        light.Close();
        if (master >= 0) {
            close(master);
        }
    }
    int master = -1;
    bool open = false;
    qx::PosixSerialPort light;
};

// A chip slow to answer: its packets come milliseconds apart while the stack reads with short timeouts, so
// the timeouts end transfers part way. A KS-959 read cut short would leave the session's XOR counter behind
// the dongle's (every later byte wrong); an MCS7780 frame cut in two would come up as two bad frames. Each
// frame the light brings must come up whole, the second one too.
TEST(DongleLate, FramesComeUpWholeFromAChipThatAnswersLate) {
    const std::array<std::pair<DongleFamily, std::uint32_t>, 2> cases{{
        {DongleFamily::Ks959, 3},     // 8-byte packets on endpoint 0
        {DongleFamily::Mcs7780, 15},  // 64-byte bulk packets
    }};
    for (const auto& [family, lateMs] : cases) {
        SCOPED_TRACE(std::string(qx::irda::FamilyName(family)));
        PtyLight pty;
        ASSERT_TRUE(pty.open);
        auto chip = dongle_sim::MakeChip(family, pty.light);
        chip->AnswerLate(lateMs);
        dongle_sim::SimUsbHost bus;
        bus.Attach(*chip);
        PosixPlatformCalls platform;
        qx::irda::PlatformClock clock(platform);
        qx::irda::UsbSerialPort port(bus, clock);
        ASSERT_TRUE(port.Open("USB"));
        for (std::uint8_t first : {0x10, 0x80}) {
            std::vector<std::uint8_t> frame(150);
            for (std::size_t i = 0; i < frame.size(); ++i) {
                frame[i] = static_cast<std::uint8_t>(first + i);
            }
            const std::vector<std::uint8_t> wrapped = qx::irda::SirWrap(frame);
            ASSERT_EQ(write(pty.master, wrapped.data(), wrapped.size()),
                      static_cast<ssize_t>(wrapped.size()));
            qx::irda::SirDeframer deframer;
            std::vector<std::vector<std::uint8_t>> frames;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (frames.empty() && std::chrono::steady_clock::now() < until) {
                std::array<std::uint8_t, 64> bytes{};
                const int n = port.Read(bytes, 5);
                ASSERT_GE(n, 0);
                for (int i = 0; i < n; ++i) {
                    if (deframer.Push(bytes[static_cast<std::size_t>(i)])) {
                        const auto got = deframer.Frame();
                        frames.emplace_back(got.begin(), got.end());
                    }
                }
            }
            EXPECT_EQ(frames, std::vector<std::vector<std::uint8_t>>{frame});
        }
        port.Close();
    }
}

// The bridge's frames are its transfers in: one that a short timeout cuts after a packet or two holds the
// start of a frame whose end the next transfer brings. Dropped, the start would be lost and the end would
// come up as a frame of its own, its first byte taken for the header; each frame must come up whole and
// alone.
TEST(DongleLate, BridgeFramesComeUpWholeFromAChipThatAnswersLate) {
    PtyLight pty;
    ASSERT_TRUE(pty.open);
    auto chip = dongle_sim::MakeChip(DongleFamily::Bridge, pty.light);
    chip->AnswerLate(15);  // 64-byte bulk packets
    dongle_sim::SimUsbHost bus;
    bus.Attach(*chip);
    PosixPlatformCalls platform;
    qx::irda::PlatformClock clock(platform);
    qx::irda::UsbSerialPort port(bus, clock);
    ASSERT_TRUE(port.Open("USB"));
    ASSERT_NE(port.FrameMedium(), nullptr);
    for (std::uint8_t first : {0x10, 0x80}) {
        std::vector<std::uint8_t> frame(150);  // with its header, three packets
        for (std::size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<std::uint8_t>(first + i);
        }
        const std::vector<std::uint8_t> wrapped = qx::irda::SirWrap(frame);
        ASSERT_EQ(write(pty.master, wrapped.data(), wrapped.size()), static_cast<ssize_t>(wrapped.size()));
        std::vector<std::vector<std::uint8_t>> frames;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < until) {
            std::vector<std::uint8_t> got;
            const qx::irda::MediumReceive received =
                port.FrameMedium()->Receive(qx::irda::Deadline::After(clock, 5), got);
            ASSERT_NE(received, qx::irda::MediumReceive::Failed);
            if (received == qx::irda::MediumReceive::Frame) {
                frames.push_back(got);
            } else if (!frames.empty()) {
                break;  // a bogus frame from the rest of a cut one would have followed at once
            }
        }
        EXPECT_EQ(frames, std::vector<std::vector<std::uint8_t>>{frame});
    }
    port.Close();
}

// The STIr4200's transmit FIFO, as stir4200.c treats it: a frame that follows another waits for room (one
// that does not fit would overrun the FIFO and lose its end on the air), and a confused FIFO whose count only
// grows is cleared so that the dongle hears again.
TEST(DongleFifo, TheStir4200FifoIsWaitedForAndCleared) {
    PtyLight pty;
    ASSERT_TRUE(pty.open);
    auto chip = dongle_sim::MakeChip(DongleFamily::Stir4200, pty.light);
    dongle_sim::SimUsbHost bus;
    bus.Attach(*chip);
    PosixPlatformCalls platform;
    qx::irda::PlatformClock clock(platform);
    qx::irda::UsbSerialPort port(bus, clock);
    ASSERT_TRUE(port.Open("USB"));

    // Two frames of 2400 bytes back to back: the second fits only once 700 of the first are on the air.
    std::vector<std::uint8_t> big(2400);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i % 0x70);
    }
    ASSERT_TRUE(port.Write(big));
    ASSERT_TRUE(port.Write(big));
    std::vector<std::uint8_t> onAir;
    for (;;) {
        pollfd wait{pty.master, POLLIN, 0};
        if (poll(&wait, 1, 300) <= 0) {
            break;
        }
        std::array<std::uint8_t, 4096> bytes{};
        const ssize_t n = read(pty.master, bytes.data(), bytes.size());
        ASSERT_GT(n, 0);
        onAir.insert(onAir.end(), bytes.begin(), bytes.begin() + n);
    }
    std::vector<std::uint8_t> both = big;
    both.insert(both.end(), big.begin(), big.end());
    EXPECT_EQ(onAir, both);

    ASSERT_TRUE(chip->ConfuseFifo());
    const std::vector<std::uint8_t> frame{0xFF, 0x93, 0x01, 0x02};
    const std::vector<std::uint8_t> wrapped = qx::irda::SirWrap(frame);
    ASSERT_EQ(write(pty.master, wrapped.data(), wrapped.size()), static_cast<ssize_t>(wrapped.size()));
    qx::irda::SirDeframer deframer;
    std::vector<std::vector<std::uint8_t>> frames;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (frames.empty() && std::chrono::steady_clock::now() < until) {
        std::array<std::uint8_t, 64> bytes{};
        const int n = port.Read(bytes, 20);
        ASSERT_GE(n, 0) << "error " << port.LastError();
        for (int i = 0; i < n; ++i) {
            if (deframer.Push(bytes[static_cast<std::size_t>(i)])) {
                const auto got = deframer.Frame();
                frames.emplace_back(got.begin(), got.end());
            }
        }
    }
    EXPECT_EQ(frames, std::vector<std::vector<std::uint8_t>>{frame});
    port.Close();
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

// The package's udev rules file, as the build wrote it: a rule with the uaccess tag for every id of the
// families' table and one for the bridge class, and nothing the table does not hold.
TEST(UdevRules, ListEveryDongleIdAndTheBridgeClass) {
    std::ifstream file(QX_UDEV_RULES_FILE);
    ASSERT_TRUE(file.is_open()) << QX_UDEV_RULES_FILE;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, qx::posix::UdevRules());
    std::vector<std::string> rules;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            EXPECT_EQ(line.find('#'), std::string::npos) << "udev takes no comment after a rule: " << line;
        }
        if (line.find("TAG+=\"uaccess\"") != std::string::npos) {
            rules.push_back(line);
        }
    }
    std::vector<std::string> expected;
    for (const qx::irda::DongleId& id : qx::irda::KnownDongleIds()) {
        char rule[96];
        std::snprintf(rule, sizeof rule,
                      "ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", TAG+=\"uaccess\"", id.vendor,
                      id.product);
        expected.push_back(rule);
    }
    expected.push_back("ENV{ID_USB_INTERFACES}==\"*:fe02??:*\", TAG+=\"uaccess\"");
    EXPECT_EQ(rules, expected);
    EXPECT_NE(text.find("ENV{DEVTYPE}!=\"usb_device\", GOTO=\"qx2205r_end\""), std::string::npos);
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
    // LIBUSB_ERROR_NOT_FOUND: a claim of an interface the device does not have, not a device gone.
    EXPECT_EQ(qx::posix::LibusbResult(-5).status, qx::irda::UsbStatus::Failed);

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
