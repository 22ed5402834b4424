#include <cstring>
#include <numbers>

#include "ImagingTestSupport.hpp"

using namespace imaging_test;

namespace {

// log2 of the chroma subsampling across and down.
struct Subsampling {
    int x, y;
};
constexpr Subsampling s420{1, 1}, s422{1, 0}, s444{0, 0};

template <typename T> YUVFrame frameOf(int w, int h, Subsampling sub, int depth, const std::vector<T>& y,
                                       const std::vector<T>& u, const std::vector<T>& v) {
    const int cw = (w + (1 << sub.x) - 1) >> sub.x;
    YUVFrame f;
    f.width = w;
    f.height = h;
    f.bitDepth = depth;
    f.chromaShiftX = sub.x;
    f.chromaShiftY = sub.y;
    f.planes[0] = y.data();
    f.planes[1] = u.data();
    f.planes[2] = v.data();
    f.bytesPerRow[0] = static_cast<std::ptrdiff_t>(w * sizeof(T));
    f.bytesPerRow[1] = f.bytesPerRow[2] = static_cast<std::ptrdiff_t>(cw * sizeof(T));
    return f;
}

// R'G'B' → Y'CbCr codes, the encoder's side of the conversion.
std::array<double, 3> encode(double r, double g, double b, double kr, double kb, int depth, bool limited) {
    const double y = kr * r + (1 - kr - kb) * g + kb * b;
    const double cb = (b - y) / (2 - 2 * kb), cr = (r - y) / (2 - 2 * kr);
    const double unit = std::ldexp(1.0, depth - 8), max = std::ldexp(1.0, depth) - 1;
    if (limited) return {16 * unit + 219 * unit * y, 128 * unit + 224 * unit * cb, 128 * unit + 224 * unit * cr};
    return {max * y, std::ldexp(1.0, depth - 1) + max * cb, std::ldexp(1.0, depth - 1) + max * cr};
}

template <typename T> Color decodeConstant(std::array<double, 3> code, int depth, YUVMatrix m, YUVRange range,
                                           Subsampling sub = s420) {
    const int w = 4, h = 4;
    std::vector<T> y(16, static_cast<T>(std::lround(code[0]))), u(16, static_cast<T>(std::lround(code[1]))),
        v(16, static_cast<T>(std::lround(code[2])));
    YUVFrame f = frameOf<T>(w, h, sub, depth, y, u, v);
    f.matrix = m;
    f.range = range;
    return render(Image::fromYUV(f), {0, 0, w, h}).at(1, 2);
}

} // namespace

TEST(YUVConversion, MatricesRangesAndDepths) {
    struct Case {
        YUVMatrix m;
        double kr, kb;
    };
    for (const Case c : {Case{YUVMatrix::bt709, 0.2126, 0.0722}, Case{YUVMatrix::bt601, 0.299, 0.114}})
        for (const bool limited : {true, false})
            for (const int depth : {8, 10}) {
                const auto range = limited ? YUVRange::limited : YUVRange::full;
                for (const Color want : {Color{1, 1, 1, 1}, Color{0, 0, 0, 1}, Color{0.8f, 0.3f, 0.1f, 1}, Color{0.2f, 0.5f, 0.9f, 1}}) {
                    const auto code = encode(want.r, want.g, want.b, c.kr, c.kb, depth, limited);
                    const Color got = depth == 8 ? decodeConstant<std::uint8_t>(code, depth, c.m, range)
                                                 : decodeConstant<std::uint16_t>(code, depth, c.m, range);
                    // Codes are rounded to integers: allow a little over one code step of error.
                    const float tol = depth == 8 ? 0.012f : 0.003f;
                    expectColor(got, want, tol);
                }
            }
    // The nominal extremes decode exactly.
    expectColor(decodeConstant<std::uint8_t>({235, 128, 128}, 8, YUVMatrix::bt709, YUVRange::limited), {1, 1, 1, 1}, 1e-6f);
    expectColor(decodeConstant<std::uint8_t>({16, 128, 128}, 8, YUVMatrix::bt601, YUVRange::limited), {0, 0, 0, 1}, 1e-6f);
    expectColor(decodeConstant<std::uint16_t>({940, 512, 512}, 10, YUVMatrix::bt709, YUVRange::limited), {1, 1, 1, 1}, 1e-6f);
    expectColor(decodeConstant<std::uint16_t>({1023, 512, 512}, 10, YUVMatrix::bt709, YUVRange::full), {1, 1, 1, 1}, 1e-6f);
    // Super-white is kept for grading rather than clipped at conversion.
    EXPECT_GT(decodeConstant<std::uint8_t>({250, 128, 128}, 8, YUVMatrix::bt709, YUVRange::limited).g, 1.05f);
    // Known BT.709 red (limited 8-bit 63, 102, 240) against BT.601's (81, 90, 240).
    expectColor(decodeConstant<std::uint8_t>({63, 102, 240}, 8, YUVMatrix::bt709, YUVRange::limited), {1, 0, 0, 1}, 0.01f);
    expectColor(decodeConstant<std::uint8_t>({81, 90, 240}, 8, YUVMatrix::bt601, YUVRange::limited), {1, 0, 0, 1}, 0.01f);
}

TEST(YUVConversion, ChromaSitingAndSubsampling) {
    // 4:2:0, 4×4: chroma columns 0 and 1 hold Cr 128 and 200 on the top chroma row, 128 and 160 below.
    const std::vector<std::uint8_t> y(16, 126), cb(4, 128), cr = {128, 200, 128, 160};
    YUVFrame f = frameOf<std::uint8_t>(4, 4, s420, 8, y, cb, cr);
    f.range = YUVRange::full;
    const Rendered r = render(Image::fromYUV(f), {0, 0, 4, 4});
    const float kr = 2 * (1 - 0.2126f) / 255;
    auto red = [&](double crCode) { return 126 / 255.0f + kr * static_cast<float>(crCode - 128); };
    // Top luma row (image row 3): only the top chroma row. Even columns co-sited, odd ones midway.
    EXPECT_NEAR(r.at(0, 3).r, red(128), 1e-5);
    EXPECT_NEAR(r.at(1, 3).r, red(164), 1e-5);
    EXPECT_NEAR(r.at(2, 3).r, red(200), 1e-5);
    EXPECT_NEAR(r.at(3, 3).r, red(200), 1e-5); // right edge repeats
    // Second luma row from the top: 3/4 of its own chroma row, 1/4 of the next.
    EXPECT_NEAR(r.at(2, 2).r, red(0.75 * 200 + 0.25 * 160), 1e-5);
    EXPECT_NEAR(r.at(2, 1).r, red(0.25 * 200 + 0.75 * 160), 1e-5);
    EXPECT_NEAR(r.at(2, 0).r, red(160), 1e-5);

    // 4:2:2: chroma on every row.
    const std::vector<std::uint8_t> cr422 = {128, 200, 128, 160, 128, 160, 128, 160};
    const std::vector<std::uint8_t> cb422(8, 128);
    YUVFrame g = frameOf<std::uint8_t>(4, 4, s422, 8, y, cb422, cr422);
    g.range = YUVRange::full;
    const Rendered q = render(Image::fromYUV(g), {0, 0, 4, 4});
    EXPECT_NEAR(q.at(2, 3).r, red(200), 1e-5);
    EXPECT_NEAR(q.at(2, 2).r, red(160), 1e-5);
    EXPECT_NEAR(q.at(1, 3).r, red(164), 1e-5);

    // 4:1:1: one chroma sample per four columns, on the first, interpolated across.
    const std::vector<std::uint8_t> y8(16, 126), cr411 = {128, 200, 128, 200}, cb411(4, 128);
    YUVFrame m = frameOf<std::uint8_t>(8, 2, {2, 0}, 8, y8, cb411, cr411);
    m.range = YUVRange::full;
    const Rendered t = render(Image::fromYUV(m), {0, 0, 8, 2});
    for (int x = 0; x < 8; ++x) EXPECT_NEAR(t.at(x, 1).r, red(128 + 18 * std::min(x, 4)), 1e-5) << x;
}

namespace {

// P010-like: 10-bit codes in the high bits of 16, Cb and Cr interleaved in half-size rows.
YUVFrame p010Of(int w, int h, const std::vector<std::uint16_t>& luma,
                const std::vector<std::uint16_t>& chroma) {
    YUVFrame f;
    f.width = w;
    f.height = h;
    f.bitDepth = 10;
    f.msbAligned = true;
    f.chromaLayout = ChromaLayout::interleaved;
    f.planes[0] = luma.data();
    f.planes[1] = chroma.data();
    f.bytesPerRow[0] = w * 2;
    f.bytesPerRow[1] = (w + 1) / 2 * 4;
    return f;
}

} // namespace

TEST(YUVConversion, InterleavedAndHighBitAlignedChroma) {
    // P010-like: 10-bit values in the high bits, Cb/Cr interleaved; white and a colour.
    const int w = 4, h = 2;
    const auto code = encode(0.8, 0.3, 0.1, 0.2126, 0.0722, 10, true);
    std::vector<std::uint16_t> luma(w * h, static_cast<std::uint16_t>(std::lround(code[0])) << 6);
    std::vector<std::uint16_t> chroma;
    for (int i = 0; i < 2; ++i) chroma.insert(chroma.end(), {static_cast<std::uint16_t>(std::lround(code[1]) << 6),
                                                             static_cast<std::uint16_t>(std::lround(code[2]) << 6)});
    expectColor(render(Image::fromYUV(p010Of(w, h, luma, chroma)), {0, 0, w, h}).at(3, 1), {0.8f, 0.3f, 0.1f, 1}, 0.003f);
}

namespace {

// Shrunk beyond a half, a picture is reduced by areas before it is resampled: the same as shrinking it
// converted, whether its codes are averaged (an affine conversion) or its colours (a tone curve,
// alpha), and also at its edges, where a block reaches past the picture.
void expectShrinksAsConverted(const Image& img, const Image& converted) {
    for (const double s : {0.25, 0.2, 0.45}) {
        const Affine shrink = Affine::scale(s, s).then(Affine::translation(0.3, 0.6));
        EXPECT_LT(maxDifference(render(img.transformed(shrink), {0, 0, 5, 4}),
                                render(converted.transformed(shrink), {0, 0, 5, 4})),
                  1e-5f)
            << s;
    }
}

} // namespace

TEST(YUVConversion, ResamplingAgreesWithDirectConversion) {
    // A frame with detail in every plane; a whole-pixel move goes through the sampler, which must place
    // luma and chroma exactly where the direct conversion does, and convert colour spaces the same way.
    // Alpha is premultiplied before any resampling.
    const int w = 10, h = 8;
    struct Case {
        Subsampling sub;
        bool hdr = false, alpha = false;
    };
    for (const Case c : {Case{s420}, Case{s444}, Case{{0, 1}}, Case{{2, 0}}, Case{{2, 2}}, Case{s420, true}, Case{s422, false, true}}) {
        SCOPED_TRACE(testing::Message() << c.sub.x << c.sub.y << c.hdr << c.alpha);
        const std::size_t chroma = static_cast<std::size_t>(((w + (1 << c.sub.x) - 1) >> c.sub.x) * ((h + (1 << c.sub.y) - 1) >> c.sub.y));
        std::vector<std::uint8_t> y(w * h), u(chroma), v(chroma), a(w * h);
        for (std::size_t i = 0; i < y.size(); ++i) {
            y[i] = static_cast<std::uint8_t>(16 + (i * 37) % 200);
            a[i] = static_cast<std::uint8_t>((i * 71) % 256);
        }
        for (std::size_t i = 0; i < u.size(); ++i) {
            u[i] = static_cast<std::uint8_t>(60 + (i * 53) % 140);
            v[i] = static_cast<std::uint8_t>(50 + (i * 29) % 150);
        }
        YUVFrame f = frameOf<std::uint8_t>(w, h, c.sub, 8, y, u, v);
        if (c.hdr) {
            f.matrix = YUVMatrix::bt2020;
            f.primaries = ColorPrimaries::bt2020;
            f.transfer = TransferFunction::pq;
        }
        if (c.alpha) {
            f.planes[3] = a.data();
            f.bytesPerRow[3] = w;
        }
        const Image img = Image::fromYUV(f);
        const Rendered direct = render(img, {0, 0, w, h});
        const Rendered moved = render(img.translated(3, 2), {3, 2, w, h});
        for (int yy = 0; yy < h; ++yy)
            for (int xx = 0; xx < w; ++xx) expectColor(moved.at(xx + 3, yy + 2), direct.at(xx, yy), 1e-5f);
        // A quarter turn takes the per-pixel path; it must match turning the converted picture.
        const Affine turn = Affine::rotation(std::numbers::pi / 2).then(Affine::translation(h, 0));
        const Image converted = Image::fromFloatPixels(w, h, Context().renderFloat(img, {0, 0, w, h}));
        const Rendered r = render(img.transformed(turn), {0, 0, h, w});
        const Rendered q = render(converted.transformed(turn), {0, 0, h, w});
        EXPECT_LT(maxDifference(r, q), 1e-5f);
        expectColor(r.at(h - 1 - 2, 5), direct.at(5, 2), 1e-5f);
        expectShrinksAsConverted(img, converted);
        // Half a pixel across: the same as blending the converted neighbours, premultiplied, where the
        // conversion is affine (the tone curve is not: there the codes are interpolated).
        if (c.hdr) continue;
        const Rendered half = render(img.translated(0.5, 0), {0, 0, w, h});
        const Rendered halfConverted = render(converted.translated(0.5, 0), {0, 0, w, h});
        EXPECT_LT(maxDifference(half, halfConverted), 1e-5f);
    }
    // P010-like: 10-bit codes in the high bits, Cb and Cr interleaved, an odd width.
    const int pw = 9, ph = 6, cw = (pw + 1) / 2;
    std::vector<std::uint16_t> luma(pw * ph), chroma(2 * cw * ph / 2);
    for (std::size_t i = 0; i < luma.size(); ++i) luma[i] = static_cast<std::uint16_t>((64 + (i * 97) % 800) << 6);
    for (std::size_t i = 0; i < chroma.size(); ++i) chroma[i] = static_cast<std::uint16_t>((200 + (i * 61) % 600) << 6);
    const Image deep = Image::fromYUV(p010Of(pw, ph, luma, chroma));
    expectShrinksAsConverted(deep, Image::fromFloatPixels(pw, ph, Context().renderFloat(deep, {0, 0, pw, ph})));
}

TEST(YUVConversion, RejectsUnreadableDescriptions) {
    const std::vector<std::uint8_t> y(16), c(4);
    YUVFrame good = frameOf<std::uint8_t>(4, 4, s420, 8, y, c, c);
    EXPECT_NO_THROW(Image::fromYUV(good));
    YUVFrame f = good;
    f.planes[2] = nullptr;
    EXPECT_THROW(Image::fromYUV(f), std::invalid_argument);
    f = good;
    f.bytesPerRow[0] = 3;
    EXPECT_THROW(Image::fromYUV(f), std::invalid_argument);
    f = good;
    f.bitDepth = 20;
    EXPECT_THROW(Image::fromYUV(f), std::invalid_argument);
    f = good;
    f.width = 0;
    EXPECT_THROW(Image::fromYUV(f), std::invalid_argument);
}

TEST(BitmapConversion, ChannelOrderAndAlpha) {
    // One straight-alpha pixel and one opaque, as BGRA rows.
    const std::uint8_t bgra[8] = {255, 0, 0, 128, 0, 0, 255, 255};
    const Rendered s = render(Image::fromPixels(bgra, 2, 1, 8, ChannelOrder::bgra, AlphaMode::straight), {0, 0, 2, 1});
    expectColor(s.at(0, 0), {0, 0, 128 / 255.0f, 128 / 255.0f});
    expectColor(s.at(1, 0), {1, 0, 0, 1});
    const std::uint8_t rgba[8] = {100, 0, 0, 128, 1, 2, 3, 255};
    const Rendered p = render(Image::fromPixels(rgba, 2, 1, 8, ChannelOrder::rgba, AlphaMode::premultiplied), {0, 0, 2, 1});
    expectColor(p.at(0, 0), {100 / 255.0f, 0, 0, 128 / 255.0f});

    // Rows are top-down: the first row is the top of the image.
    const Bitmap b = Bitmap::make(1, 2, {255, 0, 0, 255, 0, 255, 0, 255}, AlphaMode::premultiplied);
    const Image img = Image::fromBitmap(b);
    expectColor(render(img, {0, 1, 1, 1}).at(0, 1), {1, 0, 0, 1});
    // Sampled in place when transformed, with straight alpha premultiplied before interpolation.
    const Bitmap edge = Bitmap::make(2, 1, {255, 255, 255, 0, 0, 0, 255, 255}, AlphaMode::straight);
    const Rendered mid = render(Image::fromBitmap(edge).scaled(2, 1), {0, 0, 4, 1});
    expectColor(mid.at(1, 0), {0, 0, 0.25f, 0.25f}); // no white fringe from the transparent pixel
    EXPECT_TRUE(Image::fromBitmap(Bitmap()).isEmpty());
    EXPECT_THROW(Bitmap::make(2, 2, std::vector<std::uint8_t>(15), AlphaMode::straight), std::invalid_argument);
}

namespace {

// Limited-range BT.709 codes of full-range R'G'B', before rounding.
struct Codes {
    double y, cb, cr;
};
Codes bt709(Color c, int bits) {
    const double unit = bits == 8 ? 1 : 4;
    const double y = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return {unit * (16 + 219 * y), unit * (128 + 224 * (c.b - y) / 1.8556), unit * (128 + 224 * (c.r - y) / 1.5748)};
}

} // namespace

TEST(YUVRender, EncoderPlanesComeFromTheFloatPictureWithChromaSitedAsTagged) {
    // 1040 × 20 crosses tiles both ways. Left of column 512 (a tile's edge) red, right of it blue; the
    // top row is white; one column holds an out-of-range red and one a half-transparent white.
    const Color red{1, 0, 0, 1}, blue{0, 0, 1, 1}, white{1, 1, 1, 1};
    const int w = 1040, h = 20;
    const Image image = picture(w, h, [&](int x, int y) -> Color {
        if (y == h - 1) return white;
        if (x == 100) return {1.5f, -0.2f, 0, 1};
        if (x == 900) return {0.6f, 0.6f, 0.6f, 0.6f};
        return x < 512 ? red : blue;
    });
    for (const int bits : {8, 10}) {
        SCOPED_TRACE(bits);
        const bool halfHeight = bits == 8; // 4:2:0 at 8 bits, 4:2:2 at 10, as the encoders take them
        const int bytes = bits == 8 ? 1 : 2, chromaRows = halfHeight ? h / 2 : h;
        std::vector<std::uint8_t> planes[3];
        YUVPlanes out;
        out.bitDepth = bits;
        out.halfHeight = halfHeight;
        for (int p = 0; p < 3; ++p) {
            out.bytesPerRow[p] = bytes * (p ? w / 2 : w);
            planes[p].resize(static_cast<std::size_t>(out.bytesPerRow[p]) * (p ? chromaRows : h));
            out.planes[p] = planes[p].data();
        }
        Context().renderYUV(image, {0, 0, w, h}, out);
        auto at = [&](int p, int x, int row) -> double { // rows top-down
            const std::uint8_t* line = planes[p].data() + row * out.bytesPerRow[p];
            return bytes == 1 ? line[x] : reinterpret_cast<const std::uint16_t*>(line)[x];
        };
        const Codes r = bt709(red, bits), b = bt709(blue, bits), wh = bt709(white, bits);
        // 10-bit codes are rounded; 8-bit ones are dithered to the code below or above.
        const double step = bits == 8 ? 1.0 : 0.5;
        auto expectCode = [&](int p, int x, int row, double exact) {
            const double code = at(p, x, row);
            if (bits == 10) EXPECT_EQ(code, std::round(exact)) << p << " " << x << " " << row;
            else EXPECT_LT(std::abs(code - exact), 1.0) << p << " " << x << " " << row;
        };
        expectCode(0, 0, 0, wh.y);
        expectCode(0, 10, 5, r.y);
        expectCode(0, 1000, 5, b.y);
        expectCode(0, 100, 5, r.y); // clamped
        expectCode(0, 900, 5, bt709({0.6f, 0.6f, 0.6f, 1}, bits).y); // over black
        if (bits == 8) { // the dither keeps a block's average, and an exact code exact
            double sum = 0;
            for (int row = 8; row < 16; ++row)
                for (int x = 16; x < 24; ++x) sum += at(0, x, row);
            EXPECT_NEAR(sum / 64, r.y, 1.0 / 64);
            for (int x = 0; x < 8; ++x) {
                EXPECT_EQ(at(0, x, 0), 235) << x; // white
                for (int row = 2; row < 6; ++row) EXPECT_EQ(at(2, x, row), 240) << x; // red's Cr
            }
        }
        // Chroma sits on even columns, 1-2-1 across its neighbours: sample 256 (column 512) takes a
        // quarter of red, 255 none of blue. The left edge repeats its column.
        const int row = 4;
        expectCode(2, 0, row, r.cr);
        expectCode(2, 255, row, r.cr);
        EXPECT_NEAR(at(2, 256, row), 0.25 * r.cr + 0.75 * b.cr, step);
        EXPECT_NEAR(at(1, 256, row), 0.25 * r.cb + 0.75 * b.cb, step);
        expectCode(1, 300, row, b.cb);
        // Vertically, 4:2:0 chroma lies between its two rows: the white row is half of the first.
        if (halfHeight) EXPECT_NEAR(at(2, 10, 0), 0.5 * (wh.cr + r.cr), step);
        else expectCode(2, 10, 0, wh.cr);
    }
    YUVPlanes odd;
    std::uint8_t sink[64];
    for (int p = 0; p < 3; ++p) odd.planes[p] = sink, odd.bytesPerRow[p] = 8;
    EXPECT_THROW(Context().renderYUV(image, {0, 0, 5, 4}, odd), std::invalid_argument);
}
