#include "Kernels.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "FastMath.hpp"

namespace osterveil::imaging::detail {

OSTERVEIL_WIDE_LOOP bool allOnes(const float* v, int n) {
    constexpr std::uint32_t kOne = 0x3F800000u;
    std::uint32_t differs = 0;
    for (int i = 0; i < n; ++i) differs |= std::bit_cast<std::uint32_t>(v[i]) ^ kOne;
    return differs == 0;
}

namespace {

constexpr float kLumaR = 0.2126f, kLumaG = 0.7152f, kLumaB = 0.0722f;

class MatrixKernel final : public ColorKernel {
public:
    explicit MatrixKernel(const ColorMatrix& m) : m_(m) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const ColorMatrix& m = m_;
        for (int i = 0; i < p.count; ++i) {
            const float r = p.r[i], g = p.g[i], b = p.b[i], a = p.a[i];
            p.r[i] = m.r[0] * r + m.r[1] * g + m.r[2] * b + m.r[3] * a + m.bias[0] * a;
            p.g[i] = m.g[0] * r + m.g[1] * g + m.g[2] * b + m.g[3] * a + m.bias[1] * a;
            p.b[i] = m.b[0] * r + m.b[1] * g + m.b[2] * b + m.b[3] * a + m.bias[2] * a;
            p.a[i] = m.a[0] * r + m.a[1] * g + m.a[2] * b + m.a[3] * a + m.bias[3] * a;
        }
    }

private:
    ColorMatrix m_;
};

class ControlsKernel final : public ColorKernel {
public:
    ControlsKernel(float s, float br, float c) : sat_(s), bright_(br), contrast_(c) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const float s = sat_, br = bright_, k = contrast_;
        for (int i = 0; i < p.count; ++i) {
            const float a = p.a[i], u = unpremultiplier(a);
            float r = p.r[i] * u, g = p.g[i] * u, b = p.b[i] * u;
            const float l = kLumaR * r + kLumaG * g + kLumaB * b;
            r = l + (r - l) * s;
            g = l + (g - l) * s;
            b = l + (b - l) * s;
            r = (r + br - 0.5f) * k + 0.5f;
            g = (g + br - 0.5f) * k + 0.5f;
            b = (b + br - 0.5f) * k + 0.5f;
            p.r[i] = r * a;
            p.g[i] = g * a;
            p.b[i] = b * a;
        }
    }

private:
    float sat_, bright_, contrast_;
};

class GainKernel final : public ColorKernel {
public:
    explicit GainKernel(std::array<float, 3> g) : g_(g) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const float gr = g_[0], gg = g_[1], gb = g_[2];
        for (int i = 0; i < p.count; ++i) {
            p.r[i] *= gr;
            p.g[i] *= gg;
            p.b[i] *= gb;
        }
    }

private:
    std::array<float, 3> g_;
};

class GammaKernel final : public ColorKernel {
public:
    explicit GammaKernel(float power) : power_(power) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const float e = power_;
        float* ch[3] = {p.r, p.g, p.b};
        for (float* c : ch)
            for (int i = 0; i < p.count; ++i) {
                const float a = p.a[i];
                const float v = c[i] * unpremultiplier(a);
                const float m = fastPow(v < 0.0f ? -v : v, e);
                c[i] = (v < 0.0f ? -m : m) * a;
            }
    }

private:
    float power_;
};

class VibranceKernel final : public ColorKernel {
public:
    explicit VibranceKernel(float amount) : amount_(amount) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const float amount = amount_;
        for (int i = 0; i < p.count; ++i) {
            const float a = p.a[i], u = unpremultiplier(a);
            const float r = p.r[i] * u, g = p.g[i] * u, b = p.b[i] * u;
            const float mx = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b));
            const float s = clamp01(mx - mn);
            float k = 1.0f + amount * (1.0f - s);
            k = k > 0.0f ? k : 0.0f;
            const float l = kLumaR * r + kLumaG * g + kLumaB * b;
            p.r[i] = (l + (r - l) * k) * a;
            p.g[i] = (l + (g - l) * k) * a;
            p.b[i] = (l + (b - l) * k) * a;
        }
    }

private:
    float amount_;
};

using Vec4 = float __attribute__((vector_size(16)));

inline Vec4 load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

class CubeKernel final : public ColorKernel {
public:
    explicit CubeKernel(std::shared_ptr<const ColorCube> c)
        : cube_(std::move(c)), plain_(cube_->domain().isUnit() && cube_->shaper().size == 0) {}
    void apply(const PixelRow& p) const override {
        // Lattice cells and fractions in one vectorised pass over a chunk, then the trilinear blend per
        // pixel on whole RGBA entries.
        constexpr int kChunk = 256;
        for (int start = 0; start < p.count; start += kChunk) {
            const int n = std::min(kChunk, p.count - start);
            PixelRow part = p;
            part.r += start;
            part.g += start;
            part.b += start;
            part.a += start;
            part.count = n;
            alignas(32) std::int32_t cell[kChunk];
            alignas(32) float fr[kChunk], fg[kChunk], fb[kChunk];
            if (plain_) locate(part, cell, fr, fg, fb);
            else locateThroughStages(part, cell, fr, fg, fb);
            blend(part, cell, fr, fg, fb);
        }
    }

private:
    OSTERVEIL_WIDE_LOOP void locate(const PixelRow& p, std::int32_t* __restrict cell, float* __restrict fr, float* __restrict fg,
                                    float* __restrict fb) const {
        const int n = cube_->dimension();
        const float scale = static_cast<float>(n - 1);
        const std::int32_t top = n - 2, sg = 4 * n, sb = 4 * n * n;
        for (int i = 0; i < p.count; ++i) {
            const float u = unpremultiplier(p.a[i]);
            const float x = clamp01(p.r[i] * u) * scale, y = clamp01(p.g[i] * u) * scale, z = clamp01(p.b[i] * u) * scale;
            std::int32_t x0 = static_cast<std::int32_t>(x), y0 = static_cast<std::int32_t>(y), z0 = static_cast<std::int32_t>(z);
            x0 = x0 < top ? x0 : top;
            y0 = y0 < top ? y0 : top;
            z0 = z0 < top ? z0 : top;
            fr[i] = x - static_cast<float>(x0);
            fg[i] = y - static_cast<float>(y0);
            fb[i] = z - static_cast<float>(z0);
            cell[i] = 4 * x0 + sg * y0 + sb * z0;
        }
    }

    // The shaper's value for channel c, interpolated on its own lattice.
    float shaped(int c, float x) const {
        const CubeShaper& s = cube_->shaper();
        const float p = clamp01(x * s.domain.scale[c] + s.domain.offset[c]) * static_cast<float>(s.size - 1);
        std::int32_t k = static_cast<std::int32_t>(p);
        k = k < s.size - 2 ? k : s.size - 2;
        const float t = p - static_cast<float>(k);
        const float lo = s.rgb[static_cast<std::size_t>(3 * k + c)], hi = s.rgb[static_cast<std::size_t>(3 * k + 3 + c)];
        return lo + (hi - lo) * t;
    }

    // As `locate`, with the shaper first (when there is one) and the cube's domain mapped onto its lattice.
    void locateThroughStages(const PixelRow& p, std::int32_t* cell, float* fr, float* fg, float* fb) const {
        const int n = cube_->dimension();
        const float scale = static_cast<float>(n - 1);
        const std::int32_t top = n - 2, sg = 4 * n, sb = 4 * n * n;
        const CubeDomain& d = cube_->domain();
        const bool shaper = cube_->shaper().size > 0;
        for (int i = 0; i < p.count; ++i) {
            const float u = unpremultiplier(p.a[i]);
            float v[3] = {p.r[i] * u, p.g[i] * u, p.b[i] * u};
            std::int32_t index[3];
            float fraction[3];
            for (int c = 0; c < 3; ++c) {
                if (shaper) v[c] = shaped(c, v[c]);
                const float x = clamp01(v[c] * d.scale[c] + d.offset[c]) * scale;
                const std::int32_t x0 = std::min(static_cast<std::int32_t>(x), top);
                index[c] = x0;
                fraction[c] = x - static_cast<float>(x0);
            }
            fr[i] = fraction[0];
            fg[i] = fraction[1];
            fb[i] = fraction[2];
            cell[i] = 4 * index[0] + sg * index[1] + sb * index[2];
        }
    }

    void blend(const PixelRow& p, const std::int32_t* cell, const float* fr, const float* fg, const float* fb) const {
        const int n = cube_->dimension();
        const float* data = cube_->rgba().data();
        const std::ptrdiff_t sg = 4 * static_cast<std::ptrdiff_t>(n), sb = sg * n;
        for (int i = 0; i < p.count; ++i) {
            const float* c000 = data + cell[i];
            const float* c010 = c000 + sg;
            const float* c001 = c000 + sb;
            const float* c011 = c001 + sg;
            const float x = fr[i], y = fg[i];
            const Vec4 a00 = load4(c000), a10 = load4(c010), a01 = load4(c001), a11 = load4(c011);
            const Vec4 e00 = a00 + (load4(c000 + 4) - a00) * x;
            const Vec4 e10 = a10 + (load4(c010 + 4) - a10) * x;
            const Vec4 e01 = a01 + (load4(c001 + 4) - a01) * x;
            const Vec4 e11 = a11 + (load4(c011 + 4) - a11) * x;
            const Vec4 f0 = e00 + (e10 - e00) * y;
            const Vec4 f1 = e01 + (e11 - e01) * y;
            const Vec4 out = f0 + (f1 - f0) * fb[i];
            const float alpha = p.a[i] * out[3];
            p.r[i] = out[0] * alpha;
            p.g[i] = out[1] * alpha;
            p.b[i] = out[2] * alpha;
            p.a[i] = alpha;
        }
    }

    std::shared_ptr<const ColorCube> cube_;
    bool plain_;
};

class VignetteEffectKernel final : public ColorKernel {
public:
    VignetteEffectKernel(Point c, double r0, double r1, double intensity)
        : cx_(static_cast<float>(c.x)), cy_(static_cast<float>(c.y)), r0_(static_cast<float>(r0)), r1_(static_cast<float>(r1)),
          intensity_(static_cast<float>(intensity)) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const float dy = static_cast<float>(p.y) + 0.5f - cy_;
        const float dy2 = dy * dy;
        const float r0 = r0_, width = r1_ - r0_, k = intensity_;
        const float invWidth = width > 0 ? 1.0f / width : 0.0f;
        const float x0 = static_cast<float>(p.x) + 0.5f - cx_;
        for (int i = 0; i < p.count; ++i) {
            const float dx = x0 + static_cast<float>(i);
            const float d = std::sqrt(dx * dx + dy2);
            float t = width > 0 ? clamp01((d - r0) * invWidth) : (d >= r0 ? 1.0f : 0.0f);
            t = t * t * (3.0f - 2.0f * t);
            const float f = clamp01(1.0f - k * t);
            p.r[i] *= f;
            p.g[i] *= f;
            p.b[i] *= f;
        }
    }

private:
    float cx_, cy_, r0_, r1_, intensity_;
};

class VignetteKernel final : public ColorKernel {
public:
    VignetteKernel(const Rect& e, double intensity, double radius)
        : cx_(static_cast<float>((e.minX() + e.maxX()) * 0.5)), cy_(static_cast<float>((e.minY() + e.maxY()) * 0.5)),
          // (d / halfDiagonal / radius)² folded into one factor
          k_(static_cast<float>(0.5 * intensity / std::pow(std::max(radius, 1e-3) * std::hypot(e.width(), e.height()) * 0.5, 2))) {}
    void apply(const PixelRow& p) const override { run(p); }
    OSTERVEIL_WIDE_LOOP void run(const PixelRow& p) const {
        const float dy = static_cast<float>(p.y) + 0.5f - cy_;
        const float dy2 = dy * dy, k = k_;
        const float x0 = static_cast<float>(p.x) + 0.5f - cx_;
        for (int i = 0; i < p.count; ++i) {
            const float dx = x0 + static_cast<float>(i);
            const float f = clamp01(1.0f - k * (dx * dx + dy2));
            p.r[i] *= f;
            p.g[i] *= f;
            p.b[i] *= f;
        }
    }

private:
    float cx_, cy_, k_;
};

// The basic grade. Each stage is written so that at its neutral setting it returns its input exactly
// (contrast as a scale plus an offset that is 0 at 1; the power as y·y^(e−1), and 2^0 is exactly 1),
// so a stage that changes nothing can be left out and the result stays bit for bit the same. The
// stages a grade leaves out are chosen once per kernel; the per-pixel loop has no branches for them.
enum GradeStage : unsigned {
    kContrast = 1,
    kSaturation = 2,
    kBalance = 4,  // temperature and tint
    kLiftGain = 8,
    kGamma = 16,
    kAllStages = 31,
};

struct GradeConstants {
    float exposure, contrast, contrastOffset, saturation;
    float balance[3];
    float lift[3], gain[3];
    float powerLessOne[3]; // 1/gamma − 1
};

// `Opaque` rows (alpha 1 throughout, as for any video) skip the division and the multiply by alpha,
// which change nothing there.
template <unsigned Stages, bool Opaque>
OSTERVEIL_WIDE_LOOP void gradeRow(const PixelRow& row, const GradeConstants& k) {
    const float ex = k.exposure, con = k.contrast, off = k.contrastOffset, sat = k.saturation;
    const float tr = k.balance[0], tg = k.balance[1], tb = k.balance[2];
    const float lr = k.lift[0], lg = k.lift[1], lb = k.lift[2];
    const float gr = k.gain[0], gg = k.gain[1], gb = k.gain[2];
    const float er = k.powerLessOne[0], eg = k.powerLessOne[1], eb = k.powerLessOne[2];
    for (int i = 0; i < row.count; ++i) {
        const float a = Opaque ? 1.0f : row.a[i], u = Opaque ? ex : unpremultiplier(a) * ex;
        float r = row.r[i] * u, g = row.g[i] * u, b = row.b[i] * u;
        if constexpr ((Stages & kContrast) != 0) {
            r = r * con + off;
            g = g * con + off;
            b = b * con + off;
        }
        if constexpr ((Stages & kSaturation) != 0) {
            const float l = kLumaR * r + kLumaG * g + kLumaB * b;
            r = l * (1.0f - sat) + r * sat;
            g = l * (1.0f - sat) + g * sat;
            b = l * (1.0f - sat) + b * sat;
        }
        if constexpr ((Stages & kBalance) != 0) {
            r *= tr;
            b *= tb;
            g *= tg;
        }
        if constexpr ((Stages & kLiftGain) != 0) {
            r = gr * (r + lr * (1.0f - r));
            g = gg * (g + lg * (1.0f - g));
            b = gb * (b + lb * (1.0f - b));
        }
        if constexpr ((Stages & kGamma) != 0) {
            r *= fastExp2(er * fastLog2(r > 1e-30f ? r : 1e-30f));
            g *= fastExp2(eg * fastLog2(g > 1e-30f ? g : 1e-30f));
            b *= fastExp2(eb * fastLog2(b > 1e-30f ? b : 1e-30f));
        }
        if constexpr (Opaque) {
            row.r[i] = clamp01(r);
            row.g[i] = clamp01(g);
            row.b[i] = clamp01(b);
        } else {
            row.r[i] = clamp01(r) * a;
            row.g[i] = clamp01(g) * a;
            row.b[i] = clamp01(b) * a;
        }
    }
}

using GradeRowFunction = void (*)(const PixelRow&, const GradeConstants&);

template <bool Opaque, unsigned... S>
constexpr std::array<GradeRowFunction, sizeof...(S)> gradeRows(std::integer_sequence<unsigned, S...>) {
    return {&gradeRow<S, Opaque>...};
}

class GradeKernel final : public ColorKernel {
public:
    GradeKernel(const GradeParameters& p, bool skipNeutralStages) {
        k_.exposure = std::exp2(p.exposure);
        k_.contrast = p.contrast;
        k_.contrastOffset = 0.5f - 0.5f * p.contrast;
        k_.saturation = p.saturation;
        k_.balance[0] = 1.0f + 0.25f * p.temperature;
        k_.balance[1] = 1.0f + 0.15f * p.tint;
        k_.balance[2] = 1.0f - 0.25f * p.temperature;
        unsigned stages = 0;
        for (int c = 0; c < 3; ++c) {
            k_.lift[c] = p.lift[c];
            k_.gain[c] = p.gain[c];
            k_.powerLessOne[c] = 1.0f / std::max(p.gamma[c], 0.01f) - 1.0f;
            if (k_.lift[c] != 0.0f || k_.gain[c] != 1.0f) stages |= kLiftGain;
            if (k_.powerLessOne[c] != 0.0f) stages |= kGamma;
            if (k_.balance[c] != 1.0f) stages |= kBalance;
        }
        if (k_.contrast != 1.0f) stages |= kContrast;
        if (k_.saturation != 1.0f) stages |= kSaturation;
        static constexpr auto rows = gradeRows<false>(std::make_integer_sequence<unsigned, kAllStages + 1>());
        static constexpr auto opaqueRows = gradeRows<true>(std::make_integer_sequence<unsigned, kAllStages + 1>());
        run_ = rows[skipNeutralStages ? stages : kAllStages];
        runOpaque_ = opaqueRows[skipNeutralStages ? stages : kAllStages];
    }
    void apply(const PixelRow& row) const override { (allOnes(row.a, row.count) ? runOpaque_ : run_)(row, k_); }

private:
    GradeConstants k_{};
    GradeRowFunction run_, runOpaque_;
};

// CIE 1960 uv of the Planckian locus (Krystek 1985), 1000–15000 K.
std::array<double, 2> planckianUV(double t) {
    const double u = (0.860117757 + 1.54118254e-4 * t + 1.28641212e-7 * t * t) / (1 + 8.42420235e-4 * t + 7.08145163e-7 * t * t);
    const double v = (0.317398726 + 4.22806245e-5 * t + 4.20481691e-8 * t * t) / (1 - 2.89741816e-5 * t + 1.61456053e-7 * t * t);
    return {u, v};
}

// Linear BT.709 RGB of a neutral at unit luminance.
std::array<double, 3> neutralRGB(const Neutral& n) {
    const double t = std::clamp(std::isfinite(n.temperature) ? n.temperature : 6500.0, 1000.0, 15000.0);
    const double tint = std::isfinite(n.tint) ? std::clamp(n.tint, -1000.0, 1000.0) : 0.0;
    auto [u, v] = planckianUV(t);
    // The locus normal pointing towards green (larger v); positive tint goes the other way, to magenta.
    const auto ahead = planckianUV(std::min(t + 1, 15001.0));
    const double du = ahead[0] - u, dv = ahead[1] - v, len = std::hypot(du, dv);
    const double duv = -tint / 3000.0;
    u += duv * dv / len;
    v += duv * -du / len;
    const double den = 2 * u - 8 * v + 4;
    const double x = 3 * u / den, y = 2 * v / den;
    const double X = x / y, Y = 1, Z = (1 - x - y) / y;
    return {3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z, -0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z,
            0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z};
}

} // namespace

std::array<double, 3> whiteBalanceGains(const Neutral& source, const Neutral& target) {
    const auto s = neutralRGB(source), t = neutralRGB(target);
    std::array<double, 3> g{};
    for (int c = 0; c < 3; ++c) g[c] = std::pow(std::max(t[c], 1e-6) / std::max(s[c], 1e-6), 1 / 2.2);
    return g;
}

std::shared_ptr<const ColorKernel> matrixKernel(const ColorMatrix& m) { return std::make_shared<MatrixKernel>(m); }
std::shared_ptr<const ColorKernel> controlsKernel(float s, float b, float c) { return std::make_shared<ControlsKernel>(s, b, c); }
std::shared_ptr<const ColorKernel> gainKernel(std::array<float, 3> g) { return std::make_shared<GainKernel>(g); }
std::shared_ptr<const ColorKernel> gammaKernel(float p) { return std::make_shared<GammaKernel>(p); }
std::shared_ptr<const ColorKernel> vibranceKernel(float a) { return std::make_shared<VibranceKernel>(a); }
std::shared_ptr<const ColorKernel> cubeKernel(std::shared_ptr<const ColorCube> c) { return std::make_shared<CubeKernel>(std::move(c)); }
std::shared_ptr<const ColorKernel> vignetteEffectKernel(Point c, double radius, double intensity, double falloff) {
    const double f = std::clamp(falloff, 0.0, 1.0);
    return std::make_shared<VignetteEffectKernel>(c, radius * (1 - f), radius * (1 + f), intensity);
}
std::shared_ptr<const ColorKernel> vignetteKernel(const Rect& e, double intensity, double radius) {
    return std::make_shared<VignetteKernel>(e, intensity, radius);
}
std::shared_ptr<const ColorKernel> gradeKernel(const GradeParameters& p, bool skipNeutralStages) {
    return std::make_shared<GradeKernel>(p, skipNeutralStages);
}

} // namespace osterveil::imaging::detail
