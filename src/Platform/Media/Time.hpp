#pragma once

#include <compare>
#include <cstdint>
#include <iosfwd>
#include <optional>

#include "Platform/Media/MediaErrors.hpp"

namespace osterveil::media {

enum class Rounding {
    halfAwayFromZero,
    towardZero,
    awayFromZero,
    towardNegativeInfinity,
    towardPositiveInfinity,
};

// A rational media time: `value` ticks of 1/`timescale` second. Comparison and arithmetic are exact
// across timescales; a sum or difference keeps a timescale both operands divide, and is rounded only
// when no 32-bit timescale can hold it. An indefinite time (an unknown duration) orders after every
// numeric one and absorbs arithmetic.
class Time {
  public:
    // The timescale at which the model's seconds meet the media layer.
    static constexpr std::int32_t modelTimescale = 120000;

    // Zero.
    constexpr Time() = default;
    // Throws `TimeError` unless `timescale` is positive.
    Time(std::int64_t value, std::int32_t timescale);

    static constexpr Time zero() { return Time(); }
    static constexpr Time indefinite() { return Time(0, 1, false); }

    // `seconds` × `timescale` rounded half away from zero. Throws `TimeError` for a non-finite number
    // or one whose tick count does not fit 64 bits.
    static Time seconds(double seconds, std::int32_t timescale = modelTimescale);
    // numerator / denominator seconds: exact when the reduced fraction has a 32-bit denominator, else
    // rounded at `fallbackTimescale`. Throws `TimeError` when `denominator` is 0 or the result overflows.
    static Time fraction(__int128 numerator, __int128 denominator, std::int32_t fallbackTimescale,
                         Rounding rounding = Rounding::halfAwayFromZero);

    bool isNumeric() const { return numeric_; }
    bool isIndefinite() const { return !numeric_; }
    std::int64_t value() const { return value_; }
    std::int32_t timescale() const { return timescale_; }

    // NaN for an indefinite time.
    double toSeconds() const;
    // The same time in ticks of 1/`timescale` s. Throws `TimeError` on overflow or an indefinite time.
    Time converted(std::int32_t timescale, Rounding rounding = Rounding::halfAwayFromZero) const;

    Time operator-() const;
    friend Time operator+(const Time& a, const Time& b);
    friend Time operator-(const Time& a, const Time& b);
    Time& operator+=(const Time& o) { return *this = *this + o; }
    Time& operator-=(const Time& o) { return *this = *this - o; }

    // Exact: 1/2 equals 60000/120000.
    friend bool operator==(const Time& a, const Time& b) { return (a <=> b) == 0; }
    friend std::strong_ordering operator<=>(const Time& a, const Time& b);

    friend std::ostream& operator<<(std::ostream& os, const Time& t);

  private:
    constexpr Time(std::int64_t value, std::int32_t timescale, bool numeric)
        : value_(value), timescale_(timescale), numeric_(numeric) {}

    std::int64_t value_ = 0;
    std::int32_t timescale_ = 1;
    bool numeric_ = true;
};

// A stretch of media time, [start, start + duration).
struct TimeRange {
    Time start;
    Time duration;

    TimeRange() = default;
    TimeRange(Time start, Time duration) : start(start), duration(duration) {}
    static TimeRange fromStartEnd(Time start, Time end) { return TimeRange(start, end - start); }

    Time end() const { return start + duration; }
    bool isEmpty() const { return duration <= Time::zero(); }
    // Half open: the end itself is not contained.
    bool containsTime(const Time& t) const { return start <= t && t < end(); }
    // The overlap, or an empty range at the later start when there is none.
    TimeRange intersection(const TimeRange& other) const;

    friend bool operator==(const TimeRange& a, const TimeRange& b) {
        return a.start == b.start && a.duration == b.duration;
    }
    friend std::ostream& operator<<(std::ostream& os, const TimeRange& r);
};

} // namespace osterveil::media
