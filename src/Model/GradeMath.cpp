#include "GradeMath.hpp"

#include <algorithm>
#include <cmath>

namespace osterveil::GradeMath {

namespace {

double clamp01(double v) {
    if (!(v > 0)) return 0; // NaN too
    return v > 1 ? 1 : v;
}

// The width is taken from the two edges in double precision on purpose: S(0.45, 0.85, v) divides by
// 0.39999999999999997, and the baked cubes depend on that last bit.
double smoothStep(double e0, double e1, double v) {
    const double t = clamp01((v - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}

double luma(double r, double g, double b) { return (0.7152 * g + 0.2126 * r) + 0.0722 * b; }

// Shadows/highlights, then blacks, then whites, for one channel; not clamped.
double tone(double v, double wS, double wH, const LumetriPanel& p) {
    double t = (p.shadows * 0.5 * wS + v) - 0.5 * p.highlights * wH;
    const double k = p.blacks;
    if (k >= 0)
        t = k * 0.12 + t * (1 - 0.35 * k);
    else
        t = (t + 0.2 * k) / std::max(1 + 0.45 * k, 0.25);
    const double w = p.whites;
    if (w >= 0)
        t = t + wH * ((1 - t) * w * 0.4);
    else
        t = (1 + w * 0.35 * wH) * t;
    return t;
}

double hueChannel(double p, double q, double t) {
    if (t < 0) t += 1;
    if (t > 1) t -= 1;
    if (t < 1.0 / 6) return p + (q - p) * 6 * t;
    if (t < 0.5) return q;
    if (t < 2.0 / 3) return p + (2.0 / 3 - t) * (q - p) * 6;
    return p;
}

void addWheel(RGBTriple& c, const ColorWheel& w, double weight) {
    c.r += weight * (0.35 * w.x);
    c.g += weight * (0.35 * (w.y - 0.5 * w.x));
    c.b += weight * (0.35 * (-0.5 * w.x - w.y));
}

void applySecondary(RGBTriple& c, const HSLSecondary& hsl) {
    if (!hsl.enabled) return;
    if (std::abs(hsl.hueShift) < 0.0001 && std::abs(hsl.saturation) < 0.0001 && std::abs(hsl.luminance) < 0.0001)
        return;
    const HSL in = rgbToHSL(c.r, c.g, c.b);
    const double d = std::abs(in.h - hsl.hue);
    const double distance = std::min(1 - d, d);
    const double half = std::max(hsl.range * 0.5, 0.01);
    if (distance >= half) return;
    const double q = 1 - distance / half;
    if (q <= 0) return;

    double h = std::fmod(in.h + hsl.hueShift * q, 1.0);
    if (h < 0) h += 1;
    const double s = clamp01(in.s + hsl.saturation * q);
    const double l = clamp01(in.l + hsl.luminance * q);
    if (s < 1e-6) {
        c = {l, l, l};
        return;
    }
    const double qq = l < 0.5 ? l * (1 + s) : l + s - l * s;
    const double pp = 2 * l - qq;
    c = {hueChannel(pp, qq, h + 1.0 / 3), hueChannel(pp, qq, h), hueChannel(pp, qq, h - 1.0 / 3)};
}

} // namespace

LumaWeights lumaWeights(double l) {
    const double s = 1 - smoothStep(0.15, 0.55, l);
    const double h = smoothStep(0.45, 0.85, l);
    return {s, std::max(0.0, 1 - s - h), h};
}

HSL rgbToHSL(double r, double g, double b) {
    double mx = r;
    if (mx <= g) mx = g;
    if (mx <= b) mx = b;
    double mn = r;
    if (mn >= g) mn = g;
    if (mn >= b) mn = b;
    const double l = 0.5 * (mx + mn);
    const double d = mx - mn;
    if (d < 1e-6) return {0, 0, l};
    const double s = l > 0.5 ? d / (2 - mx - mn) : d / (mx + mn);
    double h;
    if (mx == r)
        h = ((g - b) / d + (g < b ? 6 : 0)) / 6;
    else if (mx == g)
        h = ((b - r) / d + 2) / 6;
    else
        h = ((r - g) / d + 4) / 6;
    return {h, s, l};
}

RGBTriple apply(double r, double g, double b, const LumetriPanel& panel) {
    r = clamp01(r);
    g = clamp01(g);
    b = clamp01(b);

    const double l = luma(r, g, b);
    const double wS = 1 - smoothStep(0, 0.6, l);
    const double wH = smoothStep(0.4, 1.0, l);
    RGBTriple c{tone(r, wS, wH, panel), tone(g, wS, wH, panel), tone(b, wS, wH, panel)};

    const CurveSet& curves = panel.curves;
    c.r = curves.red.evaluate(curves.master.evaluate(c.r));
    c.g = curves.green.evaluate(curves.master.evaluate(c.g));
    c.b = curves.blue.evaluate(curves.master.evaluate(c.b));
    c = {clamp01(c.r), clamp01(c.g), clamp01(c.b)};

    const LumaWeights w = lumaWeights(luma(c.r, c.g, c.b));
    addWheel(c, panel.shadowWheel, w.shadows);
    addWheel(c, panel.midtoneWheel, w.midtones);
    addWheel(c, panel.highlightWheel, w.highlights);

    applySecondary(c, panel.hsl);
    return {clamp01(c.r), clamp01(c.g), clamp01(c.b)};
}

} // namespace osterveil::GradeMath
