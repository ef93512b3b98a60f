#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "irda/irlap.h"
#include "irda/irlmp.h"
#include "irda/serial_port.h"
#include "irda/tinytp.h"

namespace qx::test {
namespace {

using namespace qx::irda;

TEST(IrdaFrames, XidCommandsAreTheDiscoveryFrames) {
    EXPECT_EQ(XidCommand(0x04030201, 6, 0),
              (Bytes{0xFF, 0x3F, 0x01, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00}));
    EXPECT_EQ(XidCommand(0x04030201, 8, 0xFF),
              (Bytes{0xFF, 0x3F, 0x01, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x02,
                     0xFF, 0x00, 0x04, 0x00, 'Q',  'X',  '2',  '2',  '0',  '5',  'R'}));
}

TEST(IrdaFrames, XidResponses) {
    const Bytes head = {0xFE, 0xBF, 0x01, 0x44, 0x33, 0x22, 0x11, 0x01, 0x02, 0x03, 0x04, 0x01, 0x02, 0x00};
    const auto with = [&](Bytes info) {
        Bytes frame = head;
        frame.insert(frame.end(), info.begin(), info.end());
        return frame;
    };
    struct Case {
        const char* name;
        Bytes frame;
        bool found;
        std::array<std::uint8_t, 2> hints;
        std::uint8_t charset;
        std::string nickname;
    };
    const Case cases[] = {
        {"two hints", with({0x82, 0x01, 0x00, 'Q', 'X'}), true, {0x82, 0x01}, 0x00, "QX"},
        {"one hint, Unicode", with({0x04, 0xFF, 'A'}), true, {0x04, 0x00}, 0xFF, "A"},
        {"no information", head, true, {0, 0}, 0, ""},
        {"hints alone", with({0x04}), true, {0x04, 0x00}, 0, ""},
        {"nickname cut to 22",
         with({0x04, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k',
               'l',  'm',  'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x'}),
         true,
         {0x04, 0},
         0,
         "abcdefghijklmnopqrstuv"},
        {"hints that never end", with({0x80, 0x80, 0x80, 0x80, 0x80}), false, {}, 0, ""},
        {"for another primary",
         [&] {
             Bytes f = with({0x04, 0x00});
             f[7] = 0x09;
             return f;
         }(),
         false,
         {},
         0,
         ""},
        {"a command",
         [&] {
             Bytes f = with({0x04, 0x00});
             f[0] = 0xFF;
             return f;
         }(),
         false,
         {},
         0,
         ""},
        {"too short", Bytes(head.begin(), head.end() - 1), false, {}, 0, ""},
    };
    for (const Case& c : cases) {
        const auto device = ParseXidResponse(c.frame, 0x04030201);
        ASSERT_EQ(device.has_value(), c.found) << c.name;
        if (device) {
            EXPECT_EQ(device->address, 0x11223344u) << c.name;
            EXPECT_EQ(device->hints, c.hints) << c.name;
            EXPECT_EQ(device->charset, c.charset) << c.name;
            EXPECT_EQ(device->nickname, c.nickname) << c.name;
        }
    }
}

TEST(IrdaFrames, NegotiationParameters) {
    const LinkParameters own = ParseParameters(OwnParameters());
    EXPECT_EQ(own.baudRates, PV_BAUD_9600);
    EXPECT_EQ(own.maxTurnaroundMs, 500u);
    EXPECT_EQ(own.dataSize, 256u);
    EXPECT_EQ(own.minTurnaroundUs, 10000u);
    EXPECT_EQ(own.disconnectThresholds, 0x01);

    // A two-byte baud rate, an unknown parameter skipped, 250 ms, 2048 bytes, 1 ms; then a truncated one.
    const LinkParameters peer = ParseParameters(Bytes{0x01, 0x02, 0x3E, 0x00, 0x99, 0x01, 0x00, 0x82, 0x01,
                                                      0x02, 0x83, 0x01, 0x3F, 0x86, 0x01, 0x04, 0x08, 0x05});
    EXPECT_EQ(peer.baudRates, 0x3E);
    EXPECT_EQ(peer.maxTurnaroundMs, 250u);
    EXPECT_EQ(peer.dataSize, 2048u);
    EXPECT_EQ(peer.minTurnaroundUs, 1000u);
    EXPECT_EQ(peer.disconnectThresholds, LinkParameters{}.disconnectThresholds);
    EXPECT_EQ(own.additionalBofs, 0u);
    EXPECT_EQ(ParseParameters(Bytes{0x85, 0x01, 0x01}).additionalBofs, 48u);
    EXPECT_EQ(ParseParameters(Bytes{0x85, 0x01, 0x04}).additionalBofs, 12u);
}

TEST(IrdaFrames, DataSizeIsCappedByTheLineAndBofsAreScaledToItsSpeed) {
    struct Case {
        std::size_t stated;
        std::uint32_t turnaroundMs;
        std::size_t usable;
    };
    // 9600 baud carries about 400 bytes in a 500 ms turn, 200 in 250 ms, 80 in 100 ms, 40 in 50 ms.
    const Case cases[] = {{2048, 500, 256}, {256, 500, 256}, {128, 500, 128}, {2048, 250, 128},
                          {2048, 100, 64},  {2048, 50, 64},  {64, 500, 64}};
    for (const Case& c : cases) {
        EXPECT_EQ(UsableDataSize(c.stated, c.turnaroundMs), c.usable) << c.stated << " at " << c.turnaroundMs;
    }
    EXPECT_EQ(LineCapacity(500), 400u);
    // Additional BOFs are stated for 115200 baud: 48 of them take as long as 4 at 9600.
    EXPECT_EQ(ScaledBofs(48, 9600), 4u);
    EXPECT_EQ(ScaledBofs(24, 9600), 2u);
    EXPECT_EQ(ScaledBofs(12, 9600), 1u);
    EXPECT_EQ(ScaledBofs(5, 9600), 0u);
    EXPECT_EQ(ScaledBofs(0, 9600), 0u);
    EXPECT_EQ(ScaledBofs(48, 115200), 48u);
}

TEST(IrdaFrames, IasAnswers) {
    struct Case {
        const char* name;
        Bytes answer;
        IasResult result;
        std::uint8_t lsap;
    };
    const Case cases[] = {
        {"integer LSAP",
         {0x84, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05},
         IasResult::Ok,
         5},
        {"no such class", {0x84, 0x01}, IasResult::NoSuchClass, 0},
        {"no such attribute", {0x84, 0x02}, IasResult::NoSuchAttribute, 0},
        {"empty list", {0x84, 0x00, 0x00, 0x00}, IasResult::NoSuchClass, 0},
        {"a string, not an integer",
         {0x84, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 0x41, 0x00},
         IasResult::Malformed,
         0},
        {"LSAP 0",
         {0x84, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00},
         IasResult::Malformed,
         0},
        {"reserved LSAP",
         {0x84, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x70},
         IasResult::Malformed,
         0},
        {"cut short", {0x84, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00}, IasResult::Malformed, 0},
        {"not the last frame",
         {0x04, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05},
         IasResult::Malformed,
         0},
        {"empty", {}, IasResult::Malformed, 0},
    };
    for (const Case& c : cases) {
        std::uint8_t lsap = 0;
        EXPECT_EQ(ParseIasLsap(c.answer, lsap), c.result) << c.name;
        EXPECT_EQ(lsap, c.lsap) << c.name;
    }
    EXPECT_EQ(IasGetValueByClass("QX", "IrDA:TinyTP:LsapSel"),
              (Bytes{0x84, 0x02, 'Q', 'X', 0x13, 'I', 'r', 'D', 'A', ':', 'T', 'i',
                     'n',  'y',  'T', 'P', ':',  'L', 's', 'a', 'p', 'S', 'e', 'l'}));
}

TEST(IrdaFrames, LmPdus) {
    EXPECT_EQ(LmControl(0x05, 0x11, LMP_CONNECT, 0x00, Bytes{0x04}), (Bytes{0x85, 0x11, 0x01, 0x00, 0x04}));
    const auto confirm = ParseLmPdu(Bytes{0x91, 0x05, 0x81, 0x00, 0x02});
    ASSERT_TRUE(confirm);
    EXPECT_TRUE(confirm->control);
    EXPECT_EQ(confirm->destination, 0x11);
    EXPECT_EQ(confirm->source, 0x05);
    EXPECT_EQ(confirm->opcode, LMP_CONNECT_CONFIRM);
    EXPECT_EQ(confirm->data, Bytes{0x02});
    const auto data = ParseLmPdu(Bytes{0x11, 0x05, 0x01, 0xA0});
    ASSERT_TRUE(data);
    EXPECT_FALSE(data->control);
    EXPECT_EQ(data->data, (Bytes{0x01, 0xA0}));
    EXPECT_FALSE(ParseLmPdu(Bytes{0x91}));
    EXPECT_FALSE(ParseLmPdu(Bytes{0x91, 0x05}));
}

TEST(IrdaFrames, TinyTpPdus) {
    struct Case {
        const char* name;
        Bytes userData;
        std::optional<std::uint8_t> credit;
    };
    const Case cases[] = {
        {"credit only", {0x04}, 4},
        {"with MaxSduSize", {0x87, 0x04, 0x01, 0x02, 0x00, 0x00}, 7},
        {"parameters longer than given", {0x87, 0x06, 0x01, 0x02, 0x00, 0x00}, std::nullopt},
        {"a parameter overrunning the rest", {0x81, 0x03, 0x01, 0x04, 0x00}, std::nullopt},
        {"nothing", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseTtpConnect(c.userData), c.credit) << c.name;
    }
    const Bytes pdu = {0x83, 0xA0};
    const auto data = ParseTtpData(pdu);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->more);
    EXPECT_EQ(data->credit, 3);
    EXPECT_EQ(Bytes(data->payload.begin(), data->payload.end()), Bytes{0xA0});
    EXPECT_FALSE(ParseTtpData(Bytes{}));
}

// The lines each adapter profile sets, as Linux's dongle drivers set them at 9600 baud.
TEST(IrdaFrames, AdapterLineProfiles) {
    struct Case {
        std::string_view value;
        std::optional<LineProfile> profile;
        std::optional<LineLevels> levels;
    };
    const Case cases[] = {
        {"power", LineProfile::Power, LineLevels{true, true}},
        {"ESI", LineProfile::Esi, LineLevels{false, true}},
        {"Mcp2120", LineProfile::Mcp2120, LineLevels{false, false}},
        {"none", LineProfile::None, std::nullopt},
        {"tekram", std::nullopt, std::nullopt},
        {" power", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseLineProfile(c.value), c.profile) << c.value;
        if (c.profile) {
            const auto levels = LevelsOf(*c.profile);
            ASSERT_EQ(levels.has_value(), c.levels.has_value()) << c.value;
            if (levels) {
                EXPECT_EQ(levels->dtr, c.levels->dtr) << c.value;
                EXPECT_EQ(levels->rts, c.levels->rts) << c.value;
            }
            EXPECT_EQ(ParseLineProfile(NameOf(*c.profile)), c.profile);
        }
    }
    EXPECT_EQ(DEFAULT_LINE_PROFILE, LineProfile::Power);
}

}  // namespace
}  // namespace qx::test
