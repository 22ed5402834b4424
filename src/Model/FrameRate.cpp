#include "FrameRate.hpp"

#include <cmath>

#include "Numeric.hpp"

namespace osterveil {

double FrameRate::framesPerSecond() const {
    if (!isValid()) return 24.0;
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

double FrameRate::frameDuration() const {
    if (!isValid()) return 1.0 / 24.0;
    return static_cast<double>(denominator) / static_cast<double>(numerator);
}

std::string FrameRate::id() const { return std::to_string(numerator) + "/" + std::to_string(denominator); }

const std::array<FrameRate, 8>& FrameRate::presets() {
    static const std::array<FrameRate, 8> rates{{
        {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001}, {60, 1},
    }};
    return rates;
}

std::string FrameRate::label() const {
    if (denominator == 1001) {
        if (numerator == 24000) return "23.976 fps";
        if (numerator == 30000) return "29.97 fps";
        if (numerator == 60000) return "59.94 fps";
    }
    if (denominator == 1 && (numerator == 24 || numerator == 25 || numerator == 30 || numerator == 50 ||
                             numerator == 60))
        return std::to_string(numerator) + " fps";
    // The label shows what is stored, but a zero denominator has no finite rate to show.
    const double fps = denominator != 0 ? static_cast<double>(numerator) / denominator : 0.0;
    return formatFixed(fps, 3) + " fps";
}

FrameRate FrameRate::closest(double fps) {
    const auto& all = presets();
    FrameRate best = all[0];
    for (std::size_t i = 1; i < all.size(); ++i) {
        const double bestRate = best.framesPerSecond();
        const double rate = all[i].framesPerSecond();
        if (std::abs(bestRate - fps) > std::abs(rate - fps)) best = all[i];
    }
    return best;
}

} // namespace osterveil
