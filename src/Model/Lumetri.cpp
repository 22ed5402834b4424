#include "Lumetri.hpp"

#include <algorithm>
#include <cmath>

#include "Numeric.hpp"

namespace osterveil {

namespace {

constexpr double kNeutral = 0.0001;

bool near0(double v) { return std::abs(v) < kNeutral; }

double clamp01(double v) {
    if (!(v > 0)) return 0; // NaN too
    return v > 1 ? 1 : v;
}

std::vector<CurvePoint> sortedByX(std::vector<CurvePoint> pts) {
    std::stable_sort(pts.begin(), pts.end(), [](const CurvePoint& a, const CurvePoint& b) { return a.x < b.x; });
    return pts;
}

} // namespace

bool ChannelCurve::isIdentity() const {
    return points.size() == 2 && near0(points[0].x) && near0(points[0].y) && near0(points[1].x - 1) &&
           near0(points[1].y - 1);
}

double ChannelCurve::evaluate(double x) const {
    if (points.empty()) return x;
    const auto pts = sortedByX(points);
    if (pts.front().x >= x) return pts.front().y;
    if (x >= pts.back().x) return pts.back().y;
    for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
        const auto& a = pts[i];
        const auto& b = pts[i + 1];
        if (a.x <= x && x <= b.x) {
            const double d = b.x - a.x;
            if (d <= 1e-7) return b.y;
            return a.y + (b.y - a.y) * (x - a.x) / d;
        }
    }
    return x;
}

ChannelCurve ChannelCurve::edited(double atX, double atY) const {
    const double x = clamp01(atX);
    const double y = clamp01(atY);
    ChannelCurve out = *this;
    auto& pts = out.points;

    auto insert = [&] {
        pts.push_back({std::clamp(x, 0.02, 0.98), y});
        pts = sortedByX(std::move(pts));
        return out;
    };
    if (pts.empty()) return insert();

    std::size_t nearest = 0;
    double best = std::abs(pts[0].x - x);
    for (std::size_t i = 1; i < pts.size(); ++i) {
        const double dist = std::abs(pts[i].x - x);
        if (dist < best) {
            best = dist;
            nearest = i;
        }
    }
    if (pts.size() < 6 && best >= 0.08) return insert();

    auto& p = pts[nearest];
    if (nearest != 0 && nearest != pts.size() - 1)
        p.x = std::min(pts[nearest + 1].x - 0.02, std::max(x, pts[nearest - 1].x + 0.02));
    p.y = y;
    return out;
}

bool LumetriPanel::toneIsNeutral() const {
    if (!(near0(highlights) && near0(shadows) && near0(whites) && near0(blacks))) return false;
    if (!(curves.master.isIdentity() && curves.red.isIdentity() && curves.green.isIdentity() &&
          curves.blue.isIdentity()))
        return false;
    for (const ColorWheel* w : {&shadowWheel, &midtoneWheel, &highlightWheel})
        if (!(near0(w->x) && near0(w->y))) return false;
    if (hsl.enabled && !(near0(hsl.hueShift) && near0(hsl.saturation) && near0(hsl.luminance))) return false;
    return true;
}

std::string LumetriPanel::toneCacheKey() const {
    std::vector<std::string> parts;
    for (double v : {highlights, shadows, whites, blacks, shadowWheel.x, shadowWheel.y, midtoneWheel.x,
                     midtoneWheel.y, highlightWheel.x, highlightWheel.y, hsl.enabled ? 1.0 : 0.0, hsl.hue,
                     hsl.range, hsl.hueShift, hsl.saturation, hsl.luminance})
        parts.push_back(formatFixed(v, 4));
    for (const ChannelCurve* c : {&curves.master, &curves.red, &curves.green, &curves.blue}) {
        for (const auto& p : c->points) parts.push_back(formatFixed(p.x, 4) + "," + formatFixed(p.y, 4));
        parts.emplace_back("|");
    }
    std::string key;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) key += ';';
        key += parts[i];
    }
    return key;
}

} // namespace osterveil
