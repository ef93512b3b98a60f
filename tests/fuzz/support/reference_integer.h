// A second, independent reading of a settings value as an integer, for the fuzz targets to hold the program's
// reading against: the text is checked against the accepted shapes first, and the digits are then converted
// by the standard library rather than by hand.
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace qx::fuzz {

inline std::optional<std::int32_t> ReferenceProfileInteger(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text.remove_prefix(first);
    const bool negative = text.front() == '-';
    if (text.front() == '-' || text.front() == '+') {
        text.remove_prefix(1);
    }
    int base = 10;
    for (const std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.starts_with(prefix)) {
            base = 16;
            text.remove_prefix(prefix.size());
            break;
        }
    }
    const std::string_view digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.empty() || text.find_first_not_of(digits) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t significant = text.find_first_not_of('0');
    if (significant == std::string_view::npos) {
        return 0;
    }
    text.remove_prefix(significant);
    // 2^31 has 10 decimal and 8 hexadecimal digits; anything longer is out of range.
    if (text.size() > (base == 16 ? 8u : 10u)) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    const std::int64_t value =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace qx::fuzz
