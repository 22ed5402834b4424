#include "Platform/Media/Time.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <ostream>

namespace osterveil::media {

namespace {

using i128 = __int128;

constexpr i128 int64Min = std::numeric_limits<std::int64_t>::min();
constexpr i128 int64Max = std::numeric_limits<std::int64_t>::max();
constexpr i128 int32Max = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void outOfRange() {
    throw TimeError("The time is out of the range media times can hold.");
}

i128 abs128(i128 v) {
    return v < 0 ? -v : v;
}

i128 gcd128(i128 a, i128 b) {
    a = abs128(a);
    b = abs128(b);
    while (b != 0) {
        i128 t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// n / d for d > 0.
i128 divide(i128 n, i128 d, Rounding rounding) {
    i128 q = n / d;
    i128 r = n % d;
    if (r == 0) return q;
    i128 away = n < 0 ? -1 : 1;
    switch (rounding) {
    case Rounding::towardZero:
        return q;
    case Rounding::awayFromZero:
        return q + away;
    case Rounding::towardNegativeInfinity:
        return r < 0 ? q - 1 : q;
    case Rounding::towardPositiveInfinity:
        return r > 0 ? q + 1 : q;
    case Rounding::halfAwayFromZero:
        return 2 * abs128(r) >= d ? q + away : q;
    }
    return q;
}

std::int64_t checked64(i128 v) {
    if (v < int64Min || v > int64Max) outOfRange();
    return static_cast<std::int64_t>(v);
}

// A sum or difference over the least common timescale.
Time combine(const Time& a, const Time& b, bool subtract) {
    if (a.isIndefinite() || b.isIndefinite()) return Time::indefinite();
    i128 ta = a.timescale(), tb = b.timescale();
    i128 common = ta / gcd128(ta, tb) * tb;
    i128 va = i128(a.value()) * (common / ta);
    i128 vb = i128(b.value()) * (common / tb);
    i128 sum = subtract ? va - vb : va + vb;
    if (common <= int32Max) return Time(checked64(sum), static_cast<std::int32_t>(common));
    return Time::fraction(sum, common, std::max(a.timescale(), b.timescale()));
}

} // namespace

Time::Time(std::int64_t value, std::int32_t timescale) : value_(value), timescale_(timescale) {
    if (timescale <= 0) throw TimeError("A media timescale must be a positive number.");
}

Time Time::seconds(double seconds, std::int32_t timescale) {
    if (timescale <= 0) throw TimeError("A media timescale must be a positive number.");
    if (!std::isfinite(seconds))
        throw TimeError("A time that is not a finite number of seconds has no media time.");
    // std::round rounds halves away from zero; 2^63 is exactly representable as a double.
    double ticks = std::round(seconds * static_cast<double>(timescale));
    if (!(ticks >= -9223372036854775808.0 && ticks < 9223372036854775808.0)) outOfRange();
    return Time(static_cast<std::int64_t>(ticks), timescale);
}

Time Time::fraction(__int128 numerator, __int128 denominator, std::int32_t fallbackTimescale,
                    Rounding rounding) {
    if (denominator == 0) throw TimeError("A media time cannot have a zero denominator.");
    if (fallbackTimescale <= 0) throw TimeError("A media timescale must be a positive number.");
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    i128 g = gcd128(numerator, denominator);
    if (g > 1) {
        numerator /= g;
        denominator /= g;
    }
    if (denominator <= int32Max) return Time(checked64(numerator), static_cast<std::int32_t>(denominator));
    i128 scaled;
    if (__builtin_mul_overflow(numerator, i128(fallbackTimescale), &scaled)) outOfRange();
    return Time(checked64(divide(scaled, denominator, rounding)), fallbackTimescale);
}

double Time::toSeconds() const {
    if (!numeric_) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value_) / static_cast<double>(timescale_);
}

Time Time::converted(std::int32_t timescale, Rounding rounding) const {
    if (!numeric_) throw TimeError("An indefinite time has no value in another timescale.");
    if (timescale <= 0) throw TimeError("A media timescale must be a positive number.");
    if (timescale == timescale_) return *this;
    return Time(checked64(divide(i128(value_) * timescale, timescale_, rounding)), timescale);
}

Time Time::operator-() const {
    if (!numeric_) return *this;
    return Time(checked64(-i128(value_)), timescale_);
}

Time operator+(const Time& a, const Time& b) {
    return combine(a, b, false);
}
Time operator-(const Time& a, const Time& b) {
    return combine(a, b, true);
}

std::strong_ordering operator<=>(const Time& a, const Time& b) {
    if (a.isIndefinite() || b.isIndefinite()) return a.isIndefinite() <=> b.isIndefinite();
    if (a.timescale_ == b.timescale_) return a.value_ <=> b.value_;
    i128 l = i128(a.value_) * b.timescale_;
    i128 r = i128(b.value_) * a.timescale_;
    return l < r   ? std::strong_ordering::less
           : l > r ? std::strong_ordering::greater
                   : std::strong_ordering::equal;
}

std::ostream& operator<<(std::ostream& os, const Time& t) {
    if (t.isIndefinite()) return os << "indefinite";
    return os << t.value() << "/" << t.timescale() << " (" << t.toSeconds() << " s)";
}

TimeRange TimeRange::intersection(const TimeRange& other) const {
    Time s = std::max(start, other.start);
    Time e = std::min(end(), other.end());
    if (e < s) return TimeRange(s, Time::zero());
    return TimeRange(s, e - s);
}

std::ostream& operator<<(std::ostream& os, const TimeRange& r) {
    return os << "[" << r.start << " + " << r.duration << "]";
}

} // namespace osterveil::media
