#include <filesystem>
#include <fstream>
#include <sstream>

#include "ImagingTestSupport.hpp"
#include "Media/CubeLUT.hpp"

using namespace imaging_test;

namespace {

std::filesystem::path cubeDir() {
    return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / ".." / ".." / "shared" / "testdata" / "cube";
}

std::shared_ptr<const ColorCube> loadCube(const char* name) {
    std::ifstream in(cubeDir() / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    auto lut = osterveil::CubeLUT::parse(s.str());
    return ColorCube::make(lut.dimension, std::move(lut.data));
}

} // namespace

// Tables from other programs applied to pictures, through the reader and the colour cube together.
TEST(LUTApplication, RealTablesGradeAsTheyShould) {
    if (!std::filesystem::is_directory(cubeDir())) GTEST_SKIP() << "shared test data not found at " << cubeDir();

    // A 1D identity leaves a picture unchanged but for interpolation (and its 6-digit values).
    const Image ramp = picture(32, 8, [](int x, int y) { return Color{x / 31.0f, y / 7.0f, (x * 7 + y * 3) % 32 / 31.0f, 1}; });
    const Rendered before = render(ramp, {0, 0, 32, 8});
    const Rendered after = render(ramp.colorCube(loadCube("obs__original_1d32_identity.cube")), {0, 0, 32, 8});
    EXPECT_LT(maxDifference(before, after), 2e-5f);

    // The 32³ grayscale table: pure reds on its lattice give the first row's sweep (0 up to 0.498) as grey,
    // and half-way between lattice points the mean of the two neighbours.
    const auto gray = loadCube("obs__grayscale_3d32.cube");
    const Image reds = picture(32, 1, [](int x, int) { return Color{x / 31.0f, 0, 0, 1}; });
    const Rendered r = render(reds.colorCube(gray), {0, 0, 32, 1});
    const auto table = gray->rgba();
    for (int x = 0; x < 32; ++x) {
        expectColor(r.at(x, 0), {table[4 * x], table[4 * x], table[4 * x], 1}, 1e-6f);
        if (x > 0) {
            EXPECT_GT(r.at(x, 0).r, r.at(x - 1, 0).r);
        }
    }
    EXPECT_NEAR(r.at(31, 0).r, 0.498f, 1e-3f);
    const Rendered mid = render(solid(1, 1, {0.5f / 31, 0, 0, 1}).colorCube(gray), {0, 0, 1, 1});
    EXPECT_NEAR(mid.at(0, 0).g, (table[0] + table[4]) / 2, 1e-6f);

    // The sRGB decoding table over wide domains: after mapping onto the unit cube, mid grey decodes
    // close to the curve's 0.214 (blue, tabulated up to 3 on 8 points, is coarser) instead of the values
    // of lattice point 3.5 of 7 that reading the table as 0…1 would give.
    const Rendered srgb = render(solid(1, 1, {0.5f, 0.5f, 0.5f, 1}).colorCube(loadCube("colour__eotf_sRGB_3D8_domain.cube")), {0, 0, 1, 1});
    EXPECT_NEAR(srgb.at(0, 0).r, 0.214f, 0.03f);
    EXPECT_NEAR(srgb.at(0, 0).b, 0.214f, 0.07f);
}
