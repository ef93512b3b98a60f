#include "link/device_frames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scripted_instrument.h"

namespace qx::test {
namespace {

// A link connected and greeted, ready for frames.
struct GreetedLink {
    ScriptedInstrument instrument;
    IrdaLink link{instrument};

    GreetedLink() {
        instrument.devices = {{7, "QX"}};
        instrument.ExpectGreeting();
        AddressRecord address{};
        DeviceList list{};
        EXPECT_EQ(link.StartLink(address), LINK_STARTED);
        EXPECT_EQ(link.EnumerateDevices(list), LINK_OK);
        EXPECT_EQ(link.ConnectAndGreet(0, GREETING, GREETING_REPLY, list, address), LINK_OK);
        instrument.sent.clear();
    }
};

// The program's fixed frames against the instrument's bytes as the test support spells them out.
TEST(DeviceFrames, FixedFramesAreTheInstrumentsBytes) {
    EXPECT_EQ(HexBytes(GreetingFrame), HexBytes(GREETING));
    EXPECT_EQ(HexBytes(GreetingReply), HexBytes(GREETING_REPLY));
    EXPECT_EQ(HexBytes(ReadRequest), HexBytes(READ_REQUEST));
}

TEST(DeviceFrames, WriteRequestCarriesTheWordLowByteFirst) {
    const auto a = WriteRequest(0x0100);
    const auto b = WriteRequest(0xBEEF);
    EXPECT_EQ(HexBytes(Bytes(a.begin(), a.end())), "82 00 0A B1 D3 72 00 05 00 01");
    EXPECT_EQ(HexBytes(Bytes(b.begin(), b.end())), "82 00 0A B1 D3 72 00 05 EF BE");
}

struct ReadCase {
    const char* name;
    std::vector<std::vector<Incoming>> attempts;  // what comes back to each read request the instrument gets
    bool ok;
    ConfigWord word;  // the word afterwards (starts as 0xAAAA)
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadConfigWordTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadConfigWordTest, AcceptsOnlyTheTabledReply) {
    const auto& c = GetParam();
    GreetedLink g;
    for (const auto& reply : c.attempts) {
        g.instrument.Expect(READ_REQUEST, reply);
    }
    ConfigWord word = 0xAAAA;
    EXPECT_EQ(ReadConfigWord(g.link, word), c.ok);
    EXPECT_EQ(word, c.word);
    for (const auto& request : g.instrument.sent) {
        EXPECT_EQ(HexBytes(request), HexBytes(READ_REQUEST));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReadConfigWordTest,
    ::testing::Values(
        ReadCase{"good", {{Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x34, 0x12})}}, true, 0x1234},
        ReadCase{
            "xx_bytes_ignored", {{Data({0xA0, 0x00, 0x08, 0x72, 0xFF, 0xEE, 0x04, 0x00})}}, true, 0x0004},
        ReadCase{"split_in_pieces",
                 {{Data({0xA0}), Data({0x00, 0x08, 0x72}), Data({0x00, 0x05, 0x05, 0x01})}},
                 true,
                 0x0105},
        ReadCase{"byte3_not_72", {{Data({0xA0, 0x00, 0x08, 0x73, 0x00, 0x05, 0x34, 0x12})}}, false, 0xAAAA},
        // A positive frame of another length answers some other request: passed over on every attempt.
        ReadCase{"length_field_9",
                 {{Data({0xA0, 0x00, 0x09, 0x72, 0x00, 0x05, 0x34, 0x12, 0x00})},
                  {Data({0xA0, 0x00, 0x09, 0x72, 0x00, 0x05, 0x34, 0x12, 0x00})},
                  {Data({0xA0, 0x00, 0x09, 0x72, 0x00, 0x05, 0x34, 0x12, 0x00})}},
                 false,
                 0xAAAA},
        ReadCase{"length_field_high_byte",
                 {{Data({0xA0, 0x01, 0x08, 0x72, 0x00, 0x05, 0x34, 0x12})}, {}, {}},
                 false,
                 0xAAAA},
        ReadCase{"status_90", {{Data({0x90, 0x00, 0x08, 0x72, 0x00, 0x05, 0x34, 0x12})}}, false, 0xAAAA},
        ReadCase{"status_C0_ends_at_once", {{Data({0xC0, 0x00, 0x03})}}, false, 0xAAAA},
        // A short positive frame is complete by its own length: its missing bytes never become a word.
        ReadCase{"short_positive_frame",
                 {{Data({0xA0, 0x00, 0x03})}, {Data({0xA0, 0x00, 0x03})}, {Data({0xA0, 0x00, 0x03})}},
                 false,
                 0xAAAA},
        // A late acknowledgement of some earlier write comes first; the read's own reply follows it.
        ReadCase{"stale_acknowledgement_passed_over",
                 {{Data({0xA0, 0x00, 0x03, 0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x34, 0x12})}},
                 true,
                 0x1234},
        // Longer than anything a receive keeps: taken off whole, so none of its bytes starts the next frame.
        ReadCase{"stale_frame_beyond_the_receive_limit",
                 {{Data([] {
                       Bytes stale(200, 0xA0);
                       stale[1] = 0x00;
                       stale[2] = 200;
                       return stale;
                   }()),
                   Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x34, 0x12})}},
                 true,
                 0x1234},
        ReadCase{"unknown_status_three_times",
                 {{Data({0x55, 0x00, 0x03})}, {Data({0x55, 0x00, 0x03})}, {Data({0x55, 0x00, 0x03})}},
                 false,
                 0xAAAA},
        ReadCase{"unknown_then_good",
                 {{Data({0x55, 0x00, 0x03})}, {Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x01, 0x00})}},
                 true,
                 0x0001},
        ReadCase{"silent_three_times", {{Silence()}, {Silence()}, {Silence()}}, false, 0xAAAA},
        ReadCase{"silent_then_good",
                 {{Silence()}, {Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x01, 0x00})}},
                 true,
                 0x0001},
        ReadCase{"receive_error_three_times",
                 {{RecvError(WSAECONNRESET_CODE)},
                  {RecvError(WSAECONNRESET_CODE)},
                  {RecvError(WSAECONNRESET_CODE)}},
                 false,
                 0xAAAA},
        // Half a reply, then the instrument hangs up: every further attempt finds the connection ended.
        ReadCase{"connection_ended_mid_frame",
                 {{Data({0xA0, 0x00, 0x08, 0x72}), Close()}, {}, {}},
                 false,
                 0xAAAA}),
    [](const auto& info) { return std::string(info.param.name); });

struct WriteCase {
    const char* name;
    std::vector<std::vector<Incoming>> attempts;
    bool ok;
};

// Printed by name: the raw bytes of the struct would include its uninitialised padding.
void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteConfigWordTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteConfigWordTest, AcceptsOnlyTheTabledReply) {
    const auto& c = GetParam();
    GreetedLink g;
    for (const auto& reply : c.attempts) {
        g.instrument.Expect(WriteOf(0x0104), reply);
    }
    EXPECT_EQ(WriteConfigWord(g.link, 0x0104), c.ok);
    EXPECT_EQ(g.instrument.sent.size(), c.attempts.size());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, WriteConfigWordTest,
    ::testing::Values(
        WriteCase{"acknowledged", {{Data({0xA0, 0x00, 0x03})}}, true},
        WriteCase{"status_90", {{Data({0x90, 0x00, 0x03})}}, false},
        WriteCase{"status_C0_one_request", {{Data({0xC0, 0x00, 0x03})}}, false},
        WriteCase{"length_field_4",
                  {{Data({0xA0, 0x00, 0x04, 0x00})},
                   {Data({0xA0, 0x00, 0x04, 0x00})},
                   {Data({0xA0, 0x00, 0x04, 0x00})}},
                  false},
        // The reply to an earlier read request comes while the write waits: it is not the write's answer,
        // and the acknowledgement behind it is.
        WriteCase{"late_read_reply_passed_over",
                  {{Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x04, 0x00}), Data({0xA0, 0x00, 0x03})}},
                  true},
        WriteCase{"late_read_reply_with_status_90_passed_over",
                  {{Data({0x90, 0x00, 0x08, 0x72, 0x00, 0x05, 0x04, 0x00}), Data({0xA0, 0x00, 0x03})}},
                  true},
        // The late frame arrives in pieces and the acknowledgement straight behind its last byte.
        WriteCase{
            "late_read_reply_in_pieces_passed_over",
            {{Data({0xA0, 0x00}), Data({0x08, 0x72, 0x00, 0x05, 0x04}), Data({0x00, 0xA0, 0x00, 0x03})}},
            true},
        // A refusal is an answer whatever its length.
        WriteCase{"status_C0_of_another_length_one_request",
                  {{Data({0xC0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x04, 0x00})}},
                  false},
        // The wait that a stale frame interrupted goes on only to its first bound: this acknowledgement comes
        // too late for attempt 0, and attempt 1 sends the request again.
        WriteCase{"wait_after_a_stale_frame_keeps_its_bound",
                  {{Delay(2000), Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x04, 0x00}), Delay(1500),
                    Data({0xA0, 0x00, 0x03})},
                   {Data({0xA0, 0x00, 0x03})}},
                  true},
        WriteCase{"header_cut_short", {{Data({0xA0, 0x00}), Close()}, {}, {}}, false},
        WriteCase{"unknown_status_three_identical_requests",
                  {{Data({0x12, 0x00, 0x03})}, {Data({0x12, 0x00, 0x03})}, {Data({0x12, 0x00, 0x03})}},
                  false},
        WriteCase{"C0_after_unknown", {{Data({0x12, 0x00, 0x03})}, {Data({0xC0, 0x00, 0x03})}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceFrames, FailedSendCostsAnAttemptWithTheSameRequest) {
    GreetedLink g;
    g.instrument.ExpectSendFailure(READ_REQUEST, WSAECONNRESET_CODE);
    g.instrument.Expect(READ_REQUEST, {Data({0xA0, 0x00, 0x08, 0x72, 0x00, 0x05, 0x34, 0x12})});
    ConfigWord word = 0;
    EXPECT_TRUE(ReadConfigWord(g.link, word));
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(g.instrument.CountCalls("Sleep"), 0) << "no pause between attempts";
}

TEST(DeviceFrames, TransactReturnsTheAcceptedReplysLengthField) {
    GreetedLink g;
    g.instrument.Expect(READ_REQUEST, {Data({0x90, 0x00, 0x08, 0x01, 0x02, 0x03, 0x04, 0x05})});
    std::array<std::uint8_t, 8> reply{};
    std::size_t length = 8;
    EXPECT_TRUE(Transact(g.link, READ_REQUEST, reply, length));
    EXPECT_EQ(length, 8u);
    EXPECT_THAT(reply, ::testing::ElementsAre(0x90, 0x00, 0x08, 0x01, 0x02, 0x03, 0x04, 0x05));
}

}  // namespace
}  // namespace qx::test
