#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "Media/CubeLUT.hpp"

using namespace osterveil;

namespace {

std::filesystem::path testdataDir() {
    return std::filesystem::path(OSTERVEIL_TESTDATA) / "cube";
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

#define SKIP_WITHOUT_TESTDATA()                                                                           \
    if (!std::filesystem::is_directory(testdataDir()))                                                    \
    GTEST_SKIP() << "shared test data not found at " << testdataDir()

std::string identity3D(int n) {
    std::string s;
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r)
                s += std::to_string(double(r) / (n - 1)) + ' ' + std::to_string(double(g) / (n - 1)) + ' ' +
                     std::to_string(double(b) / (n - 1)) + '\n';
    return s;
}

std::string dataLines(int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += std::to_string(i) + " " + std::to_string(i + 0.5) + " -" + std::to_string(i) + "\n";
    return s;
}

CubeLUTError::Kind errorOf(std::string_view text) {
    try {
        CubeLUT::parse(text);
    } catch (const CubeLUTError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "parsed without error";
    return CubeLUTError::Kind::empty;
}

// Entry (r, g, b) of a result as a triple, checking alpha on the way.
std::array<float, 3> entry(const CubeLUTResult& lut, int r, int g, int b) {
    const int n = lut.dimension;
    const std::size_t i = 4 * static_cast<std::size_t>(r + n * (g + n * b));
    EXPECT_EQ(lut.data[i + 3], 1.0f);
    return {lut.data[i], lut.data[i + 1], lut.data[i + 2]};
}

} // namespace

TEST(CubeLUT, EmptyAndMissingSizes) {
    using K = CubeLUTError::Kind;
    EXPECT_EQ(errorOf(""), K::empty);
    EXPECT_EQ(errorOf("\n\r\n\n"), K::empty);
    EXPECT_EQ(errorOf("# comment\nTITLE \"x\"\n"), K::empty);
    EXPECT_EQ(errorOf("LUT_3D_SIZE two\n" + dataLines(8)), K::empty);
    // Keywords are case-sensitive: a lower-case size line is just an ignored data line.
    EXPECT_EQ(errorOf("lut_3d_size 2\n" + dataLines(8)), K::empty);
    EXPECT_EQ(CubeLUT::parse("lut_3d_size 2\nLUT_3D_SIZE 2\n" + dataLines(8)).dimension, 2);
}

TEST(CubeLUT, ThreeDimensionalSizesAndData) {
    using K = CubeLUTError::Kind;
    const auto two = CubeLUT::parse("LUT_3D_SIZE 2\n" + dataLines(8));
    EXPECT_EQ(two.dimension, 2);
    EXPECT_EQ(two.data.size() * sizeof(float), 128u);
    EXPECT_EQ(entry(two, 1, 1, 1), (std::array<float, 3>{7, 7.5f, -7}));
    EXPECT_EQ(errorOf("LUT_3D_SIZE 2\n" + dataLines(7)), K::unreadable);
    EXPECT_EQ(errorOf("LUT_3D_SIZE 1\n" + dataLines(8)), K::unreadable);
    EXPECT_EQ(errorOf("LUT_3D_SIZE 65\n" + dataLines(8)), K::unreadable);
    EXPECT_EQ(errorOf("LUT_3D_SIZE -3\n" + dataLines(8)), K::unreadable);
    EXPECT_EQ(errorOf("LUT_3D_SIZE 99999999999999999999999\n" + dataLines(8)), K::empty);
    EXPECT_EQ(CubeLUT::parse("LUT_3D_SIZE 64\n" + identity3D(64)).data.size(), 4u * 64 * 64 * 64);
    // A later size line replaces an earlier one; a size written with "+" is a size.
    EXPECT_EQ(CubeLUT::parse("LUT_3D_SIZE 5\nLUT_3D_SIZE +2\n" + dataLines(8)).dimension, 2);
    // Both size lines, data only for the 3D table: the 3D table.
    EXPECT_EQ(CubeLUT::parse("LUT_1D_SIZE 4\nLUT_3D_SIZE 2\n" + dataLines(8)).dimension, 2);
}

TEST(CubeLUT, DataLinesAreLenient) {
    // Indentation, CR and CR LF line ends, Unicode line separators, four numbers, trailing comments,
    // two-number lines and exponents.
    const std::string text = "LUT_3D_SIZE 2\r\n\t 0 0 0\r1 0 0 9\n0 1\n0 1 0 # green\xE2\x80\xA8"
                             "1 1 0\xC2\x85 0 0 1\f1 0 1\v0 1 1\n1e0 +1 10E-1\n";
    const auto lut = CubeLUT::parse(text);
    ASSERT_EQ(lut.dimension, 2);
    EXPECT_EQ(entry(lut, 1, 0, 0), (std::array<float, 3>{1, 0, 0}));
    EXPECT_EQ(entry(lut, 0, 1, 0), (std::array<float, 3>{0, 1, 0}));
    EXPECT_EQ(entry(lut, 1, 1, 1), (std::array<float, 3>{1, 1, 1}));
    // Out-of-range values pass through unclamped.
    const auto wide = CubeLUT::parse("LUT_3D_SIZE 2\n1.2 -0.01 0\n" + dataLines(7));
    EXPECT_EQ(entry(wide, 0, 0, 0), (std::array<float, 3>{1.2f, -0.01f, 0}));
}

TEST(CubeLUT, OneDimensionalTables) {
    using K = CubeLUTError::Kind;
    auto identity1D = [](int s) {
        std::string t = "LUT_1D_SIZE " + std::to_string(s) + "\n";
        for (int k = 0; k < s; ++k) {
            const auto v = std::to_string(double(k) / (s - 1));
            t += v + ' ' + v + ' ' + v + '\n';
        }
        return t;
    };
    // A table longer than a cube side is carried as written, a shaper before a cube that passes it on.
    const auto long1D = CubeLUT::parse(identity1D(1024));
    EXPECT_EQ(long1D.dimension, 2);
    ASSERT_EQ(long1D.shaperSize, 1024);
    EXPECT_EQ(long1D.shaper[3 * 512], std::stof(std::to_string(512.0 / 1023)));
    EXPECT_TRUE(long1D.shaperDomain.isUnit());
    const auto seventeen = CubeLUT::parse(identity1D(17));
    ASSERT_EQ(seventeen.dimension, 17);
    for (int b = 0; b < 17; b += 5)
        for (int g = 0; g < 17; g += 3)
            for (int r = 0; r < 17; ++r) {
                const auto e = entry(seventeen, r, g, b);
                EXPECT_NEAR(e[0], r / 16.0, 1e-6);
                EXPECT_NEAR(e[1], g / 16.0, 1e-6);
                EXPECT_NEAR(e[2], b / 16.0, 1e-6);
            }
    EXPECT_EQ(errorOf("LUT_1D_SIZE 1\n0 0 0\n"), K::unreadable);
    EXPECT_EQ(errorOf("LUT_1D_SIZE 3\n0 0 0\n1 1 1\n"), K::unreadable);
    EXPECT_EQ(errorOf("LUT_1D_SIZE 9223372036854775807\n0 0 0\n1 1 1\n"), K::unreadable);
    // A 3D size that is not a number falls through to the 1D table.
    EXPECT_EQ(CubeLUT::parse("LUT_3D_SIZE x\nLUT_1D_SIZE 2\n0 0 0\n1 1 1\n").dimension, 2);
    // Each channel follows its own curve.
    std::string ramp = "LUT_1D_SIZE 3\n0 1 0\n0.5 0.5 0.25\n1 0 1\n";
    const auto r = CubeLUT::parse(ramp);
    EXPECT_EQ(entry(r, 1, 2, 0), (std::array<float, 3>{0.5f, 0, 0}));
    EXPECT_EQ(entry(r, 2, 1, 1), (std::array<float, 3>{1, 0.5f, 0.25f}));
}

// Domains and shapers are kept as the file writes them, in front of the table as it stands; nothing is
// resampled.
TEST(CubeLUT, DomainsAndShapersAreKeptAsWritten) {
    using D = CubeLUTDomain;
    const auto plain = CubeLUT::parse("LUT_3D_SIZE 2\n" + identity3D(2));
    EXPECT_TRUE(plain.domain.isUnit());
    EXPECT_EQ(plain.shaperSize, 0);

    // An identity table declared over 0...2 is read at half its input.
    const auto halved = CubeLUT::parse("LUT_3D_SIZE 2\nLUT_3D_INPUT_RANGE 0 2\n" + identity3D(2));
    ASSERT_EQ(halved.dimension, 2);
    EXPECT_EQ(entry(halved, 1, 0, 1), (std::array<float, 3>{1, 0, 1}));
    EXPECT_EQ(halved.domain, (D{{0.5f, 0.5f, 0.5f}, {0, 0, 0}}));
    const auto perChannel = CubeLUT::parse("DOMAIN_MIN 0 -1 0\nDOMAIN_MAX 2 1 1\nLUT_3D_SIZE 3\n" + identity3D(3));
    EXPECT_EQ(entry(perChannel, 2, 0, 1), (std::array<float, 3>{1, 0, 0.5f}));
    EXPECT_EQ(perChannel.domain, (D{{0.5f, 0.5f, 1}, {0, 0.5f, 0}}));
    EXPECT_EQ(perChannel.shaperSize, 0);

    // A 1D shaper (x -> x² at three points) in front of an identity 3D table: two stages.
    const std::string shaper = "LUT_1D_SIZE 3\nLUT_3D_SIZE 3\n0 0 0\n0.25 0.25 0.25\n1 1 1\n" + identity3D(3);
    const auto shaped = CubeLUT::parse(shaper);
    ASSERT_EQ(shaped.dimension, 3);
    EXPECT_EQ(entry(shaped, 1, 2, 0), (std::array<float, 3>{0.5f, 1, 0}));
    ASSERT_EQ(shaped.shaperSize, 3);
    EXPECT_EQ(shaped.shaper, (std::vector<float>{0, 0, 0, 0.25f, 0.25f, 0.25f, 1, 1, 1}));
    EXPECT_TRUE(shaped.shaperDomain.isUnit());
    EXPECT_TRUE(shaped.domain.isUnit());
    // The shaper's own input range; the cube's own.
    const auto ranged = CubeLUT::parse("LUT_1D_INPUT_RANGE 0 0.5\nLUT_3D_INPUT_RANGE -1 1\n" + shaper);
    EXPECT_EQ(ranged.shaperDomain, (D{{2, 2, 2}, {0, 0, 0}}));
    EXPECT_EQ(ranged.domain, (D{{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}}));
    // A 1D table over another domain: the table as a shaper, then a cube passing its output range.
    const auto oneD = CubeLUT::parse("LUT_1D_SIZE 3\nLUT_1D_INPUT_RANGE 0 2\n0 1 5\n0.5 1 -1\n2 1 3\n");
    ASSERT_EQ(oneD.shaperSize, 3);
    EXPECT_EQ(oneD.shaperDomain, (D{{0.5f, 0.5f, 0.5f}, {0, 0, 0}}));
    ASSERT_EQ(oneD.dimension, 2);
    EXPECT_EQ(entry(oneD, 0, 0, 0), (std::array<float, 3>{0, 1, -1}));
    EXPECT_EQ(entry(oneD, 1, 1, 1), (std::array<float, 3>{2, 1, 5}));
    EXPECT_EQ(oneD.domain, (D{{0.5f, 0, 1.0f / 6}, {0, 0, 1.0f / 6}}));

    using K = CubeLUTError::Kind;
    EXPECT_EQ(errorOf("LUT_3D_SIZE 2\nDOMAIN_MIN 1 0 0\nDOMAIN_MAX 1 1 1\n" + identity3D(2)), K::unreadable);
    EXPECT_EQ(errorOf("LUT_1D_SIZE 2\nLUT_1D_INPUT_RANGE 1 -1\n0 0 0\n1 1 1\n"), K::unreadable);
    EXPECT_EQ(errorOf("LUT_3D_SIZE 2\nDOMAIN_MAX nan 1 1\n" + identity3D(2)), K::unreadable);
    // A malformed domain line is skipped like any other malformed line.
    EXPECT_EQ(CubeLUT::parse("LUT_3D_SIZE 2\nDOMAIN_MAX 2 2\n" + dataLines(8)).data[28], 7.0f);
}

TEST(CubeLUT, RealFiles) {
    SKIP_WITHOUT_TESTDATA();
    const auto gray = CubeLUT::parse(readFile(testdataDir() / "obs__grayscale_3d32.cube"));
    ASSERT_EQ(gray.dimension, 32);
    // The first 32 rows sweep red from 0 to 0.498; row 33 (green index 1) drops back to 0.023.
    EXPECT_EQ(entry(gray, 0, 0, 0)[0], 0.0f);
    EXPECT_NEAR(entry(gray, 31, 0, 0)[0], 0.498, 0.001);
    for (int r = 1; r < 32; ++r) EXPECT_GT(entry(gray, r, 0, 0)[0], entry(gray, r - 1, 0, 0)[0]);
    EXPECT_NEAR(entry(gray, 0, 1, 0)[0], 0.023, 0.001);
    for (int r = 0; r < 32; r += 7) {
        const auto e = entry(gray, r, 5, 9);
        EXPECT_EQ(e[0], e[1]);
        EXPECT_EQ(e[1], e[2]);
    }

    const auto identity = CubeLUT::parse(readFile(testdataDir() / "obs__original_1d32_identity.cube"));
    ASSERT_EQ(identity.dimension, 32);
    EXPECT_NEAR(entry(identity, 7, 0, 31)[0], 7 / 31.0, 1e-6);
    EXPECT_NEAR(entry(identity, 7, 0, 31)[2], 1, 1e-6);

    const auto foundry = CubeLUT::parse(readFile(testdataDir() / "colour__Colour_Correct_foundry_3d4.cube"));
    ASSERT_EQ(foundry.dimension, 4);
    EXPECT_EQ(entry(foundry, 3, 0, 0), (std::array<float, 3>{1.196841f, -0.053117f, -0.053117f}));

    // sRGB decoding tabulated over per-channel domains: the table as written, and its domain.
    const auto srgb = CubeLUT::parse(readFile(testdataDir() / "colour__eotf_sRGB_3D8_domain.cube"));
    ASSERT_EQ(srgb.dimension, 8);
    EXPECT_EQ(entry(srgb, 0, 0, 0), (std::array<float, 3>{-0.0077399f, -0.0116099f, -0.0154799f}));
    EXPECT_EQ(entry(srgb, 7, 1, 0), (std::array<float, 3>{2.5371552f, 0.0212864f, -0.0154799f}));
    const double lo[3] = {-0.1, -0.15, -0.2}, hi[3] = {1.5, 2.0, 3.0};
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(srgb.domain.scale[c], float(1 / (hi[c] - lo[c])));
        EXPECT_FLOAT_EQ(srgb.domain.offset[c], float(-lo[c] / (hi[c] - lo[c])));
    }

    // 1D over a negative domain with leading spaces: kept as a five-entry shaper over its domains.
    const auto ocio = CubeLUT::parse(readFile(testdataDir() / "ocio__iridas_1d.cube"));
    ASSERT_EQ(ocio.shaperSize, 5);
    EXPECT_EQ(ocio.shaper[3], 0.0f);
    EXPECT_EQ(ocio.shaper[14], 3.2f);
    EXPECT_EQ(ocio.shaperDomain, (CubeLUTDomain{{0.25f, 1, 1}, {0.5f, -1, 0}}));
    EXPECT_EQ(entry(ocio, 0, 0, 0), (std::array<float, 3>{-1.0f, -2.0f, -3.0f}));
    EXPECT_EQ(entry(ocio, 1, 1, 1), (std::array<float, 3>{1.0f, 2.1f, 3.2f}));
}

// Untrusted files: truncations and random byte mutations of valid files either parse into a
// consistent table or throw CubeLUTError; nothing else escapes and nothing allocates wildly.
TEST(CubeLUT, MalformedInputNeverMisbehaves) {
    std::vector<std::string> seeds = {"TITLE \"t\"\nDOMAIN_MIN 0 0 0\nLUT_3D_SIZE 3\n" + identity3D(3),
                                      "LUT_1D_SIZE 4\nLUT_3D_SIZE 2\n0 0 0\n.3 .3 .3\n.6 .6 .6\n1 1 1\n" + identity3D(2),
                                      "LUT_1D_SIZE 5\nDOMAIN_MIN -2.0 1.0 0.0\nDOMAIN_MAX 2.0 2.0 1.0\n" + dataLines(5)};
    auto check = [](const std::string& text) {
        try {
            const auto lut = CubeLUT::parse(text);
            ASSERT_GE(lut.dimension, 2);
            ASSERT_LE(lut.dimension, 64);
            ASSERT_EQ(lut.data.size(), 4u * lut.dimension * lut.dimension * lut.dimension);
        } catch (const CubeLUTError&) {
        }
    };
    std::mt19937 rng(20240607);
    const std::string alphabet = "0123456789.-+eE \t\n\r#_LUTSIZEDOMAIN3D1x\xE2\x80\xA8";
    for (const auto& seed : seeds) {
        for (std::size_t cut = 0; cut <= seed.size(); ++cut) check(seed.substr(0, cut));
        for (int round = 0; round < 400; ++round) {
            std::string m = seed;
            const int edits = 1 + int(rng() % 6);
            for (int e = 0; e < edits; ++e) {
                const std::size_t at = rng() % (m.size() + 1);
                const char c = alphabet[rng() % alphabet.size()];
                switch (rng() % 3) {
                case 0: if (at < m.size()) m[at] = c; break;
                case 1: m.insert(m.begin() + static_cast<std::ptrdiff_t>(at), c); break;
                default: if (at < m.size()) m.erase(at, 1); break;
                }
            }
            check(m);
        }
    }
    // Absurd sizes are refused before any table is built.
    using K = CubeLUTError::Kind;
    EXPECT_EQ(errorOf("LUT_3D_SIZE 2000000\n0 0 0\n"), K::unreadable);
    EXPECT_EQ(errorOf("LUT_3D_SIZE 256\n0 0 0\n"), K::unreadable);
    EXPECT_EQ(errorOf("LUT_1D_SIZE 4000000000\n0 0 0\n"), K::unreadable);
    // Non-finite table values do not break the resampler.
    const auto lut = CubeLUT::parse("LUT_3D_INPUT_RANGE 0 2\nLUT_3D_SIZE 2\nnan inf -inf\n" + dataLines(7));
    EXPECT_EQ(lut.dimension, 2);
}
