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

// Cb and Cr at every luma column of a span, row by row: mixed from the two chroma rows around the luma
// row, then brought to luma resolution across.
template <typename T, int Step> class ChromaSpan {
public:
    ChromaSpan(const YUVNode& n, int x0, int width)
        : n_(n), x0_(x0), width_(width), c0_(x0 >> n.shiftX),
          cn_(std::min(((x0 + width - 1) >> n.shiftX) + 2, n.chromaWidth) - c0_),
          mem_(2 * static_cast<std::size_t>(cn_ + 1) + 2 * static_cast<std::size_t>(width)) {}

    // The span's chroma at top-down luma row `lumaRow`; without `across`, at chroma resolution still,
    // from the chroma column of the span's start, with one repeated value past the span's end.
    void row(int lumaRow, const float*& cb, const float*& cr, bool across = true) {
        const YUVFrame& f = n_.frame;
        const void* crPlane = Step == 2 ? f.planes[1] : f.planes[2];
        const std::ptrdiff_t crStride = Step == 2 ? f.bytesPerRow[1] : f.bytesPerRow[2];
        const int crOffset = Step == 2 ? 1 : 0;
        float* cbRow = mem_.data();
        float* crRow = cbRow + cn_ + 1;
        float* cbFull = crRow + cn_ + 1;
        float* crFull = cbFull + width_;
        // The two chroma rows around this luma row, and the weight of the lower one.
        const double cv = n_.chromaRowAt(lumaRow);
        const double fl = std::floor(cv);
        const float fv = static_cast<float>(cv - fl);
        const int r0 = std::clamp(static_cast<int>(fl), 0, n_.chromaHeight - 1);
        const int r1 = std::clamp(static_cast<int>(fl) + 1, 0, n_.chromaHeight - 1);
        mixRows<T, Step>(rowOf<T>(f.planes[1], f.bytesPerRow[1], r0) + c0_ * Step,
                         rowOf<T>(f.planes[1], f.bytesPerRow[1], r1) + c0_ * Step, fv, cn_, cbRow);
        mixRows<T, Step>(rowOf<T>(crPlane, crStride, r0) + c0_ * Step + crOffset,
                         rowOf<T>(crPlane, crStride, r1) + c0_ * Step + crOffset, fv, cn_, crRow);
        cbRow[cn_] = cbRow[cn_ - 1];
        crRow[cn_] = crRow[cn_ - 1];
        cb = cbRow;
        cr = crRow;
        if (!across) return;
        if (n_.shiftX == 1) {
            upsample(cbRow, x0_, width_, cbFull);
            upsample(crRow, x0_, width_, crFull);
        } else if (n_.shiftX > 1) {
            upsampleBy(cbRow, x0_, n_.shiftX, width_, cbFull);
            upsampleBy(crRow, x0_, n_.shiftX, width_, crFull);
        }
        if (n_.shiftX) {
            cb = cbFull;
            cr = crFull;
        }
    }

private:
    const YUVNode& n_;
    int x0_, width_, c0_, cn_;
    Scratch mem_;
};

template <typename T, int Step> void convertRows(const YUVNode& n, const Tile& t, const PixelRect& in) {
    const YUVFrame& f = n.frame;
    ChromaSpan<T, Step> chroma(n, in.x, in.width);
    const float alphaScale = static_cast<float>((f.bitDepth > 8 && f.msbAligned ? std::ldexp(1.0, f.bitDepth - 16) : 1.0) /
                                                (std::ldexp(1.0, f.bitDepth) - 1));
    for (int yy = in.y; yy < in.y + in.height; ++yy) {
        const int row = yy - t.y;
        const int lumaRow = f.height - 1 - yy; // planes are stored top-down
        const float *cbp, *crp;
        chroma.row(lumaRow, cbp, crp);
        const int off = in.x - t.x;
        float *R = t.ch(row, 0) + off, *G = t.ch(row, 1) + off, *B = t.ch(row, 2) + off, *A = t.ch(row, 3) + off;
        convertRow<T>(rowOf<T>(f.planes[0], f.bytesPerRow[0], lumaRow) + in.x, cbp, crp, n.conversion, in.width, R, G, B, A);
        if (!n.toWorking.isIdentity()) n.toWorking.apply(R, G, B, in.width);
        if (n.hasAlpha()) premultiply<T>(rowOf<T>(f.planes[3], f.bytesPerRow[3], lumaRow) + in.x, alphaScale, in.width, R, G, B, A);
    }
}

// Adds the samples of one row into sums of `fx` neighbours each (the last of them fewer).
template <typename T>
OSTERVEIL_WIDE_LOOP void sumPairs(const T* __restrict luma, const float* __restrict cb, const float* __restrict cr, int n,
                                  float* __restrict sy, float* __restrict sb, float* __restrict sr) {
    for (int i = 0; i < n / 2; ++i) {
        sy[i] += static_cast<float>(luma[2 * i]) + static_cast<float>(luma[2 * i + 1]);
        sb[i] += cb[2 * i] + cb[2 * i + 1];
        sr[i] += cr[2 * i] + cr[2 * i + 1];
    }
    if (n % 2) {
        sy[n / 2] += static_cast<float>(luma[n - 1]);
        sb[n / 2] += cb[n - 1];
        sr[n / 2] += cr[n - 1];
    }
}

// The same for pairs starting on a chroma column of 2:1 subsampled chroma still at its own resolution:
// the pair's two upsampled values are the column's and the mean of it and the next.
template <typename T>
OSTERVEIL_WIDE_LOOP void sumSitedPairs(const T* __restrict luma, const float* __restrict cb, const float* __restrict cr, int n,
                                       float* __restrict sy, float* __restrict sb, float* __restrict sr) {
    for (int i = 0; i < n / 2; ++i) {
        sy[i] += static_cast<float>(luma[2 * i]) + static_cast<float>(luma[2 * i + 1]);
        sb[i] += 1.5f * cb[i] + 0.5f * cb[i + 1];
        sr[i] += 1.5f * cr[i] + 0.5f * cr[i + 1];
    }
    if (n % 2) {
        sy[n / 2] += static_cast<float>(luma[n - 1]);
        sb[n / 2] += cb[n / 2];
        sr[n / 2] += cr[n / 2];
    }
}

template <typename T>
void sumRuns(const T* luma, const float* cb, const float* cr, int n, int fx, float* sy, float* sb, float* sr) {
    if (fx == 2) return sumPairs<T>(luma, cb, cr, n, sy, sb, sr);
    for (int x = 0; x < n; x += fx) {
        float a = 0, b = 0, c = 0;
        for (int d = x; d < std::min(x + fx, n); ++d) {
            a += static_cast<float>(luma[d]);
            b += cb[d];
            c += cr[d];
        }
        sy[x / fx] += a;
        sb[x / fx] += b;
        sr[x / fx] += c;
    }
}

// Sums of codes over blocks as premultiplied R'G'B'A, interleaved: `share` is one sample's share of a
// block, `coverage` the share of the block's samples inside the picture (its alpha).
OSTERVEIL_WIDE_LOOP void convertSums(const float* __restrict sy, const float* __restrict sb, const float* __restrict sr,
                                     const YUVConversion& k, float coverage, float share, int n, float* __restrict dst) {
    const float ky = k.ky * share, krv = k.krv * share, kgu = k.kgu * share, kgv = k.kgv * share, kbu = k.kbu * share;
    const float r0 = k.r0 * coverage, g0 = k.g0 * coverage, b0 = k.b0 * coverage;
    for (int i = 0; i < n; ++i) {
        const float y = ky * sy[i];
        dst[4 * i] = y + krv * sr[i] + r0;
        dst[4 * i + 1] = y + kgu * sb[i] + kgv * sr[i] + g0;
        dst[4 * i + 2] = y + kbu * sb[i] + b0;
        dst[4 * i + 3] = coverage;
    }
}

// The reduced pixels `out` of `m`: the codes of each block summed, then converted once (the conversion
// being affine), with the samples outside the picture counting as transparent black.
template <typename T, int Step> void reduceRows(const YUVNode& n, const PixelRect& out, Materialised& m) {
    const YUVFrame& f = n.frame;
    const int x0 = m.x + out.x * m.fx, x1 = std::min(x0 + out.width * m.fx, f.width);
    const auto rowAt = [&](int j) {
        return m.rgba.get() + 4 * (static_cast<std::size_t>(j) * static_cast<std::size_t>(m.width) + static_cast<std::size_t>(out.x));
    };
    if (x1 <= x0) {
        for (int j = out.y; j < out.y + out.height; ++j) std::fill_n(rowAt(j), 4 * out.width, 0.0f);
        return;
    }
    ChromaSpan<T, Step> chroma(n, x0, x1 - x0);
    const bool sited = n.shiftX == 1 && m.fx == 2 && x0 % 2 == 0;
    Scratch sums(3 * static_cast<std::size_t>(out.width));
    float* sy = sums.data();
    float* sb = sy + out.width;
    float* sr = sb + out.width;
    const YUVConversion& k = n.conversion;
    const float share = 1.0f / static_cast<float>(m.fx * m.fy);
    for (int j = out.y; j < out.y + out.height; ++j) {
        std::fill_n(sy, 3 * out.width, 0.0f);
        const int y0 = std::max(m.y + j * m.fy, 0), y1 = std::min(m.y + (j + 1) * m.fy, f.height);
        for (int yy = y0; yy < y1; ++yy) {
            const int lumaRow = f.height - 1 - yy;
            const float *cb, *cr;
            chroma.row(lumaRow, cb, cr, !sited);
            const T* luma = rowOf<T>(f.planes[0], f.bytesPerRow[0], lumaRow) + x0;
            if (sited)
                sumSitedPairs<T>(luma, cb, cr, x1 - x0, sy, sb, sr);
            else
                sumRuns<T>(luma, cb, cr, x1 - x0, m.fx, sy, sb, sr);
        }
        const int rows = std::max(y1 - y0, 0);
        // Whole blocks, then those the picture's right edge cuts.
        const int whole = (x1 - x0) / m.fx;
        convertSums(sy, sb, sr, k, static_cast<float>(rows * m.fx) * share, share, whole, rowAt(j));
        for (int i = whole; i < out.width; ++i) {
            const int columns = std::clamp(x1 - (x0 + i * m.fx), 0, m.fx);
            convertSums(sy + i, sb + i, sr + i, k, static_cast<float>(rows * columns) * share, share, 1, rowAt(j) + 4 * i);
        }
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

std::shared_ptr<const Materialised> reduceYUV(const YUVNode& n, const PixelRect& region, int fx, int fy) {
    // Alpha must be premultiplied, and a tone curve applied, before averaging.
    if (n.hasAlpha() || !n.toWorking.isIdentity() || region.isEmpty()) return nullptr;
    const auto m = Materialised::covering(region, fx, fy);
    const bool interleaved = n.frame.chromaLayout == ChromaLayout::interleaved;
    const bool deep = n.frame.bitDepth > 8;
    forEachTile({0, 0, m->width, m->height}, [&](const PixelRect& out) {
        if (deep)
            interleaved ? reduceRows<std::uint16_t, 2>(n, out, *m) : reduceRows<std::uint16_t, 1>(n, out, *m);
        else
            interleaved ? reduceRows<std::uint8_t, 2>(n, out, *m) : reduceRows<std::uint8_t, 1>(n, out, *m);
    });
    return m;
}

} // namespace osterveil::imaging::detail
