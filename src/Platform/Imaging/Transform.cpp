#include <algorithm>
#include <cmath>

#include "Nodes.hpp"
#include "Samplers.hpp"

namespace osterveil::imaging::detail {

namespace {

constexpr double kHuge = 1e15; // stands for the infinite plane when clipping polygons
constexpr int kMaxReduction = 1024;
constexpr int kMaxMaterialisedSide = 16384;

// Pixel sources a transform reads in place (the others are evaluated into memory first). Y'CbCr with
// alpha is not one: its colour must be premultiplied before it is interpolated.
bool isSampledInPlace(const Node& n) {
    const NodeKind k = n.kind();
    if (k == NodeKind::yuv) return !static_cast<const YUVNode&>(n).hasAlpha();
    return k == NodeKind::floatPixels || k == NodeKind::bitmap || k == NodeKind::constant;
}

// The half-plane h (given in the space that `toOut` maps from) expressed in output space.
HalfPlane mapped(const HalfPlane& h, const Affine& outToIn) {
    const double a = h.a * outToIn.a + h.b * outToIn.b;
    const double b = h.a * outToIn.c + h.b * outToIn.d;
    const double c = h.a * outToIn.tx + h.b * outToIn.ty + h.c;
    const double n = std::hypot(a, b);
    return {a / n, b / n, c / n};
}

void addEdges(const Rect& r, const Affine& outToIn, std::vector<HalfPlane>& clips) {
    if (std::isfinite(r.minX())) clips.push_back(mapped({1, 0, -r.minX()}, outToIn));
    if (std::isfinite(r.maxX())) clips.push_back(mapped({-1, 0, r.maxX()}, outToIn));
    if (std::isfinite(r.minY())) clips.push_back(mapped({0, 1, -r.minY()}, outToIn));
    if (std::isfinite(r.maxY())) clips.push_back(mapped({0, -1, r.maxY()}, outToIn));
}

// Bounding box of the input's extent mapped to output space and clipped by every half-plane.
Rect clippedExtent(const Rect& inputExtent, const Affine& m, const std::vector<HalfPlane>& clips) {
    std::vector<Point> poly;
    if (inputExtent.isInfinite()) {
        poly = {{-kHuge, -kHuge}, {kHuge, -kHuge}, {kHuge, kHuge}, {-kHuge, kHuge}};
    } else {
        const Rect& e = inputExtent;
        poly = {m.apply(Point{e.minX(), e.minY()}), m.apply(Point{e.maxX(), e.minY()}),
                m.apply(Point{e.maxX(), e.maxY()}), m.apply(Point{e.minX(), e.maxY()})};
    }
    for (const HalfPlane& h : clips) {
        std::vector<Point> next;
        for (std::size_t i = 0; i < poly.size(); ++i) {
            const Point p = poly[i], q = poly[(i + 1) % poly.size()];
            const double dp = h.a * p.x + h.b * p.y + h.c, dq = h.a * q.x + h.b * q.y + h.c;
            if (dp >= 0) next.push_back(p);
            if ((dp >= 0) != (dq >= 0)) {
                const double t = dp / (dp - dq);
                next.push_back({p.x + (q.x - p.x) * t, p.y + (q.y - p.y) * t});
            }
        }
        poly = std::move(next);
        if (poly.empty()) return {};
    }
    double x0 = poly[0].x, x1 = x0, y0 = poly[0].y, y1 = y0;
    for (const Point& p : poly) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
    }
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double lim = kHuge / 10;
    return Rect::fromEdges(x0 < -lim ? -inf : x0, y0 < -lim ? -inf : y0, x1 > lim ? inf : x1, y1 > lim ? inf : y1);
}

// Crop clips of the transform `t` as seen after the further transform whose inverse is `outToIn`.
void addMappedClips(const TransformNode& t, const Affine& outToIn, std::vector<HalfPlane>& clips) {
    for (const HalfPlane& h : t.cropClips) clips.push_back(mapped(h, outToIn));
}

Rect extentOf(const Node& in, const Affine& m, const std::vector<HalfPlane>& cropClips) {
    std::vector<HalfPlane> all = cropClips;
    addEdges(in.extent(), m.inverted(), all);
    return clippedExtent(in.extent(), m, all);
}

NodePtr build(NodePtr in, Affine m, std::vector<HalfPlane> clips) {
    // Peel crops and transforms off the input so that one resampling does all the geometry.
    for (;;) {
        if (in->kind() == NodeKind::crop) {
            const auto& c = static_cast<const CropNode&>(*in);
            addEdges(c.rect, m.inverted(), clips);
            in = c.input;
        } else if (in->kind() == NodeKind::transform) {
            const auto& t = static_cast<const TransformNode&>(*in);
            addMappedClips(t, m.inverted(), clips);
            m = t.matrix.then(m);
            in = t.input;
        } else {
            break;
        }
    }
    if (in->kind() == NodeKind::empty) return in;
    if (!m.isInvertible()) return emptyNode();
    if (clips.empty() && m.isIdentity()) return in;
    if (clips.empty() && in->kind() == NodeKind::constant) return in;
    const Rect extent = extentOf(*in, m, clips);
    if (extent.isEmpty()) return emptyNode();
    return std::make_shared<TransformNode>(std::move(in), m, std::move(clips), extent);
}

// Per output row, the columns touched by the clip region and the columns wholly inside it.
struct RowSpans {
    int anyBegin, anyEnd, fullBegin, fullEnd;
};

int clampToInt(double v) { return static_cast<int>(std::clamp(v, -1.0e9, 1.0e9)); }

RowSpans spansFor(const std::vector<HalfPlane>& clips, double py, int x0, int x1) {
    RowSpans s{x0, x1, x0, x1};
    for (const HalfPlane& h : clips) {
        const double e = h.b * py + h.c; // d(x) = a·(x + 0.5) + e
        if (std::abs(h.a) < 1e-12) {
            if (e <= -0.5) s.anyEnd = s.anyBegin;
            if (e < 0.5) s.fullEnd = s.fullBegin;
            continue;
        }
        const double full = (0.5 - e) / h.a - 0.5, any = (-0.5 - e) / h.a - 0.5;
        if (h.a > 0) {
            s.fullBegin = std::max(s.fullBegin, clampToInt(std::ceil(full)));
            s.anyBegin = std::max(s.anyBegin, clampToInt(std::floor(any)) + 1);
        } else {
            s.fullEnd = std::min(s.fullEnd, clampToInt(std::floor(full)) + 1);
            s.anyEnd = std::min(s.anyEnd, clampToInt(std::ceil(any)));
        }
    }
    s.anyEnd = std::max(s.anyEnd, s.anyBegin);
    s.fullBegin = std::clamp(s.fullBegin, s.anyBegin, s.anyEnd);
    s.fullEnd = std::clamp(s.fullEnd, s.fullBegin, s.anyEnd);
    return s;
}

// Multiplies the pixels of a row that lie on the clip region's edges by their coverage.
void applyCoverage(const TransformNode& n, const RowSpans& s, double py, float* const ch[4]) {
    auto cover = [&](int x) {
        const double px = x + 0.5;
        float cov = 1;
        for (const HalfPlane& h : n.clips) cov *= static_cast<float>(std::clamp(0.5 + h.a * px + h.b * py + h.c, 0.0, 1.0));
        for (int c = 0; c < 4; ++c) ch[c][x] *= cov;
    };
    for (int x = s.anyBegin; x < s.fullBegin; ++x) cover(x);
    for (int x = std::max(s.fullEnd, s.fullBegin); x < s.anyEnd; ++x) cover(x);
}

template <typename Sampler>
void resample(const TransformNode& n, const Tile& t, const Sampler& sampler, const Affine& toSampler) {
    const PixelRect in = intersect(t.rect(), pixelBounds(n.extent()));
    t.clearOutside(in);
    if (in.isEmpty()) return;
    const bool separable = toSampler.b == 0 && toSampler.c == 0;
    ColumnTaps columns;
    if (separable) {
        std::vector<double> u(static_cast<std::size_t>(in.width));
        for (int i = 0; i < in.width; ++i) u[static_cast<std::size_t>(i)] = toSampler.a * (in.x + i + 0.5) + toSampler.tx;
        sampler.columns(u.data(), in.width, columns);
    }
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const int row = yy - t.y;
        const double py = yy + 0.5;
        const RowSpans s = spansFor(n.clips, py, in.x, in.x + in.width);
        float* ch[4] = {t.ch(row, 0) - t.x, t.ch(row, 1) - t.x, t.ch(row, 2) - t.x, t.ch(row, 3) - t.x};
        for (int c = 0; c < 4; ++c) {
            std::fill(ch[c] + in.x, ch[c] + s.anyBegin, 0.0f);
            std::fill(ch[c] + s.anyEnd, ch[c] + in.x + in.width, 0.0f);
        }
        if (s.anyEnd <= s.anyBegin) continue;
        if (separable) {
            float* out[4] = {ch[0] + s.anyBegin, ch[1] + s.anyBegin, ch[2] + s.anyBegin, ch[3] + s.anyBegin};
            sampler.row(columns, s.anyBegin - in.x, toSampler.d * py + toSampler.ty, s.anyEnd - s.anyBegin, out);
        } else {
            for (int x = s.anyBegin; x < s.anyEnd; ++x) {
                const double px = x + 0.5;
                float v[4];
                sampler.sample(toSampler.a * px + toSampler.c * py + toSampler.tx, toSampler.b * px + toSampler.d * py + toSampler.ty, v);
                for (int c = 0; c < 4; ++c) ch[c][x] = v[c];
            }
        }
        applyCoverage(n, s, py, ch);
    }
}

struct ConstantSampler {
    float v[4];
    void sample(double, double, float out[4]) const { std::copy(v, v + 4, out); }
    void columns(const double*, int, ColumnTaps&) const {}
    void row(const ColumnTaps&, int, double, int n, float* const out[4]) const {
        for (int c = 0; c < 4; ++c) std::fill_n(out[c], n, v[c]);
    }
};

// Output pixel centres → sampler coordinates of a source whose pixel (0, 0) has its lower-left corner at
// (x, y) and whose pixels are (fx, fy) source units wide.
Affine toSamplerOf(const Affine& inverse, double x, double y, int fx, int fy) {
    return inverse.then(Affine::translation(-x, -y)).then(Affine::scale(1.0 / fx, 1.0 / fy)).then(Affine::translation(-0.5, -0.5));
}

} // namespace

NodePtr makeTransform(const NodePtr& in, const Affine& m) {
    if (in->kind() == NodeKind::empty) return in;
    if (!m.isFinite() || !m.isInvertible()) return emptyNode();
    if (m.isIdentity()) return in;
    if (in->kind() == NodeKind::constant) return in;
    return build(in, m, {});
}

NodePtr makeCrop(const NodePtr& in, const Rect& r) {
    if (r.isEmpty() || in->extent().isEmpty()) return emptyNode();
    if (r.contains(in->extent())) return in;
    if (in->kind() == NodeKind::crop) {
        const auto& c = static_cast<const CropNode&>(*in);
        const Rect both = c.rect.intersection(r);
        if (both.isEmpty()) return emptyNode();
        return std::make_shared<CropNode>(c.input, both);
    }
    if (in->kind() == NodeKind::transform) {
        const auto& t = static_cast<const TransformNode&>(*in);
        std::vector<HalfPlane> clips = t.cropClips;
        addEdges(r, Affine::identity(), clips);
        const Rect extent = extentOf(*t.input, t.matrix, clips);
        if (extent.isEmpty()) return emptyNode();
        return std::make_shared<TransformNode>(t.input, t.matrix, std::move(clips), extent);
    }
    return std::make_shared<CropNode>(in, r);
}

TransformNode::TransformNode(NodePtr in, const Affine& m, std::vector<HalfPlane> c, const Rect& extent)
    : Node(NodeKind::transform, extent), input(std::move(in)), matrix(m), inverse(m.inverted()), cropClips(std::move(c)) {
    clips = cropClips;
    addEdges(input->extent(), inverse, clips);
    // Source pixels covered by one output pixel along each source axis; each halving beyond 2 is done
    // by a box reduction first, so that bilinear sampling never skips source pixels.
    const double du = std::abs(inverse.a) + std::abs(inverse.c), dv = std::abs(inverse.b) + std::abs(inverse.d);
    while (du / reduceX > 2 && reduceX < kMaxReduction) reduceX *= 2;
    while (dv / reduceY > 2 && reduceY < kMaxReduction) reduceY *= 2;
    if (input->kind() == NodeKind::constant) reduceX = reduceY = 1;
    sampledDirectly = isSampledInPlace(*input) && reduceX == 1 && reduceY == 1;
}

void TransformNode::collect(const PixelRect& roi, RenderPlan& plan) const {
    const PixelRect out = intersect(roi, pixelBounds(extent()));
    if (out.isEmpty() || sampledDirectly) return;
    // The source rectangle under the output region, with room for the filter taps.
    const Rect src = inverse.apply(out.rect());
    PixelRect need = pixelBounds(Rect::fromEdges(src.minX() - reduceX - 1, src.minY() - reduceY - 1,
                                                 src.maxX() + reduceX + 1, src.maxY() + reduceY + 1));
    if (!input->extent().isInfinite()) need = intersect(need, pixelBounds(input->extent()));
    if (need.isEmpty()) return;
    plan.requestRegion(this, need);
    input->collect(need, plan);
}

void TransformNode::prepare(RenderPlan& plan) const {
    if (!plan.markPrepared(this)) return;
    input->prepare(plan);
    const PixelRect* region = plan.region(this);
    if (sampledDirectly || !region) return;
    int fx = reduceX, fy = reduceY;
    while (region->width / fx > kMaxMaterialisedSide) fx *= 2;
    while (region->height / fy > kMaxMaterialisedSide) fy *= 2;
    plan.store(this, materialise(*input, *region, fx, fy, plan));
}

void TransformNode::eval(const Tile& t, const RenderPlan& plan) const {
    if (!sampledDirectly) {
        const Materialised* m = plan.materialised(this);
        if (!m || m->width <= 0 || m->height <= 0) return t.clear();
        const FloatSampler s{m->rgba.get(), 4 * static_cast<std::ptrdiff_t>(m->width), m->width, m->height};
        return resample(*this, t, s, toSamplerOf(inverse, m->x, m->y, m->fx, m->fy));
    }
    const Affine toSampler = toSamplerOf(inverse, 0, 0, 1, 1);
    switch (input->kind()) {
    case NodeKind::constant: {
        const Color c = static_cast<const ConstantNode&>(*input).color;
        return resample(*this, t, ConstantSampler{{c.r, c.g, c.b, c.a}}, toSampler);
    }
    case NodeKind::floatPixels: {
        const auto& f = static_cast<const FloatPixelsNode&>(*input);
        const std::ptrdiff_t stride = 4 * static_cast<std::ptrdiff_t>(f.width);
        const FloatSampler s{f.pixels.data() + (f.height - 1) * stride, -stride, f.width, f.height};
        return resample(*this, t, s, toSampler);
    }
    case NodeKind::bitmap: {
        const Bitmap& b = static_cast<const BitmapNode&>(*input).bitmap;
        const BitmapSampler s{b.pixels() + (b.height() - 1) * b.bytesPerRow(), -b.bytesPerRow(), b.width(), b.height(),
                              b.alphaMode() == AlphaMode::straight};
        return resample(*this, t, s, toSampler);
    }
    case NodeKind::yuv: {
        const auto& y = static_cast<const YUVNode&>(*input);
        if (y.frame.bitDepth > 8) return resample(*this, t, YUVSampler<std::uint16_t>(y), toSampler);
        return resample(*this, t, YUVSampler<std::uint8_t>(y), toSampler);
    }
    default:
        return t.clear();
    }
}

} // namespace osterveil::imaging::detail
