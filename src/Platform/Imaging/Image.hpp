#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Imaging/Bitmap.hpp"
#include "Platform/Imaging/ColorCube.hpp"
#include "Platform/Imaging/ColorKernel.hpp"
#include "Platform/Imaging/Geometry.hpp"
#include "Platform/Imaging/YUVFrame.hpp"

namespace osterveil::imaging {

namespace detail {
class Node;
}

// Premultiplied colour. The working space is BT.709 non-linear R'G'B' (never linearised); values may
// leave 0...1 between operations and are clamped only where a formula says so, and on output.
struct Color {
    float r = 0, g = 0, b = 0, a = 0;
    bool operator==(const Color&) const = default;
};

// out = R·p, G·p, B·p, A·p (dot products with the premultiplied pixel p) plus bias·alpha. Working on
// premultiplied values makes (o,0,0,0)…(0,0,0,o) a correct opacity; scaling the bias by the pixel's
// alpha keeps transparent pixels transparent, and for opaque pictures the bias is simply added.
struct ColorMatrix {
    std::array<float, 4> r{1, 0, 0, 0};
    std::array<float, 4> g{0, 1, 0, 0};
    std::array<float, 4> b{0, 0, 1, 0};
    std::array<float, 4> a{0, 0, 0, 1};
    std::array<float, 4> bias{0, 0, 0, 0};
    bool operator==(const ColorMatrix&) const = default;
};

// A white point: correlated colour temperature in kelvin, and tint as an offset from the Planckian
// locus (positive towards green) in units of 1/3000 Δuv, the scale of common raw developers' tint.
struct Neutral {
    double temperature = 6500;
    double tint = 0;
    bool operator==(const Neutral&) const = default;
};

// The fourteen values of the basic grade, in the order the grade kernel takes them.
struct GradeParameters {
    float exposure = 0;
    float contrast = 1;
    float saturation = 1;
    float temperature = 0;
    float tint = 0;
    std::array<float, 3> lift{0, 0, 0};
    std::array<float, 3> gamma{1, 1, 1};
    std::array<float, 3> gain{1, 1, 1};
    bool operator==(const GradeParameters&) const = default;
};

// An immutable picture: a cheap shared handle to a recipe (a pixel source with geometry and colour
// operations on top) that is evaluated only when rendered (see Context). Copying the handle shares the
// recipe. Every operation that would change nothing returns the very same image (isSameAs holds).
//
// Geometry: transforms concatenate lazily, and crops of a transformed image become clip edges of the same
// transform, so orientation, fit and motion resample the source once: bilinearly, with a 2×2 box
// reduction of the source for each halving beyond the first when shrinking, so that the 0.5 and 0.25
// preview scales are true area averages rather than aliased point samples. Edges are antialiased by
// pixel coverage; interiors of pixel-aligned results are exact.
//
// Colour operations are per-pixel kernels fused during rendering: a chain of them runs over one band of
// rows at a time, without a full-frame buffer per stage. Those that work on unpremultiplied colour
// divide by alpha first (transparent pixels stay transparent) and multiply back after.
class Image {
public:
    // The empty image: no extent, draws nothing.
    Image();

    static Image constant(const Color& premultiplied); // infinite extent
    // Premultiplied float RGBA, rows top-down, extent (0, 0, width, height).
    static Image fromFloatPixels(int width, int height, std::vector<float> rgba);
    // Samples the bitmap in place (it stays alive with the image); extent (0, 0, width, height).
    static Image fromBitmap(const Bitmap& bitmap);
    // Copies 8-bit RGBA or BGRA rows (top-down) into a new bitmap-backed image.
    static Image fromPixels(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t bytesPerRow,
                            ChannelOrder order, AlphaMode alpha);
    // Samples the frame's planes in place, converting with its own matrix and range, then from its
    // primaries and transfer into the working space (HDR tone-mapped to standard range); alpha from its
    // alpha plane, else 1. Throws std::invalid_argument for a description that cannot be read.
    static Image fromYUV(const YUVFrame& frame);

    Rect extent() const;
    bool isEmpty() const;
    bool isInfinite() const;
    // The same recipe (the identity the "changes nothing" rule promises).
    bool isSameAs(const Image& other) const { return node_ == other.node_; }

    // --- Geometry ---------------------------------------------------------------------------------
    // A non-finite or singular transform collapses the picture: the result is empty.
    Image transformed(const Affine& m) const;
    Image translated(double dx, double dy) const { return transformed(Affine::translation(dx, dy)); }
    Image scaled(double sx, double sy) const { return transformed(Affine::scale(sx, sy)); }
    // The part inside `rect` (pixels partly inside are weighted by coverage); an empty rect gives the
    // empty image.
    Image cropped(const Rect& rect) const;
    // Source-over: this + background · (1 − alpha). Extent: the union of both.
    Image compositedOver(const Image& background) const;

    // --- Colour -----------------------------------------------------------------------------------
    Image colorMatrix(const ColorMatrix& m) const;
    // On unpremultiplied colour c, in this order: saturation c ← L + (c − L)·saturation with
    // L = 0.2126 r + 0.7152 g + 0.0722 b (Rec. 709 luma); brightness c ← c + brightness; contrast about
    // mid grey c ← (c − 0.5)·contrast + 0.5. Identity at (1, 0, 1).
    Image colorControls(double saturation, double brightness, double contrast) const;
    // rgb × 2^ev.
    Image exposureAdjusted(double ev) const;
    // c ← sign(c)·|c|^power on unpremultiplied colour.
    Image gammaAdjusted(double power) const;
    // A von Kries white-balance shift that takes the source neutral to the target neutral. Each neutral
    // becomes a chromaticity (Planckian locus by Krystek's approximation in CIE 1960 uv, 1000–25000 K,
    // tint along the locus normal), then linear BT.709 RGB scaled to unit luminance; the channel gains
    // are target/source. The working space is non-linear, and a power-law encoding commutes with a
    // scale, so the gains are applied as gains^(1/2.2) to the encoded values. A shift warmer than the
    // picture (source hotter than target) raises red against blue; equal neutrals change nothing.
    Image temperatureAndTint(const Neutral& source, const Neutral& target) const;
    // Saturation boost weighted towards weakly saturated pixels, on unpremultiplied colour:
    // s = clamp01(max − min), c ← L + (c − L)·max(0, 1 + amount·(1 − s)). Greys and fully saturated
    // colours keep their values; a negative amount desaturates, most strongly where colour is weak.
    Image vibrance(double amount) const;
    // Trilinear look-up of the unpremultiplied colour clamped to 0…1 (NaN to 0); the result's alpha is
    // the pixel's alpha times the table's. A null cube changes nothing.
    Image colorCube(const std::shared_ptr<const ColorCube>& cube) const;
    // (1 − t)·this + t·target with t clamped to 0…1; t = 0 gives this image, t = 1 the target.
    Image dissolved(const Image& target, double t) const;
    // Unsharp mask on luma: with L the Rec. 709 luma of the premultiplied pixel and B its Gaussian blur
    // (σ = radius pixels, edges of the extent repeated outward), rgb ← rgb + sharpness·(L − B)·alpha. The
    // same amount goes to all three channels, so chroma differences are kept. Nothing for sharpness 0 or
    // a radius below 0.01.
    Image sharpenedLuminance(double sharpness, double radius) const;
    // With d the distance of a pixel centre from `center` (pixels), the colour is scaled by
    // 1 − intensity·S(radius·(1 − falloff), radius·(1 + falloff), d), S the smooth step (a hard edge at
    // the radius for falloff 0), falloff clamped to 0…1, the factor clamped to 0…1.
    Image vignetteEffect(Point center, double radius, double intensity, double falloff) const;
    // Darkens towards the corners of the extent: with d the distance from the extent's centre divided by
    // its half-diagonal, the colour is scaled by clamp01(1 − 0.5·intensity·(d / radius)²). An infinite
    // or empty extent has no corners and is returned unchanged.
    Image vignette(double intensity, double radius) const;
    // The basic grade, on unpremultiplied colour (rgb, then re-premultiplied with the pixel's alpha):
    // rgb·2^exposure; (rgb − 0.5)·contrast + 0.5; mix(luma, rgb, saturation); r·(1 + 0.25 temperature),
    // b·(1 − 0.25 temperature), g·(1 + 0.15 tint); y = gain·(rgb + lift·(1 − rgb));
    // y = max(y, 0)^(1 / max(gamma, 0.01)); clamp to 0…1. It clamps, so even neutral values change
    // out-of-range pictures; callers skip it themselves when the grade is neutral.
    Image graded(const GradeParameters& p) const;
    // Any per-pixel function.
    Image applyingColorKernel(std::shared_ptr<const ColorKernel> kernel) const;

    const std::shared_ptr<const detail::Node>& node() const { return node_; }
    explicit Image(std::shared_ptr<const detail::Node> node);

private:
    std::shared_ptr<const detail::Node> node_;
};

} // namespace osterveil::imaging
