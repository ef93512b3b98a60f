// The main window's layout: the client size, the place of each control, the status bar's first panel, the
// button image size and the font height, as drawn at 96 dpi, and the same layout scaled for the DPI of the
// monitor the window is on. Pure arithmetic, so the scaling is tested without a screen.
#pragma once

namespace qx {

// The DPI the layout is drawn for.
inline constexpr int DESIGN_DPI = 96;
// The room a status bar panel needs around its text at 96 dpi: its borders and the bar's margins.
inline constexpr int STATUS_TEXT_MARGIN = 12;

// The controls' identifiers: the window creates its controls with them and a test driver finds them by them.
// The window's system menu item that reads the instrument's mode; system menu commands are multiples of 16
// below 0xF000.
inline constexpr int READ_MODE_COMMAND_ID = 0x0110;
inline constexpr int BTN_SET_ID = 101;
inline constexpr int BTN_CLEAR_ID = 102;
inline constexpr int BTN_EXIT_ID = 103;
inline constexpr int STATUS_BAR_ID = 104;

struct ControlRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    int Right() const { return left + width; }
    int Bottom() const { return top + height; }
    bool operator==(const ControlRect&) const = default;
};

struct FormLayout {
    int clientWidth = 0;
    int clientHeight = 0;
    ControlRect btnSet;
    ControlRect btnClear;
    ControlRect btnExit;
    ControlRect statusBar;
    // Panel 0 keeps this width; panel 1 takes the rest of the bar, to the window's right edge.
    int statusPanel0Width = 0;
    // The side of the square image beside a mode button's caption.
    int imageSize = 0;
    // A font height as the platform takes it: negative means the character height in pixels.
    int fontHeight = 0;

    bool operator==(const FormLayout&) const = default;
};

inline constexpr FormLayout DESIGN_LAYOUT = {
    .clientWidth = 372,
    .clientHeight = 219,
    .btnSet = {40, 48, 281, 33},
    .btnClear = {40, 88, 281, 33},
    .btnExit = {40, 128, 281, 33},
    .statusBar = {0, 200, 372, 19},
    .statusPanel0Width = 200,
    .imageSize = 16,
    .fontHeight = -11,
};

// value * dpi / 96 rounded to the nearest integer, halves away from zero (as the platform's MulDiv rounds).
int ScaleForDpi(int value, int dpi);

// Where panel 0 of a status bar `barWidth` wide ends, when its text needs `need0` pixels and panel 1's needs
// `need1` (0 for an empty panel): the layout's `designRight` where both texts fit there; else panel 1 gets
// room from panel 0 as far as panel 0's own text allows, and panel 0 never less than its text needs.
int StatusPanel0Right(int barWidth, int designRight, int need0, int need1);

// DESIGN_LAYOUT at `dpi`. Every length is scaled on its own, except that the status bar always spans the
// whole client width and ends at its bottom edge, whatever the rounding.
FormLayout ScaleLayout(int dpi);

}  // namespace qx
