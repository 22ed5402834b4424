#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "FastMath.hpp"
#include "Nodes.hpp"

namespace osterveil::imaging::detail {

YUVConversion YUVConversion::forFrame(const YUVFrame& f) {
    double kr = 0.2126, kb = 0.0722;
    switch (f.matrix) {
    case YUVMatrix::bt601: kr = 0.299, kb = 0.114; break;
    case YUVMatrix::bt709: break;
    case YUVMatrix::bt2020: kr = 0.2627, kb = 0.0593; break;
    case YUVMatrix::fcc: kr = 0.30, kb = 0.11; break;
    case YUVMatrix::smpte240m: kr = 0.212, kb = 0.087; break;
    }
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
    if (f.chromaShiftX < 0 || f.chromaShiftX > 2 || f.chromaShiftY < 0 || f.chromaShiftY > 2)
        fail("chroma subsampling must be 1, 2 or 4 per side");
    const int bytes = f.bitDepth > 8 ? 2 : 1;
    const int cw = (f.width + (1 << f.chromaShiftX) - 1) >> f.chromaShiftX;
    const bool planar = f.chromaLayout == ChromaLayout::planar;
    const int planes = planar ? 3 : 2;
    for (int p = 0; p < planes; ++p) {
        if (!f.planes[p]) fail("missing plane");
        const std::ptrdiff_t need = p == 0 ? static_cast<std::ptrdiff_t>(f.width) * bytes
                                           : static_cast<std::ptrdiff_t>(cw) * bytes * (planar ? 1 : 2);
        if (f.bytesPerRow[p] < need) fail("row shorter than the picture");
    }
    if (f.planes[3]) {
        if (!planar) fail("alpha needs planar chroma");
        if (f.bytesPerRow[3] < static_cast<std::ptrdiff_t>(f.width) * bytes) fail("row shorter than the picture");
    }
}

template <typename T> const T* rowOf(const void* plane, std::ptrdiff_t bytesPerRow, int row) {
    return reinterpret_cast<const T*>(static_cast<const std::uint8_t*>(plane) + row * bytesPerRow);
}

// One chroma row (at chroma resolution) mixed from two stored rows.
template <typename T, int Step>
OSTERVEIL_WIDE_LOOP void mixRows(const T* __restrict a, const T* __restrict b, float fv, int n, float* __restrict out) {
    for (int i = 0; i < n; ++i) {
        const float x = static_cast<float>(a[i * Step]), y = static_cast<float>(b[i * Step]);
        out[i] = x + (y - x) * fv;
    }
}

// Horizontal 2:1 upsampling: co-sited on even columns, midway on odd ones. `c` starts at the chroma
// column of `x0` and holds one repeated value past its end.
OSTERVEIL_WIDE_LOOP void upsample(const float* __restrict c, int x0, int n, float* __restrict out) {
    int i = 0;
    if (x0 & 1) {
        out[0] = 0.5f * (c[0] + c[1]);
        c += 1;
        i = 1;
    }
    const int pairs = (n - i) / 2;
    float* __restrict o = out + i;
    for (int p = 0; p < pairs; ++p) {
        o[2 * p] = c[p];
        o[2 * p + 1] = 0.5f * (c[p] + c[p + 1]);
    }
    if ((n - i) & 1) out[n - 1] = c[pairs];
}

// The same for any factor 2^shift (4:1:1), from the chroma column of `x0`.
OSTERVEIL_WIDE_LOOP void upsampleBy(const float* __restrict c, int x0, int shift, int n, float* __restrict out) {
    const int first = x0 >> shift, mask = (1 << shift) - 1;
    const float step = 1.0f / static_cast<float>(1 << shift);
    for (int i = 0; i < n; ++i) {
        const int x = x0 + i, j = (x >> shift) - first;
        out[i] = c[j] + (c[j + 1] - c[j]) * (static_cast<float>(x & mask) * step);
    }
}

template <typename T>
OSTERVEIL_WIDE_LOOP void premultiply(const T* __restrict alpha, float scale, int n, float* __restrict R, float* __restrict G,
                                     float* __restrict B, float* __restrict A) {
    for (int i = 0; i < n; ++i) {
        const float a = scale * static_cast<float>(alpha[i]);
        R[i] *= a;
        G[i] *= a;
        B[i] *= a;
        A[i] = a;
    }
}

template <typename T>
OSTERVEIL_WIDE_LOOP void convertRow(const T* __restrict luma, const float* __restrict cb, const float* __restrict cr, const YUVConversion& k,
                int n, float* __restrict R, float* __restrict G, float* __restrict B, float* __restrict A) {
    const float ky = k.ky, krv = k.krv, kgu = k.kgu, kgv = k.kgv, kbu = k.kbu, r0 = k.r0, g0 = k.g0, b0 = k.b0;
    for (int i = 0; i < n; ++i) {
        const float y = ky * static_cast<float>(luma[i]);
        R[i] = y + krv * cr[i] + r0;
        G[i] = y + kgu * cb[i] + kgv * cr[i] + g0;
        B[i] = y + kbu * cb[i] + b0;
        A[i] = 1.0f;
    }
}

template <typename T, int Step> void convertRows(const YUVNode& n, const Tile& t, const PixelRect& in) {
    const YUVFrame& f = n.frame;
    const void* crPlane = Step == 2 ? f.planes[1] : f.planes[2];
    const std::ptrdiff_t crStride = Step == 2 ? f.bytesPerRow[1] : f.bytesPerRow[2];
    const int crOffset = Step == 2 ? 1 : 0;

    // Chroma columns under the span, and one more on the right for the odd columns' interpolation.
    const int c0 = in.x >> n.shiftX;
    const int c1 = std::min(((in.x + in.width - 1) >> n.shiftX) + 2, n.chromaWidth);
    const int cn = c1 - c0;
    Scratch mem(2 * static_cast<std::size_t>(cn + 1) + 2 * static_cast<std::size_t>(in.width));
    float* cbRow = mem.data();
    float* crRow = cbRow + cn + 1;
    float* cb = crRow + cn + 1;
    float* cr = cb + in.width;

    const float alphaScale = static_cast<float>((f.bitDepth > 8 && f.msbAligned ? std::ldexp(1.0, f.bitDepth - 16) : 1.0) /
                                                (std::ldexp(1.0, f.bitDepth) - 1));
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const int row = yy - t.y;
        const int lumaRow = f.height - 1 - yy; // planes are stored top-down
        // The two chroma rows around this luma row, and the weight of the lower one.
        const double cv = n.chromaRowAt(lumaRow);
        const double fl = std::floor(cv);
        const float fv = static_cast<float>(cv - fl);
        const int r0 = std::clamp(static_cast<int>(fl), 0, n.chromaHeight - 1);
        const int r1 = std::clamp(static_cast<int>(fl) + 1, 0, n.chromaHeight - 1);
        mixRows<T, Step>(rowOf<T>(f.planes[1], f.bytesPerRow[1], r0) + c0 * Step,
                         rowOf<T>(f.planes[1], f.bytesPerRow[1], r1) + c0 * Step, fv, cn, cbRow);
        mixRows<T, Step>(rowOf<T>(crPlane, crStride, r0) + c0 * Step + crOffset,
                         rowOf<T>(crPlane, crStride, r1) + c0 * Step + crOffset, fv, cn, crRow);
        cbRow[cn] = cbRow[cn - 1];
        crRow[cn] = crRow[cn - 1];
        const float* cbp = cbRow;
        const float* crp = crRow;
        if (n.shiftX == 1) {
            upsample(cbRow, in.x, in.width, cb);
            upsample(crRow, in.x, in.width, cr);
        } else if (n.shiftX > 1) {
            upsampleBy(cbRow, in.x, n.shiftX, in.width, cb);
            upsampleBy(crRow, in.x, n.shiftX, in.width, cr);
        }
        if (n.shiftX) {
            cbp = cb;
            crp = cr;
        }
        const int off = in.x - t.x;
        float *R = t.ch(row, 0) + off, *G = t.ch(row, 1) + off, *B = t.ch(row, 2) + off, *A = t.ch(row, 3) + off;
        convertRow<T>(rowOf<T>(f.planes[0], f.bytesPerRow[0], lumaRow) + in.x, cbp, crp, n.conversion, in.width, R, G, B, A);
        if (!n.toWorking.isIdentity()) n.toWorking.apply(R, G, B, in.width);
        if (n.hasAlpha()) premultiply<T>(rowOf<T>(f.planes[3], f.bytesPerRow[3], lumaRow) + in.x, alphaScale, in.width, R, G, B, A);
    }
}

} // namespace

YUVNode::YUVNode(const YUVFrame& f)
    : LeafNode(NodeKind::yuv, Rect::make(0, 0, f.width, f.height)), frame(f), conversion(YUVConversion::forFrame(f)),
      toWorking(WorkingSpaceConversion::forFrame(f)) {
    validate(f);
    shiftX = f.chromaShiftX;
    shiftY = f.chromaShiftY;
    chromaWidth = (f.width + (1 << shiftX) - 1) >> shiftX;
    chromaHeight = (f.height + (1 << shiftY) - 1) >> shiftY;
    // Chroma row j (top-down) sits in the middle of luma rows j·2^shiftY … (j + 1)·2^shiftY − 1.
    chromaScaleY = 1.0 / static_cast<double>(1 << shiftY);
    chromaCentreY = 0.5 * ((1 << shiftY) - 1);
}

void YUVNode::eval(const Tile& t, const RenderPlan&) const {
    const PixelRect in = intersect(t.rect(), {0, 0, frame.width, frame.height});
    t.clearOutside(in);
    if (in.isEmpty()) return;
    const bool interleaved = frame.chromaLayout == ChromaLayout::interleaved;
    if (frame.bitDepth > 8)
        interleaved ? convertRows<std::uint16_t, 2>(*this, t, in) : convertRows<std::uint16_t, 1>(*this, t, in);
    else
        interleaved ? convertRows<std::uint8_t, 2>(*this, t, in) : convertRows<std::uint8_t, 1>(*this, t, in);
}

} // namespace osterveil::imaging::detail
