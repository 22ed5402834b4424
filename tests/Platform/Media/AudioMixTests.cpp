#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Platform/Media/AudioMix.hpp"

using namespace osterveil::media;

namespace {
Time ms(std::int64_t v) { return Time(v, 1000); }
} // namespace

TEST(AudioMix, VolumeIsOneBeforeTheFirstRampAndHoldsAfterEach) {
    AudioMixInputParameters p(3);
    EXPECT_EQ(p.volumeAt(ms(500)), 1.0f);
    p.setVolumeRamp(0.5f, 0.0f, TimeRange(ms(2000), ms(1000)));
    p.setVolumeRamp(0.0f, 1.0f, TimeRange(ms(1000), ms(1000))); // set out of order
    EXPECT_EQ(p.volumeRamps().front().timeRange.start, ms(1000));
    EXPECT_EQ(p.volumeAt(ms(999)), 1.0f);
    EXPECT_FLOAT_EQ(p.volumeAt(ms(1500)), 0.5f);
    EXPECT_FLOAT_EQ(p.volumeAt(ms(2500)), 0.25f);
    EXPECT_EQ(p.volumeAt(ms(9000)), 0.0f);

    // Per-frame volumes agree with volumeAt on a 48 kHz clock, across ramp edges.
    std::vector<float> v(48000 * 3);
    p.volumes(0, 48000, v.data(), v.size());
    for (std::size_t i = 0; i < v.size(); i += 997)
        EXPECT_NEAR(v[i], p.volumeAt(Time(static_cast<std::int64_t>(i), 48000)), 1e-5) << i;
    EXPECT_TRUE(p.isSilent(48000 * 3, 48000, 4800));
    EXPECT_FALSE(p.isSilent(48000 * 2, 48000, 4800));
}

TEST(AudioMix, LaterRampGovernsWhereRampsOverlap) {
    AudioMixInputParameters p(1);
    p.setVolumeRamp(1, 1, TimeRange(ms(0), ms(1000)));
    p.setVolumeRamp(0, 0, TimeRange(ms(990), ms(1000)));
    EXPECT_EQ(p.volumeAt(ms(995)), 0.0f);
    std::vector<float> v(100);
    p.volumes(47500, 48000, v.data(), v.size());
    EXPECT_EQ(v.front(), 1.0f);
    EXPECT_EQ(v.back(), 0.0f);
}

TEST(AudioMix, RejectsEmptyOrIndefiniteRanges) {
    AudioMixInputParameters p(1);
    EXPECT_THROW(p.setVolumeRamp(1, 0, TimeRange(ms(0), ms(0))), Error);
    EXPECT_THROW(p.setVolumeRamp(1, 0, TimeRange(ms(0), Time::indefinite())), Error);
    EXPECT_THROW(p.setVolumeRamp(NAN, 0, TimeRange(ms(0), ms(5))), Error);
    EXPECT_TRUE(p.volumeRamps().empty());
    AudioMix mix{{AudioMixInputParameters(4)}};
    EXPECT_NE(mix.input(4), nullptr);
    EXPECT_EQ(mix.input(5), nullptr);
}
