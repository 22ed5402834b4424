#pragma once

namespace osterveil {

// A closed interval of doubles [lowerBound, upperBound].
struct ClosedRange {
    double lowerBound = 0;
    double upperBound = 0;
    bool operator==(const ClosedRange&) const = default;
    bool contains(double v) const { return lowerBound <= v && v <= upperBound; }
};

} // namespace osterveil
