#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "Nodes.hpp"

namespace osterveil::imaging::detail {

YUVConversion YUVConversion::forFrame(const YUVFrame& f) {
    const double kr = f.matrix == YUVMatrix::bt601 ? 0.299 : 0.2126;
    const double kb = f.matrix == YUVMatrix::bt601 ? 0.114 : 0.0722;
    const double kg = 1 - kr - kb;
    const double depth = f.bitDepth;
    const double unit = std::ldexp(1.0, f.bitDepth - 8); // one 8-bit code step at this depth
    // Codes stored in the high bits of 16 are scaled down to their value first.
    const double code = f.bitDepth > 8 && f.msbAligned ? std::ldexp(1.0, f.bitDepth - 16) : 1.0;
    double yOffset, yRange, cOffset, cRange;
    if (f.range == YUVRange::limited) {
        yOffset = 16 * unit;
        yRange = 219 * unit;
        cOffset = 128 * unit;
        cRange = 224 * unit;
    } else {
        const double max = std::ldexp(1.0, static_cast<int>(depth)) - 1;
        yOffset = 0;
        yRange = max;
        cOffset = std::ldexp(1.0, static_cast<int>(depth) - 1);
        cRange = max;
    }
    // Y' = (code·Y − yOffset)/yRange, Cb, Cr = (code·C − cOffset)/cRange, then the usual inverse.
    const double ky = code / yRange, kc = code / cRange;
    const double y0 = -yOffset / yRange, c0 = -cOffset / cRange;
    const double rv = 2 - 2 * kr, bu = 2 - 2 * kb;
    const double gu = -2 * kb * (1 - kb) / kg, gv = -2 * kr * (1 - kr) / kg;
    return {static_cast<float>(ky),      static_cast<float>(rv * kc),          static_cast<float>(gu * kc),
            static_cast<float>(gv * kc), static_cast<float>(bu * kc),          static_cast<float>(y0 + rv * c0),
            static_cast<float>(y0 + (gu + gv) * c0), static_cast<float>(y0 + bu * c0)};
}

namespace {

void validate(const YUVFrame& f) {
    auto fail = [](const char* why) { throw std::invalid_argument(std::string("Image::fromYUV: ") + why); };
    if (f.width <= 0 || f.height <= 0) fail("empty picture");
    if (f.bitDepth < 8 || f.bitDepth > 16) fail("bit depth must be 8 to 16");
    const int bytes = f.bitDepth > 8 ? 2 : 1;
    const int sx = f.subsampling == ChromaSubsampling::s444 ? 0 : 1;
    const int cw = (f.width + (1 << sx) - 1) >> sx;
    const int planes = f.chromaLayout == ChromaLayout::planar ? 3 : 2;
    for (int p = 0; p < planes; ++p) {
        if (!f.planes[p]) fail("missing plane");
        const std::ptrdiff_t need = p == 0 ? static_cast<std::ptrdiff_t>(f.width) * bytes
                                           : static_cast<std::ptrdiff_t>(cw) * bytes * (planes == 2 ? 2 : 1);
        if (f.bytesPerRow[p] < need) fail("row shorter than the picture");
    }
}

template <typename T> const T* rowOf(const void* plane, std::ptrdiff_t bytesPerRow, int row) {
    return reinterpret_cast<const T*>(static_cast<const std::uint8_t*>(plane) + row * bytesPerRow);
}

template <typename T> void convertRows(const YUVNode& n, const Tile& t, const PixelRect& in) {
    const YUVFrame& f = n.frame;
    const YUVConversion& k = n.conversion;
    const int step = f.chromaLayout == ChromaLayout::interleaved ? 2 : 1;
    const void* crPlane = f.chromaLayout == ChromaLayout::interleaved ? f.planes[1] : f.planes[2];
    const std::ptrdiff_t crStride = f.chromaLayout == ChromaLayout::interleaved ? f.bytesPerRow[1] : f.bytesPerRow[2];
    const int crOffset = f.chromaLayout == ChromaLayout::interleaved ? 1 : 0;

    // Chroma columns needed by the span, one more on the right for the odd columns' interpolation.
    const int c0 = in.x >> n.shiftX;
    const int c1 = std::min(((in.x + in.width - 1) >> n.shiftX) + 2, n.chromaWidth);
    const int cn = c1 - c0;
    Scratch mem(2 * static_cast<std::size_t>(cn) + 2 * static_cast<std::size_t>(in.width));
    float* cbRow = mem.data();
    float* crRow = cbRow + cn;
    float* cb = crRow + cn;
    float* cr = cb + in.width;

    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const int row = yy - t.y;
        // Vertical chroma position of this luma row, in chroma rows (y-up), and its two neighbours.
        const double cv = n.shiftY ? (yy + 0.5 - n.chromaOriginY) / 2.0 : yy;
        const double fl = std::floor(cv);
        const float fv = static_cast<float>(cv - fl);
        const int j0 = std::clamp(static_cast<int>(fl), 0, n.chromaHeight - 1);
        const int j1 = std::clamp(static_cast<int>(fl) + 1, 0, n.chromaHeight - 1);
        // Planes are stored top-down.
        const int r0 = n.chromaHeight - 1 - j0, r1 = n.chromaHeight - 1 - j1;
        const T* u0 = rowOf<T>(f.planes[1], f.bytesPerRow[1], r0) + c0 * step;
        const T* u1 = rowOf<T>(f.planes[1], f.bytesPerRow[1], r1) + c0 * step;
        const T* v0 = rowOf<T>(crPlane, crStride, r0) + c0 * step + crOffset;
        const T* v1 = rowOf<T>(crPlane, crStride, r1) + c0 * step + crOffset;
        for (int i = 0; i < cn; ++i) {
            const float a = u0[i * step], b = u1[i * step];
            cbRow[i] = a + (b - a) * fv;
            const float c = v0[i * step], d = v1[i * step];
            crRow[i] = c + (d - c) * fv;
        }
        // Horizontally: co-sited on even columns, midway on odd ones.
        if (n.shiftX) {
            for (int i = 0; i < in.width; ++i) {
                const int x = in.x + i;
                const int ci = (x >> 1) - c0;
                const int cj = std::min(ci + 1, cn - 1);
                const float w = (x & 1) ? 0.5f : 0.0f;
                cb[i] = cbRow[ci] + (cbRow[cj] - cbRow[ci]) * w;
                cr[i] = crRow[ci] + (crRow[cj] - crRow[ci]) * w;
            }
        } else {
            std::copy(cbRow, cbRow + in.width, cb);
            std::copy(crRow, crRow + in.width, cr);
        }
        const T* luma = rowOf<T>(f.planes[0], f.bytesPerRow[0], f.height - 1 - yy) + in.x;
        float* R = t.ch(row, 0) + (in.x - t.x);
        float* G = t.ch(row, 1) + (in.x - t.x);
        float* B = t.ch(row, 2) + (in.x - t.x);
        float* A = t.ch(row, 3) + (in.x - t.x);
        for (int i = 0; i < in.width; ++i) {
            const float y = k.ky * static_cast<float>(luma[i]);
            R[i] = y + k.krv * cr[i] + k.r0;
            G[i] = y + k.kgu * cb[i] + k.kgv * cr[i] + k.g0;
            B[i] = y + k.kbu * cb[i] + k.b0;
            A[i] = 1.0f;
        }
    }
}

} // namespace

YUVNode::YUVNode(const YUVFrame& f)
    : LeafNode(NodeKind::yuv, Rect::make(0, 0, f.width, f.height)), frame(f), conversion(YUVConversion::forFrame(f)) {
    validate(f);
    shiftX = f.subsampling == ChromaSubsampling::s444 ? 0 : 1;
    shiftY = f.subsampling == ChromaSubsampling::s420 ? 1 : 0;
    chromaWidth = (f.width + (1 << shiftX) - 1) >> shiftX;
    chromaHeight = (f.height + (1 << shiftY) - 1) >> shiftY;
    // Chroma row j (y-up) sits at luma height 2j + chromaOriginY: midway between two luma rows, counted
    // from the top of the picture where the chroma rows start.
    chromaOriginY = shiftY ? f.height - 2 * chromaHeight + 1 : 0.5;
}

void YUVNode::eval(const Tile& t, const RenderPlan&) const {
    const PixelRect in = intersect(t.rect(), {0, 0, frame.width, frame.height});
    t.clearOutside(in);
    if (in.isEmpty()) return;
    if (frame.bitDepth > 8)
        convertRows<std::uint16_t>(*this, t, in);
    else
        convertRows<std::uint8_t>(*this, t, in);
}

} // namespace osterveil::imaging::detail
