#include "Timecode.hpp"

#include <algorithm>

#include "Numeric.hpp"

namespace osterveil::Timecode {

namespace {

bool isDropFrameRate(const FrameRate& r) {
    return r.denominator == 1001 && (r.numerator == 30000 || r.numerator == 60000);
}

// Splits a frame count at k frames per second; the divisions are chained so that no product can overflow.
TimecodeComponents split(std::int64_t n, std::int64_t k) {
    const std::int64_t totalSeconds = n / k;
    return {totalSeconds / 3600, (totalSeconds / 60) % 60, totalSeconds % 60, n % k};
}

} // namespace

std::string string(double seconds, const FrameRate& rate) {
    const FrameRate r = rate.isValid() ? rate : FrameRate{};
    std::int64_t frames = roundToInt64(seconds * static_cast<double>(r.numerator) / static_cast<double>(r.denominator));
    frames = std::max<std::int64_t>(frames, 0);

    TimecodeComponents c;
    char separator = ':';
    if (isDropFrameRate(r)) {
        c = dropFrameComponents(frames, r);
        separator = ';';
    } else {
        c = nonDropComponents(frames, roundToInt64(r.framesPerSecond()));
    }
    std::string text = formatPadded(c.hours, 2);
    text += ':';
    text += formatPadded(c.minutes, 2);
    text += ':';
    text += formatPadded(c.seconds, 2);
    text += separator;
    text += formatPadded(c.frames, 2);
    return text;
}

TimecodeComponents nonDropComponents(std::int64_t frameNumber, std::int64_t nominalFPS) {
    return split(std::max<std::int64_t>(frameNumber, 0), std::max<std::int64_t>(nominalFPS, 1));
}

TimecodeComponents dropFrameComponents(std::int64_t frameNumber, const FrameRate& rate) {
    const double fps = rate.framesPerSecond();
    const std::int64_t nominal = roundToInt64(fps);
    const std::int64_t drop = roundToInt64(0.066666 * fps);
    const std::int64_t framesPerHour = roundToInt64(3600.0 * fps);
    const std::int64_t framesPer24h = std::max<std::int64_t>(framesPerHour * 24, 1);
    const std::int64_t framesPer10Min = std::max<std::int64_t>(roundToInt64(600.0 * fps), 1);
    const std::int64_t framesPerMinute = nominal * 60 - drop;

    std::int64_t n = frameNumber % framesPer24h;
    if (n < 0) n += framesPer24h;

    const std::int64_t d = n / framesPer10Min;
    const std::int64_t r = n % framesPer10Min;
    if (r > drop)
        n += 9 * drop * d + drop * ((r - drop) / std::max<std::int64_t>(framesPerMinute, 1));
    else
        n += 9 * drop * d;

    return split(n, std::max<std::int64_t>(nominal, 1));
}

} // namespace osterveil::Timecode
