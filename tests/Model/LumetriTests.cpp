#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Model/Lumetri.hpp"

using namespace osterveil;

namespace {

ChannelCurve curveOf(std::vector<CurvePoint> points) {
    ChannelCurve c;
    c.points = std::move(points);
    return c;
}

std::vector<CurvePoint> pts(std::initializer_list<CurvePoint> list) { return list; }

void expectPoints(const ChannelCurve& c, const std::vector<CurvePoint>& expected) {
    ASSERT_EQ(c.points.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_DOUBLE_EQ(c.points[i].x, expected[i].x) << "point " << i;
        EXPECT_DOUBLE_EQ(c.points[i].y, expected[i].y) << "point " << i;
    }
}

} // namespace

TEST(ChannelCurve, IdentityAndEvaluation) {
    EXPECT_TRUE(ChannelCurve{}.isIdentity());
    EXPECT_TRUE(curveOf({{0.00009, -0.00009}, {1.00009, 0.99991}}).isIdentity());
    EXPECT_FALSE(curveOf({{0.0001, 0}, {1, 1}}).isIdentity());
    EXPECT_FALSE(curveOf({{1, 1}, {0, 0}}).isIdentity()); // stored order counts
    EXPECT_FALSE(curveOf({{0, 0}, {0.5, 0.5}, {1, 1}}).isIdentity());

    EXPECT_EQ(curveOf({}).evaluate(0.3), 0.3);
    for (double x : {-1.0, 0.0, 0.4, 2.0}) EXPECT_EQ(curveOf({{0.4, 0.9}}).evaluate(x), 0.9);

    for (const auto& c : {curveOf({{0.2, 0.1}, {0.6, 0.9}}), curveOf({{0.6, 0.9}, {0.2, 0.1}})}) {
        EXPECT_EQ(c.evaluate(0), 0.1);
        EXPECT_EQ(c.evaluate(0.2), 0.1);
        EXPECT_DOUBLE_EQ(c.evaluate(0.4), 0.5);
        EXPECT_EQ(c.evaluate(0.6), 0.9);
        EXPECT_EQ(c.evaluate(1), 0.9);
    }
    // Not clamped.
    EXPECT_DOUBLE_EQ(curveOf({{0, -0.5}, {1, 1.5}}).evaluate(0.25), 0);
}

TEST(ChannelCurve, EvaluateWithCoincidentPoints) {
    // At the first x the first stored of the pair wins; inside the curve the right-hand y of the step.
    const ChannelCurve atStart = curveOf({{0.5, 0.2}, {0.5, 0.8}, {1, 1}});
    EXPECT_EQ(atStart.evaluate(0.5), 0.2);
    const ChannelCurve inside = curveOf({{0, 0}, {0.5, 0.2}, {0.5, 0.8}, {1, 1}});
    EXPECT_DOUBLE_EQ(inside.evaluate(0.75), 0.9);
    const ChannelCurve narrow = curveOf({{0, 0}, {0.5, 0.2}, {0.50000005, 0.8}, {1, 1}});
    EXPECT_EQ(narrow.evaluate(0.50000002), 0.8);
}

TEST(ChannelCurve, EditingAnEmptyOrOnePointCurve) {
    expectPoints(curveOf({}).edited(0, 0.3), pts({{0.02, 0.3}}));
    expectPoints(curveOf({}).edited(1, 0.3), pts({{0.98, 0.3}}));
    expectPoints(curveOf({}).edited(std::nan(""), std::nan("")), pts({{0.02, 0}}));

    const ChannelCurve one = curveOf({{0.5, 0.5}});
    expectPoints(one.edited(0.625, 0.1), pts({{0.5, 0.5}, {0.625, 0.1}}));
    expectPoints(one.edited(0.25, 0.1), pts({{0.25, 0.1}, {0.5, 0.5}}));
    expectPoints(one.edited(0.5625, 0.1), pts({{0.5, 0.1}})); // the only point is an end: x stays
}

TEST(ChannelCurve, InsertOrMoveAtTheDistanceThreshold) {
    const ChannelCurve id;
    expectPoints(id.edited(0.08, 0.3), pts({{0, 0}, {0.08, 0.3}, {1, 1}}));
    expectPoints(id.edited(0.0799, 0.3), pts({{0, 0.3}, {1, 1}}));
    expectPoints(id.edited(-1, 2), pts({{0, 1}, {1, 1}}));
    expectPoints(id.edited(0.5, 0.7), pts({{0, 0}, {0.5, 0.7}, {1, 1}}));
}

TEST(ChannelCurve, MovingTheNearestPoint) {
    // Halfway between two points the earlier one moves.
    const ChannelCurve c = curveOf({{0, 0}, {0.5, 0.5}, {0.625, 0.6}, {1, 1}});
    expectPoints(c.edited(0.5625, 0.2), pts({{0, 0}, {0.5625, 0.2}, {0.625, 0.6}, {1, 1}}));
    expectPoints(c.edited(0.6, 0.2), pts({{0, 0}, {0.5, 0.5}, {0.6, 0.2}, {1, 1}}));

    // An inner point stops 0.02 short of either neighbour.
    const ChannelCurve close = curveOf({{0, 0}, {0.5, 0.5}, {0.53125, 0.6}, {1, 1}});
    expectPoints(close.edited(0.515625, 0.4), pts({{0, 0}, {0.51125, 0.4}, {0.53125, 0.6}, {1, 1}}));
    const ChannelCurve low = curveOf({{0, 0}, {0.46875, 0.4}, {0.5, 0.5}, {1, 1}});
    expectPoints(low.edited(0.4875, 0.45), pts({{0, 0}, {0.46875, 0.4}, {0.48875, 0.45}, {1, 1}}));
    // Neighbours closer than 0.04: the upper bound wins.
    const ChannelCurve tight = curveOf({{0, 0}, {0.5, 0.5}, {0.51, 0.5}, {0.52, 0.5}, {1, 1}});
    expectPoints(tight.edited(0.51, 0.1), pts({{0, 0}, {0.5, 0.5}, {0.5, 0.1}, {0.52, 0.5}, {1, 1}}));
}

TEST(ChannelCurve, SixPointsNeverGrow) {
    ChannelCurve c;
    for (double x : {0.2, 0.4, 0.6, 0.8}) c = c.edited(x, x);
    ASSERT_EQ(c.points.size(), 6u);
    // 0.29 is 0.09 from the nearest point, which would insert on a smaller curve.
    expectPoints(c.edited(0.29, 0.9), pts({{0, 0}, {0.29, 0.9}, {0.4, 0.4}, {0.6, 0.6}, {0.8, 0.8}, {1, 1}}));

}

TEST(LumetriPanel, ToneNeutrality) {
    LumetriPanel p;
    EXPECT_TRUE(p.toneIsNeutral());
    p.vibrance = 5;
    p.vignette = -3;
    p.fadedFilm = 1;
    p.bypass = true;
    EXPECT_TRUE(p.toneIsNeutral());

    p = {};
    p.curves.master = curveOf({{0, 0}, {0.5, 0.5}, {1, 1}});
    EXPECT_FALSE(p.toneIsNeutral());
    p = {};
    p.blacks = 0.0001;
    EXPECT_FALSE(p.toneIsNeutral());
    p.blacks = 0.00009;
    EXPECT_TRUE(p.toneIsNeutral());

    // A secondary only counts when enabled and adjusting something; its selection never does.
    p = {};
    p.hsl.hueShift = 0.5;
    EXPECT_TRUE(p.toneIsNeutral());
    p.hsl.enabled = true;
    EXPECT_FALSE(p.toneIsNeutral());
    p.hsl.hueShift = 0;
    p.hsl.hue = 0.7;
    p.hsl.range = 0.5;
    EXPECT_TRUE(p.toneIsNeutral());
    p.hsl.luminance = 0.2;
    EXPECT_FALSE(p.toneIsNeutral());
}

TEST(LumetriPanel, ToneCacheKeyOfTheDefaultPanel) {
    std::vector<std::string> parts(12, "0.0000");
    parts.push_back("0.1200");
    parts.insert(parts.end(), 3, "0.0000");
    for (int i = 0; i < 4; ++i) {
        parts.push_back("0.0000,0.0000");
        parts.push_back("1.0000,1.0000");
        parts.push_back("|");
    }
    std::string expected;
    for (std::size_t i = 0; i < parts.size(); ++i) expected += (i ? ";" : "") + parts[i];

    EXPECT_EQ(LumetriPanel{}.toneCacheKey(), expected);
}

TEST(LumetriPanel, ToneCacheKeyFollowsToneSettings) {
    const std::string base = LumetriPanel{}.toneCacheKey();

    LumetriPanel p;
    p.highlights = -0.25;
    p.hsl.enabled = true;
    p.curves.red = curveOf({{0, 0.1}, {0.5, 0.55556}, {1, 1}});
    EXPECT_EQ(p.toneCacheKey().rfind("-0.2500;", 0), 0u) << p.toneCacheKey();
    EXPECT_NE(p.toneCacheKey().find(";1.0000;0.0000;0.1200;"), std::string::npos) << p.toneCacheKey();
    EXPECT_NE(p.toneCacheKey().find(";|;0.0000,0.1000;0.5000,0.5556;1.0000,1.0000;|;"), std::string::npos)
        << p.toneCacheKey();

    // A disabled secondary's settings still key the cube.
    LumetriPanel disabled;
    disabled.hsl.saturation = 0.3;
    EXPECT_TRUE(disabled.toneIsNeutral());
    EXPECT_NE(disabled.toneCacheKey(), base);

    // Settings outside the tone section leave the key alone.
    LumetriPanel other;
    other.vibrance = 1;
    other.vignetteRadius = 0.2;
    EXPECT_EQ(other.toneCacheKey(), base);
}
