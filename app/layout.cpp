#include "app/layout.h"

#include <algorithm>
#include <cstdint>

namespace qx {
namespace {

ControlRect ScaleRect(const ControlRect& rect, int dpi) {
    return {ScaleForDpi(rect.left, dpi), ScaleForDpi(rect.top, dpi), ScaleForDpi(rect.width, dpi),
            ScaleForDpi(rect.height, dpi)};
}

}  // namespace

int ScaleForDpi(int value, int dpi) {
    const std::int64_t product = static_cast<std::int64_t>(value) * dpi;
    const std::int64_t half = DESIGN_DPI / 2;
    const std::int64_t rounded = product >= 0 ? (product + half) / DESIGN_DPI : (product - half) / DESIGN_DPI;
    return static_cast<int>(rounded);
}

int StatusPanel0Right(int barWidth, int designRight, int need0, int need1) {
    int right = std::min(designRight, barWidth - need1);
    right = std::max(right, need0);
    return std::clamp(right, 0, barWidth);
}

FormLayout ScaleLayout(int dpi) {
    const FormLayout& design = DESIGN_LAYOUT;
    FormLayout layout;
    layout.clientWidth = ScaleForDpi(design.clientWidth, dpi);
    layout.clientHeight = ScaleForDpi(design.clientHeight, dpi);
    layout.btnSet = ScaleRect(design.btnSet, dpi);
    layout.btnClear = ScaleRect(design.btnClear, dpi);
    layout.btnExit = ScaleRect(design.btnExit, dpi);
    // Rounding the bar's top and height apart could leave a pixel row below it or push it out of the window.
    layout.statusBar.left = 0;
    layout.statusBar.top = ScaleForDpi(design.statusBar.top, dpi);
    layout.statusBar.width = layout.clientWidth;
    layout.statusBar.height = layout.clientHeight - layout.statusBar.top;
    layout.statusPanel0Width = ScaleForDpi(design.statusPanel0Width, dpi);
    layout.imageSize = ScaleForDpi(design.imageSize, dpi);
    layout.fontHeight = ScaleForDpi(design.fontHeight, dpi);
    return layout;
}

}  // namespace qx
