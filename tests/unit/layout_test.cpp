#include "app/layout.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>

namespace qx {
namespace {

// Every length of a layout in one row, so whole layouts compare field by field.
std::array<int, 21> Lengths(const FormLayout& l) {
    return {l.clientWidth,   l.clientHeight,    l.btnSet.left,      l.btnSet.top,        l.btnSet.width,
            l.btnSet.height, l.btnClear.left,   l.btnClear.top,     l.btnClear.width,    l.btnClear.height,
            l.btnExit.left,  l.btnExit.top,     l.btnExit.width,    l.btnExit.height,    l.statusBar.left,
            l.statusBar.top, l.statusBar.width, l.statusBar.height, l.statusPanel0Width, l.imageSize,
            l.fontHeight};
}

struct ScaleCase {
    int value;
    int dpi;
    int expected;
};

TEST(ScaleForDpi, RoundsToNearestWithHalvesAwayFromZero) {
    const ScaleCase cases[] = {
        {11, 96, 11},    {-11, 96, -11}, {16, 120, 20}, {11, 120, 14},    {-11, 120, -14},
        {33, 120, 41},   {1, 144, 2},    {-1, 144, -2}, {3, 112, 4},      {-3, 112, -4},
        {281, 168, 492}, {200, 72, 150}, {0, 144, 0},   {372, 288, 1116},
    };
    for (const ScaleCase& c : cases) {
        EXPECT_EQ(ScaleForDpi(c.value, c.dpi), c.expected) << c.value << " at " << c.dpi << " dpi";
    }
}

TEST(ScaleLayout, At96DpiIsTheDesignLayout) {
    EXPECT_EQ(ScaleLayout(DESIGN_DPI), DESIGN_LAYOUT);
}

// 150 % and 200 %: every length is 1.5 and 2 times its design length (an odd one at 150 % to the nearest
// pixel, halves away from zero).
TEST(ScaleLayout, At144And192DpiEveryLengthIsOneAndAHalfAndTwiceItsDesignLength) {
    const auto design = Lengths(DESIGN_LAYOUT);
    const auto at144 = Lengths(ScaleLayout(144));
    const auto at192 = Lengths(ScaleLayout(192));
    for (std::size_t i = 0; i < design.size(); ++i) {
        EXPECT_EQ(at144[i], std::lround(design[i] * 1.5)) << "length " << i;
        EXPECT_EQ(at192[i], design[i] * 2) << "length " << i;
    }
}

TEST(ScaleLayout, AtAnyDpiTheStatusBarFillsTheBottomAndTheButtonsStayAboveItInOrder) {
    for (const int dpi : {96, 97, 101, 108, 120, 130, 144, 168, 175, 192, 240, 288}) {
        SCOPED_TRACE(dpi);
        const FormLayout l = ScaleLayout(dpi);
        EXPECT_EQ(l.statusBar.left, 0);
        EXPECT_EQ(l.statusBar.width, l.clientWidth);
        EXPECT_EQ(l.statusBar.Bottom(), l.clientHeight);
        EXPECT_EQ(l.statusBar.top, ScaleForDpi(DESIGN_LAYOUT.statusBar.top, dpi));
        EXPECT_LE(l.btnSet.Bottom(), l.btnClear.top);
        EXPECT_LE(l.btnClear.Bottom(), l.btnExit.top);
        EXPECT_LE(l.btnExit.Bottom(), l.statusBar.top);
        for (const ControlRect& button : {l.btnSet, l.btnClear, l.btnExit}) {
            EXPECT_GT(button.left, 0);
            EXPECT_LT(button.Right(), l.clientWidth);
            EXPECT_LT(l.imageSize, button.height);
        }
        EXPECT_LT(l.statusPanel0Width, l.clientWidth);
        EXPECT_LT(l.fontHeight, 0);
    }
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

TEST(StatusPanels, EachTextGetsTheRoomItNeedsWhereTheBarHasIt) {
    const struct {
        const char* name;
        int need0;
        int need1;
        int right;
    } cases[] = {
        {"both empty: the layout's split", 0, 0, 200},
        {"both fit the layout's split", 150, 150, 200},
        {"panel 1 needs more: panel 0 gives it room", 0, 230, 142},
        {"panel 0 needs more than the layout gives", 290, 0, 290},
        {"both need more than the bar: panel 0's text first", 250, 200, 250},
        {"a text wider than the whole bar", 400, 0, 372},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StatusPanel0Right(372, 200, c.need0, c.need1), c.right) << c.name;
    }
}

}  // namespace
}  // namespace qx
