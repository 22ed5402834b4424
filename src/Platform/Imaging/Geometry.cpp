#include "Geometry.hpp"

#include <algorithm>

namespace osterveil::imaging {

Rect Rect::intersection(const Rect& r) const {
    if (isEmpty() || r.isEmpty()) return {};
    const Rect out(std::max(x0_, r.x0_), std::max(y0_, r.y0_), std::min(x1_, r.x1_), std::min(y1_, r.y1_));
    return out.isEmpty() ? Rect() : out;
}

Rect Rect::united(const Rect& r) const {
    if (isEmpty()) return r.isEmpty() ? Rect() : r;
    if (r.isEmpty()) return *this;
    return Rect(std::min(x0_, r.x0_), std::min(y0_, r.y0_), std::max(x1_, r.x1_), std::max(y1_, r.y1_));
}

namespace {
constexpr double kPixelLimit = 1 << 29; // so that a width between the limits still fits an int
int clampedFloor(double v) { return static_cast<int>(std::floor(std::clamp(v, -kPixelLimit, kPixelLimit))); }
int clampedCeil(double v) { return static_cast<int>(std::ceil(std::clamp(v, -kPixelLimit, kPixelLimit))); }
} // namespace

PixelRect pixelBounds(const Rect& r) {
    if (r.isEmpty()) return {};
    const int x0 = clampedFloor(r.minX()), y0 = clampedFloor(r.minY());
    const int x1 = clampedCeil(r.maxX()), y1 = clampedCeil(r.maxY());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
    const long long x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    const long long x1 = std::min<long long>(static_cast<long long>(a.x) + a.width, static_cast<long long>(b.x) + b.width);
    const long long y1 = std::min<long long>(static_cast<long long>(a.y) + a.height, static_cast<long long>(b.y) + b.height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

Affine Affine::rotation(double radians) {
    const double c = std::cos(radians), s = std::sin(radians);
    return {c, s, -s, c, 0, 0};
}

Affine Affine::then(const Affine& n) const {
    return {a * n.a + b * n.c,         a * n.b + b * n.d,         c * n.a + d * n.c,
            c * n.b + d * n.d,         tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

bool Affine::isInvertible() const {
    const double det = a * d - b * c;
    return isFinite() && det != 0 && std::isfinite(det) && std::isfinite(1 / det);
}

bool Affine::isFinite() const {
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) && std::isfinite(tx) &&
           std::isfinite(ty);
}

Affine Affine::inverted() const {
    const double det = a * d - b * c;
    const double ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
    return {ia, ib, ic, id, -(ia * tx + ic * ty), -(ib * tx + id * ty)};
}

Rect Affine::apply(const Rect& r) const {
    if (r.isEmpty()) return {};
    if (r.isInfinite()) return Rect::infinite();
    const Point p[4] = {apply(Point{r.minX(), r.minY()}), apply(Point{r.maxX(), r.minY()}),
                        apply(Point{r.minX(), r.maxY()}), apply(Point{r.maxX(), r.maxY()})};
    double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (const auto& q : p) {
        x0 = std::min(x0, q.x);
        x1 = std::max(x1, q.x);
        y0 = std::min(y0, q.y);
        y1 = std::max(y1, q.y);
    }
    return Rect::fromEdges(x0, y0, x1, y1);
}

} // namespace osterveil::imaging
