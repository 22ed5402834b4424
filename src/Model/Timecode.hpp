#pragma once

#include <cstdint>
#include <string>

#include "FrameRate.hpp"

namespace osterveil {

struct TimecodeComponents {
    std::int64_t hours = 0;
    std::int64_t minutes = 0;
    std::int64_t seconds = 0;
    std::int64_t frames = 0;
    bool operator==(const TimecodeComponents&) const = default;
};

// HH:MM:SS:FF text for times in seconds; SMPTE drop-frame (";" before the frames) at 29.97 and 59.94.
namespace Timecode {

std::string string(double seconds, const FrameRate& rate);
TimecodeComponents dropFrameComponents(std::int64_t frameNumber, const FrameRate& rate);
TimecodeComponents nonDropComponents(std::int64_t frameNumber, std::int64_t nominalFPS);

} // namespace Timecode
} // namespace osterveil
