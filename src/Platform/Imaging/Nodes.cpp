#include "Nodes.hpp"

#include "FastMath.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <oneapi/tbb/blocked_range2d.h>
#include <oneapi/tbb/parallel_for.h>

namespace osterveil::imaging::detail {

// --- Tiles and scratch memory -------------------------------------------------------------------------

void Tile::clear() const {
    for (int i = 0; i < h; ++i)
        for (int c = 0; c < 4; ++c) std::fill_n(ch(i, c), w, 0.0f);
}

void Tile::clearOutside(const PixelRect& keep) const {
    const PixelRect in = intersect(rect(), keep);
    if (in.isEmpty()) return clear();
    for (int i = 0; i < h; ++i) {
        const int yy = y + i;
        const bool rowInside = yy >= in.y && yy < in.y + in.height;
        for (int c = 0; c < 4; ++c) {
            float* p = ch(i, c);
            if (!rowInside) {
                std::fill_n(p, w, 0.0f);
                continue;
            }
            std::fill(p, p + (in.x - x), 0.0f);
            std::fill(p + (in.x + in.width - x), p + w, 0.0f);
        }
    }
}

Tile Tile::sub(const PixelRect& r) const {
    Tile s = *this;
    s.data = ch(r.y - y, 0) + (r.x - x);
    s.x = r.x;
    s.y = r.y;
    s.w = r.width;
    s.h = r.height;
    return s;
}

namespace {
struct ScratchStack {
    std::vector<std::vector<float>> levels;
    std::size_t depth = 0;
};
thread_local ScratchStack scratchStack;
} // namespace

Scratch::Scratch(std::size_t floats) {
    auto& s = scratchStack;
    if (s.depth == s.levels.size()) s.levels.emplace_back();
    auto& v = s.levels[s.depth++];
    if (v.size() < floats) v.resize(floats);
    data_ = v.data();
}

Scratch::~Scratch() { --scratchStack.depth; }

std::size_t ScratchTile::floatsFor(const PixelRect& r) {
    const std::size_t stride = (static_cast<std::size_t>(std::max(r.width, 1)) + 7) & ~std::size_t(7);
    return stride * 4 * static_cast<std::size_t>(std::max(r.height, 1));
}

ScratchTile::ScratchTile(const PixelRect& r) : mem_(floatsFor(r)) {
    tile_.data = mem_.data();
    tile_.x = r.x;
    tile_.y = r.y;
    tile_.w = r.width;
    tile_.h = r.height;
    tile_.stride = static_cast<std::ptrdiff_t>((static_cast<std::size_t>(std::max(r.width, 1)) + 7) & ~std::size_t(7));
}

void forEachTile(const PixelRect& r, const std::function<void(const PixelRect&)>& body) {
    if (r.isEmpty()) return;
    // Bands short enough that a tile and a chain of kernels stay in the core's cache.
    constexpr int kTileWidth = 512, kTileHeight = 16;
    const int cols = (r.width + kTileWidth - 1) / kTileWidth;
    const int rows = (r.height + kTileHeight - 1) / kTileHeight;
    tbb::parallel_for(tbb::blocked_range2d<int>(0, rows, 1, 0, cols, 1), [&](const tbb::blocked_range2d<int>& br) {
        for (int j = br.rows().begin(); j != br.rows().end(); ++j)
            for (int i = br.cols().begin(); i != br.cols().end(); ++i) {
                const int x = r.x + i * kTileWidth, y = r.y + j * kTileHeight;
                body({x, y, std::min(kTileWidth, r.x + r.width - x), std::min(kTileHeight, r.y + r.height - y)});
            }
    });
}

// --- Plan ---------------------------------------------------------------------------------------------

void RenderPlan::requestRegion(const Node* n, const PixelRect& roi) {
    if (roi.isEmpty()) return;
    auto [it, inserted] = regions_.try_emplace(n, roi);
    if (inserted) return;
    PixelRect& u = it->second;
    const int x0 = std::min(u.x, roi.x), y0 = std::min(u.y, roi.y);
    const int x1 = std::max(u.x + u.width, roi.x + roi.width), y1 = std::max(u.y + u.height, roi.y + roi.height);
    u = {x0, y0, x1 - x0, y1 - y0};
}

const PixelRect* RenderPlan::region(const Node* n) const {
    const auto it = regions_.find(n);
    return it == regions_.end() ? nullptr : &it->second;
}

const Materialised* RenderPlan::materialised(const Node* n) const {
    const auto it = buffers_.find(n);
    return it == buffers_.end() ? nullptr : it->second.get();
}

std::shared_ptr<Materialised> Materialised::covering(const PixelRect& region, int fx, int fy) {
    auto m = std::make_shared<Materialised>();
    m->x = region.x;
    m->y = region.y;
    m->fx = fx;
    m->fy = fy;
    m->width = (region.width + fx - 1) / fx;
    m->height = (region.height + fy - 1) / fy;
    m->rgba = std::make_unique_for_overwrite<float[]>(4 * static_cast<std::size_t>(m->width) * static_cast<std::size_t>(m->height));
    return m;
}

std::shared_ptr<const Materialised> materialise(const Node& n, const PixelRect& region, int fx, int fy,
                                                const RenderPlan& plan) {
    if (n.kind() == NodeKind::yuv)
        if (auto reduced = reduceYUV(static_cast<const YUVNode&>(n), region, fx, fy)) return reduced;
    const auto m = Materialised::covering(region, fx, fy);
    const float norm = 1.0f / static_cast<float>(fx * fy);
    forEachTile({0, 0, m->width, m->height}, [&](const PixelRect& out) {
        const PixelRect src{region.x + out.x * fx, region.y + out.y * fy, out.width * fx, out.height * fy};
        ScratchTile st(src);
        const Tile& t = st.tile();
        n.eval(t, plan);
        for (int j = 0; j < out.height; ++j) {
            float* dst = m->rgba.get() + 4 * (static_cast<std::size_t>(out.y + j) * static_cast<std::size_t>(m->width) + static_cast<std::size_t>(out.x));
            for (int c = 0; c < 4; ++c) {
                for (int i = 0; i < out.width; ++i) {
                    float sum = 0;
                    for (int dy = 0; dy < fy; ++dy) {
                        const float* s = t.ch(j * fy + dy, c) + i * fx;
                        for (int dx = 0; dx < fx; ++dx) sum += s[dx];
                    }
                    dst[4 * i + c] = sum * norm;
                }
            }
        }
    });
    return m;
}

// --- Leaves ---------------------------------------------------------------------------------------------

const NodePtr& emptyNode() {
    static const NodePtr empty = std::make_shared<EmptyNode>();
    return empty;
}

void ConstantNode::eval(const Tile& t, const RenderPlan&) const {
    const float v[4] = {color.r, color.g, color.b, color.a};
    for (int i = 0; i < t.h; ++i)
        for (int c = 0; c < 4; ++c) std::fill_n(t.ch(i, c), t.w, v[c]);
}

void FloatPixelsNode::eval(const Tile& t, const RenderPlan&) const {
    const PixelRect in = intersect(t.rect(), {0, 0, width, height});
    t.clearOutside(in);
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const float* src = pixels.data() + 4 * (static_cast<std::size_t>(height - 1 - yy) * static_cast<std::size_t>(width) + static_cast<std::size_t>(in.x));
        const int row = yy - t.y;
        float* r = t.ch(row, 0) + (in.x - t.x);
        float* g = t.ch(row, 1) + (in.x - t.x);
        float* b = t.ch(row, 2) + (in.x - t.x);
        float* a = t.ch(row, 3) + (in.x - t.x);
        for (int i = 0; i < in.width; ++i) {
            r[i] = src[4 * i];
            g[i] = src[4 * i + 1];
            b[i] = src[4 * i + 2];
            a[i] = src[4 * i + 3];
        }
    }
}

void BitmapNode::eval(const Tile& t, const RenderPlan&) const {
    const int width = bitmap.width(), height = bitmap.height();
    const PixelRect in = intersect(t.rect(), {0, 0, width, height});
    t.clearOutside(in);
    const bool straight = bitmap.alphaMode() == AlphaMode::straight;
    constexpr float k = 1.0f / 255.0f;
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const std::uint8_t* src = bitmap.pixels() + (height - 1 - yy) * bitmap.bytesPerRow() + 4 * in.x;
        const int row = yy - t.y;
        float* r = t.ch(row, 0) + (in.x - t.x);
        float* g = t.ch(row, 1) + (in.x - t.x);
        float* b = t.ch(row, 2) + (in.x - t.x);
        float* a = t.ch(row, 3) + (in.x - t.x);
        for (int i = 0; i < in.width; ++i) {
            const float av = src[4 * i + 3] * k;
            const float m = straight ? av * k : k;
            r[i] = src[4 * i] * m;
            g[i] = src[4 * i + 1] * m;
            b[i] = src[4 * i + 2] * m;
            a[i] = av;
        }
    }
}

// --- Crop ------------------------------------------------------------------------------------------------

namespace {
// Fraction of the pixel [i, i+1) inside [lo, hi).
float coverage1D(int i, double lo, double hi) {
    const double c = std::min<double>(i + 1, hi) - std::max<double>(i, lo);
    return c <= 0 ? 0.0f : c >= 1 ? 1.0f : static_cast<float>(c);
}
} // namespace

void CropNode::eval(const Tile& t, const RenderPlan& plan) const {
    const PixelRect in = intersect(t.rect(), pixelBounds(extent()));
    t.clearOutside(in);
    if (in.isEmpty()) return;
    input->eval(t.sub(in), plan);
    const Rect& e = extent();
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const float cy = coverage1D(yy, e.minY(), e.maxY());
        const int row = yy - t.y;
        for (int xx = in.x; xx < in.x + in.width; ++xx) {
            const bool interior = xx > in.x && xx < in.x + in.width - 1;
            const float cov = cy * (interior ? 1.0f : coverage1D(xx, e.minX(), e.maxX()));
            if (cov == 1.0f) {
                if (interior) xx = in.x + in.width - 2; // the interior is whole; jump to the last column
                continue;
            }
            for (int c = 0; c < 4; ++c) t.ch(row, c)[xx - t.x] *= cov;
        }
    }
}

void CropNode::collect(const PixelRect& roi, RenderPlan& plan) const {
    input->collect(intersect(roi, pixelBounds(extent())), plan);
}

// --- Kernels: a chain of them runs row by row over one evaluation of the input -------------------------

void KernelNode::eval(const Tile& t, const RenderPlan& plan) const {
    // Up to kMaxChain kernels per pass; a longer chain evaluates its lower part as this node's base.
    constexpr int kMaxChain = 32;
    const ColorKernel* chain[kMaxChain];
    int count = 0;
    const Node* base = this;
    while (base->kind() == NodeKind::kernel && count < kMaxChain) {
        const auto* k = static_cast<const KernelNode*>(base);
        chain[count++] = k->kernel.get();
        base = k->input.get();
    }
    base->eval(t, plan);
    const PixelRect in = intersect(t.rect(), pixelBounds(extent()));
    if (in.isEmpty()) return;
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const int row = yy - t.y, off = in.x - t.x;
        const PixelRow pr{t.ch(row, 0) + off, t.ch(row, 1) + off, t.ch(row, 2) + off, t.ch(row, 3) + off, in.width, in.x, yy};
        for (int i = count - 1; i >= 0; --i) chain[i]->apply(pr);
    }
}

// --- Composite and dissolve --------------------------------------------------------------------------------

namespace {

bool allOpaque(const Tile& t) {
    for (int j = 0; j < t.h; ++j)
        if (!allOnes(t.ch(j, 3), t.w)) return false;
    return true;
}

} // namespace

void CompositeNode::eval(const Tile& t, const RenderPlan& plan) const {
    const PixelRect in = intersect(t.rect(), pixelBounds(foreground->extent()));
    if (in == t.rect()) {
        // A foreground covering the tile is drawn first: where it is opaque throughout (a picture over
        // the black canvas) the background would change nothing and is not drawn at all.
        foreground->eval(t, plan);
        if (allOpaque(t)) return;
        ScratchTile st(in);
        const Tile& b = st.tile();
        background->eval(b, plan);
        for (int j = 0; j < t.h; ++j) {
            const float* fa = t.ch(j, 3);
            // Alpha last: the colour channels read the foreground's.
            for (int c : {0, 1, 2, 3}) {
                float* o = t.ch(j, c);
                const float* bc = b.ch(j, c);
                for (int i = 0; i < t.w; ++i) o[i] = o[i] + bc[i] * (1.0f - fa[i]);
            }
        }
        return;
    }
    background->eval(t, plan);
    if (in.isEmpty()) return;
    ScratchTile st(in);
    const Tile& f = st.tile();
    foreground->eval(f, plan);
    for (int j = 0; j < in.height; ++j) {
        const int row = in.y - t.y + j, off = in.x - t.x;
        const float* fa = f.ch(j, 3);
        for (int c = 0; c < 4; ++c) {
            const float* fc = f.ch(j, c);
            float* o = t.ch(row, c) + off;
            for (int i = 0; i < in.width; ++i) o[i] = fc[i] + o[i] * (1.0f - fa[i]);
        }
    }
}

void CompositeNode::collect(const PixelRect& roi, RenderPlan& plan) const {
    foreground->collect(intersect(roi, pixelBounds(foreground->extent())), plan);
    background->collect(roi, plan);
}

void CompositeNode::prepare(RenderPlan& plan) const {
    foreground->prepare(plan);
    background->prepare(plan);
}

void DissolveNode::eval(const Tile& t, const RenderPlan& plan) const {
    source->eval(t, plan);
    ScratchTile st(t.rect());
    const Tile& o = st.tile();
    target->eval(o, plan);
    const float u = 1.0f - time, v = time;
    for (int j = 0; j < t.h; ++j)
        for (int c = 0; c < 4; ++c) {
            float* a = t.ch(j, c);
            const float* b = o.ch(j, c);
            for (int i = 0; i < t.w; ++i) a[i] = a[i] * u + b[i] * v;
        }
}

void DissolveNode::collect(const PixelRect& roi, RenderPlan& plan) const {
    source->collect(roi, plan);
    target->collect(roi, plan);
}

void DissolveNode::prepare(RenderPlan& plan) const {
    source->prepare(plan);
    target->prepare(plan);
}

} // namespace osterveil::imaging::detail
