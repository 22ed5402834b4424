#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Engine/ColorPipeline.hpp"
#include "Platform/Imaging/Context.hpp"

using namespace osterveil;
using imaging::Image;
namespace fs = std::filesystem;

namespace {

// An 8×8 picture with a horizontal ramp in red and fixed green and blue, opaque.
Image ramp() {
    std::vector<float> px;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            px.push_back(x / 7.0f);
            px.push_back(0.5f);
            px.push_back(0.25f);
            px.push_back(1.0f);
        }
    return Image::fromFloatPixels(8, 8, std::move(px));
}

std::vector<float> pixels(const Image& image) {
    return imaging::Context().renderFloat(image, imaging::PixelRect{0, 0, 8, 8});
}

void expectNear(const std::vector<float>& a, const std::vector<float>& b, float tolerance) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], tolerance) << "component " << i;
}

fs::path lutFile(const std::string& name, const std::string& body) {
    const fs::path dir = fs::temp_directory_path() / ("osterveil-luts-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path p = dir / name;
    std::ofstream(p) << body;
    return p;
}

// A 2³ table that inverts every channel.
std::string invertingTable() {
    std::string t = "LUT_3D_SIZE 2\n";
    for (int b = 0; b < 2; ++b)
        for (int g = 0; g < 2; ++g)
            for (int r = 0; r < 2; ++r)
                t += std::to_string(1 - r) + " " + std::to_string(1 - g) + " " + std::to_string(1 - b) + "\n";
    return t;
}

} // namespace

TEST(ColorPipeline, NeutralAndBypassReturnTheInputItself) {
    ColorPipeline pipeline;
    const Image in = ramp();
    EXPECT_TRUE(pipeline.apply(in, EvaluatedGrade{}).isSameAs(in));
    EvaluatedGrade strong;
    strong.exposure = 2;
    strong.lumetri.bypass = true;
    EXPECT_TRUE(pipeline.apply(in, strong).isSameAs(in));
    // Negative sharpening, faded film and vignette do nothing.
    EvaluatedGrade negative;
    negative.lumetri.sharpen = -1;
    negative.lumetri.fadedFilm = -1;
    negative.lumetri.vignette = -1;
    expectNear(pixels(pipeline.apply(in, negative)), pixels(in), 0);
    // A picture of infinite extent is never graded.
    const Image black = Image::constant({0, 0, 0, 1});
    strong.lumetri.bypass = false;
    EXPECT_TRUE(pipeline.apply(black, strong).isSameAs(black));
}

TEST(ColorPipeline, BasicGradeAndItsFallbackChain) {
    ColorPipeline pipeline;
    EvaluatedGrade g;
    g.exposure = 1;
    const auto kernel = pixels(pipeline.apply(ramp(), g));
    // Exposure +1 doubles, then clamps.
    EXPECT_NEAR(kernel[4 * 2], std::min(1.0f, 2 * 2 / 7.0f), 1e-5);
    EXPECT_NEAR(kernel[1], 1.0f, 1e-5);
    // The filter chain matches the kernel where its approximations are exact (exposure, gain).
    g.gainR = 0.5;
    expectNear(pixels(pipeline.builtin(ramp(), g)), pixels(pipeline.baseGrade(ramp(), g)), 1e-4);
}

TEST(ColorPipeline, LookUpTablesMixByIntensityAndAreCached) {
    ColorPipeline pipeline;
    const Image in = ramp();
    EvaluatedGrade g;
    g.lumetri.lutPath = lutFile("invert.cube", invertingTable()).string();
    auto inverted = pixels(in);
    for (std::size_t i = 0; i < inverted.size(); i += 4)
        for (int c = 0; c < 3; ++c) inverted[i + c] = 1 - inverted[i + c];
    expectNear(pixels(pipeline.apply(in, g)), inverted, 1e-4);
    g.lumetri.lutIntensity = 0.9995;
    expectNear(pixels(pipeline.apply(in, g)), inverted, 1e-4);
    g.lumetri.lutIntensity = 0.5;
    const auto half = pixels(pipeline.apply(in, g));
    for (std::size_t i = 0; i < half.size(); i += 4) ASSERT_NEAR(half[i + 1], 0.5f, 1e-4);
    EXPECT_EQ(pipeline.cachedLUTs(), 1u);

    // Below 0.001 the table is not even read.
    ColorPipeline fresh;
    g.lumetri.lutIntensity = 0.0005;
    expectNear(pixels(fresh.apply(in, g)), pixels(in), 0);
    EXPECT_EQ(fresh.cachedLUTs(), 0u);

    // A missing table leaves the picture as it was, cropped to its extent.
    g.lumetri.lutIntensity = 1;
    g.lumetri.lutPath = "/no/such/table.cube";
    const Image out = fresh.apply(in, g);
    EXPECT_EQ(out.extent(), in.extent());
    expectNear(pixels(out), pixels(in), 0);

    // A table path that names a FIFO is not read (nor waited on): the picture stays as it was.
    const fs::path fifo = fs::path(lutFile("pipe.cube", "")).replace_filename("pipe-fifo.cube");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    g.lumetri.lutPath = fifo.string();
    auto grading = std::async(std::launch::async, [&] { return pixels(fresh.apply(in, g)); });
    if (grading.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        FAIL() << "grading waited on a FIFO";
    }
    expectNear(grading.get(), pixels(in), 0);

    // The sixth distinct table empties the cache first.
    for (int i = 0; i < 6; ++i) {
        g.lumetri.lutPath = lutFile("t" + std::to_string(i) + ".cube", invertingTable()).string();
        fresh.apply(in, g);
    }
    EXPECT_EQ(fresh.cachedLUTs(), 1u);
    fs::remove_all(fs::path(g.lumetri.lutPath).parent_path());
}

TEST(ColorPipeline, ToneCubesAreBakedOncePerSetting) {
    ColorPipeline pipeline;
    EvaluatedGrade g;
    for (int i = 1; i <= 9; ++i) {
        g.lumetri.shadows = i * 0.05;
        pipeline.apply(ramp(), g);
    }
    EXPECT_EQ(pipeline.cachedToneCubes(), 9u);
    pipeline.apply(ramp(), g); // same setting: found, not baked
    EXPECT_EQ(pipeline.cachedToneCubes(), 9u);
    g.lumetri.shadows = 0.9;
    pipeline.apply(ramp(), g);
    EXPECT_EQ(pipeline.cachedToneCubes(), 1u);

    // The default panel's cube is the identity lattice.
    const auto data = ColorPipeline::toneCubeData(LumetriPanel{});
    ASSERT_EQ(data.size(), 4u * 17 * 17 * 17);
    EXPECT_FLOAT_EQ(data[4 * (5 + 17 * 3 + 289 * 16)], 5 * 0.0625f);
    EXPECT_FLOAT_EQ(data[4 * (5 + 17 * 3 + 289 * 16) + 2], 1.0f);
}

TEST(ColorPipeline, CreativeStages) {
    ColorPipeline pipeline;
    const Image in = ramp();
    EvaluatedGrade faded, over;
    faded.lumetri.fadedFilm = 1;
    over.lumetri.fadedFilm = 3;
    expectNear(pixels(pipeline.apply(in, over)), pixels(pipeline.apply(in, faded)), 0);
    EvaluatedGrade vib;
    vib.lumetri.vibrance = -0.5; // a negative vibrance is applied
    EXPECT_GT(std::abs(pixels(pipeline.apply(in, vib))[0] - pixels(in)[0]), 1e-3);
    // A radius of 0 acts as 0.1; the vignette darkens corners more than the centre.
    EvaluatedGrade v0, v1;
    v0.lumetri.vignette = v1.lumetri.vignette = 1;
    v0.lumetri.vignetteRadius = 0;
    v1.lumetri.vignetteRadius = 0.1;
    const auto corner = pixels(pipeline.apply(in, v0));
    expectNear(corner, pixels(pipeline.apply(in, v1)), 0);
    EvaluatedGrade wide;
    wide.lumetri.vignette = 1;
    const auto w = pixels(pipeline.apply(in, wide));
    EXPECT_LT(w[1], w[4 * (4 * 8 + 4) + 1]); // corner green below centre green
    EvaluatedGrade sharp;
    sharp.lumetri.sharpen = 1;
    EXPECT_FALSE(pipeline.apply(in, sharp).isSameAs(in));
}

TEST(ColorPipeline, OpacityScalesAllChannels) {
    ColorPipeline pipeline;
    const Image in = ramp();
    EXPECT_TRUE(pipeline.applyingOpacity(in, 1.2).isSameAs(in));
    EXPECT_TRUE(pipeline.applyingOpacity(in, -1).isEmpty());
    EXPECT_TRUE(pipeline.applyingOpacity(in, std::nan("")).isEmpty());
    auto half = pixels(pipeline.applyingOpacity(in, 0.5));
    auto full = pixels(in);
    for (std::size_t i = 0; i < full.size(); ++i) ASSERT_NEAR(half[i], full[i] / 2, 1e-6);
}

// One pipeline serves every rendering thread of its compositor.
TEST(ColorPipeline, ConcurrentGradesShareTheCaches) {
    ColorPipeline pipeline;
    const fs::path table = lutFile("shared.cube", invertingTable());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                EvaluatedGrade g;
                g.lumetri.shadows = 0.01 * ((t + i) % 12);
                g.lumetri.lutPath = i % 2 ? table.string() : "";
                g.exposure = 0.1;
                pixels(pipeline.apply(ramp(), g));
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_LE(pipeline.cachedToneCubes(), 9u);
    EXPECT_EQ(pipeline.cachedLUTs(), 1u);
    fs::remove_all(table.parent_path());
}
