#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Model/GradeMath.hpp"

using namespace osterveil;

namespace {

double smooth(double e0, double e1, double v) {
    const double t = std::clamp((v - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

void expectTriple(const RGBTriple& c, double r, double g, double b, double tol = 1e-12) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

LumetriPanel withSecondary(double hue, double range, double shift, double sat, double lum) {
    LumetriPanel p;
    p.hsl = {true, hue, range, shift, sat, lum};
    return p;
}

} // namespace

TEST(GradeMath, DefaultPanelIsExactIdentityOnTheLattice) {
    const LumetriPanel panel;
    for (int k = 0; k <= 16; ++k)
        for (int j = 0; j <= 16; ++j)
            for (int i = 0; i <= 16; ++i) {
                const double r = i * 0.0625, g = j * 0.0625, b = k * 0.0625;
                ASSERT_EQ(GradeMath::apply(r, g, b, panel), (RGBTriple{r, g, b})) << i << ' ' << j << ' ' << k;
            }
}

TEST(GradeMath, InputsAreClampedFirst) {
    const LumetriPanel panel;
    EXPECT_EQ(GradeMath::apply(-0.5, 2, 0.3, panel), (RGBTriple{0, 1, 0.3}));
    EXPECT_EQ(GradeMath::apply(std::nan(""), 0.5, std::numeric_limits<double>::infinity(), panel),
              (RGBTriple{0, 0.5, 1}));
}

TEST(GradeMath, ShadowsBlacksAndWhites) {
    LumetriPanel shadows;
    shadows.shadows = 1;
    // Black: wS = 1, wH = 0, so each channel becomes 0.5.
    expectTriple(GradeMath::apply(0, 0, 0, shadows), 0.5, 0.5, 0.5);

    LumetriPanel crush;
    crush.blacks = -1; // denominator max(1 - 0.45, 0.25) = 0.55
    expectTriple(GradeMath::apply(0.5, 0.5, 0.5, crush), (0.5 - 0.2) / 0.55, (0.5 - 0.2) / 0.55,
                 (0.5 - 0.2) / 0.55);
    crush.blacks = -3; // floor of the denominator
    expectTriple(GradeMath::apply(0.9, 0.9, 0.9, crush), std::clamp((0.9 - 0.6) / 0.25, 0.0, 1.0), 1, 1);
    LumetriPanel lift;
    lift.blacks = 1;
    expectTriple(GradeMath::apply(0, 0, 0, lift), 0.12, 0.12, 0.12);

    LumetriPanel whites;
    whites.whites = 1;
    expectTriple(GradeMath::apply(1, 1, 1, whites), 1, 1, 1);
    whites.whites = -1;
    expectTriple(GradeMath::apply(1, 1, 1, whites), 0.65, 0.65, 0.65);
    // Mid grey at L = 0.5: wH = S(0.4, 1, 0.5).
    const double wH = smooth(0.4, 1.0, 0.5);
    whites.whites = 1;
    expectTriple(GradeMath::apply(0.5, 0.5, 0.5, whites), 0.5 + wH * 0.5 * 0.4, 0.5 + wH * 0.2, 0.5 + wH * 0.2);

    LumetriPanel highlights;
    highlights.highlights = 1;
    expectTriple(GradeMath::apply(1, 1, 1, highlights), 0.5, 0.5, 0.5);
}

TEST(GradeMath, CurvesRunMasterThenChannel) {
    LumetriPanel p;
    p.curves.master.points = {{0, 0}, {1, 0.5}};
    p.curves.red.points = {{0, 1}, {1, 0}};
    // master halves, then red inverts: 0.8 -> 0.4 -> 0.6; green and blue only halved.
    expectTriple(GradeMath::apply(0.8, 0.8, 0.8, p), 0.6, 0.4, 0.4);
    // Curves above 1 are clamped before the wheels.
    LumetriPanel boost;
    boost.curves.green.points = {{0, 0}, {1, 3}};
    expectTriple(GradeMath::apply(0.5, 0.5, 0.5, boost), 0.5, 1, 0.5);
}

TEST(GradeMath, ShadowWheelOnGrey) {
    LumetriPanel p;
    p.shadowWheel = {1, 0};
    const double grey = 0.3;
    const double s = GradeMath::lumaWeights(grey).shadows;
    EXPECT_GT(s, 0);
    EXPECT_LT(s, 1);
    expectTriple(GradeMath::apply(grey, grey, grey, p), grey + 0.35 * s, grey - 0.175 * s, grey - 0.175 * s);
}

TEST(GradeMath, LumaWeights) {
    const auto black = GradeMath::lumaWeights(0);
    EXPECT_EQ(black.shadows, 1);
    EXPECT_EQ(black.midtones, 0);
    EXPECT_EQ(black.highlights, 0);
    const auto white = GradeMath::lumaWeights(1);
    EXPECT_EQ(white.shadows, 0);
    EXPECT_EQ(white.highlights, 1);
    const auto mid = GradeMath::lumaWeights(0.5);
    EXPECT_NEAR(mid.shadows + mid.midtones + mid.highlights, 1, 1e-15);
    // The highlight edge width is 0.85 - 0.45 computed in doubles (one ulp below 0.4).
    const double v = 0.65;
    const double t = (v - 0.45) / (0.85 - 0.45);
    EXPECT_EQ(GradeMath::lumaWeights(v).highlights, t * t * (3 - 2 * t));
}

TEST(GradeMath, RgbToHSL) {
    auto expectHSL = [](HSL x, double h, double s, double l) {
        EXPECT_NEAR(x.h, h, 1e-12);
        EXPECT_NEAR(x.s, s, 1e-12);
        EXPECT_NEAR(x.l, l, 1e-12);
    };
    expectHSL(GradeMath::rgbToHSL(1, 0, 0), 0, 1, 0.5);
    expectHSL(GradeMath::rgbToHSL(0, 1, 0), 1.0 / 3, 1, 0.5);
    expectHSL(GradeMath::rgbToHSL(0, 0, 1), 2.0 / 3, 1, 0.5);
    expectHSL(GradeMath::rgbToHSL(1, 0, 0.5), 11.0 / 12, 1, 0.5); // g < b wraps upward
    expectHSL(GradeMath::rgbToHSL(0.4, 0.4, 0.4), 0, 0, 0.4);
    expectHSL(GradeMath::rgbToHSL(0.9, 0.7, 0.7), 0, 0.2 / 0.4, 0.8); // l > 0.5 branch
}

TEST(GradeMath, SecondarySelection) {
    // Range 0 still selects hues within 0.01 of the centre.
    const auto narrow = withSecondary(0, 0, 0, 0, 0.2);
    const auto red = GradeMath::apply(0.8, 0.2, 0.2, narrow); // hue 0
    EXPECT_GT(red.r, 0.8);
    const auto orange = GradeMath::apply(0.8, 0.5, 0.2, narrow); // hue 1/12, outside
    expectTriple(orange, 0.8, 0.5, 0.2);

    // Across the wrap point: centre 0.98 selects hue 0.02 (distance 0.04) with q = 1 - 0.04/0.05.
    const auto wrap = withSecondary(0.98, 0.1, 0, 0, 0.1);
    const HSL in = GradeMath::rgbToHSL(0.8, 0.272, 0.2);
    ASSERT_NEAR(in.h, 0.02, 1e-12);
    const auto out = GradeMath::apply(0.8, 0.272, 0.2, wrap);
    EXPECT_NEAR(GradeMath::rgbToHSL(out.r, out.g, out.b).l, in.l + 0.1 * (1 - 0.04 / 0.05), 1e-9);

    // All adjustments below 0.0001: untouched even inside the selection.
    const auto tiny = withSecondary(0, 0.5, 0.00009, -0.00009, 0.00009);
    expectTriple(GradeMath::apply(0.8, 0.2, 0.2, tiny), 0.8, 0.2, 0.2, 0);

    // Greys have hue 0: a secondary on hue 0 brightens them and they stay grey.
    const auto greys = withSecondary(0, 0.2, 0, 0, 0.1);
    expectTriple(GradeMath::apply(0.4, 0.4, 0.4, greys), 0.5, 0.5, 0.5);
}

TEST(GradeMath, SecondaryHueShiftWraps) {
    // Pure red (hue 0) shifted by -0.25 at full weight lands on hue 0.75 (violet), not -0.25.
    const auto back = GradeMath::apply(1, 0, 0, withSecondary(0, 0.2, -0.25, 0, 0));
    EXPECT_NEAR(GradeMath::rgbToHSL(back.r, back.g, back.b).h, 0.75, 1e-12);
    // Pure blue (hue 2/3) shifted by +0.5 lands on 1/6 (yellow).
    const auto fwd = GradeMath::apply(0, 0, 1, withSecondary(2.0 / 3, 0.2, 0.5, 0, 0));
    expectTriple(fwd, 1, 1, 0);
}
