#include "irda/sir_framing.h"

#include "irda/irlap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace qx::test {
namespace {

using namespace qx::irda;
using Bytes = std::vector<std::uint8_t>;

Bytes FromText(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// Every frame the deframer completed while taking `wire` byte by byte.
std::vector<Bytes> Deframe(SirDeframer& deframer, const Bytes& wire) {
    std::vector<Bytes> frames;
    for (std::uint8_t byte : wire) {
        if (deframer.Push(byte)) {
            auto frame = deframer.Frame();
            frames.emplace_back(frame.begin(), frame.end());
        }
    }
    return frames;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(SirFraming, FrameCheckSequenceValues) {
    struct Case {
        Bytes bytes;
        std::uint16_t fcs;
    };
    const Case cases[] = {
        {FromText("123456789"), 0x906E},
        {{}, 0x0000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SirFcs(c.bytes), c.fcs);
        Bytes withFcs = c.bytes;
        withFcs.push_back(static_cast<std::uint8_t>(c.fcs & 0xFF));
        withFcs.push_back(static_cast<std::uint8_t>(c.fcs >> 8));
        EXPECT_EQ(SirCrc(withFcs), SIR_FCS_RESIDUE);
    }
}

TEST(SirFraming, WrapEscapesEverySpecialByteAndPutsTheFcsLowByteFirst) {
    struct Case {
        std::uint8_t byte;
        Bytes sent;
    };
    const Case cases[] = {
        {0xC0, {0x7D, 0xE0}}, {0xC1, {0x7D, 0xE1}}, {0x7D, {0x7D, 0x5D}}, {0xFF, {0xFF}}, {0x20, {0x20}},
    };
    for (const Case& c : cases) {
        const Bytes frame = {0xFF, c.byte};
        const std::uint16_t fcs = SirFcs(frame);
        const Bytes wire = SirWrap(frame, 2);
        Bytes expected = {0xFF, 0xFF, 0xC0, 0xFF};
        expected.insert(expected.end(), c.sent.begin(), c.sent.end());
        for (std::uint8_t fcsByte :
             {static_cast<std::uint8_t>(fcs & 0xFF), static_cast<std::uint8_t>(fcs >> 8)}) {
            if (fcsByte == 0xC0 || fcsByte == 0xC1 || fcsByte == 0x7D) {
                expected.push_back(0x7D);
                expected.push_back(static_cast<std::uint8_t>(fcsByte ^ 0x20));
            } else {
                expected.push_back(fcsByte);
            }
        }
        expected.push_back(0xC1);
        EXPECT_EQ(wire, expected) << "byte " << int(c.byte);
    }
}

TEST(SirFraming, EveryByteValueRoundTrips) {
    Bytes frame;
    for (int b = 0; b < 256; ++b) {
        frame.push_back(static_cast<std::uint8_t>(b));
    }
    const Bytes wire = SirWrap(frame);
    EXPECT_EQ(std::count(wire.begin(), wire.end(), SIR_BOF), 1);
    EXPECT_EQ(std::count(wire.begin(), wire.end(), SIR_EOF), 1);
    SirDeframer deframer;
    EXPECT_THAT(Deframe(deframer, wire), testing::ElementsAre(frame));
    EXPECT_EQ(deframer.Dropped(), 0u);
}

TEST(SirFraming, DeframerKeepsGoodFramesAndDropsBadOnes) {
    const Bytes a = {0xFF, 0x3F, 0x01, 0xC0, 0x7D, 0xC1};
    const Bytes b = {0xFE, 0xBF, 0x01, 0x02};
    Bytes badFcs = SirWrap(a, 0);
    badFcs[3] ^= 0x01;
    Bytes aborted = SirWrap(a, 0);
    aborted.resize(5);
    aborted.push_back(0x7D);
    aborted.push_back(0xC1);
    Bytes cutOff = SirWrap(a, 0);
    cutOff.resize(6);
    Bytes oversize(SIR_MAX_FRAME + 1, 0x11);
    Bytes biggest(SIR_MAX_FRAME, 0x22);
    struct Case {
        const char* name;
        Bytes wire;
        std::vector<Bytes> frames;
        std::size_t dropped;
    };
    const Case cases[] = {
        {"two frames back to back", Concat({SirWrap(a), SirWrap(b, 0)}), {a, b}, 0},
        {"noise before, between and after",
         Concat({{0x00, 0xC1, 0x7D, 0x55}, SirWrap(a), {0x13, 0xC1}, SirWrap(b)}),
         {a, b},
         0},
        {"repeated BOFs", Concat({{0xC0, 0xC0}, SirWrap(b, 0)}), {b}, 0},
        {"bad FCS dropped", Concat({badFcs, SirWrap(b)}), {b}, 1},
        {"abort dropped", Concat({aborted, SirWrap(b)}), {b}, 1},
        {"frame cut off by a new BOF", Concat({cutOff, SirWrap(b, 0)}), {b}, 1},
        {"too short", Concat({{0xC0, 0x01, 0x02, 0xC1}, SirWrap(b)}), {b}, 1},
        {"empty frame", Concat({{0xC0, 0xC1}, SirWrap(b)}), {b}, 1},
        {"oversize dropped", Concat({SirWrap(oversize), SirWrap(b)}), {b}, 1},
        {"largest frame kept", SirWrap(biggest), {biggest}, 0},
    };
    for (const Case& c : cases) {
        SirDeframer deframer;
        EXPECT_EQ(Deframe(deframer, c.wire), c.frames) << c.name;
        EXPECT_EQ(deframer.Dropped(), c.dropped) << c.name;
    }
}

TEST(SirFraming, FrameIsHeldOnlyUntilTheNextByte) {
    SirDeframer deframer;
    const Bytes b = {0xFE, 0xBF};
    const Bytes wire = SirWrap(b, 0);
    for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
        EXPECT_FALSE(deframer.Push(wire[i]));
        EXPECT_TRUE(deframer.Frame().empty());
    }
    ASSERT_TRUE(deframer.Push(wire.back()));
    EXPECT_EQ(Bytes(deframer.Frame().begin(), deframer.Frame().end()), b);
    EXPECT_FALSE(deframer.Push(0x00));
    EXPECT_TRUE(deframer.Frame().empty());
}

TEST(SirFraming, EndlessFrameNeverGrowsPastTheBound) {
    SirDeframer deframer;
    deframer.Push(SIR_BOF);
    for (std::size_t i = 0; i < 10 * SIR_MAX_FRAME; ++i) {
        ASSERT_FALSE(deframer.Push(0x42));
    }
    EXPECT_FALSE(deframer.Push(SIR_EOF));
    EXPECT_EQ(deframer.Dropped(), 1u);
    const Bytes b = {0xFE, 0x0F};
    EXPECT_THAT(Deframe(deframer, SirWrap(b)), testing::ElementsAre(b));
}

// One XID command as it goes on the line, every byte written out by hand: 10 XBOFs, BOF, the frame with the
// address bytes 7D, C0, C1 escaped, the FCS 0x8146 low byte first (worked out apart from this program's CRC),
// EOF.
TEST(SirFraming, AnXidCommandOnTheWireByteForByte) {
    const Bytes frame = {0xFF, 0x3F, 0x01, 0x7D, 0xC0, 0xC1, 0x7D, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00};
    const Bytes wire = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0,
                        0xFF, 0x3F, 0x01, 0x7D, 0x5D, 0x7D, 0xE0, 0x7D, 0xE1, 0x7D, 0x5D,
                        0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x46, 0x81, 0xC1};
    EXPECT_EQ(XidCommand(0x7DC1C07D, 6, 0), frame);
    EXPECT_EQ(SirWrap(frame, 10), wire);
    SirDeframer deframer;
    std::vector<Bytes> frames;
    for (std::uint8_t byte : wire) {
        if (deframer.Push(byte)) {
            frames.emplace_back(deframer.Frame().begin(), deframer.Frame().end());
        }
    }
    EXPECT_EQ(frames, std::vector<Bytes>{frame});
}

}  // namespace
}  // namespace qx::test
