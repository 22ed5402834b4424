#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Platform/Media/Time.hpp"

using namespace osterveil::media;

namespace {

void expectTicks(const Time& t, std::int64_t value, std::int32_t timescale) {
    EXPECT_EQ(t.value(), value) << t;
    EXPECT_EQ(t.timescale(), timescale) << t;
}

} // namespace

TEST(MediaTime, SecondsRoundHalfAwayFromZeroAtTheModelTimescale) {
    expectTicks(Time::seconds(1.5), 180000, 120000);
    expectTicks(Time::seconds(2.5, 1), 3, 1);
    expectTicks(Time::seconds(-2.5, 1), -3, 1);
    expectTicks(Time::seconds(2.4999, 1), 2, 1);
    expectTicks(Time::seconds(0.5 / 120000), 1, 120000);
    expectTicks(Time::seconds(-0.5 / 120000), -1, 120000);
    expectTicks(Time::seconds(1.0 / 24), 5000, 120000);
    expectTicks(Time::seconds(86400), 10368000000, 120000);
}

TEST(MediaTime, NonFiniteOrHugeSecondsAreNeverConverted) {
    EXPECT_THROW(Time::seconds(std::nan("")), TimeError);
    EXPECT_THROW(Time::seconds(std::numeric_limits<double>::infinity()), TimeError);
    EXPECT_THROW(Time::seconds(-std::numeric_limits<double>::infinity()), TimeError);
    EXPECT_THROW(Time::seconds(1e300), TimeError);
    EXPECT_THROW(Time::seconds(1e14), TimeError); // 1.2e19 ticks do not fit 64 bits
    EXPECT_NO_THROW(Time::seconds(7e13));
    EXPECT_THROW(Time(1, 0), TimeError);
    EXPECT_THROW(Time::seconds(1, -600), TimeError);
}

TEST(MediaTime, ComparesExactlyAcrossTimescales) {
    EXPECT_EQ(Time(1, 2), Time(60000, 120000));
    EXPECT_LT(Time(39999, 120000), Time(1, 3));
    EXPECT_GT(Time(40001, 120000), Time(1, 3));
    EXPECT_NE(Time(1, 3), Time(33333, 100000));
    // 24 hours of NTSC frames meet 24 hours of 48 kHz samples only where they should.
    Time frames(std::int64_t(1001) * 2589408, 30000); // 86399.97… s
    EXPECT_LT(frames, Time(std::int64_t(86400) * 48000, 48000));
    EXPECT_EQ(Time(std::int64_t(86400) * 48000, 48000), Time::seconds(86400));
    EXPECT_EQ(Time(-1, 2), -Time(1, 2));
}

TEST(MediaTime, SumsKeepACommonTimescaleAndStayExact) {
    expectTicks(Time(1, 3) + Time(1, 2), 5, 6);
    expectTicks(Time(1001, 30000) + Time(1, 48000), 8013, 240000);
    expectTicks(Time(180000, 120000) - Time(1, 2), 120000, 120000);
    // A day of single frames added one by one lands on the exact end.
    Time t;
    for (int i = 0; i < 86400 * 24; ++i)
        t += Time(1, 24);
    EXPECT_EQ(t, Time::seconds(86400));
    Time mixed = Time::seconds(86400) + Time(12288 * 86400LL, 12288) - Time(48000 * 86400LL, 48000);
    EXPECT_EQ(mixed, Time(86400, 1));
}

TEST(MediaTime, SumsBeyondA32BitTimescaleRoundToTheFinerOperand) {
    // Two large primes: no 32-bit timescale holds the exact sum.
    Time a(1, 2147483647), b(1, 2147483629);
    Time sum = a + b;
    EXPECT_EQ(sum.timescale(), 2147483647);
    EXPECT_EQ(sum.value(), 2);
    // A fraction that reduces is still exact.
    expectTicks(Time::fraction(3000000000LL, 6000000000LL, 600), 1, 2);
}

TEST(MediaTime, ConversionRoundsAsAsked) {
    Time t(28, 10); // 2.8 s
    EXPECT_EQ(t.converted(1).value(), 3);
    EXPECT_EQ(t.converted(1, Rounding::towardZero).value(), 2);
    EXPECT_EQ(t.converted(1, Rounding::towardNegativeInfinity).value(), 2);
    EXPECT_EQ(t.converted(1, Rounding::towardPositiveInfinity).value(), 3);
    EXPECT_EQ((-t).converted(1).value(), -3);
    EXPECT_EQ((-t).converted(1, Rounding::towardZero).value(), -2);
    EXPECT_EQ((-t).converted(1, Rounding::towardNegativeInfinity).value(), -3);
    EXPECT_EQ((-t).converted(1, Rounding::towardPositiveInfinity).value(), -2);
    EXPECT_EQ(Time(25, 10).converted(1).value(), 3);
    EXPECT_EQ(Time(-25, 10).converted(1).value(), -3);
    EXPECT_EQ(Time(5, 10).converted(120000), Time(60000, 120000));
}

TEST(MediaTime, OverflowIsAnErrorNotAWrap) {
    Time max(std::numeric_limits<std::int64_t>::max(), 1);
    EXPECT_THROW(max + Time(1, 1), TimeError);
    EXPECT_THROW(max.converted(120000), TimeError);
    EXPECT_THROW(-Time(std::numeric_limits<std::int64_t>::min(), 1), TimeError);
    EXPECT_THROW(Time::fraction(1, 0, 600), TimeError);
}

TEST(MediaTime, IndefiniteOrdersLastAndAbsorbsArithmetic) {
    Time u = Time::indefinite();
    EXPECT_TRUE(u.isIndefinite());
    EXPECT_GT(u, Time(std::numeric_limits<std::int64_t>::max(), 1));
    EXPECT_EQ(u, Time::indefinite());
    EXPECT_TRUE((u + Time(1, 1)).isIndefinite());
    EXPECT_TRUE((Time(1, 1) - u).isIndefinite());
    EXPECT_TRUE(std::isnan(u.toSeconds()));
    EXPECT_THROW(u.converted(600), TimeError);
}

TEST(MediaTimeRange, HalfOpenContainmentAndIntersection) {
    TimeRange r(Time(1, 1), Time(2, 1));
    EXPECT_EQ(r.end(), Time(3, 1));
    EXPECT_TRUE(r.containsTime(Time(120000, 120000)));
    EXPECT_TRUE(r.containsTime(Time(359999, 120000)));
    EXPECT_FALSE(r.containsTime(Time(3, 1)));
    EXPECT_FALSE(r.containsTime(Time(119999, 120000)));

    TimeRange other = TimeRange::fromStartEnd(Time(5, 2), Time(10, 1));
    EXPECT_EQ(r.intersection(other), TimeRange(Time(5, 2), Time(1, 2)));
    TimeRange apart(Time(4, 1), Time(1, 1));
    EXPECT_TRUE(r.intersection(apart).isEmpty());
    EXPECT_EQ(r.intersection(apart).start, Time(4, 1));
}
