#include <gtest/gtest.h>

#include <cmath>

#include "Model/EnumText.hpp"
#include "Model/Parameters.hpp"

using namespace osterveil;

namespace {

constexpr auto linear = Interpolation::linear;
constexpr auto hold = Interpolation::hold;

ScalarParam keyed(std::vector<ScalarKeyframe> keys, double value = 0) { return ScalarParam{value, std::move(keys)}; }

template <class E> void expectRoundTrips() {
    for (const auto& [value, text] : EnumText<E>::cases) {
        EXPECT_EQ(enumName(value), text);
        EXPECT_EQ(enumFromName<E>(text), value) << text;
    }
}

} // namespace

TEST(ScalarParam, ConstantOrSingleKeyframe) {
    const ScalarParam plain{0.8};
    const ScalarParam single = keyed({{2, 0.3, linear}}, 0.8);
    for (double t : {-5.0, 0.0, 2.0, 10.0, std::nan("")}) {
        EXPECT_EQ(plain.evaluated(t), 0.8);
        EXPECT_EQ(single.evaluated(t), 0.3); // `value` is ignored once there is a keyframe
    }
}

TEST(ScalarParam, LinearRampInAnyStoredOrder) {
    for (const ScalarParam& p : {keyed({{0, 0, linear}, {2, 10, linear}}), keyed({{2, 10, linear}, {0, 0, linear}})}) {
        EXPECT_DOUBLE_EQ(p.evaluated(0.5), 2.5);
        EXPECT_EQ(p.evaluated(-1), 0);
        EXPECT_EQ(p.evaluated(0), 0);
        EXPECT_EQ(p.evaluated(3), 10);
    }
    EXPECT_EQ(keyed({{0, 0, linear}, {2, 10, linear}}, 0.25).evaluated(std::nan("")), 0.25);
}

TEST(ScalarParam, HoldKeepsValueUntilTheNextKeyframe) {
    const ScalarParam p = keyed({{0, 1, hold}, {1, 5, linear}, {2, 9, linear}});
    EXPECT_EQ(p.evaluated(0.999), 1);
    EXPECT_EQ(p.evaluated(1), 1); // the pair ending at 1 is found first and holds
    EXPECT_DOUBLE_EQ(p.evaluated(1.5), 7);
    EXPECT_EQ(p.evaluated(2), 9);
    // The hold travels with its keyframe when the list is stored shuffled.
    const ScalarParam shuffled = keyed({{2, 9, linear}, {1, 5, linear}, {0, 1, hold}});
    EXPECT_EQ(shuffled.evaluated(0.5), 1);
    EXPECT_DOUBLE_EQ(shuffled.evaluated(1.5), 7);
}

TEST(ScalarParam, CoincidentKeyframesKeepStoredOrder) {
    const ScalarParam p = keyed({{1, 2, linear}, {1, 4, linear}});
    EXPECT_EQ(p.evaluated(1), 2);
    EXPECT_EQ(p.evaluated(1.0000001), 4);
    // A pair narrower than the tolerance jumps to its right-hand value.
    const ScalarParam narrow = keyed({{0, 0, linear}, {1, 2, linear}, {1.00000005, 4, linear}, {2, 4, linear}});
    EXPECT_EQ(narrow.evaluated(1.00000002), 4);
}

TEST(EvaluatedGrade, BaseNeutralityThreshold) {
    EXPECT_TRUE(EvaluatedGrade{}.baseIsNeutral());
    EvaluatedGrade g;
    g.exposure = 0.00009;
    EXPECT_TRUE(g.baseIsNeutral());
    g.exposure = 0.0001;
    EXPECT_FALSE(g.baseIsNeutral());

    // Each of the fourteen values counts, measured from its own neutral; NaN is never neutral.
    double EvaluatedGrade::*fields[] = {
        &EvaluatedGrade::exposure, &EvaluatedGrade::contrast, &EvaluatedGrade::saturation,
        &EvaluatedGrade::temperature, &EvaluatedGrade::tint, &EvaluatedGrade::liftR, &EvaluatedGrade::liftG,
        &EvaluatedGrade::liftB, &EvaluatedGrade::gammaR, &EvaluatedGrade::gammaG, &EvaluatedGrade::gammaB,
        &EvaluatedGrade::gainR, &EvaluatedGrade::gainG, &EvaluatedGrade::gainB};
    for (auto field : fields) {
        EvaluatedGrade near, far, notNumber;
        near.*field -= 0.00009;
        far.*field -= 0.001;
        notNumber.*field = std::nan("");
        EXPECT_TRUE(near.baseIsNeutral());
        EXPECT_FALSE(far.baseIsNeutral());
        EXPECT_FALSE(notNumber.baseIsNeutral());
    }

    EvaluatedGrade creative;
    creative.lumetri.highlights = 0.5;
    creative.lumetri.bypass = true;
    EXPECT_TRUE(creative.baseIsNeutral());
}

TEST(ColorGrade, IdentityAndEvaluation) {
    const ColorGrade& id = ColorGrade::identity;
    EXPECT_EQ(id, ColorGrade{});
    EXPECT_EQ(id.contrast.value, 1);
    EXPECT_EQ(id.gammaG.value, 1);
    EXPECT_EQ(id.liftR.value, 0);
    EXPECT_EQ(id.lumetri, LumetriPanel{});
    EXPECT_EQ(id.evaluated(3.0), EvaluatedGrade{});

    ColorGrade g;
    g.exposure = keyed({{0, 0, linear}, {2, 1, linear}});
    g.gainB = ScalarParam{1.5};
    g.lumetri.vibrance = 0.3;
    const EvaluatedGrade e = g.evaluated(1);
    EXPECT_DOUBLE_EQ(e.exposure, 0.5);
    EXPECT_EQ(e.gainB, 1.5);
    EXPECT_EQ(e.gainG, 1);
    EXPECT_EQ(e.lumetri, g.lumetri);
}

TEST(ClipRecords, Defaults) {
    const ClipTransition t;
    EXPECT_EQ(t.kind, TransitionKind::none);
    EXPECT_EQ(t.duration, 0.5);
    EXPECT_EQ(t.curve, TransitionCurve::linear);

    // The look of a freshly placed title.
    const TitleStyle s;
    EXPECT_EQ(s.text, "Title");
    EXPECT_EQ(s.fontName, "Helvetica Neue");
    EXPECT_EQ(s.fontSize, 96);
    EXPECT_EQ(s.colorHex, "#F4F1EA");
    EXPECT_EQ(s.alignment, TitleAlignment::center);
    EXPECT_EQ(s.vertical, TitleVertical::center);
}

TEST(EnumText, NamesRoundTripAndUnknownTextIsRejected) {
    expectRoundTrips<Interpolation>();
    expectRoundTrips<TransitionKind>();
    expectRoundTrips<TransitionCurve>();
    expectRoundTrips<TitleAlignment>();
    expectRoundTrips<TitleVertical>();
    EXPECT_EQ(enumName(TransitionKind::exponentialFade), "exponentialFade");
    EXPECT_EQ(enumName(TransitionCurve::equalPower), "equalPower");

    EXPECT_FALSE(enumFromName<Interpolation>("Linear"));
    EXPECT_FALSE(enumFromName<Interpolation>(""));
    EXPECT_FALSE(enumFromName<TransitionKind>("none "));
    EXPECT_FALSE(enumFromName<TitleVertical>("middle"));
}
