#pragma once

// Bilinear samplers over the pixel sources a transform reads in place. Coordinates are in source pixel
// units with pixel centres on integers; reads beyond the edges repeat the edge pixels (coverage of the
// edges is the transform's business).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "Nodes.hpp"

namespace osterveil::imaging::detail {

struct Tap {
    int i0, i1;
    float f;
};

inline Tap tap(double u, int size) {
    u = std::clamp(u, -1.0, static_cast<double>(size)); // also keeps the int conversion defined
    const double fl = std::floor(u);
    const int i = static_cast<int>(fl);
    return {std::clamp(i, 0, size - 1), std::clamp(i + 1, 0, size - 1), static_cast<float>(u - fl)};
}

inline float lerp(float a, float b, float t) { return a + (b - a) * t; }

// AoS float RGBA with rows y-up (the stride may be negative for sources stored top-down).
// Axis-aligned transforms sample each output row along the same source columns: the column taps are
// worked out once per tile (`columns`), leaving loads and blends per pixel (`row`, from column `first`).
struct ColumnTaps {
    std::vector<Tap> taps;
    std::vector<Tap> chroma; // second grid of a subsampled source
};

struct FloatSampler {
    const float* row0;
    std::ptrdiff_t rowStride; // floats
    int width, height;

    void columns(const double* u, int n, ColumnTaps& c) const {
        c.taps.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) c.taps[static_cast<std::size_t>(i)] = tap(u[i], width);
    }
    void row(const ColumnTaps& c, int first, double v, int n, float* const out[4]) const {
        const Tap y = tap(v, height);
        const float* r0 = row0 + y.i0 * rowStride;
        const float* r1 = row0 + y.i1 * rowStride;
        for (int i = 0; i < n; ++i) {
            const Tap& x = c.taps[static_cast<std::size_t>(first + i)];
            for (int ch = 0; ch < 4; ++ch)
                out[ch][i] = lerp(lerp(r0[4 * x.i0 + ch], r0[4 * x.i1 + ch], x.f), lerp(r1[4 * x.i0 + ch], r1[4 * x.i1 + ch], x.f), y.f);
        }
    }

    void sample(double u, double v, float out[4]) const {
        const Tap x = tap(u, width), y = tap(v, height);
        const float* r0 = row0 + y.i0 * rowStride;
        const float* r1 = row0 + y.i1 * rowStride;
        for (int c = 0; c < 4; ++c) {
            const float top = lerp(r0[4 * x.i0 + c], r0[4 * x.i1 + c], x.f);
            const float bottom = lerp(r1[4 * x.i0 + c], r1[4 * x.i1 + c], x.f);
            out[c] = lerp(top, bottom, y.f);
        }
    }
};

struct BitmapSampler {
    const std::uint8_t* row0;
    std::ptrdiff_t rowStride; // bytes
    int width, height;
    bool straight;

    void fetch(const std::uint8_t* p, float out[4]) const {
        constexpr float k = 1.0f / 255.0f;
        const float a = p[3] * k;
        const float m = straight ? a * k : k;
        out[0] = p[0] * m;
        out[1] = p[1] * m;
        out[2] = p[2] * m;
        out[3] = a;
    }
    void columns(const double* u, int n, ColumnTaps& c) const {
        c.taps.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) c.taps[static_cast<std::size_t>(i)] = tap(u[i], width);
    }
    void row(const ColumnTaps& c, int first, double v, int n, float* const out[4]) const {
        const Tap y = tap(v, height);
        for (int i = 0; i < n; ++i) {
            const Tap& x = c.taps[static_cast<std::size_t>(first + i)];
            float p00[4], p10[4], p01[4], p11[4];
            fetch(row0 + y.i0 * rowStride + 4 * x.i0, p00);
            fetch(row0 + y.i0 * rowStride + 4 * x.i1, p10);
            fetch(row0 + y.i1 * rowStride + 4 * x.i0, p01);
            fetch(row0 + y.i1 * rowStride + 4 * x.i1, p11);
            for (int ch = 0; ch < 4; ++ch) out[ch][i] = lerp(lerp(p00[ch], p10[ch], x.f), lerp(p01[ch], p11[ch], x.f), y.f);
        }
    }
    void sample(double u, double v, float out[4]) const {
        const Tap x = tap(u, width), y = tap(v, height);
        float p00[4], p10[4], p01[4], p11[4];
        fetch(row0 + y.i0 * rowStride + 4 * x.i0, p00);
        fetch(row0 + y.i0 * rowStride + 4 * x.i1, p10);
        fetch(row0 + y.i1 * rowStride + 4 * x.i0, p01);
        fetch(row0 + y.i1 * rowStride + 4 * x.i1, p11);
        for (int c = 0; c < 4; ++c) out[c] = lerp(lerp(p00[c], p10[c], x.f), lerp(p01[c], p11[c], x.f), y.f);
    }
};

// Luma and chroma interpolated on their own grids at the same picture position, then converted (opaque
// pictures only).
template <typename T> struct YUVSampler {
    const YUVNode* node;
    const std::uint8_t* luma0; // y-up row 0
    std::ptrdiff_t lumaStride;
    const std::uint8_t* cb0;
    const std::uint8_t* cr0;
    std::ptrdiff_t chromaStride;
    int chromaStep; // samples between neighbouring Cb values

    explicit YUVSampler(const YUVNode& n) : node(&n) {
        const YUVFrame& f = n.frame;
        lumaStride = -f.bytesPerRow[0];
        luma0 = static_cast<const std::uint8_t*>(f.planes[0]) + (f.height - 1) * f.bytesPerRow[0];
        chromaStride = -f.bytesPerRow[1];
        cb0 = static_cast<const std::uint8_t*>(f.planes[1]) + (n.chromaHeight - 1) * f.bytesPerRow[1];
        if (f.chromaLayout == ChromaLayout::interleaved) {
            cr0 = cb0 + sizeof(T);
            chromaStep = 2;
        } else {
            cr0 = static_cast<const std::uint8_t*>(f.planes[2]) + (n.chromaHeight - 1) * f.bytesPerRow[2];
            chromaStep = 1;
        }
    }

    static float at(const std::uint8_t* row, int i) { return static_cast<float>(reinterpret_cast<const T*>(row)[i]); }

    // Rows are y-up here, top-down in the node.
    double chromaV(double v) const {
        return node->chromaHeight - 1 - node->chromaRowAt(node->frame.height - 1 - v);
    }

    void columns(const double* u, int n, ColumnTaps& c) const {
        c.taps.resize(static_cast<std::size_t>(n));
        c.chroma.resize(static_cast<std::size_t>(n));
        const double k = 1.0 / static_cast<double>(1 << node->shiftX);
        for (int i = 0; i < n; ++i) {
            c.taps[static_cast<std::size_t>(i)] = tap(u[i], node->frame.width);
            Tap t = tap(u[i] * k, node->chromaWidth);
            t.i0 *= chromaStep;
            t.i1 *= chromaStep;
            c.chroma[static_cast<std::size_t>(i)] = t;
        }
    }
    void row(const ColumnTaps& c, int first, double v, int n, float* const out[4]) const {
        const Tap ly = tap(v, node->frame.height), cy = tap(chromaV(v), node->chromaHeight);
        const std::uint8_t* l0 = luma0 + ly.i0 * lumaStride;
        const std::uint8_t* l1 = luma0 + ly.i1 * lumaStride;
        const std::uint8_t *b0 = cb0 + cy.i0 * chromaStride, *b1 = cb0 + cy.i1 * chromaStride;
        const std::uint8_t *r0 = cr0 + cy.i0 * chromaStride, *r1 = cr0 + cy.i1 * chromaStride;
        const YUVConversion k = node->conversion;
        for (int i = 0; i < n; ++i) {
            const Tap& x = c.taps[static_cast<std::size_t>(first + i)];
            const Tap& q = c.chroma[static_cast<std::size_t>(first + i)];
            const float y = lerp(lerp(at(l0, x.i0), at(l0, x.i1), x.f), lerp(at(l1, x.i0), at(l1, x.i1), x.f), ly.f);
            const float cb = lerp(lerp(at(b0, q.i0), at(b0, q.i1), q.f), lerp(at(b1, q.i0), at(b1, q.i1), q.f), cy.f);
            const float cr = lerp(lerp(at(r0, q.i0), at(r0, q.i1), q.f), lerp(at(r1, q.i0), at(r1, q.i1), q.f), cy.f);
            out[0][i] = k.ky * y + k.krv * cr + k.r0;
            out[1][i] = k.ky * y + k.kgu * cb + k.kgv * cr + k.g0;
            out[2][i] = k.ky * y + k.kbu * cb + k.b0;
            out[3][i] = 1.0f;
        }
        if (!node->toWorking.isIdentity()) node->toWorking.apply(out[0], out[1], out[2], n);
    }

    void sample(double u, double v, float out[4]) const {
        const YUVFrame& f = node->frame;
        const Tap lx = tap(u, f.width), ly = tap(v, f.height);
        const std::uint8_t* l0 = luma0 + ly.i0 * lumaStride;
        const std::uint8_t* l1 = luma0 + ly.i1 * lumaStride;
        const float y = lerp(lerp(at(l0, lx.i0), at(l0, lx.i1), lx.f), lerp(at(l1, lx.i0), at(l1, lx.i1), lx.f), ly.f);

        // Chroma sample i sits on luma column i·2^shiftX; vertically see YUVNode::chromaRowAt.
        const double cu = u / static_cast<double>(1 << node->shiftX);
        const Tap cx = tap(cu, node->chromaWidth), cy = tap(chromaV(v), node->chromaHeight);
        const std::ptrdiff_t o0 = cy.i0 * chromaStride, o1 = cy.i1 * chromaStride;
        const int a = cx.i0 * chromaStep, b = cx.i1 * chromaStep;
        const float cb = lerp(lerp(at(cb0 + o0, a), at(cb0 + o0, b), cx.f), lerp(at(cb0 + o1, a), at(cb0 + o1, b), cx.f), cy.f);
        const float cr = lerp(lerp(at(cr0 + o0, a), at(cr0 + o0, b), cx.f), lerp(at(cr0 + o1, a), at(cr0 + o1, b), cx.f), cy.f);
        const YUVConversion& k = node->conversion;
        out[0] = k.ky * y + k.krv * cr + k.r0;
        out[1] = k.ky * y + k.kgu * cb + k.kgv * cr + k.g0;
        out[2] = k.ky * y + k.kbu * cb + k.b0;
        out[3] = 1.0f;
        if (!node->toWorking.isIdentity()) node->toWorking.apply(&out[0], &out[1], &out[2], 1);
    }
};

} // namespace osterveil::imaging::detail
