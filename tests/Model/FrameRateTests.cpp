#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "Model/FrameRate.hpp"
#include "Model/Timecode.hpp"

using namespace osterveil;

namespace {

const FrameRate fps24{24, 1};
const FrameRate ntsc23{24000, 1001};
const FrameRate ntsc30{30000, 1001};
const FrameRate ntsc60{60000, 1001};

TimecodeComponents hmsf(std::int64_t h, std::int64_t m, std::int64_t s, std::int64_t f) { return {h, m, s, f}; }

bool looksLikeTimecode(const std::string& text) {
    if (text.size() < 11) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == ':' || c == ';')) return false;
    return true;
}

} // namespace

TEST(FrameRate, PresetsAndTheirLabels) {
    const auto& p = FrameRate::presets();
    const FrameRate expected[] = {{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001},
                                  {30, 1},       {50, 1}, {60000, 1001}, {60, 1}};
    ASSERT_EQ(p.size(), 8u);
    for (std::size_t i = 0; i < p.size(); ++i) EXPECT_EQ(p[i], expected[i]) << i;

    EXPECT_EQ(p[0].label(), "23.976 fps");
    EXPECT_EQ(p[3].label(), "29.97 fps");
    EXPECT_EQ(p[4].label(), "30 fps");
    EXPECT_EQ(p[6].label(), "59.94 fps");
    // The integer presets read like "30 fps": six characters, naming their rate.
    for (std::size_t i : {1u, 2u, 5u, 7u}) {
        const std::string label = p[i].label();
        EXPECT_EQ(label.size(), 6u) << label;
        EXPECT_EQ(label.find(std::to_string(p[i].numerator)), 0u) << label;
    }
}

TEST(FrameRate, OtherRatesShowThreeDecimalsAndTheirId) {
    EXPECT_EQ((FrameRate{48, 1}).label(), "48.000 fps");
    // Only the exact preset pairs get the short labels.
    EXPECT_EQ((FrameRate{30000, 1000}).label(), "30.000 fps");
    EXPECT_EQ((FrameRate{48, 2}).label(), "24.000 fps");
    EXPECT_EQ((FrameRate{60000, 2002}).label(), "29.970 fps");
    EXPECT_NE((FrameRate{48000, 2002}), ntsc23);

    EXPECT_EQ(ntsc30.id(), "30000/1001");
    EXPECT_EQ((FrameRate{25, 1}).id(), "25/1");
    EXPECT_DOUBLE_EQ(ntsc30.frameDuration(), 1001.0 / 30000.0);
}

TEST(FrameRate, ClosestPreset) {
    EXPECT_EQ(FrameRate::closest(29.97), ntsc30);
    EXPECT_EQ(FrameRate::closest(24.5), fps24); // equidistant from 24 and 25: the earlier wins
    EXPECT_EQ(FrameRate::closest(1000), (FrameRate{60, 1}));
    EXPECT_EQ(FrameRate::closest(0), ntsc23);
    EXPECT_EQ(FrameRate::closest(std::nan("")), ntsc23);
    EXPECT_EQ(FrameRate::closest(59.95), ntsc60);
    EXPECT_EQ(FrameRate::closest(23.98), ntsc23);
}

TEST(FrameRate, InvalidRatesStayFinite) {
    const FrameRate invalid[] = {{0, 0}, {24, 0}, {0, 1}, {-24, 1}, {24, -1},
                                 {std::numeric_limits<std::int32_t>::min(), -1}};
    for (const FrameRate& r : invalid) {
        SCOPED_TRACE(r.id());
        EXPECT_TRUE(std::isfinite(r.framesPerSecond()));
        EXPECT_GT(r.framesPerSecond(), 0);
        EXPECT_TRUE(std::isfinite(r.frameDuration()));
        EXPECT_GT(r.frameDuration(), 0);
        const std::string label = r.label();
        EXPECT_EQ(label.find("nan"), std::string::npos) << label;
        EXPECT_EQ(label.find("inf"), std::string::npos) << label;
        const std::string tc = Timecode::string(1.5, r);
        EXPECT_TRUE(looksLikeTimecode(tc)) << tc;
    }
    // Such a rate computes as 24 fps.
    EXPECT_EQ(Timecode::string(1.5, FrameRate{24, 0}), "00:00:01:12");
}

TEST(Timecode, NonDropFrame) {
    EXPECT_EQ(Timecode::string(0, fps24), "00:00:00:00");
    EXPECT_EQ(Timecode::string(1.5, fps24), "00:00:01:12");
    EXPECT_EQ(Timecode::string(0.0625, fps24), "00:00:00:02"); // 1.5 frames rounds up
    EXPECT_EQ(Timecode::string(-3, fps24), "00:00:00:00");
    EXPECT_EQ(Timecode::string(10, ntsc23), "00:00:10:00");
    // Hours are not wrapped and may grow past two digits.
    EXPECT_EQ(Timecode::string(86400, fps24), "24:00:00:00");
    EXPECT_EQ(Timecode::string(360000, fps24), "100:00:00:00");
    EXPECT_EQ(Timecode::string(2.5, FrameRate{25, 1}), "00:00:02:13");
    // 29.97 written with another denominator counts without dropping.
    EXPECT_EQ(Timecode::string(60, FrameRate{60000, 2002}), "00:00:59:28");

    EXPECT_EQ(Timecode::nonDropComponents(-5, 24), hmsf(0, 0, 0, 0));
    EXPECT_EQ(Timecode::nonDropComponents(90, 0), hmsf(0, 1, 30, 0));
}

TEST(Timecode, DropFrameAt2997) {
    const std::int64_t per24h = 107892 * 24;
    EXPECT_EQ(Timecode::dropFrameComponents(0, ntsc30), hmsf(0, 0, 0, 0));
    EXPECT_EQ(Timecode::dropFrameComponents(1799, ntsc30), hmsf(0, 0, 59, 29));
    EXPECT_EQ(Timecode::dropFrameComponents(1800, ntsc30), hmsf(0, 1, 0, 2));
    EXPECT_EQ(Timecode::dropFrameComponents(3598, ntsc30), hmsf(0, 2, 0, 2));
    EXPECT_EQ(Timecode::dropFrameComponents(17981, ntsc30), hmsf(0, 9, 59, 29));
    EXPECT_EQ(Timecode::dropFrameComponents(17982, ntsc30), hmsf(0, 10, 0, 0));
    EXPECT_EQ(Timecode::dropFrameComponents(17982 + 1800, ntsc30), hmsf(0, 11, 0, 2));
    EXPECT_EQ(Timecode::dropFrameComponents(per24h, ntsc30), hmsf(0, 0, 0, 0));
    EXPECT_EQ(Timecode::dropFrameComponents(-1, ntsc30), hmsf(23, 59, 59, 29));

    EXPECT_EQ(Timecode::string(-3, ntsc30), "00:00:00;00");
    EXPECT_EQ(Timecode::string(60.0, ntsc30), "00:00:59;28");
    EXPECT_EQ(Timecode::string(1800 * 1001 / 30000.0, ntsc30), "00:01:00;02");
    EXPECT_EQ(Timecode::string(3600, ntsc30), "01:00:00;00");
}

TEST(Timecode, DropFrameAt5994) {
    // Four labels go at each minute but the tenth: 3596 frames a minute, 35964 per ten minutes.
    const std::int64_t per24h = 215784 * 24;
    EXPECT_EQ(Timecode::dropFrameComponents(3599, ntsc60), hmsf(0, 0, 59, 59));
    EXPECT_EQ(Timecode::dropFrameComponents(3600, ntsc60), hmsf(0, 1, 0, 4));
    EXPECT_EQ(Timecode::dropFrameComponents(3600 + 3596, ntsc60), hmsf(0, 2, 0, 4));
    EXPECT_EQ(Timecode::dropFrameComponents(35963, ntsc60), hmsf(0, 9, 59, 59));
    EXPECT_EQ(Timecode::dropFrameComponents(35964, ntsc60), hmsf(0, 10, 0, 0));
    EXPECT_EQ(Timecode::dropFrameComponents(35964 + 3599, ntsc60), hmsf(0, 10, 59, 59));
    EXPECT_EQ(Timecode::dropFrameComponents(35964 + 3600, ntsc60), hmsf(0, 11, 0, 4));
    EXPECT_EQ(Timecode::dropFrameComponents(per24h, ntsc60), hmsf(0, 0, 0, 0));
    EXPECT_EQ(Timecode::dropFrameComponents(-1, ntsc60), hmsf(23, 59, 59, 59));

    EXPECT_EQ(Timecode::string(3600 * 1001 / 60000.0, ntsc60), "00:01:00;04");
    EXPECT_EQ(Timecode::string(35964 * 1001 / 60000.0, ntsc60), "00:10:00;00");
    EXPECT_EQ(Timecode::string(3600, ntsc60), "01:00:00;00");
}

TEST(Timecode, NonFiniteAndHugeTimesDoNotCrash) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Timecode::string(std::nan(""), fps24), "00:00:00:00");
    EXPECT_EQ(Timecode::string(-inf, ntsc30), "00:00:00;00");
    for (const FrameRate& r : {fps24, ntsc23, ntsc30, ntsc60})
        for (double t : {inf, 1e300, 9.3e18})
            EXPECT_TRUE(looksLikeTimecode(Timecode::string(t, r))) << t << " at " << r.id();
}
