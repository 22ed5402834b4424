#include "Numeric.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace osterveil {

double roundHalfAway(double v) { return std::round(v); }

std::int64_t roundToInt64(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);
    if (r >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
    if (r < -0x1p63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

std::string formatFixed(double v, int decimals) {
    if (decimals < 0) decimals = 0;
    // Large enough for the widest double in fixed notation (309 integer digits) plus the decimals.
    std::string buf(static_cast<std::size_t>(330 + decimals), '\0');
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, decimals);
    if (res.ec != std::errc{}) return "nan";
    buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
    return buf;
}

std::string formatPadded(std::int64_t v, int width) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    std::string digits(buf, res.ptr);
    bool negative = !digits.empty() && digits[0] == '-';
    if (negative) digits.erase(0, 1);
    int pad = width - static_cast<int>(digits.size()) - (negative ? 1 : 0);
    if (pad > 0) digits.insert(0, static_cast<std::size_t>(pad), '0');
    if (negative) digits.insert(0, 1, '-');
    return digits;
}

} // namespace osterveil
