#include "Parameters.hpp"

#include <algorithm>
#include <cmath>

namespace osterveil {

double ScalarParam::evaluated(double t) const {
    if (keyframes.empty()) return value;
    auto keys = keyframes;
    std::stable_sort(keys.begin(), keys.end(),
                     [](const ScalarKeyframe& a, const ScalarKeyframe& b) { return a.time < b.time; });
    if (keys.front().time >= t || keys.size() == 1) return keys.front().value;
    if (t >= keys.back().time) return keys.back().value;
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        const auto& a = keys[i];
        const auto& b = keys[i + 1];
        if (a.time <= t && t <= b.time) {
            if (a.interpolation == Interpolation::hold) return a.value;
            const double span = b.time - a.time;
            if (span <= 1e-7) return b.value;
            return a.value + (b.value - a.value) * ((t - a.time) / span);
        }
    }
    return value;
}

bool EvaluatedGrade::baseIsNeutral() const {
    auto near = [](double v, double neutral) { return std::abs(v - neutral) < 0.0001; };
    return near(exposure, 0) && near(contrast, 1) && near(saturation, 1) && near(temperature, 0) &&
           near(tint, 0) && near(liftR, 0) && near(liftG, 0) && near(liftB, 0) && near(gammaR, 1) &&
           near(gammaG, 1) && near(gammaB, 1) && near(gainR, 1) && near(gainG, 1) && near(gainB, 1);
}

EvaluatedGrade ColorGrade::evaluated(double t) const {
    return EvaluatedGrade{exposure.evaluated(t), contrast.evaluated(t), saturation.evaluated(t),
                          temperature.evaluated(t), tint.evaluated(t), liftR.evaluated(t), liftG.evaluated(t),
                          liftB.evaluated(t), gammaR.evaluated(t), gammaG.evaluated(t), gammaB.evaluated(t),
                          gainR.evaluated(t), gainG.evaluated(t), gainB.evaluated(t), lumetri};
}

} // namespace osterveil
