#pragma once

// The recipe behind Image: immutable nodes evaluated tile by tile. Internal to the imaging library.

#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Platform/Imaging/Geometry.hpp"
#include "Platform/Imaging/Image.hpp"

namespace osterveil::imaging::detail {

// w×h pixels at (x, y), rows y-up; each row is four runs (r, g, b, a) of `stride` floats, so that every
// per-pixel loop reads and writes contiguous floats the vectoriser can use.
struct Tile {
    float* data = nullptr;
    int x = 0, y = 0, w = 0, h = 0;
    std::ptrdiff_t stride = 0;

    float* ch(int row, int c) const { return data + (static_cast<std::ptrdiff_t>(row) * 4 + c) * stride; }
    PixelRect rect() const { return {x, y, w, h}; }
    void clear() const;
    // Zeroes every pixel outside `keep` (image coordinates).
    void clearOutside(const PixelRect& keep) const;
    // The tile's pixels inside `r`, as a tile sharing this one's memory.
    Tile sub(const PixelRect& r) const;
};

// Per-thread stack of scratch memory, so that evaluating tiles does not allocate once warmed up.
class Scratch {
public:
    explicit Scratch(std::size_t floats);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    float* data() const { return data_; }

private:
    float* data_;
};

// A scratch tile covering `r`.
class ScratchTile {
public:
    explicit ScratchTile(const PixelRect& r);
    const Tile& tile() const { return tile_; }

private:
    static std::size_t floatsFor(const PixelRect& r);
    Scratch mem_;
    Tile tile_;
};

// An input evaluated into memory ahead of the tile loop (for transforms of composite recipes, and for
// sources reduced before shrinking): premultiplied RGBA, rows y-up; pixel (i, j) averages the source
// pixels [x + i·fx, x + (i+1)·fx) × [y + j·fy, y + (j+1)·fy).
struct Materialised {
    std::unique_ptr<float[]> rgba; // 4 · width · height, left unset by the allocation

    int width = 0, height = 0;
    int x = 0, y = 0;
    int fx = 1, fy = 1;

    // One covering `region` reduced by `fx` × `fy`, its pixels unset.
    static std::shared_ptr<Materialised> covering(const PixelRect& region, int fx, int fy);
};

class Node;

// What one render needs beyond the recipe: the region each materialised input must cover, and the
// materialised inputs themselves. Filled before the parallel tile loop, then only read.
class RenderPlan {
public:
    void requestRegion(const Node* n, const PixelRect& roi);
    const PixelRect* region(const Node* n) const;
    void store(const Node* n, std::shared_ptr<const Materialised> m) { buffers_[n] = std::move(m); }
    const Materialised* materialised(const Node* n) const;
    bool markPrepared(const Node* n) { return prepared_.insert(n).second; }

private:
    std::unordered_map<const Node*, PixelRect> regions_;
    std::unordered_map<const Node*, std::shared_ptr<const Materialised>> buffers_;
    std::unordered_set<const Node*> prepared_;
};

enum class NodeKind { empty, constant, floatPixels, bitmap, yuv, transform, crop, kernel, composite, dissolve, sharpen };

class Node {
public:
    Node(NodeKind kind, const Rect& extent) : kind_(kind), extent_(extent) {}
    virtual ~Node() = default;
    NodeKind kind() const { return kind_; }
    const Rect& extent() const { return extent_; }

    // Fills the tile; pixels outside the extent are zero.
    virtual void eval(const Tile& t, const RenderPlan& plan) const = 0;
    // Notes what rendering `roi` of this node asks of the nodes below.
    virtual void collect(const PixelRect& roi, RenderPlan& plan) const = 0;
    // Readies what `collect` asked for, inputs first.
    virtual void prepare(RenderPlan& plan) const = 0;

private:
    NodeKind kind_;
    Rect extent_;
};

using NodePtr = std::shared_ptr<const Node>;

// Leaves ---------------------------------------------------------------------------------------------

class LeafNode : public Node {
public:
    using Node::Node;
    void collect(const PixelRect&, RenderPlan&) const override {}
    void prepare(RenderPlan&) const override {}
};

class EmptyNode final : public LeafNode {
public:
    EmptyNode() : LeafNode(NodeKind::empty, Rect()) {}
    void eval(const Tile& t, const RenderPlan&) const override { t.clear(); }
};

class ConstantNode final : public LeafNode {
public:
    explicit ConstantNode(const Color& c) : LeafNode(NodeKind::constant, Rect::infinite()), color(c) {}
    void eval(const Tile& t, const RenderPlan&) const override;
    Color color;
};

// Premultiplied float RGBA rows, stored top-down.
class FloatPixelsNode final : public LeafNode {
public:
    FloatPixelsNode(int w, int h, std::vector<float> rgba)
        : LeafNode(NodeKind::floatPixels, Rect::make(0, 0, w, h)), width(w), height(h), pixels(std::move(rgba)) {}
    void eval(const Tile& t, const RenderPlan&) const override;
    int width, height;
    std::vector<float> pixels;
};

class BitmapNode final : public LeafNode {
public:
    explicit BitmapNode(Bitmap b) : LeafNode(NodeKind::bitmap, Rect::make(0, 0, b.width(), b.height())), bitmap(std::move(b)) {}
    void eval(const Tile& t, const RenderPlan&) const override;
    Bitmap bitmap;
};

// Y'CbCr → R'G'B' as R = ky·Y + krv·Cr + r0, G = ky·Y + kgu·Cb + kgv·Cr + g0, B = ky·Y + kbu·Cb + b0 on
// the raw sample codes: being affine, it commutes with interpolating the codes.
struct YUVConversion {
    float ky, krv, kgu, kgv, kbu, r0, g0, b0;
    static YUVConversion forFrame(const YUVFrame& f);
};

// Takes R'G'B' in a source's primaries and transfer to the BT.709 working space, on straight colour. The
// identity for BT.709 standard-range sources, which then skip it (see ColorSpaces.cpp for the curves).
struct WorkingSpaceConversion {
    enum class Kind { identity, gamut, pq, hlg };
    Kind kind = Kind::identity;
    float toBT709[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}; // linear source RGB → linear BT.709 RGB, rows
    float luminance[3] = {0, 0, 0};                 // the source primaries' luminance weights
    const float* toneCurve = nullptr;               // HDR: display light relative to standard-range white

    static WorkingSpaceConversion forFrame(const YUVFrame& f);
    bool isIdentity() const { return kind == Kind::identity; }
    // Converts n pixels of straight colour in place.
    void apply(float* r, float* g, float* b, int n) const;
};

class YUVNode final : public LeafNode {
public:
    explicit YUVNode(const YUVFrame& f);
    void eval(const Tile& t, const RenderPlan&) const override;
    bool hasAlpha() const { return frame.planes[3] != nullptr; }
    // The chroma row (top-down, fractional) sited at top-down luma row `row`.
    double chromaRowAt(double row) const { return (row - chromaCentreY) * chromaScaleY; }
    YUVFrame frame;
    YUVConversion conversion;
    WorkingSpaceConversion toWorking;
    int chromaWidth, chromaHeight;
    int shiftX, shiftY; // log2 of the subsampling
    double chromaCentreY, chromaScaleY;
};

// Operations -----------------------------------------------------------------------------------------

// a·x + b·y + c ≥ 0 inside, with (a, b) a unit vector so that the value is a distance in output pixels.
struct HalfPlane {
    double a, b, c;
};

// The input resampled through `m` (input → output) and clipped by half-planes in output space. The input
// is never a transform or a crop: those fold into this node.
class TransformNode final : public Node {
public:
    TransformNode(NodePtr in, const Affine& m, std::vector<HalfPlane> cropClips, const Rect& extent);
    void eval(const Tile& t, const RenderPlan& plan) const override;
    void collect(const PixelRect& roi, RenderPlan& plan) const override;
    void prepare(RenderPlan& plan) const override;

    NodePtr input;
    Affine matrix;
    Affine inverse;
    std::vector<HalfPlane> cropClips; // from crops folded in
    std::vector<HalfPlane> clips;     // those and the input's own edges, for coverage
    int reduceX = 1, reduceY = 1; // box reduction of the source before bilinear sampling
    bool sampledDirectly = false; // the input is a pixel source read in place
};

class CropNode final : public Node {
public:
    CropNode(NodePtr in, const Rect& r) : Node(NodeKind::crop, r.intersection(in->extent())), input(std::move(in)), rect(r) {}
    void eval(const Tile& t, const RenderPlan& plan) const override;
    void collect(const PixelRect& roi, RenderPlan& plan) const override;
    void prepare(RenderPlan& plan) const override { input->prepare(plan); }
    NodePtr input;
    Rect rect;
};

class KernelNode final : public Node {
public:
    KernelNode(NodePtr in, std::shared_ptr<const ColorKernel> k)
        : Node(NodeKind::kernel, in->extent()), input(std::move(in)), kernel(std::move(k)) {}
    void eval(const Tile& t, const RenderPlan& plan) const override;
    void collect(const PixelRect& roi, RenderPlan& plan) const override { input->collect(roi, plan); }
    void prepare(RenderPlan& plan) const override { input->prepare(plan); }
    NodePtr input;
    std::shared_ptr<const ColorKernel> kernel;
};

class CompositeNode final : public Node {
public:
    CompositeNode(NodePtr fg, NodePtr bg)
        : Node(NodeKind::composite, fg->extent().united(bg->extent())), foreground(std::move(fg)), background(std::move(bg)) {}
    void eval(const Tile& t, const RenderPlan& plan) const override;
    void collect(const PixelRect& roi, RenderPlan& plan) const override;
    void prepare(RenderPlan& plan) const override;
    NodePtr foreground, background;
};

class DissolveNode final : public Node {
public:
    DissolveNode(NodePtr from, NodePtr to, float t)
        : Node(NodeKind::dissolve, from->extent().united(to->extent())), source(std::move(from)), target(std::move(to)), time(t) {}
    void eval(const Tile& t, const RenderPlan& plan) const override;
    void collect(const PixelRect& roi, RenderPlan& plan) const override;
    void prepare(RenderPlan& plan) const override;
    NodePtr source, target;
    float time;
};

class SharpenNode final : public Node {
public:
    SharpenNode(NodePtr in, float sharpness, double sigma);
    void eval(const Tile& t, const RenderPlan& plan) const override;
    void collect(const PixelRect& roi, RenderPlan& plan) const override;
    void prepare(RenderPlan& plan) const override { input->prepare(plan); }
    NodePtr input;
    float sharpness;
    int halfWidth;
    std::vector<float> weights; // 2·halfWidth + 1, normalised
};

// Helpers shared by the implementation files ---------------------------------------------------------

const NodePtr& emptyNode();
// Geometry in normal form: crops and transforms below `in` fold into one transform node.
NodePtr makeTransform(const NodePtr& in, const Affine& m);
NodePtr makeCrop(const NodePtr& in, const Rect& r);
// Evaluates `n` over `region` (of its input pixel space), box-reducing by (fx, fy), in parallel.
std::shared_ptr<const Materialised> materialise(const Node& n, const PixelRect& region, int fx, int fy,
                                                const RenderPlan& plan);
// `materialise` for a Y'CbCr source whose conversion is affine (no alpha, no tone curve): each block's
// codes are summed and converted once, rather than every pixel converted. Null where it does not apply.
std::shared_ptr<const Materialised> reduceYUV(const YUVNode& n, const PixelRect& region, int fx, int fy);
// Runs `body(tile)` for tiles covering `r`, in parallel.
void forEachTile(const PixelRect& r, const std::function<void(const PixelRect&)>& body);

} // namespace osterveil::imaging::detail
