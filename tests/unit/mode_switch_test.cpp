#include "app/mode_switch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/named_slots.h"
#include "support/recording_host.h"
#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct ModeSwitchRun {
    ScriptedInstrument instrument;
    IrdaLink link{instrument};
    RecordingHost host;
    MessageSlots slots = NamedSlots();

    bool Go(bool enable) { return SetSearchMode(enable, link, slots, host); }
    Bytes WritesSent() const {
        Bytes all;
        for (const auto& f : instrument.sent) {
            if (!f.empty() && f[0] == 0x82) {
                all.insert(all.end(), f.begin(), f.end());
            }
        }
        return all;
    }
};

struct WordCase {
    bool enable;
    ConfigWord read;
    ConfigWord written;
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const WordCase& c, std::ostream* os) {
    *os << (c.enable ? "enable " : "disable ") << c.read;
}

class ModeSwitchWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(ModeSwitchWord, ChangesOnlyBit8AndReportsSuccess) {
    const auto& c = GetParam();
    ModeSwitchRun r;
    r.instrument.devices = {{1, "QX"}};
    r.instrument.ExpectGreeting();
    r.instrument.Expect(READ_REQUEST, {Data(ReadReply(c.read))});
    r.instrument.Expect(WriteOf(c.written), {Data(WRITE_ACK)});
    EXPECT_TRUE(r.Go(c.enable));
    EXPECT_THAT(r.host.prompts, ElementsAre("slot1\nslot2"));
    EXPECT_THAT(r.host.statuses, ElementsAre("slot3", "slot5", ""));
    ASSERT_EQ(r.host.results.size(), 1u);
    EXPECT_EQ(r.host.results[0].text, "slot9");
    EXPECT_EQ(r.host.results[0].caption, "slot11");
    EXPECT_EQ(r.host.results[0].icon, ResultIcon::Information);
    EXPECT_FALSE(r.link.HasLink());
    EXPECT_THAT(r.instrument.pauses, ElementsAre(CLOSE_PAUSE_MS));
    EXPECT_EQ(r.instrument.startups, r.instrument.cleanups);
}

INSTANTIATE_TEST_SUITE_P(Words, ModeSwitchWord,
                         ::testing::Values(WordCase{true, 0x0004, 0x0104}, WordCase{false, 0x0105, 0x0005},
                                           WordCase{true, 0x0104, 0x0104}, WordCase{false, 0x0004, 0x0004},
                                           WordCase{true, 0xFEFF, 0xFFFF}, WordCase{false, 0xFFFF, 0xFEFF}));

// Every way a run can fail, with the status texts seen and what reached the instrument.
struct FailureCase {
    const char* name;
    void (*script)(ScriptedInstrument&);
    std::vector<std::string> statuses;
    int writeRequests;
    int closePauses;
    bool closeFails = false;  // a socket that never opened cannot be closed: the link stays present
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ModeSwitchFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ModeSwitchFailure, EndsInTheFailureBoxWithPanelCleared) {
    const auto& c = GetParam();
    ModeSwitchRun r;
    r.instrument.devices = {{1, "QX"}};
    c.script(r.instrument);
    EXPECT_FALSE(r.Go(true));
    EXPECT_THAT(r.host.statuses, ElementsAreArray(c.statuses));
    ASSERT_EQ(r.host.results.size(), 1u);
    EXPECT_EQ(r.host.results[0].text, "slot8");
    EXPECT_EQ(r.host.results[0].caption, "slot10");
    EXPECT_EQ(r.host.results[0].icon, ResultIcon::Error);
    EXPECT_EQ(static_cast<int>(r.WritesSent().size() / 10), c.writeRequests);
    EXPECT_EQ(std::count(r.instrument.pauses.begin(), r.instrument.pauses.end(), CLOSE_PAUSE_MS),
              c.closePauses);
    EXPECT_EQ(r.link.HasLink(), c.closeFails);
    EXPECT_EQ(r.instrument.startups, r.instrument.cleanups + (c.closeFails ? 1 : 0))
        << "every start of the socket library is released unless closing failed";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ModeSwitchFailure,
    ::testing::Values(
        FailureCase{"winsock_will_not_start",
                    [](ScriptedInstrument& i) { i.startupError = 10091; },
                    {"slot4", ""},
                    0,
                    0},
        FailureCase{"socket_fails",
                    [](ScriptedInstrument& i) { i.socketFails = true; },
                    {"slot3", "slot710038", ""},
                    0,
                    0,
                    true},
        FailureCase{"discovery_error",
                    [](ScriptedInstrument& i) {
                        i.devices.clear();
                        i.discoveryFailures = 1000;
                    },
                    {"slot3", "slot710060", ""},
                    0,
                    1},
        FailureCase{
            "no_device", [](ScriptedInstrument& i) { i.devices.clear(); }, {"slot3", "slot6", ""}, 0, 1},
        FailureCase{"connect_fails",
                    [](ScriptedInstrument& i) { i.connectError = WSAECONNREFUSED_CODE; },
                    {"slot3", "slot5", ""},
                    0,
                    0},
        FailureCase{"greeting_mismatch",
                    [](ScriptedInstrument& i) {
                        i.Expect(
                            GREETING,
                            {Data({0xA0, 0x00, 0x0C, 0x10, 0x00, 0x00, 0x40, 0xF0, 0x00, 0x00, 0x77, 0x11})});
                    },
                    {"slot3", "slot5", ""},
                    0,
                    0},
        FailureCase{"read_rejected",
                    [](ScriptedInstrument& i) {
                        i.ExpectGreeting();
                        i.Expect(READ_REQUEST, {Data({0x90, 0x00, 0x08, 0x72, 0x00, 0x05, 0x04, 0x00})});
                    },
                    {"slot3", "slot5", ""},
                    0,
                    1},
        FailureCase{"read_short",
                    [](ScriptedInstrument& i) {
                        i.ExpectGreeting();
                        // A positive frame of another length is passed over on each attempt.
                        for (int k = 0; k < 3; ++k) {
                            i.Expect(READ_REQUEST, {Data({0xA0, 0x00, 0x03})});
                        }
                    },
                    {"slot3", "slot5", ""},
                    0,
                    1},
        FailureCase{"read_silent",
                    [](ScriptedInstrument& i) {
                        i.ExpectGreeting();
                        for (int k = 0; k < 3; ++k) {
                            i.Expect(READ_REQUEST, {Silence()});
                        }
                    },
                    {"slot3", "slot5", ""},
                    0,
                    1},
        FailureCase{"write_refused_once",
                    [](ScriptedInstrument& i) {
                        i.ExpectGreeting();
                        i.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
                        i.Expect(WriteOf(0x0104), {Data({0xC0, 0x00, 0x03})});
                    },
                    {"slot3", "slot5", ""},
                    1,
                    1},
        FailureCase{"write_unknown_status_thrice",
                    [](ScriptedInstrument& i) {
                        i.ExpectGreeting();
                        i.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
                        for (int k = 0; k < 3; ++k) {
                            i.Expect(WriteOf(0x0104), {Data({0x33, 0x00, 0x03})});
                        }
                    },
                    {"slot3", "slot5", ""},
                    3,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModeSwitch, DiscoveryErrorWithADeviceListedStillConnectsAndCanSucceed) {
    ModeSwitchRun r;
    r.instrument.devices = {{1, "QX"}};
    r.instrument.discoveryFailures = 1000;
    r.instrument.failedTriesListDevices = true;
    r.instrument.discoveryError = -5;  // shown in signed decimal
    r.instrument.ExpectGreeting();
    r.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0000))});
    r.instrument.Expect(WriteOf(0x0100), {Data(WRITE_ACK)});
    EXPECT_TRUE(r.Go(true));
    EXPECT_THAT(r.host.statuses, ElementsAre("slot3", "slot7-5", ""));
}

TEST(ModeSwitch, LateReplyToAnEarlierAttemptIsNotTakenForTheNextAnswer) {
    ModeSwitchRun r;
    r.instrument.devices = {{1, "QX"}};
    r.instrument.ExpectGreeting();
    // The first read reply comes only after the wait ran out; the retry's own reply follows it.
    r.instrument.Expect(READ_REQUEST, {Silence(), Data(ReadReply(0x0004))});
    r.instrument.Expect(READ_REQUEST, {Data(ReadReply(0x0004))});
    r.instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
    EXPECT_TRUE(r.Go(true));
    ASSERT_EQ(r.host.results.size(), 1u);
    EXPECT_EQ(r.host.results[0].caption, "slot11");
}

TEST(ModeSwitch, ReadReplyArrivingDuringTheWriteIsNotTheWritesAnswer) {
    ModeSwitchRun r;
    r.instrument.devices = {{1, "QX"}};
    r.instrument.ExpectGreeting();
    // Each read reply arrives only while the next request waits: the first read attempt runs out of time,
    // the second takes the first reply, and the second reply comes during the write, ahead of its
    // acknowledgement.
    r.instrument.Expect(READ_REQUEST, {Silence(), Late(ReadReply(0x0004))});
    r.instrument.Expect(READ_REQUEST, {Late(ReadReply(0x0004))});
    r.instrument.Expect(WriteOf(0x0104), {Data(WRITE_ACK)});
    EXPECT_TRUE(r.Go(true));
    EXPECT_EQ(HexBytes(r.WritesSent()), HexBytes(WriteOf(0x0104))) << "one write request, nothing sent again";
    ASSERT_EQ(r.host.results.size(), 1u);
    EXPECT_EQ(r.host.results[0].text, "slot9");
}

TEST(ModeSwitch, SecondRunAfterAFailedCloseClosesAgainPausesAndStartsTheLibraryAgain) {
    ModeSwitchRun r;
    r.instrument.devices = {};
    r.instrument.closeError = WSAENETDOWN_CODE;
    EXPECT_FALSE(r.Go(true));
    ASSERT_TRUE(r.link.HasLink()) << "a failed close leaves the link present";
    r.instrument.calls.clear();
    r.instrument.closeError = 0;
    EXPECT_FALSE(r.Go(true));
    EXPECT_THAT(
        std::vector<std::string>(r.instrument.calls.begin(), r.instrument.calls.begin() + 6),
        ElementsAre("shutdown 1", "closesocket", "Sleep 1500", "WSACleanup", "Sleep 200", "WSAStartup 257"));
    EXPECT_EQ(r.instrument.startups, 2);
    EXPECT_FALSE(r.link.HasLink());
    EXPECT_EQ(r.host.results.size(), 2u);
}

TEST(ModeSwitch, CancelTouchesNothing) {
    ModeSwitchRun r;
    r.host.answerOk = false;
    EXPECT_FALSE(r.Go(true));
    EXPECT_TRUE(r.host.statuses.empty());
    EXPECT_TRUE(r.host.results.empty());
    EXPECT_TRUE(r.instrument.calls.empty());
}

TEST(ModeSwitch, StaleLinkIsClosedWithItsPauseBeforeTheConfirmation) {
    ModeSwitchRun r;
    r.instrument.devices = {{1, "QX"}};
    r.instrument.ExpectGreeting();
    AddressRecord address{};
    DeviceList list{};
    r.link.StartLink(address);
    r.link.EnumerateDevices(list);
    ASSERT_EQ(r.link.ConnectAndGreet(0, GREETING, GREETING_REPLY, list, address), LINK_OK);
    r.instrument.calls.clear();
    r.host.answerOk = false;
    EXPECT_FALSE(r.Go(false));
    EXPECT_THAT(r.instrument.calls,
                ElementsAre("shutdown 1", "closesocket", "Sleep 1500", "WSACleanup", "Sleep 200"));
    EXPECT_FALSE(r.link.HasLink());
    EXPECT_EQ(r.host.prompts.size(), 1u);
}

TEST(ModeSwitch, EmptySlotsGiveEmptyTexts) {
    ModeSwitchRun r;
    r.slots = MessageSlots{};
    r.instrument.devices = {};
    EXPECT_FALSE(r.Go(true));
    EXPECT_THAT(r.host.prompts, ElementsAre("\n"));
    EXPECT_THAT(r.host.statuses, ElementsAre("", "", ""));
    ASSERT_EQ(r.host.results.size(), 1u);
    EXPECT_EQ(r.host.results[0].text, "");
}

}  // namespace
}  // namespace qx::test
