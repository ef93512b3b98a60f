#include "app/read_search_mode.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "app/mode_switch.h"
#include "support/named_slots.h"
#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::ElementsAreArray;

struct ReadCase {
    const char* name;
    void (*script)(ScriptedInstrument&);
    RunStage stage;
    int code;
    std::vector<std::string> statuses;
    bool closePause;  // the link was open at the end and closed with its pause
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

void OneDevice(ScriptedInstrument& i) {
    i.devices = {{0x01020304, "QX7710Z"}};
}

const ReadCase READ_CASES[] = {
    {"SocketLibraryWillNotStart",
     [](ScriptedInstrument& i) { i.startupError = 10091; },
     RunStage::NoSockets,
     LINK_NO_SOCKETS,
     {"slot4", ""},
     false},
    {"SocketCannotBeMade",
     [](ScriptedInstrument& i) { i.socketFails = true; },
     RunStage::SocketFailed,
     WSAEAFNOSUPPORT_CODE,  // the socket's own error, seen before discovery's 10038 on the invalid handle
     {"slot3", "slot710038", ""},
     false},
    {"EveryDiscoveryTryFails",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         i.discoveryFailures = DISCOVERY_TRIES;
         i.discoveryError = WSAETIMEDOUT_CODE;
     },
     RunStage::SearchFailed,
     WSAETIMEDOUT_CODE,
     {"slot3", "slot710060", ""},
     true},
    {"NoDeviceInRange",
     [](ScriptedInstrument&) {},
     RunStage::NoDevice,
     ENUM_NO_DEVICES,
     {"slot3", "slot6", ""},
     true},
    {"ConnectRefused",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         i.connectError = WSAECONNREFUSED_CODE;
     },
     RunStage::ConnectFailed,
     WSAECONNREFUSED_CODE,
     {"slot3", "slot5", ""},
     false},
    {"GreetingAnsweredWrongly",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         Bytes wrong = GREETING_REPLY;
         wrong[11] ^= 0xFF;
         i.Expect(GREETING, {Data(wrong)});
     },
     RunStage::ConnectFailed,
     LINK_GREETING_MISMATCH,
     {"slot3", "slot5", ""},
     false},
    {"SilentInstrument",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         i.ExpectGreeting();
         for (int attempt = 0; attempt < TRANSACT_ATTEMPTS; ++attempt) {
             i.Expect(READ_REQUEST, {Silence()});
         }
     },
     RunStage::ReadFailed,
     WSAETIMEDOUT_CODE,
     {"slot3", "slot5", ""},
     true},
    {"ReadAnsweredWithTheOtherPositiveStatus",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         i.ExpectGreeting();
         i.Expect(READ_REQUEST, {Data(ReadReply(0x0104, 0x90))});
     },
     RunStage::ReadFailed,
     0,
     {"slot3", "slot5", ""},
     true},
    {"ReadRefused",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         i.ExpectGreeting();
         i.Expect(READ_REQUEST, {Data({0xC0, 0x00, 0x03})});
     },
     RunStage::ReadFailed,
     0,
     {"slot3", "slot5", ""},
     true},
    {"WordRead",
     [](ScriptedInstrument& i) {
         OneDevice(i);
         i.ExpectGreeting();
         i.Expect(READ_REQUEST, {Data(ReadReply(0x0104))});
     },
     RunStage::Done,
     0,
     {"slot3", "slot5", ""},
     true},
};

class ReadSearchModeRun : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadSearchModeRun, StopsWhereTheRunStopsAndNeverWrites) {
    const ReadCase& c = GetParam();
    ScriptedInstrument instrument;
    c.script(instrument);
    IrdaLink link(instrument);
    std::vector<std::string> statuses;

    const RunOutcome outcome =
        ReadSearchMode(link, NamedSlots(), [&](const std::string& s) { statuses.push_back(s); });

    EXPECT_EQ(outcome.stage, c.stage);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_THAT(statuses, ElementsAreArray(c.statuses));
    EXPECT_FALSE(outcome.written);
    EXPECT_FALSE(outcome.wordSent.has_value());
    EXPECT_EQ(outcome.wordRead.has_value(), c.stage == RunStage::Done);
    if (outcome.wordRead) {
        EXPECT_EQ(*outcome.wordRead, 0x0104);
    }
    EXPECT_EQ(outcome.device.has_value(),
              instrument.devices.size() == 1 && c.stage != RunStage::SearchFailed);
    for (const Bytes& frame : instrument.sent) {
        EXPECT_NE(frame.at(0), 0x82) << "a write request was sent";
    }
    const bool paused = std::count(instrument.pauses.begin(), instrument.pauses.end(), CLOSE_PAUSE_MS) == 1;
    EXPECT_EQ(paused, c.closePause);
    if (!instrument.socketFails) {
        EXPECT_FALSE(link.HasLink());
        EXPECT_EQ(instrument.cleanups, instrument.startups) << "the socket library was not released";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadSearchModeRun, ::testing::ValuesIn(READ_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadSearchMode, ClosesALinkLeftOpenFirstAsARunDoes) {
    ScriptedInstrument instrument;
    IrdaLink link(instrument);
    AddressRecord address{};
    link.StartLink(address);
    ASSERT_TRUE(link.HasLink());

    ReadSearchMode(link, NamedSlots(), [](const std::string&) {});

    ASSERT_GE(instrument.pauses.size(), 2u);
    EXPECT_EQ(instrument.pauses[0], CLOSE_PAUSE_MS);
    EXPECT_EQ(instrument.pauses[1], STALE_LINK_PAUSE_MS);
}

TEST(DeviceName, StopsAtTheFirstZeroAndShowsUnprintableBytes) {
    DeviceList list{};
    list.SetCount(1);
    const std::string name = "QX\x01Z\xE9\\";
    std::copy(name.begin(), name.end(), list.Record(0).begin() + DEVICE_NAME_OFFSET);
    EXPECT_EQ(DeviceName(list.Record(0)), "QX\\x01Z\\xE9\\x5C");

    std::fill_n(list.Record(0).begin() + DEVICE_NAME_OFFSET, DEVICE_NAME_SIZE, 'A');
    EXPECT_EQ(DeviceName(list.Record(0)), std::string(DEVICE_NAME_SIZE, 'A'));
}

}  // namespace
}  // namespace qx::test
