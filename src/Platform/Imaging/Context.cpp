#include "Context.hpp"

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

} // namespace

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
