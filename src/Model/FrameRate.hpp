#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Hashing.hpp"

namespace osterveil {

// A rational frame rate: `numerator` frames in `denominator` seconds.
//
// Nothing stops a value from holding a zero or negative field (a hand-edited file can, until the
// project reader refuses it), so every conversion to time goes through `framesPerSecond()` and
// `frameDuration()`, which never divide by zero: such a rate computes as 24 fps.
struct FrameRate {
    std::int32_t numerator = 24;
    std::int32_t denominator = 1;

    bool operator==(const FrameRate&) const = default;
    std::size_t hashValue() const { return hashing::fields(numerator, denominator); }

    bool isValid() const { return numerator > 0 && denominator > 0; }
    double framesPerSecond() const;
    // Seconds of one frame: denominator / numerator.
    double frameDuration() const;

    // "30000/1001": keys the rate in pickers.
    std::string id() const;
    std::string label() const;

    static const std::array<FrameRate, 8>& presets();
    // The preset nearest to `fps`; ties and NaN keep the earlier preset.
    static FrameRate closest(double fps);
};

} // namespace osterveil

OSTERVEIL_STD_HASH(osterveil::FrameRate)
