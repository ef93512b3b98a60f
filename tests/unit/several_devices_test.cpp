// Several devices in range: which device a run uses, which it passes over, and what the outcome says of
// each, against the scripted instrument with per-device connect answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/mode_switch.h"
#include "app/outcome_table.h"
#include "app/read_search_mode.h"
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

// For a bar too narrow for the devices' names: the count of instruments alone.
TEST(SeveralDevices, TheLastRunWithoutNamesKeepsTheCount) {
    RunOutcome outcome;
    outcome.wordRead = 0x0004;
    outcome.wordSent = 0x0104;
    outcome.written = true;
    outcome.device = "ABCDEFGHIJKLMNOPQRSTUV";
    outcome.devices = {{"Phone", PHONE, PassedOver, std::nullopt},
                       {"ABCDEFGHIJKLMNOPQRSTUV", FIRST, Used, std::nullopt},
                       {"QX7710Z-B", SECOND, Instrument, std::nullopt}};
    const LinkChoice winsock{};
    EXPECT_EQ(OutcomeLastRun({outcome, winsock, ""}, LANGUAGE_ENGLISH),
              "Last run: word 0x0104 written on ABCDEFGHIJKLMNOPQRSTUV (1 of 2 instruments in range), Phone "
              "passed over");
    EXPECT_EQ(OutcomeLastRun({outcome, winsock, ""}, LANGUAGE_ENGLISH, false),
              "Last run: word 0x0104 written (1 of 2 instruments in range)");
    EXPECT_EQ(OutcomeLastRun({outcome, winsock, ""}, LANGUAGE_RUSSIAN, false),
              "Итог: слово 0x0104 записано (1 из 2 приборов рядом)");
}

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

// status --all: every device in range read in turn, never a write; what each holds, or why it was not read.
struct EveryCase {
    const char* name;
    std::vector<Device> devices;
    void (*script)(ScriptedInstrument&);  // the exchanges of the devices that take the connection, in order
    std::vector<std::uint32_t> connects;
    std::vector<DeviceRole> roles;
    std::vector<std::optional<ConfigWord>> words;
    RunStage stage;
    int code;
    std::string device;  // the outcome's device: the first read, or the first not read
};

void PrintTo(const EveryCase& c, std::ostream* os) {
    *os << c.name;
}

void Reads(ScriptedInstrument& i, std::uint16_t word) {
    i.ExpectGreeting();
    i.Expect(READ_REQUEST, {Data(ReadReply(word))});
}

class EveryInstrument : public ::testing::TestWithParam<EveryCase> {};

TEST_P(EveryInstrument, ReadsEachDeviceInRangeAndWritesNothing) {
    const EveryCase& c = GetParam();
    ScriptedInstrument instrument;
    IrdaLink link{instrument};
    instrument.devices = c.devices;
    c.script(instrument);

    const RunOutcome outcome = ReadEveryInstrument(link, NamedSlots(), [](const std::string&) {});

    EXPECT_EQ(outcome.stage, c.stage);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.device.value_or(""), c.device);
    EXPECT_THAT(instrument.connectedIds, ElementsAreArray(c.connects));
    std::vector<DeviceRole> roles;
    std::vector<std::optional<ConfigWord>> words;
    for (const ListedDevice& d : outcome.devices) {
        roles.push_back(d.role);
        words.push_back(d.word);
    }
    EXPECT_THAT(roles, ElementsAreArray(c.roles));
    EXPECT_THAT(words, ElementsAreArray(c.words));
    EXPECT_FALSE(outcome.wordSent);
    EXPECT_EQ(instrument.CountCalls("send 82"), 0) << "never a write";
    EXPECT_EQ(instrument.UnusedExchanges(), 0u);
    EXPECT_FALSE(link.HasLink());
    EXPECT_EQ(instrument.startups, instrument.cleanups);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EveryInstrument,
    ::testing::Values(
        EveryCase{"two_instruments",
                  {{FIRST, "QX7710Z"}, {SECOND, "QX7710Z-B"}},
                  [](ScriptedInstrument& i) {
                      Reads(i, 0x0104);
                      Reads(i, 0x0004);
                  },
                  {FIRST, SECOND},
                  {Used, Instrument},
                  {0x0104, 0x0004},
                  RunStage::Done,
                  0,
                  "QX7710Z"},
        EveryCase{"phone_between_two_instruments",
                  {{FIRST, "QX7710Z"}, {PHONE, "Phone", REFUSED}, {SECOND, "QX7710Z-B"}},
                  [](ScriptedInstrument& i) {
                      Reads(i, 0x0004);
                      Reads(i, 0x0105);
                  },
                  {FIRST, PHONE, SECOND},
                  {Used, PassedOver, Instrument},
                  {0x0004, std::nullopt, 0x0105},
                  RunStage::Done,
                  0,
                  "QX7710Z"},
        EveryCase{"phone_first",
                  {{PHONE, "Phone", REFUSED}, {FIRST, "QX7710Z"}},
                  [](ScriptedInstrument& i) { Reads(i, 0x0004); },
                  {PHONE, FIRST},
                  {PassedOver, Used},
                  {std::nullopt, 0x0004},
                  RunStage::Done,
                  0,
                  "QX7710Z"},
        // Nothing is written, so a device that does not answer does not end the reading of the others.
        EveryCase{"mute_first_the_instrument_after_it_still_read",
                  {{PHONE, "Mute", NO_ANSWER}, {FIRST, "QX7710Z"}},
                  [](ScriptedInstrument& i) { Reads(i, 0x0104); },
                  {PHONE, FIRST},
                  {Failed, Instrument},
                  {std::nullopt, 0x0104},
                  RunStage::ConnectFailed,
                  NO_ANSWER,
                  "Mute"},
        EveryCase{"mute_between_two_instruments",
                  {{FIRST, "QX7710Z"}, {PHONE, "Mute", NO_ANSWER}, {SECOND, "QX7710Z-B"}},
                  [](ScriptedInstrument& i) {
                      Reads(i, 0x0004);
                      Reads(i, 0x0004);
                  },
                  {FIRST, PHONE, SECOND},
                  {Used, Failed, Instrument},
                  {0x0004, std::nullopt, 0x0004},
                  RunStage::ConnectFailed,
                  NO_ANSWER,
                  "Mute"},
        EveryCase{"second_instrument_silent_at_the_read",
                  {{FIRST, "QX7710Z"}, {SECOND, "QX7710Z-B"}},
                  [](ScriptedInstrument& i) {
                      Reads(i, 0x0004);
                      i.ExpectGreeting();
                      for (int n = 0; n < 3; ++n) {
                          i.Expect(READ_REQUEST, {Silence()});
                      }
                  },
                  {FIRST, SECOND},
                  {Used, Instrument},
                  {0x0004, std::nullopt},
                  RunStage::ReadFailed,
                  WSAETIMEDOUT_CODE,
                  "QX7710Z-B"},
        EveryCase{"one_device",
                  {{FIRST, "QX7710Z"}},
                  [](ScriptedInstrument& i) { Reads(i, 0x0104); },
                  {FIRST},
                  {Used},
                  {0x0104},
                  RunStage::Done,
                  0,
                  "QX7710Z"}),
    [](const ::testing::TestParamInfo<EveryCase>& info) { return std::string(info.param.name); });

// One device: the same calls as status without --all.
TEST(EveryInstrument, OneDeviceMakesTheSameCallsAsStatus) {
    const auto calls = [](bool every) {
        ScriptedInstrument instrument;
        IrdaLink link{instrument};
        instrument.devices = {{FIRST, "QX7710Z"}};
        Reads(instrument, 0x0104);
        const auto ignore = [](const std::string&) {};
        every ? ReadEveryInstrument(link, NamedSlots(), ignore) : ReadSearchMode(link, NamedSlots(), ignore);
        return instrument.calls;
    };
    EXPECT_THAT(calls(true), ElementsAreArray(calls(false)));
}

// Within the run's bound: once it has passed, no device is connected to, and the first left unread is
// named with a time-out.
TEST(EveryInstrument, StopsConnectingOnceTheRunsBoundHasPassed) {
    ScriptedInstrument instrument;
    IrdaLink link{instrument};
    for (std::uint32_t n = 0; n < 12; ++n) {
        instrument.devices.push_back({FIRST + n, "QX7710Z-" + std::to_string(n)});
    }
    // Each device costs 2500 ms to greet and the close's 1500 ms pause: five fit in the bound.
    for (int n = 0; n < 5; ++n) {
        instrument.Expect(GREETING, {Delay(2500), Data(GREETING_REPLY)});
        instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
    }

    const RunOutcome outcome = ReadEveryInstrument(link, NamedSlots(), [](const std::string&) {});

    EXPECT_EQ(instrument.connectedIds.size(), 5u);
    EXPECT_EQ(instrument.UnusedExchanges(), 0u);
    EXPECT_EQ(outcome.stage, RunStage::ConnectFailed);
    EXPECT_EQ(outcome.code, WSAETIMEDOUT_CODE);
    EXPECT_EQ(outcome.device.value_or(""), "QX7710Z-5");
    EXPECT_EQ(outcome.devices[4].role, Instrument);
    EXPECT_EQ(outcome.devices[5].role, NotTried);
    EXPECT_EQ(outcome.devices[11].role, NotTried);
    EXPECT_EQ(instrument.startups, instrument.cleanups);
}

}  // namespace
}  // namespace qx::test
