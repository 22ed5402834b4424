#include <algorithm>
#include <cmath>

#include "Nodes.hpp"

namespace osterveil::imaging::detail {

namespace {
constexpr int kMaxHalfWidth = 64; // beyond 3σ ≈ 21 pixels the blur is truncated
}

SharpenNode::SharpenNode(NodePtr in, float s, double sigma)
    : Node(NodeKind::sharpen, in->extent()), input(std::move(in)), sharpness(s) {
    halfWidth = std::clamp(static_cast<int>(std::ceil(3 * sigma)), 1, kMaxHalfWidth);
    weights.resize(2 * static_cast<std::size_t>(halfWidth) + 1);
    double sum = 0;
    for (int k = -halfWidth; k <= halfWidth; ++k) sum += std::exp(-k * k / (2 * sigma * sigma));
    for (int k = -halfWidth; k <= halfWidth; ++k)
        weights[static_cast<std::size_t>(k + halfWidth)] = static_cast<float>(std::exp(-k * k / (2 * sigma * sigma)) / sum);
}

void SharpenNode::collect(const PixelRect& roi, RenderPlan& plan) const {
    const PixelRect in = intersect(roi, pixelBounds(extent()));
    if (in.isEmpty()) return;
    const int k = halfWidth;
    input->collect(intersect({in.x - k, in.y - k, in.width + 2 * k, in.height + 2 * k}, pixelBounds(extent())), plan);
}

void SharpenNode::eval(const Tile& t, const RenderPlan& plan) const {
    const PixelRect bounds = pixelBounds(extent());
    const PixelRect in = intersect(t.rect(), bounds);
    t.clearOutside(in);
    if (in.isEmpty()) return;
    const int k = halfWidth, taps = 2 * k + 1;
    // The input around the tile; at the extent's edges the luma is repeated outward instead.
    const PixelRect region = intersect({in.x - k, in.y - k, in.width + 2 * k, in.height + 2 * k}, bounds);
    ScratchTile srcTile(region);
    const Tile& src = srcTile.tile();
    input->eval(src, plan);

    const int w = in.width, padded = w + 2 * k;
    Scratch mem(static_cast<std::size_t>(padded) + static_cast<std::size_t>(w) * (static_cast<std::size_t>(region.height) + 2));
    float* lpad = mem.data();
    float* horizontal = lpad + padded; // region.height rows of w
    float* blurred = horizontal + static_cast<std::size_t>(w) * static_cast<std::size_t>(region.height);
    float* luma = blurred + w;
    const float* wt = weights.data();

    for (int j = 0; j < region.height; ++j) {
        const float *r = src.ch(j, 0), *g = src.ch(j, 1), *b = src.ch(j, 2);
        for (int p = 0; p < padded; ++p) {
            const int col = std::clamp(in.x - k + p, region.x, region.x + region.width - 1) - region.x;
            lpad[p] = 0.2126f * r[col] + 0.7152f * g[col] + 0.0722f * b[col];
        }
        float* h = horizontal + static_cast<std::size_t>(j) * static_cast<std::size_t>(w);
        std::fill_n(h, w, 0.0f);
        for (int q = 0; q < taps; ++q) {
            const float wq = wt[q];
            const float* l = lpad + q;
            for (int i = 0; i < w; ++i) h[i] += wq * l[i];
        }
    }

    const float s = sharpness;
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const int rj = yy - region.y;
        std::fill_n(blurred, w, 0.0f);
        for (int q = 0; q < taps; ++q) {
            const int hr = std::clamp(rj - k + q, 0, region.height - 1);
            const float* h = horizontal + static_cast<std::size_t>(hr) * static_cast<std::size_t>(w);
            const float wq = wt[q];
            for (int i = 0; i < w; ++i) blurred[i] += wq * h[i];
        }
        const int sx = in.x - region.x, row = yy - t.y, ox = in.x - t.x;
        const float *r = src.ch(rj, 0) + sx, *g = src.ch(rj, 1) + sx, *b = src.ch(rj, 2) + sx, *a = src.ch(rj, 3) + sx;
        float *R = t.ch(row, 0) + ox, *G = t.ch(row, 1) + ox, *B = t.ch(row, 2) + ox, *A = t.ch(row, 3) + ox;
        for (int i = 0; i < w; ++i) luma[i] = 0.2126f * r[i] + 0.7152f * g[i] + 0.0722f * b[i];
        for (int i = 0; i < w; ++i) {
            const float d = s * (luma[i] - blurred[i]) * a[i];
            R[i] = r[i] + d;
            G[i] = g[i] + d;
            B[i] = b[i] + d;
            A[i] = a[i];
        }
    }
}

} // namespace osterveil::imaging::detail
