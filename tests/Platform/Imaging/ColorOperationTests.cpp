#include <cmath>
#include <cstring>

#include "ImagingTestSupport.hpp"
#include "Model/GradeMath.hpp"
#include "Platform/Imaging/Kernels.hpp"

using namespace imaging_test;

namespace {

const Color sample{0.2f, 0.4f, 0.6f, 1};
const Color halfSample{0.1f, 0.2f, 0.3f, 0.5f}; // the same colour at half coverage

Color one(const Image& img, int x = 0, int y = 0) { return render(img, {x, y, 1, 1}).at(x, y); }
Color applied(const Color& c, const std::function<Image(const Image&)>& op) { return one(op(solid(1, 1, c))); }

float luma(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

} // namespace

TEST(ColorOperations, IdentitySettingsReturnTheSameImage) {
    const Image img = solid(3, 3, sample);
    EXPECT_TRUE(img.colorMatrix({}).isSameAs(img));
    EXPECT_TRUE(img.colorControls(1, 0, 1).isSameAs(img));
    EXPECT_TRUE(img.exposureAdjusted(0).isSameAs(img));
    EXPECT_TRUE(img.gammaAdjusted(1).isSameAs(img));
    EXPECT_TRUE(img.temperatureAndTint({5000, 10}, {5000, 10}).isSameAs(img));
    EXPECT_TRUE(img.vibrance(0).isSameAs(img));
    EXPECT_TRUE(img.colorCube(nullptr).isSameAs(img));
    EXPECT_TRUE(img.dissolved(Image(), 0).isSameAs(img));
    const Image other = solid(2, 2, {});
    EXPECT_TRUE(img.dissolved(other, 1).isSameAs(other));
    EXPECT_TRUE(img.sharpenedLuminance(0, 1.2).isSameAs(img));
    EXPECT_TRUE(img.sharpenedLuminance(1, 0).isSameAs(img));
    EXPECT_TRUE(img.vignetteEffect({1, 1}, 2, 0, 0.5).isSameAs(img));
    EXPECT_TRUE(img.vignette(0, 1).isSameAs(img));
    const Image black = Image::constant({0, 0, 0, 1});
    EXPECT_TRUE(black.vignette(1, 1).isSameAs(black));
    EXPECT_TRUE(Image().exposureAdjusted(2).isEmpty());
}

TEST(ColorOperations, ColorMatrixWorksOnPremultipliedValues) {
    // Opacity: all four channels scaled.
    const ColorMatrix half{{0.5f, 0, 0, 0}, {0, 0.5f, 0, 0}, {0, 0, 0.5f, 0}, {0, 0, 0, 0.5f}, {0, 0, 0, 0}};
    expectColor(applied(sample, [&](const Image& i) { return i.colorMatrix(half); }), halfSample);
    // A bias is added to opaque pixels and scaled by coverage elsewhere; transparent stays transparent.
    ColorMatrix lift;
    lift.bias = {0.08f, 0.06f, 0.04f, 0};
    expectColor(applied(sample, [&](const Image& i) { return i.colorMatrix(lift); }), {0.28f, 0.46f, 0.64f, 1});
    expectColor(applied(halfSample, [&](const Image& i) { return i.colorMatrix(lift); }), {0.14f, 0.23f, 0.32f, 0.5f});
    expectColor(applied({}, [&](const Image& i) { return i.colorMatrix(lift); }), {});
    // Channel mixing: red takes blue.
    ColorMatrix swap;
    swap.r = {0, 0, 1, 0};
    expectColor(applied(sample, [&](const Image& i) { return i.colorMatrix(swap); }), {0.6f, 0.4f, 0.6f, 1});
}

TEST(ColorOperations, ColorControlsExposureAndGamma) {
    const float l = luma(0.2f, 0.4f, 0.6f);
    expectColor(applied(sample, [](const Image& i) { return i.colorControls(0, 0, 1); }), {l, l, l, 1});
    expectColor(applied(sample, [](const Image& i) { return i.colorControls(1, 0.1, 1); }), {0.3f, 0.5f, 0.7f, 1});
    expectColor(applied(sample, [](const Image& i) { return i.colorControls(1, 0, 2); }), {-0.1f, 0.3f, 0.7f, 1});
    // Saturation, then brightness, then contrast; unpremultiplied for partial coverage.
    const float s = 2, b = 0.05f, k = 1.5f;
    auto ctl = [&](float c) { return ((l + (c - l) * s) + b - 0.5f) * k + 0.5f; };
    expectColor(applied(halfSample, [&](const Image& i) { return i.colorControls(s, b, k); }),
                {ctl(0.2f) * 0.5f, ctl(0.4f) * 0.5f, ctl(0.6f) * 0.5f, 0.5f});

    expectColor(applied(halfSample, [](const Image& i) { return i.exposureAdjusted(1); }), {0.2f, 0.4f, 0.6f, 0.5f});
    expectColor(applied(sample, [](const Image& i) { return i.exposureAdjusted(-2); }), {0.05f, 0.1f, 0.15f, 1});

    expectColor(applied(sample, [](const Image& i) { return i.gammaAdjusted(2); }), {0.04f, 0.16f, 0.36f, 1});
    expectColor(applied({-0.5f, 4, 0, 1}, [](const Image& i) { return i.gammaAdjusted(0.5); }), {-std::sqrt(0.5f), 2, 0, 1});
    expectColor(applied(halfSample, [](const Image& i) { return i.gammaAdjusted(2.2); }),
                {std::pow(0.2f, 2.2f) * 0.5f, std::pow(0.4f, 2.2f) * 0.5f, std::pow(0.6f, 2.2f) * 0.5f, 0.5f});
}

TEST(ColorOperations, TemperatureAndTintShiftTheWhitePoint) {
    const Color grey{0.5f, 0.5f, 0.5f, 1};
    // The picture was lit hotter (bluer) than the target: correcting it warms it.
    const Color warm = applied(grey, [](const Image& i) { return i.temperatureAndTint({8500, 0}, {6500, 0}); });
    EXPECT_GT(warm.r, 0.52f);
    EXPECT_LT(warm.b, 0.48f);
    EXPECT_NEAR(warm.a, 1, 0);
    const Color cool = applied(grey, [](const Image& i) { return i.temperatureAndTint({4500, 0}, {6500, 0}); });
    EXPECT_LT(cool.r, 0.48f);
    EXPECT_GT(cool.b, 0.52f);
    // Brightness stays near: both neutrals are taken at unit luminance.
    EXPECT_NEAR(luma(warm.r, warm.g, warm.b), 0.5f, 0.02f);
    // A source neutral towards magenta makes the picture greener.
    const Color green = applied(grey, [](const Image& i) { return i.temperatureAndTint({6500, 20}, {6500, 0}); });
    EXPECT_GT(green.g, 0.5f);
    EXPECT_LT(green.r, 0.5f);
    // There and back again changes nothing.
    const Color back = applied(sample, [](const Image& i) {
        return i.temperatureAndTint({7700, -12}, {5200, 30}).temperatureAndTint({5200, 30}, {7700, -12});
    });
    expectColor(back, sample, 1e-5f);
    // Out-of-range or non-finite neutrals are held to the locus model's range rather than blowing up.
    const Color extreme = applied(grey, [](const Image& i) { return i.temperatureAndTint({1e9, NAN}, {-5, 0}); });
    EXPECT_TRUE(std::isfinite(extreme.r) && std::isfinite(extreme.g) && std::isfinite(extreme.b));
}

TEST(ColorOperations, VibranceFavoursWeakColours) {
    auto vib = [](Color c, double amount) { return applied(c, [=](const Image& i) { return i.vibrance(amount); }); };
    expectColor(vib({0.3f, 0.3f, 0.3f, 1}, 1), {0.3f, 0.3f, 0.3f, 1});
    expectColor(vib({1, 0, 0, 1}, 1), {1, 0, 0, 1});
    // s = 0.1: factor 1 + 0.5·0.9.
    const Color weak{0.5f, 0.4f, 0.4f, 1};
    const float l = luma(0.5f, 0.4f, 0.4f), k = 1.45f;
    expectColor(vib(weak, 0.5), {l + (0.5f - l) * k, l + (0.4f - l) * k, l + (0.4f - l) * k, 1});
    // Negative amounts desaturate, never past grey.
    expectColor(vib(weak, -5), {l, l, l, 1});
    const Color strong = vib({0.9f, 0.1f, 0.1f, 1}, 0.5);
    const Color mild = vib(weak, 0.5);
    EXPECT_GT((mild.r - mild.g) / 0.1f, (strong.r - strong.g) / 0.8f); // relative boost larger when weak
}

TEST(ColorOperations, ColorCubeIsTrilinearOnClampedUnpremultipliedColour) {
    // A 2-point cube that maps (r, g, b) to (b, g, r) with alpha 1.
    std::vector<float> swap;
    for (int b = 0; b < 2; ++b)
        for (int g = 0; g < 2; ++g)
            for (int r = 0; r < 2; ++r) swap.insert(swap.end(), {float(b), float(g), float(r), 1});
    const auto cube = ColorCube::make(2, swap);
    auto apply = [&](Color c) { return applied(c, [&](const Image& i) { return i.colorCube(cube); }); };
    expectColor(apply(sample), {0.6f, 0.4f, 0.2f, 1});
    expectColor(apply(halfSample), {0.3f, 0.2f, 0.1f, 0.5f});
    expectColor(apply({2, -1, 0.5f, 1}), {0.5f, 0, 1, 1});
    expectColor(apply({NAN, 0.5f, 0.5f, 1}), {0.5f, 0.5f, 0, 1});
    expectColor(apply({}), {});

    // A 3-point cube with a kink in red: trilinear between the lattice points, exact on them.
    std::vector<float> kink;
    for (int b = 0; b < 3; ++b)
        for (int g = 0; g < 3; ++g)
            for (int r = 0; r < 3; ++r) kink.insert(kink.end(), {r == 1 ? 0.8f : r * 0.5f, g * 0.5f, b * 0.5f, 1});
    const auto k3 = ColorCube::make(3, kink);
    expectColor(applied({0.25f, 0.5f, 0.5f, 1}, [&](const Image& i) { return i.colorCube(k3); }), {0.4f, 0.5f, 0.5f, 1});
    expectColor(applied({0.75f, 0, 1, 1}, [&](const Image& i) { return i.colorCube(k3); }), {0.9f, 0, 1, 1});

    EXPECT_THROW(ColorCube::make(2, std::vector<float>(31)), std::invalid_argument);
    EXPECT_THROW(ColorCube::make(1, std::vector<float>(4)), std::invalid_argument);
}

TEST(ColorOperations, ToneCubeOfTheDefaultPanelLeavesPicturesUnchanged) {
    // The colour pipeline's tone cube: 17³ lattice of the grade maths, red fastest.
    std::vector<float> data;
    const osterveil::LumetriPanel panel;
    for (int k = 0; k <= 16; ++k)
        for (int j = 0; j <= 16; ++j)
            for (int i = 0; i <= 16; ++i) {
                const auto c = osterveil::GradeMath::apply(i * 0.0625, j * 0.0625, k * 0.0625, panel);
                data.insert(data.end(), {float(c.r), float(c.g), float(c.b), 1});
            }
    const Image img = picture(16, 16, [](int x, int y) { return Color{x / 15.0f, y / 15.0f, (x * y) / 225.0f, 1}; });
    const Rendered before = render(img, {0, 0, 16, 16});
    const Rendered after = render(img.colorCube(ColorCube::make(17, std::move(data))), {0, 0, 16, 16});
    EXPECT_LT(maxDifference(before, after), 1e-6f);
}

TEST(ColorOperations, Dissolve) {
    const Image a = solid(2, 2, {1, 0, 0, 1});
    const Image b = solid(2, 2, {0, 0, 1, 1}).translated(1, 0);
    const Image mix = a.dissolved(b, 0.25);
    EXPECT_EQ(mix.extent(), Rect::make(0, 0, 3, 2));
    const Rendered r = render(mix, {0, 0, 3, 2});
    expectColor(r.at(0, 0), {0.75f, 0, 0, 0.75f});
    expectColor(r.at(1, 0), {0.75f, 0, 0.25f, 1});
    expectColor(r.at(2, 0), {0, 0, 0.25f, 0.25f});
    EXPECT_TRUE(a.dissolved(b, -1).isSameAs(a));
    EXPECT_TRUE(a.dissolved(b, 7).isSameAs(b));
}

TEST(ColorOperations, SharpenLuminance) {
    // Flat pictures stay flat, up to their very edges (the edge is repeated, not darkened).
    const Rendered flat = render(solid(12, 10, sample).sharpenedLuminance(2.4, 1.2), {0, 0, 12, 10});
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) expectColor(flat.at(x, y), sample, 1e-5f);
    // A step overshoots on both sides, keeps its far sides, and adds the same to every channel.
    const Image step = picture(20, 4, [](int x, int) { return x < 10 ? Color{0.3f, 0.2f, 0.1f, 1} : Color{0.7f, 0.6f, 0.5f, 1}; });
    const Rendered s = render(step.sharpenedLuminance(1, 1.2), {0, 0, 20, 4});
    EXPECT_LT(s.at(9, 1).r, 0.3f);
    EXPECT_GT(s.at(10, 1).r, 0.7f);
    expectColor(s.at(0, 1), {0.3f, 0.2f, 0.1f, 1}, 1e-5f);
    expectColor(s.at(19, 1), {0.7f, 0.6f, 0.5f, 1}, 1e-5f);
    for (int x = 0; x < 20; ++x) {
        EXPECT_NEAR(s.at(x, 2).r - s.at(x, 2).g, 0.1f, 1e-5f);
        EXPECT_NEAR(s.at(x, 2).g - s.at(x, 2).b, 0.1f, 1e-5f);
    }
    // Next to the step: detail = L − blur(L), with the blur a 9-tap Gaussian of σ = 1.2.
    double w[9], sum = 0;
    for (int k = -4; k <= 4; ++k) sum += w[k + 4] = std::exp(-k * k / (2 * 1.44));
    const double lumaLow = luma(0.3f, 0.2f, 0.1f), lumaHigh = luma(0.7f, 0.6f, 0.5f);
    double blur = 0;
    for (int k = -4; k <= 4; ++k) blur += w[k + 4] / sum * (9 + k < 10 ? lumaLow : lumaHigh);
    EXPECT_NEAR(s.at(9, 1).r, 0.3 + (lumaLow - blur), 1e-5);
}

TEST(ColorOperations, Vignettes) {
    const Image img = solid(41, 41, {1, 1, 1, 1});
    // Effect: centre (20.5, 20.5), radius 10, intensity 0.6, falloff 0.5: untouched inside 5, ×0.4 beyond 15.
    const Rendered e = render(img.vignetteEffect({20.5, 20.5}, 10, 0.6, 0.5), {0, 0, 41, 41});
    expectColor(e.at(20, 20), {1, 1, 1, 1});
    expectColor(e.at(23, 20), {1, 1, 1, 1});
    expectColor(e.at(38, 20), {0.4f, 0.4f, 0.4f, 1});
    EXPECT_NEAR(e.at(30, 20).r, 0.7f, 1e-5f); // d = 10: the smooth step's midpoint
    // Falloff 0 is a hard edge at the radius.
    const Rendered hard = render(img.vignetteEffect({20.5, 20.5}, 10, 1, 0), {0, 0, 41, 41});
    EXPECT_EQ(hard.at(29, 20).r, 1);
    EXPECT_EQ(hard.at(31, 20).r, 0);

    // Simple vignette: untouched at the centre, 1 − 0.5·intensity at the corners (d = 1).
    const Image big = solid(100, 60, {1, 1, 1, 1});
    const Rendered v = render(big.vignette(1, 1), {0, 0, 100, 60});
    EXPECT_NEAR(v.at(50, 30).r, 1, 1e-3);
    const double d = std::hypot(49.5, 29.5) / std::hypot(50, 30);
    EXPECT_NEAR(v.at(0, 0).r, 1 - 0.5 * d * d, 1e-5);
    EXPECT_NEAR(render(big.vignette(1, 2), {0, 0, 100, 60}).at(0, 0).r, 1 - 0.5 * d * d / 4, 1e-5);
    EXPECT_GT(v.at(25, 30).r, v.at(10, 30).r);
}

// The basic grade kernel against the written formula, computed in double precision here.
TEST(ColorOperations, GradeKernelMatchesItsFormula) {
    GradeParameters p;
    p.exposure = 0.5f;
    p.contrast = 1.2f;
    p.saturation = 0.8f;
    p.temperature = 0.3f;
    p.tint = -0.2f;
    p.lift = {0.05f, 0, -0.05f};
    p.gamma = {1.3f, 0.9f, 0.005f};
    p.gain = {1.1f, 0.95f, 1};
    auto reference = [&](Color c) {
        double rgb[3] = {c.r / c.a, c.g / c.a, c.b / c.a};
        for (double& v : rgb) v = (v * std::exp2(p.exposure) - 0.5) * p.contrast + 0.5;
        const double l = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
        for (double& v : rgb) v = l * (1 - p.saturation) + v * p.saturation;
        rgb[0] *= 1 + 0.25 * p.temperature;
        rgb[2] *= 1 - 0.25 * p.temperature;
        rgb[1] *= 1 + 0.15 * p.tint;
        Color out{0, 0, 0, c.a};
        float* o[3] = {&out.r, &out.g, &out.b};
        for (int i = 0; i < 3; ++i) {
            const double y = p.gain[i] * (rgb[i] + p.lift[i] * (1 - rgb[i]));
            const double g = std::max<double>(p.gamma[i], 0.01);
            *o[i] = static_cast<float>(std::clamp(std::pow(std::max(y, 0.0), 1 / g), 0.0, 1.0) * c.a);
        }
        return out;
    };
    for (const Color c : {sample, halfSample, Color{0.9f, 0.05f, 0.3f, 1}, Color{0.01f, 0.02f, 0.5f, 1}})
        expectColor(applied(c, [&](const Image& i) { return i.graded(p); }), reference(c), 2e-5f);
    // It clamps even at neutral settings.
    expectColor(applied({1.5f, -0.5f, 0.5f, 1}, [](const Image& i) { return i.graded({}); }), {1, 0, 0.5f, 1});
    expectColor(applied({}, [&](const Image& i) { return i.graded(p); }), {});
}

// The grade leaves out the stages its settings make neutral, and opaque rows leave out the alpha
// arithmetic; what it draws is the same to the bit as when every stage runs on every row, for every
// mix of neutral and active stages and for pixels of any coverage, including values outside 0…1.
TEST(ColorOperations, GradeStagesThatChangeNothingAreSkippedExactly) {
    auto pixels = [](bool translucentEdge) {
        return picture(67, 5, [=](int x, int y) {
            const float a = y == 0 ? 0.0f : y == 1 ? 0.5f : x == 66 && translucentEdge ? 0.5f : 1.0f;
            const float v = (x - 3) / 60.0f; // −0.05 … 1.05
            return Color{v * a, (1 - v) * a, (y == 4 ? 0.002f : 0.45f) * a, a};
        });
    };
    const Image img = pixels(false), edged = pixels(true);
    auto exact = [&](const GradeParameters& p) {
        const auto skipping = render(img.graded(p), {0, 0, 67, 5});
        const auto full = render(img.applyingColorKernel(detail::gradeKernel(p, false)), {0, 0, 67, 5});
        ASSERT_EQ(skipping.rgba.size(), full.rgba.size());
        EXPECT_EQ(std::memcmp(skipping.rgba.data(), full.rgba.data(), full.rgba.size() * sizeof(float)), 0);
        // Opaque rows drawn as rows that carry one translucent pixel at their end.
        const auto general = render(edged.graded(p), {0, 0, 67, 5});
        int opaqueRows = 0;
        for (int y = 0; y < 5; ++y) {
            const std::size_t row = 4 * 67 * static_cast<std::size_t>(y);
            if (skipping.rgba[row + 3] != 1.0f) continue;
            ++opaqueRows;
            EXPECT_EQ(std::memcmp(skipping.rgba.data() + row, general.rgba.data() + row, 4 * 66 * sizeof(float)), 0) << y;
        }
        EXPECT_EQ(opaqueRows, 3);
    };
    exact({});
    for (int stage = 0; stage < 6; ++stage) {
        GradeParameters p;
        p.exposure = stage == 0 ? 0.2f : 0;
        if (stage == 1) p.contrast = 1.3f;
        if (stage == 2) p.saturation = 1.2f;
        if (stage == 3) p.temperature = -0.4f;
        if (stage == 4) p.lift = {0, 0.1f, 0};
        if (stage == 5) p.gamma = {1, 1, 0.8f};
        exact(p);
        // and the same stage beside the one grade setting a cut most often carries
        p.saturation = 1.2f;
        exact(p);
    }
}

TEST(ColorOperations, ChainedKernelsRunInOrder) {
    // exposure then gamma differs from gamma then exposure; the chain must keep the written order.
    const Color a = applied(sample, [](const Image& i) { return i.exposureAdjusted(1).gammaAdjusted(2).colorControls(1, 0.1, 1); });
    expectColor(a, {0.16f + 0.1f, 0.64f + 0.1f, 1.44f + 0.1f, 1});
    // Longer chains than one pass takes still apply every kernel once, in order.
    Image img = solid(2, 1, {0.001f, 0.002f, 0.5f, 1});
    for (int i = 0; i < 40; ++i) img = img.exposureAdjusted(0.25).colorControls(1, 0.0001, 1);
    double r = 0.001;
    for (int i = 0; i < 40; ++i) r = r * std::exp2(0.25) + 0.0001;
    EXPECT_NEAR(one(img).r, r, 1e-4 * r); // one kernel missing or repeated would be 19% off
}
