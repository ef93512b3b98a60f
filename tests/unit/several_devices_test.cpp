// Several devices in range: which device a run uses, which it passes over, and what the outcome says of
// each, against the scripted instrument with per-device connect answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/mode_switch.h"
#include "app/outcome_table.h"
#include "app/texts.h"
#include "support/named_slots.h"
#include "support/recording_host.h"
#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::ElementsAreArray;

constexpr std::uint32_t PHONE = 0x11111111;
constexpr std::uint32_t FIRST = 0x0A0B0C0D;
constexpr std::uint32_t SECOND = 0x2222ABCD;
constexpr int REFUSED = WSAECONNREFUSED_CODE;
constexpr int NO_ANSWER = WSAETIMEDOUT_CODE;

struct DevicesCase {
    const char* name;
    std::vector<Device> devices;
    std::string chosen;                   // --device, or empty
    bool greeted;                         // the run reached a device and switched it
    std::vector<std::uint32_t> connects;  // every connect, the probes after the run included
    std::vector<DeviceRole> roles;
    std::size_t instruments;
    RunStage stage;
    std::string device;   // the outcome's device
    std::string lastRun;  // the window's left panel in English
};

void PrintTo(const DevicesCase& c, std::ostream* os) {
    *os << c.name;
}

class SeveralDevices : public ::testing::TestWithParam<DevicesCase> {};

TEST_P(SeveralDevices, UsesTheFirstThatTakesTheConnectionAndSaysWhatBecameOfEachDevice) {
    const DevicesCase& c = GetParam();
    ScriptedInstrument instrument;
    IrdaLink link{instrument};
    RecordingHost host;
    const MessageSlots slots = NamedSlots();
    instrument.devices = c.devices;
    if (!c.chosen.empty()) {
        link.SetDeviceFilter(DeviceNamed(c.chosen), c.chosen);
    }
    if (c.greeted) {
        instrument.ExpectGreeting();
        instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
        instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
    }

    const RunOutcome outcome = RunModeSwitch(true, link, slots, host);

    EXPECT_EQ(outcome.stage, c.stage);
    EXPECT_EQ(outcome.device.value_or(""), c.device);
    EXPECT_THAT(instrument.connectedIds, ElementsAreArray(c.connects));
    std::vector<DeviceRole> roles;
    for (const ListedDevice& d : outcome.devices) {
        roles.push_back(d.role);
    }
    EXPECT_THAT(roles, ElementsAreArray(c.roles));
    EXPECT_EQ(InstrumentsInRange(outcome), c.instruments);
    EXPECT_EQ(instrument.CountCalls("send 80"), c.greeted ? 1 : 0) << "one greeting, to the device used";
    EXPECT_FALSE(link.HasLink());
    EXPECT_EQ(instrument.startups, instrument.cleanups);
    const LinkChoice winsock{};
    EXPECT_EQ(OutcomeLastRun({outcome, winsock, ""}, LANGUAGE_ENGLISH), c.lastRun);
}

using enum DeviceRole;

INSTANTIATE_TEST_SUITE_P(
    Table, SeveralDevices,
    ::testing::Values(
        DevicesCase{"phone_first_then_the_instrument",
                    {{PHONE, "Phone", REFUSED}, {FIRST, "QX7710Z"}},
                    "",
                    true,
                    {PHONE, FIRST},
                    {PassedOver, Used},
                    1,
                    RunStage::Done,
                    "QX7710Z",
                    "Last run: word 0x0104 written on QX7710Z, Phone passed over"},
        DevicesCase{"two_instruments_the_first_is_used_and_the_second_found",
                    {{FIRST, "QX7710Z"}, {SECOND, "QX7710Z-B"}},
                    "",
                    true,
                    {FIRST, SECOND},
                    {Used, Instrument},
                    2,
                    RunStage::Done,
                    "QX7710Z",
                    "Last run: word 0x0104 written on QX7710Z (1 of 2 instruments in range)"},
        DevicesCase{"device_by_name",
                    {{FIRST, "QX7710Z"}, {SECOND, "QX7710Z-B"}},
                    "QX7710Z-B",
                    true,
                    {SECOND, FIRST},
                    {Instrument, Used},
                    2,
                    RunStage::Done,
                    "QX7710Z-B",
                    "Last run: word 0x0104 written on QX7710Z-B (1 of 2 instruments in range)"},
        DevicesCase{"device_by_address",
                    {{FIRST, "QX7710Z"}, {SECOND, "QX7710Z-B"}, {PHONE, "Phone", REFUSED}},
                    "0x2222abcd",
                    true,
                    {SECOND, FIRST, PHONE},
                    {Instrument, Used, PassedOver},
                    2,
                    RunStage::Done,
                    "QX7710Z-B",
                    "Last run: word 0x0104 written on QX7710Z-B (1 of 2 instruments in range), Phone passed "
                    "over"},
        DevicesCase{"device_named_is_not_in_range",
                    {{FIRST, "QX7710Z"}},
                    "QX7710Z-B",
                    false,
                    {},
                    {NotTried},
                    0,
                    RunStage::NoDevice,
                    "",
                    "Last run: QX7710Z-B did not answer the search"},
        DevicesCase{"answers_discovery_and_refuses_the_connection_alone",
                    {{PHONE, "Phone", REFUSED}},
                    "",
                    false,
                    {PHONE},
                    {Failed},
                    0,
                    RunStage::ConnectFailed,
                    "Phone",
                    "Last run: no answer to the greeting (10061)"},
        DevicesCase{"answers_discovery_only_first_ends_the_run_there",
                    {{PHONE, "Mute", NO_ANSWER}, {FIRST, "QX7710Z"}},
                    "",
                    false,
                    {PHONE},
                    {Failed, NotTried},
                    0,
                    RunStage::ConnectFailed,
                    "Mute",
                    "Last run: no answer to the greeting (10060)"},
        DevicesCase{"refused_then_no_answer",
                    {{PHONE, "Phone", REFUSED}, {FIRST, "QX7710Z", NO_ANSWER}},
                    "",
                    false,
                    {PHONE, FIRST},
                    {PassedOver, Failed},
                    0,
                    RunStage::ConnectFailed,
                    "QX7710Z",
                    "Last run: no answer to the greeting (10060)"},
        DevicesCase{"one_device_as_before",
                    {{FIRST, "QX7710Z"}},
                    "",
                    true,
                    {FIRST},
                    {Used},
                    1,
                    RunStage::Done,
                    "QX7710Z",
                    "Last run: word 0x0104 written, search mode on"}),
    [](const ::testing::TestParamInfo<DevicesCase>& info) { return std::string(info.param.name); });

// One device: exactly the calls a run made before several devices were looked for.
TEST(SeveralDevices, OneDeviceMakesTheSameCallsAsBefore) {
    ScriptedInstrument instrument;
    IrdaLink link{instrument};
    RecordingHost host;
    instrument.devices = {{FIRST, "QX7710Z"}};
    instrument.ExpectGreeting();
    instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
    instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
    RunModeSwitch(true, link, NamedSlots(), host);
    EXPECT_THAT(instrument.calls,
                ElementsAreArray<std::string>({"WSAStartup 257",  "socket 26 1 0",
                                               "LoadHookLibrary", "getsockopt 255 16 355",
                                               "connect 32",      "send " + HexBytes(GREETING),
                                               "select 3000",     "recv 3",
                                               "select 3000",     "recv 9",
                                               "select 0",        "send " + HexBytes(READ_REQUEST),
                                               "select 3000",     "recv 3",
                                               "select 3000",     "recv 5",
                                               "select 0",        "send " + HexBytes(WriteOf(0x0104)),
                                               "select 3000",     "recv 3",
                                               "shutdown 1",      "closesocket",
                                               "Sleep 1500",      "WSACleanup"}));
}

}  // namespace
}  // namespace qx::test
