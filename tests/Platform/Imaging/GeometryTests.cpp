#include <cmath>
#include <numbers>

#include "ImagingTestSupport.hpp"

using namespace imaging_test;

namespace {

// A picture with detail in both directions and a soft alpha-free gradient.
Image pattern(int w, int h) {
    return picture(w, h, [](int x, int y) {
        return Color{static_cast<float>(x) / 40, static_cast<float>(y) / 30, ((x / 3 + y / 2) % 2) ? 0.9f : 0.1f, 1};
    });
}

const Color red{1, 0, 0, 1}, blue{0, 0, 1, 1}, black{0, 0, 0, 1};

} // namespace

TEST(ImageGeometry, ExtentsOfEmptyInfiniteAndPictures) {
    EXPECT_TRUE(Image().isEmpty());
    EXPECT_TRUE(Image::constant(black).isInfinite());
    EXPECT_EQ(solid(4, 3, red).extent(), Rect::make(0, 0, 4, 3));
    EXPECT_EQ(solid(4, 3, red).translated(1.5, -2).extent(), Rect::make(1.5, -2, 4, 3));
    EXPECT_NEAR(solid(4, 2, red).transformed(Affine::rotation(std::numbers::pi / 2)).extent().width(), 2, 1e-12);

    // The black canvas: an infinite colour cropped to the frame.
    const Image canvas = Image::constant(black).cropped(Rect::make(0, 0, 4, 4));
    EXPECT_EQ(canvas.extent(), Rect::make(0, 0, 4, 4));
    const Rendered r = render(canvas, {-1, -1, 6, 6});
    expectColor(r.at(0, 0), black);
    expectColor(r.at(3, 3), black);
    expectColor(r.at(-1, 2), {});
    expectColor(r.at(4, 4), {});
}

TEST(ImageGeometry, OperationsThatChangeNothingReturnTheSameImage) {
    const Image img = pattern(8, 6);
    EXPECT_TRUE(img.transformed(Affine::identity()).isSameAs(img));
    EXPECT_TRUE(img.translated(0, 0).isSameAs(img));
    EXPECT_TRUE(img.cropped(Rect::make(-1, -1, 20, 20)).isSameAs(img));
    EXPECT_TRUE(img.cropped(Rect::infinite()).isSameAs(img));
    EXPECT_TRUE(img.compositedOver(Image()).isSameAs(img));
    EXPECT_TRUE(Image().compositedOver(img).isSameAs(img));
    const Image black = Image::constant({0, 0, 0, 1});
    EXPECT_TRUE(black.transformed(Affine::rotation(0.3).then(Affine::translation(4, 5))).isSameAs(black));
    // Lazily concatenated geometry that cancels out is no geometry at all: nothing is resampled twice.
    EXPECT_TRUE(img.scaled(0.5, 0.5).scaled(2, 2).isSameAs(img));
    EXPECT_TRUE(img.translated(3, 1).translated(-3, -1).isSameAs(img));
}

TEST(ImageGeometry, CropsAndDegenerateTransformsGiveEmptyImages) {
    const Image img = pattern(8, 6);
    EXPECT_TRUE(img.cropped(Rect()).isEmpty());
    EXPECT_TRUE(img.cropped(Rect::make(20, 20, 5, 5)).isEmpty());
    EXPECT_TRUE(img.cropped(Rect::make(1, 1, 2, 2)).cropped(Rect::make(5, 5, 2, 2)).isEmpty());
    EXPECT_TRUE(img.scaled(0, 1).isEmpty());
    EXPECT_TRUE(img.transformed({std::nan(""), 0, 0, 1, 0, 0}).isEmpty());
    EXPECT_TRUE(img.scaled(1e300, 1e300).isEmpty()); // no finite inverse
    EXPECT_EQ(img.cropped(Rect::make(2, 1, 3, 10)).extent(), Rect::make(2, 1, 3, 5));
    const Rendered r = render(img.cropped(Rect::make(2, 1, 3, 10)), {0, 0, 8, 6});
    const Rendered whole = render(img, {0, 0, 8, 6});
    expectColor(r.at(2, 1), whole.at(2, 1));
    expectColor(r.at(4, 5), whole.at(4, 5));
    expectColor(r.at(1, 1), {});
    expectColor(r.at(5, 3), {});
    // A crop edge through the middle of a pixel weights it by coverage.
    expectColor(render(solid(4, 4, red).cropped(Rect::make(0, 0, 2.5, 4)), {0, 0, 4, 4}).at(2, 0), {0.5f, 0, 0, 0.5f});
}

TEST(ImageGeometry, IntegerTranslationIsExactAndHalfPixelEdgesAreAntialiased) {
    const Image img = pattern(10, 8);
    const Rendered moved = render(img.translated(3, -2), {3, -2, 10, 8});
    const Rendered original = render(img, {0, 0, 10, 8});
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) expectColor(moved.at(x + 3, y - 2), original.at(x, y), 0);

    const Rendered half = render(solid(4, 4, red).translated(0.5, 0), {0, 0, 5, 4});
    expectColor(half.at(0, 2), {0.5f, 0, 0, 0.5f});
    expectColor(half.at(2, 2), red);
    expectColor(half.at(4, 2), {0.5f, 0, 0, 0.5f});
}

TEST(ImageGeometry, ShrinkingAveragesAreasWithoutAliasing) {
    // One-pixel checkerboard: every correct area average is mid grey; point sampling would give 0 or 1.
    const Image checker = picture(32, 32, [](int x, int y) {
        const float v = (x + y) % 2 ? 1.0f : 0.0f;
        return Color{v, v, v, 1};
    });
    for (double s : {0.5, 0.25, 0.125}) {
        const int n = static_cast<int>(32 * s);
        const Rendered r = render(checker.scaled(s, s), {0, 0, n, n});
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) expectColor(r.at(x, y), {0.5f, 0.5f, 0.5f, 1}, 1e-5f);
    }
    // Stripes four pixels wide survive a quarter scale as alternating one-pixel lines.
    const Image stripes = picture(32, 8, [](int x, int) {
        const float v = (x / 4) % 2 ? 1.0f : 0.0f;
        return Color{v, v, v, 1};
    });
    const Rendered q = render(stripes.scaled(0.25, 0.25), {0, 0, 8, 2});
    for (int x = 0; x < 8; ++x) EXPECT_NEAR(q.at(x, 1).r, x % 2 ? 1 : 0, 1e-6) << x;
}

TEST(ImageGeometry, FitThenMotionEqualsOneCombinedTransform) {
    const int W = 48, H = 27;
    const Image src = pattern(40, 30);
    // Aspect fit into the frame, centred, cropped to it.
    const double k = std::min(double(W) / 40, double(H) / 30);
    const Image scaled = src.scaled(k, k);
    const Rect e2 = scaled.extent();
    const double fx = (W - e2.width()) * 0.5 - e2.x(), fy = (H - e2.height()) * 0.5 - e2.y();
    const Rect frame = Rect::make(0, 0, W, H);
    const Image fitted = scaled.translated(fx, fy).cropped(frame);
    // Motion about the frame centre: scale 0.8, 12° clockwise, moved by (3, -2).
    const Affine motion = Affine::translation(-W * 0.5, -H * 0.5)
                              .then(Affine::scale(0.8, 0.8))
                              .then(Affine::rotation(-12 * std::numbers::pi / 180))
                              .then(Affine::translation(W * 0.5 + 3, H * 0.5 - 2));
    const Image chained = fitted.transformed(motion).cropped(frame);

    const Affine combined = Affine::scale(k, k).then(Affine::translation(fx, fy)).then(motion);
    const Image single = src.transformed(combined).cropped(frame);

    EXPECT_LT(std::abs(chained.extent().minX() - single.extent().minX()), 1e-9);
    const Rendered a = render(chained, {0, 0, W, H}), b = render(single, {0, 0, W, H});
    EXPECT_LT(maxDifference(a, b), 1e-5f);
    // And that is one resampling of the source: a pixel in the middle matches bilinear sampling of the
    // source at the inverse-mapped point.
    const Point s = combined.inverted().apply(Point{24.5, 13.5});
    const Rendered full = render(src, {0, 0, 40, 30});
    const double u = s.x - 0.5, v = s.y - 0.5;
    const int x0 = int(std::floor(u)), y0 = int(std::floor(v));
    const double tx = u - x0, ty = v - y0;
    auto ch = [&](int x, int y) { return full.at(x, y).b; };
    const double want = (ch(x0, y0) * (1 - tx) + ch(x0 + 1, y0) * tx) * (1 - ty) + (ch(x0, y0 + 1) * (1 - tx) + ch(x0 + 1, y0 + 1) * tx) * ty;
    EXPECT_NEAR(a.at(24, 13).b, want, 1e-5);
}

TEST(ImageGeometry, RotationKeepsCoverageConsistent) {
    // A 90° turn of a whole-pixel square is exact; 45° antialiases its edges but keeps its area.
    const Image sq = solid(8, 8, red);
    const Affine quarter = Affine::translation(-4, -4).then(Affine::rotation(std::numbers::pi / 2)).then(Affine::translation(4, 4));
    const Rendered q = render(sq.transformed(quarter), {0, 0, 8, 8});
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) expectColor(q.at(x, y), red, 1e-6f);

    const Affine eighth = Affine::translation(-4, -4).then(Affine::rotation(std::numbers::pi / 4)).then(Affine::translation(8, 8));
    const Rendered d = render(sq.transformed(eighth), {0, 0, 16, 16});
    double area = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            area += d.at(x, y).a;
            EXPECT_NEAR(d.at(x, y).r, d.at(x, y).a, 1e-6); // premultiplied stays consistent
        }
    EXPECT_NEAR(area, 64, 1.5);
}

TEST(ImageGeometry, CompositeOverAndRecipesThatNeedIntermediateBuffers) {
    const Image fg = solid(2, 2, {0.5f, 0, 0, 0.5f}).translated(1, 1);
    const Image bg = solid(4, 4, blue);
    const Image over = fg.compositedOver(bg);
    EXPECT_EQ(over.extent(), Rect::make(0, 0, 4, 4));
    const Rendered r = render(over, {0, 0, 4, 4});
    expectColor(r.at(0, 0), blue);
    expectColor(r.at(1, 1), {0.5f, 0, 0.5f, 1});

    // Transforming a composite evaluates the composite into a buffer first: moved by whole pixels it
    // equals composing the moved parts, and scaled up its flat areas keep their colour.
    const Rendered moved = render(over.translated(2, -1), {0, -2, 8, 6});
    const Rendered parts = render(fg.translated(2, -1).compositedOver(bg.translated(2, -1)), {0, -2, 8, 6});
    EXPECT_EQ(maxDifference(moved, parts), 0);
    const Rendered big = render(over.scaled(3, 3), {0, 0, 12, 12});
    expectColor(big.at(1, 1), blue);
    expectColor(big.at(5, 5), {0.5f, 0, 0.5f, 1});
    // Shrinking a graded picture (kernels below the transform) still area-averages.
    const Image checker = picture(16, 16, [](int x, int y) {
        const float v = (x + y) % 2 ? 1.0f : 0.0f;
        return Color{v, v, v, 1};
    });
    const Rendered g = render(checker.exposureAdjusted(-1).scaled(0.25, 0.25), {0, 0, 4, 4});
    expectColor(g.at(2, 1), {0.25f, 0.25f, 0.25f, 1});
}

TEST(ImageRender, BGRA8RowsTopDownChannelsSwappedAndClamped) {
    const Image img = picture(2, 2, [](int x, int y) {
        if (y == 1) return x == 0 ? Color{1, 0, 0, 1} : Color{0, 1, 0, 1};
        return x == 0 ? Color{0, 0, 1, 1} : Color{2, -1, 0.5f, 0.5f};
    });
    std::vector<std::uint8_t> out(3 * 8, 0xAB); // 8 bytes of pixels and 4 of padding per row
    Context().renderBGRA8(img, {0, 0, 2, 2}, out.data(), 12);
    const std::vector<std::uint8_t> top = {0, 0, 255, 255, 0, 255, 0, 255};
    const std::vector<std::uint8_t> bottom = {255, 0, 0, 255, 128, 0, 255, 128};
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 8), top);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 12, out.begin() + 20), bottom);
    EXPECT_EQ(out[8], 0xAB); // padding untouched

    // NaN and infinities come out as numbers.
    const float inf = std::numeric_limits<float>::infinity();
    const Image odd = Image::fromFloatPixels(1, 1, {std::nanf(""), inf, -inf, 1});
    std::uint8_t px[4];
    Context().renderBGRA8(odd, {0, 0, 1, 1}, px, 4);
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(px[1], 255);
    EXPECT_EQ(px[2], 0);

    const Bitmap bm = Context().renderBitmap(img, {1, 0, 1, 2});
    ASSERT_EQ(bm.width(), 1);
    EXPECT_EQ(bm.pixels()[1], 255); // top right: green
    EXPECT_EQ(bm.pixels()[4], 255); // bottom right: red channel clamped
}

TEST(ImageRender, LargeRendersMatchTileBoundariesExactly) {
    // Several tiles in both directions, with a transform and a kernel chain on top.
    const Image img = pattern(700, 40).translated(0.25, 0.5).exposureAdjusted(0.5).gammaAdjusted(0.9);
    const Rendered r = render(img, {0, 0, 701, 41});
    const Rendered left = render(img, {500, 10, 30, 20});
    for (int y = 10; y < 30; ++y)
        for (int x = 500; x < 530; ++x) expectColor(left.at(x, y), r.at(x, y), 0);
}
