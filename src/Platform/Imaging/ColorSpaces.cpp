// Decoded R'G'B' from a source's own colour space into the BT.709 working space.
//
// Wide-gamut standard-range sources (BT.2020, P3) are converted in display light, as ITU-R BT.2087 does
// in the other direction: to linear with the BT.1886 display curve at zero black level (E^2.4), through
// the 3×3 matrix between the two sets of primaries (SMPTE RP 177, from their chromaticities; all share
// the D65 white, so neutrals stay neutral), and back with the inverse curve. Colours outside BT.709 keep
// their negative or excess values for grading and are clipped only on output.
//
// HDR sources are tone-mapped to standard range with the EETF of ITU-R BT.2390 (the Hermite-spline knee
// in the PQ domain) applied to each PQ-coded component, from a source of black 0 and peak 1000 cd/m² to
// a target of black 0 and peak 203 cd/m², the HDR reference white of ITU-R BT.2408, which becomes
// standard-range peak white. PQ codes (SMPTE ST 2084) are display light already; HLG is first taken to
// the display light of a 1000 cd/m² display with the BT.2100 reference inverse OETF and OOTF (system
// gamma 1.2 on the source primaries' luminance). The mapped light, relative to 203 cd/m², then goes
// through the primaries matrix and the inverse display curve like a standard-range source.

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>

#include "FastMath.hpp"
#include "Nodes.hpp"

namespace osterveil::imaging::detail {

namespace {

using Matrix3 = std::array<double, 9>;

struct Chromaticities {
    double rx, ry, gx, gy, bx, by, wx, wy;
};
constexpr Chromaticities kBT709{0.640, 0.330, 0.300, 0.600, 0.150, 0.060, 0.3127, 0.3290};
constexpr Chromaticities kBT2020{0.708, 0.292, 0.170, 0.797, 0.131, 0.046, 0.3127, 0.3290};
constexpr Chromaticities kDisplayP3{0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290};

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) m[3 * r + c] += a[3 * r + k] * b[3 * k + c];
    return m;
}

Matrix3 inverse(const Matrix3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double A = e * i - f * h, B = f * g - d * i, C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    return {A / det, (c * h - b * i) / det, (b * f - c * e) / det, B / det, (a * i - c * g) / det,
            (c * d - a * f) / det, C / det, (b * g - a * h) / det, (a * e - b * d) / det};
}

// Linear RGB → CIE XYZ, scaled so that white has Y = 1.
Matrix3 rgbToXYZ(const Chromaticities& p) {
    const Matrix3 xyz = {p.rx / p.ry, p.gx / p.gy, p.bx / p.by, 1, 1, 1, (1 - p.rx - p.ry) / p.ry,
                         (1 - p.gx - p.gy) / p.gy, (1 - p.bx - p.by) / p.by};
    const double white[3] = {p.wx / p.wy, 1, (1 - p.wx - p.wy) / p.wy};
    const Matrix3 inv = inverse(xyz);
    Matrix3 m = xyz;
    for (int c = 0; c < 3; ++c) {
        const double s = inv[3 * c] * white[0] + inv[3 * c + 1] * white[1] + inv[3 * c + 2] * white[2];
        for (int r = 0; r < 3; ++r) m[3 * r + c] *= s;
    }
    return m;
}

constexpr double kSDRWhite = 203; // cd/m²
constexpr double kHDRPeak = 1000; // cd/m²
constexpr float kDisplayGamma = 2.4f;

// SMPTE ST 2084, on light in units of 10000 cd/m².
constexpr double kM1 = 2610.0 / 16384, kM2 = 2523.0 / 4096 * 128;
constexpr double kC1 = 3424.0 / 4096, kC2 = 2413.0 / 4096 * 32, kC3 = 2392.0 / 4096 * 32;

double pqCode(double light) {
    const double y = std::pow(light, kM1);
    return std::pow((kC1 + kC2 * y) / (1 + kC3 * y), kM2);
}

double pqLight(double code) {
    const double p = std::pow(code, 1 / kM2);
    return std::pow(std::max(p - kC1, 0.0) / (kC2 - kC3 * p), 1 / kM1);
}

// The BT.2390 EETF on a PQ code, as display light relative to standard-range white.
double toneMapped(double e) {
    const double peak = pqCode(kHDRPeak / 10000), target = pqCode(kSDRWhite / 10000) / peak;
    const double knee = 1.5 * target - 0.5;
    const double e1 = std::clamp(e, 0.0, 1.0) / peak;
    double e2 = e1;
    if (e1 >= knee) {
        const double t = std::min((e1 - knee) / (1 - knee), 1.0), t2 = t * t, t3 = t2 * t;
        e2 = (2 * t3 - 3 * t2 + 1) * knee + (t3 - 2 * t2 + t) * (1 - knee) + (-2 * t3 + 3 * t2) * target;
    }
    return pqLight(e2 * peak) * 10000 / kSDRWhite;
}

// The tone curves are smooth, and sampled finely enough that interpolating them linearly is exact to
// float precision; each is made once. Entry i is the curve at i / kCurveSteps of its input range.
constexpr int kCurveSteps = 4096;
using Curve = std::array<float, kCurveSteps + 2>;

template <typename F> Curve tabulate(F f) {
    Curve c{};
    for (int i = 0; i <= kCurveSteps; ++i) c[static_cast<std::size_t>(i)] = static_cast<float>(f(static_cast<double>(i) / kCurveSteps));
    c[kCurveSteps + 1] = c[kCurveSteps];
    return c;
}

// PQ: by code.
const Curve& pqCurve() {
    static const Curve c = tabulate(toneMapped);
    return c;
}

// HLG: by the square root of display light relative to the peak (fine steps near black, where the light
// changes fastest); above the peak the curve stays at its end.
const Curve& hlgCurve() {
    static const Curve c = tabulate([](double u) { return toneMapped(pqCode(u * u * kHDRPeak / 10000)); });
    return c;
}

// The row loops below are vectorised only if every helper is inlined into them.
#define OSTERVEIL_INLINE [[gnu::always_inline]] inline

// `x` in curve steps; NaN reads as 0.
OSTERVEIL_INLINE float lookUp(const float* curve, float x) {
    x = x > 0.0f ? x : 0.0f;
    x = x < static_cast<float>(kCurveSteps) ? x : static_cast<float>(kCurveSteps);
    const int i = static_cast<int>(x);
    const float a = curve[i], b = curve[i + 1];
    return a + (b - a) * (x - static_cast<float>(i));
}

// BT.2100 HLG inverse OETF constants.
constexpr float kHlgA = 0.17883277f, kHlgB = 0.28466892f, kHlgC = 0.55991073f;

OSTERVEIL_INLINE float signedPow(float v, float p) {
    const float m = fastPow(v < 0.0f ? -v : v, p);
    return v < 0.0f ? -m : m;
}

OSTERVEIL_INLINE float hlgToScene(float e) {
    e = e > 0.0f ? e : 0.0f;
    const float high = (fastExp2((e - kHlgC) * (1.44269504f / kHlgA)) + kHlgB) * (1.0f / 12);
    return e <= 0.5f ? e * e * (1.0f / 3) : high;
}

// Linear light in source primaries → working-space R'G'B', in place.
OSTERVEIL_INLINE void toWorking(const float* m, float& r, float& g, float& b) {
    const float R = m[0] * r + m[1] * g + m[2] * b;
    const float G = m[3] * r + m[4] * g + m[5] * b;
    const float B = m[6] * r + m[7] * g + m[8] * b;
    r = signedPow(R, 1 / kDisplayGamma);
    g = signedPow(G, 1 / kDisplayGamma);
    b = signedPow(B, 1 / kDisplayGamma);
}

OSTERVEIL_WIDE_LOOP void convertGamut(const WorkingSpaceConversion& k, float* __restrict r, float* __restrict g,
                                      float* __restrict b, int n) {
    float m[9];
    for (int i = 0; i < 9; ++i) m[i] = k.toBT709[i];
    for (int i = 0; i < n; ++i) {
        float R = signedPow(r[i], kDisplayGamma), G = signedPow(g[i], kDisplayGamma), B = signedPow(b[i], kDisplayGamma);
        toWorking(m, R, G, B);
        r[i] = R;
        g[i] = G;
        b[i] = B;
    }
}

// Linear light in source primaries → working space, a row at a time.
OSTERVEIL_WIDE_LOOP void encodeLinear(const WorkingSpaceConversion& k, float* __restrict r, float* __restrict g,
                                      float* __restrict b, int n) {
    float m[9];
    for (int i = 0; i < 9; ++i) m[i] = k.toBT709[i];
    for (int i = 0; i < n; ++i) {
        float R = r[i], G = g[i], B = b[i];
        toWorking(m, R, G, B);
        r[i] = R;
        g[i] = G;
        b[i] = B;
    }
}

// Values in curve steps → the curve's values. A loop of its own: with gathers slow or missing on
// common processors, table reads are cheapest one at a time, and the arithmetic around them stays
// vectorised.
void lookUpRow(const float* curve, float* v, int n) {
    for (int i = 0; i < n; ++i) v[i] = lookUp(curve, v[i]);
}

OSTERVEIL_WIDE_LOOP void scaleRow(float* __restrict v, float k, int n) {
    for (int i = 0; i < n; ++i) v[i] *= k;
}

void convertPQ(const WorkingSpaceConversion& k, float* r, float* g, float* b, int n) {
    for (float* c : {r, g, b}) {
        scaleRow(c, kCurveSteps, n);
        lookUpRow(k.toneCurve, c, n);
    }
    encodeLinear(k, r, g, b, n);
}

// HLG to the tone curve's input: with the OOTF's display light = peak · Ys^(γ − 1) · scene light, the
// square root of that relative to the peak, √(Ys^0.2 · scene), in curve steps.
OSTERVEIL_WIDE_LOOP void hlgToCurveInput(const WorkingSpaceConversion& k, float* __restrict r, float* __restrict g,
                                         float* __restrict b, int n) {
    const float wr = k.luminance[0], wg = k.luminance[1], wb = k.luminance[2];
    constexpr float steps = kCurveSteps;
    for (int i = 0; i < n; ++i) {
        const float sr = hlgToScene(r[i]), sg = hlgToScene(g[i]), sb = hlgToScene(b[i]);
        const float gain = fastPow(wr * sr + wg * sg + wb * sb, 0.2f);
        r[i] = std::sqrt(gain * sr) * steps;
        g[i] = std::sqrt(gain * sg) * steps;
        b[i] = std::sqrt(gain * sb) * steps;
    }
}

void convertHLG(const WorkingSpaceConversion& k, float* r, float* g, float* b, int n) {
    hlgToCurveInput(k, r, g, b, n);
    for (float* c : {r, g, b}) lookUpRow(k.toneCurve, c, n);
    encodeLinear(k, r, g, b, n);
}

} // namespace

WorkingSpaceConversion WorkingSpaceConversion::forFrame(const YUVFrame& f) {
    WorkingSpaceConversion c;
    if (f.primaries == ColorPrimaries::bt709 && f.transfer == TransferFunction::sdr) return c;
    const Chromaticities& source = f.primaries == ColorPrimaries::bt2020      ? kBT2020
                                   : f.primaries == ColorPrimaries::displayP3 ? kDisplayP3
                                                                              : kBT709;
    const Matrix3 toXYZ = rgbToXYZ(source);
    const Matrix3 m = multiply(inverse(rgbToXYZ(kBT709)), toXYZ);
    for (int i = 0; i < 9; ++i) c.toBT709[i] = static_cast<float>(m[i]);
    for (int i = 0; i < 3; ++i) c.luminance[i] = static_cast<float>(toXYZ[3 + i]);
    switch (f.transfer) {
    case TransferFunction::sdr: c.kind = Kind::gamut; break;
    case TransferFunction::pq:
        c.kind = Kind::pq;
        c.toneCurve = pqCurve().data();
        break;
    case TransferFunction::hlg:
        c.kind = Kind::hlg;
        c.toneCurve = hlgCurve().data();
        break;
    }
    return c;
}

void WorkingSpaceConversion::apply(float* r, float* g, float* b, int n) const {
    switch (kind) {
    case Kind::identity: return;
    case Kind::gamut: return convertGamut(*this, r, g, b, n);
    case Kind::pq: return convertPQ(*this, r, g, b, n);
    case Kind::hlg: return convertHLG(*this, r, g, b, n);
    }
}

} // namespace osterveil::imaging::detail
