#pragma once

#include <cmath>
#include <limits>

namespace osterveil::imaging {

// Image coordinates are y-up with the origin at the bottom-left; pixel (i, j) covers [i, i+1) × [j, j+1)
// and is sampled at its centre.
struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

// An axis-aligned rectangle by its edges. It may be empty (no area), or reach to infinity (a constant
// colour covers the whole plane); keeping edges rather than origin and size keeps infinite ones exact.
class Rect {
public:
    constexpr Rect() = default;
    static constexpr Rect make(double x, double y, double width, double height) {
        return Rect(x, y, x + width, y + height);
    }
    static constexpr Rect fromEdges(double minX, double minY, double maxX, double maxY) {
        return Rect(minX, minY, maxX, maxY);
    }
    static constexpr Rect infinite() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        return Rect(-inf, -inf, inf, inf);
    }

    double minX() const { return x0_; }
    double minY() const { return y0_; }
    double maxX() const { return x1_; }
    double maxY() const { return y1_; }
    double x() const { return x0_; }
    double y() const { return y0_; }
    double width() const { return isEmpty() ? 0 : x1_ - x0_; }
    double height() const { return isEmpty() ? 0 : y1_ - y0_; }

    // NaN edges count as empty.
    bool isEmpty() const { return !(x1_ > x0_ && y1_ > y0_); }
    bool isInfinite() const {
        return !isEmpty() && !(std::isfinite(x0_) && std::isfinite(y0_) && std::isfinite(x1_) && std::isfinite(y1_));
    }
    bool contains(const Rect& r) const {
        return r.isEmpty() || (x0_ <= r.x0_ && y0_ <= r.y0_ && r.x1_ <= x1_ && r.y1_ <= y1_);
    }
    Rect intersection(const Rect& r) const;
    Rect united(const Rect& r) const;

    // All empty rectangles are equal.
    bool operator==(const Rect& r) const {
        if (isEmpty() || r.isEmpty()) return isEmpty() && r.isEmpty();
        return x0_ == r.x0_ && y0_ == r.y0_ && x1_ == r.x1_ && y1_ == r.y1_;
    }

private:
    constexpr Rect(double x0, double y0, double x1, double y1) : x0_(x0), y0_(y0), x1_(x1), y1_(y1) {}
    double x0_ = 0, y0_ = 0, x1_ = 0, y1_ = 0;
};

// A rectangle of whole pixels in image coordinates (y-up).
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool isEmpty() const { return width <= 0 || height <= 0; }
    bool operator==(const PixelRect&) const = default;
    Rect rect() const { return Rect::make(x, y, width, height); }
};

// The pixels a rectangle touches, clamped to ±2^29 so that infinite extents stay representable.
PixelRect pixelBounds(const Rect& r);
PixelRect intersect(const PixelRect& a, const PixelRect& b);

// x' = a·x + c·y + tx, y' = b·x + d·y + ty.
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static Affine identity() { return {}; }
    static Affine translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static Affine scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    // Counter-clockwise in y-up coordinates for positive angles.
    static Affine rotation(double radians);

    // This transform followed by `next`.
    Affine then(const Affine& next) const;
    Affine inverted() const; // requires isInvertible()
    bool isInvertible() const;
    bool isIdentity() const { return *this == Affine{}; }
    bool isFinite() const;
    Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    // The bounding box of the transformed rectangle; infinite stays infinite.
    Rect apply(const Rect& r) const;
    bool operator==(const Affine&) const = default;
};

} // namespace osterveil::imaging
