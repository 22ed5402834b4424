#include "Context.hpp"

#include <algorithm>
#include <stdexcept>

#include "FastMath.hpp"
#include "Nodes.hpp"

namespace osterveil::imaging {

using namespace detail;

namespace {

void checkBounds(const PixelRect& bounds) {
    if (bounds.width < 0 || bounds.height < 0) throw std::invalid_argument("Context: negative render size");
}

// Plans and evaluates `bounds` of the image, handing every finished tile to `sink`.
template <typename Sink> void renderTiles(const Image& image, const PixelRect& bounds, Sink&& sink) {
    if (bounds.isEmpty()) return;
    const Node& root = *image.node();
    RenderPlan plan;
    root.collect(bounds, plan);
    root.prepare(plan);
    forEachTile(bounds, [&](const PixelRect& r) {
        ScratchTile st(r);
        root.eval(st.tile(), plan);
        sink(st.tile());
    });
}

// Through int32: SSE has no direct float to uint32 conversion.
std::uint32_t quantise(float v) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamp01(v) * 255.0f + 0.5f)); }

OSTERVEIL_WIDE_LOOP void packRow(const float* __restrict r, const float* __restrict g, const float* __restrict b,
                                 const float* __restrict a, int n, int s0, int s1, int s2, std::uint32_t* __restrict dst) {
    for (int i = 0; i < n; ++i) dst[i] = quantise(r[i]) << s0 | quantise(g[i]) << s1 | quantise(b[i]) << s2 | quantise(a[i]) << 24;
}

constexpr float kKr = 0.2126f, kKb = 0.0722f, kKg = 1.0f - kKr - kKb;

// Y', and the colour differences scaled to ±0.5, of clamped R'G'B'.
OSTERVEIL_WIDE_LOOP void toYCbCr(const float* __restrict r, const float* __restrict g, const float* __restrict b, int n,
                                 float* __restrict y, float* __restrict cb, float* __restrict cr) {
    for (int i = 0; i < n; ++i) {
        const float R = clamp01(r[i]), G = clamp01(g[i]), B = clamp01(b[i]);
        const float Y = kKr * R + kKg * G + kKb * B;
        y[i] = Y;
        cb[i] = (B - Y) * (0.5f / (1.0f - kKb));
        cr[i] = (R - Y) * (0.5f / (1.0f - kKr));
    }
}

OSTERVEIL_WIDE_LOOP void averageRows(float* __restrict a, const float* __restrict b, int n) {
    for (int i = 0; i < n; ++i) a[i] = 0.5f * (a[i] + b[i]);
}

template <typename Sample> OSTERVEIL_WIDE_LOOP void packSamples(const float* __restrict v, int n, float scale, float offset,
                                                                Sample* __restrict dst) {
    for (int i = 0; i < n; ++i) dst[i] = static_cast<Sample>(static_cast<std::int32_t>(v[i] * scale + offset));
}

// 8-bit samples are rounded with an ordered dither, as the ffmpeg tool's scaler does: an 8 × 8 Bayer
// threshold in (0, 1) takes the place of rounding's ½, so gradients a grade has stretched do not
// band, while the average over a block stays the exact value and exact codes stay exact. 10-bit
// samples are fine enough to be rounded. Each row of thresholds runs on for a tile's width, so a run
// of samples reads them in order from its column's place in the pattern.
constexpr int kDitherRun = 512;
struct DitherRows {
    float row[8][kDitherRun + 8];
};
constexpr DitherRows makeDitherRows() {
    constexpr int bayer[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                                 {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                                 {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                                 {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};
    DitherRows d{};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < kDitherRun + 8; ++x) d.row[y][x] = (static_cast<float>(bayer[y][x & 7]) + 0.5f) / 64.0f;
    return d;
}
constexpr DitherRows kDither = makeDitherRows();

OSTERVEIL_WIDE_LOOP void packDithered(const float* __restrict v, int n, float scale, float offset,
                                      const float* __restrict threshold, std::uint8_t* __restrict dst) {
    for (int i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(static_cast<std::int32_t>(v[i] * scale + offset + threshold[i]));
}

// Chroma samples on even columns, 1-2-1 across the neighbours: sample c from v[2c - 1], v[2c], v[2c + 1].
OSTERVEIL_WIDE_LOOP void cositedRow(const float* __restrict v, int count, float* __restrict out) {
    for (int c = 0; c < count; ++c) out[c] = 0.25f * (v[2 * c - 1] + v[2 * c + 1]) + 0.5f * v[2 * c];
}

} // namespace

void Context::renderYUV(const Image& image, const PixelRect& bounds, const YUVPlanes& out) const {
    checkBounds(bounds);
    if (bounds.isEmpty()) return;
    if ((out.bitDepth != 8 && out.bitDepth != 10) || bounds.width % 2 || (out.halfHeight && bounds.height % 2))
        throw std::invalid_argument("Context::renderYUV: bad destination");
    const int bytes = out.bitDepth == 8 ? 1 : 2;
    for (int p = 0; p < 3; ++p)
        if (!out.planes[p] || out.bytesPerRow[p] < bytes * (p ? bounds.width / 2 : bounds.width))
            throw std::invalid_argument("Context::renderYUV: bad destination");
    const Node& root = *image.node();
    RenderPlan plan;
    root.collect(bounds, plan);
    root.prepare(plan);
    const float unit = out.bitDepth == 8 ? 1.0f : 4.0f;
    const float yScale = 219.0f * unit, yOffset = 16.0f * unit, cScale = 224.0f * unit, cOffset = 128.0f * unit;
    auto pack = [&](int p, int row, int column, const float* v, int n, float scale, float offset) {
        std::uint8_t* line = out.planes[p] + row * out.bytesPerRow[p];
        if (bytes == 2) return packSamples(v, n, scale, offset + 0.5f, reinterpret_cast<std::uint16_t*>(line) + column);
        for (int i = 0; i < n; i += kDitherRun) {
            const int x = column + i;
            packDithered(v + i, std::min(kDitherRun, n - i), scale, offset, kDither.row[row & 7] + (x & 7), line + x);
        }
    };
    // Tiles start on even columns and rows of `bounds` and span an even number of each (or the rest of
    // an even-sized rectangle), so chroma pairs never straddle two tiles.
    forEachTile(bounds, [&](const PixelRect& r) {
        const int x0 = std::max(bounds.x, r.x - 1), w = r.x + r.width - x0; // a column more on the left
        ScratchTile st({x0, r.y, w, r.height});
        const Tile& t = st.tile();
        root.eval(t, plan);
        Scratch rows(7 * static_cast<std::size_t>(w));
        float* y = rows.data();
        float* cb[2] = {y + w, y + 3 * w};
        float* cr[2] = {y + 2 * w, y + 4 * w};
        float* sampled = y + 5 * w;
        const int c0 = (r.x - bounds.x) / 2, count = r.width / 2, first = x0 - bounds.x;
        const int top = bounds.y + bounds.height - 1;
        for (int j = 0; j < t.h; ++j) {
            const int outRow = top - (t.y + j);
            const int half = out.halfHeight ? j % 2 : 0;
            toYCbCr(t.ch(j, 0), t.ch(j, 1), t.ch(j, 2), w, y, cb[half], cr[half]);
            pack(0, outRow, r.x - bounds.x, y + (r.x - x0), r.width, yScale, yOffset);
            if (out.halfHeight && half == 0) continue; // its pair comes next
            if (out.halfHeight) averageRows(cb[0], cb[1], w), averageRows(cr[0], cr[1], w);
            const int chromaRow = out.halfHeight ? outRow / 2 : outRow;
            for (int p = 1; p < 3; ++p) {
                const float* v = (p == 1 ? cb[0] : cr[0]) + (2 * c0 - first);
                // The picture's left column stands in for the one beyond it; a right neighbour is
                // always there, the width being even.
                const int edge = c0 == 0 ? 1 : 0;
                if (edge) sampled[0] = 0.75f * v[0] + 0.25f * v[1];
                cositedRow(v + 2 * edge, count - edge, sampled + edge);
                pack(p, chromaRow, c0, sampled, count, cScale, cOffset);
            }
        }
    });
}

void Context::renderBGRA8(const Image& image, const PixelRect& bounds, std::uint8_t* pixels, std::ptrdiff_t bytesPerRow) const {
    checkBounds(bounds);
    if (bounds.isEmpty()) return;
    if (!pixels || bytesPerRow < 4 * static_cast<std::ptrdiff_t>(bounds.width))
        throw std::invalid_argument("Context::renderBGRA8: bad destination");
    renderTiles(image, bounds, [&](const Tile& t) {
        for (int j = 0; j < t.h; ++j) {
            const int outRow = bounds.y + bounds.height - 1 - (t.y + j);
            auto* dst = reinterpret_cast<std::uint32_t*>(pixels + outRow * bytesPerRow) + (t.x - bounds.x);
            packRow(t.ch(j, 0), t.ch(j, 1), t.ch(j, 2), t.ch(j, 3), t.w, 16, 8, 0, dst);
        }
    });
}

Bitmap Context::renderBitmap(const Image& image, const PixelRect& bounds) const {
    checkBounds(bounds);
    if (bounds.isEmpty()) return {};
    std::vector<std::uint8_t> rgba(4 * static_cast<std::size_t>(bounds.width) * static_cast<std::size_t>(bounds.height));
    renderTiles(image, bounds, [&](const Tile& t) {
        for (int j = 0; j < t.h; ++j) {
            const int outRow = bounds.y + bounds.height - 1 - (t.y + j);
            auto* dst = reinterpret_cast<std::uint32_t*>(rgba.data() + 4 * static_cast<std::size_t>(outRow) * static_cast<std::size_t>(bounds.width)) + (t.x - bounds.x);
            packRow(t.ch(j, 0), t.ch(j, 1), t.ch(j, 2), t.ch(j, 3), t.w, 0, 8, 16, dst);
        }
    });
    return Bitmap::make(bounds.width, bounds.height, std::move(rgba), AlphaMode::premultiplied);
}

std::vector<float> Context::renderFloat(const Image& image, const PixelRect& bounds) const {
    checkBounds(bounds);
    std::vector<float> out(4 * static_cast<std::size_t>(bounds.width) * static_cast<std::size_t>(bounds.height));
    renderTiles(image, bounds, [&](const Tile& t) {
        for (int j = 0; j < t.h; ++j) {
            const int outRow = bounds.y + bounds.height - 1 - (t.y + j);
            float* dst = out.data() + 4 * (static_cast<std::size_t>(outRow) * static_cast<std::size_t>(bounds.width) + static_cast<std::size_t>(t.x - bounds.x));
            for (int c = 0; c < 4; ++c) {
                const float* s = t.ch(j, c);
                for (int i = 0; i < t.w; ++i) dst[4 * i + c] = s[i];
            }
        }
    });
    return out;
}

} // namespace osterveil::imaging
