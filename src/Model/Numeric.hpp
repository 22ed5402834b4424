#pragma once

#include <cstdint>
#include <string>

namespace osterveil {

// Rounds halves away from zero (2.5 -> 3, -2.5 -> -3), the rounding used for every time and count.
double roundHalfAway(double v);

// Rounds halves away from zero to a 64-bit integer; NaN gives 0, values beyond the range saturate.
std::int64_t roundToInt64(double v);

// `max(x, floor)` in the sense the timing code needs: x when floor <= x, else floor (so NaN gives floor).
inline double atLeast(double x, double floor) { return floor <= x ? x : floor; }

// Fixed notation with `decimals` digits after the point, independent of the process locale
// (the same digits as printf's "%.Nf" in the C locale).
std::string formatFixed(double v, int decimals);

// Decimal integer, at least `width` digits with leading zeros (printf's "%0Nd").
std::string formatPadded(std::int64_t v, int width);

} // namespace osterveil
