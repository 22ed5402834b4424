// Imaging operations on a 1080p frame, each alone, at 1 to 8 threads.
//
// Every case decodes the same 8-bit 4:2:0 BT.709 frame, applies one operation and renders to 8-bit BGRA,
// the way the compositor does; "YUV420ToBGRA" is that path with no operation, so an operation's own
// cost is its time minus that one. "FloatSourceToBGRA" starts from a float picture instead; "YUV420PQToBGRA"
// and "YUV420HLGToBGRA" from the same frame tagged BT.2020 HDR, tone-mapped into the working space.
//
//   build/bench/bench_imaging --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

#include <oneapi/tbb/global_control.h>

#include "Platform/Imaging/Context.hpp"
#include "Platform/Imaging/Image.hpp"

using namespace osterveil::imaging;

namespace {

constexpr int W = 1920, H = 1080;

struct Frame {
    std::vector<std::uint8_t> y, u, v;
    YUVFrame desc;
    Frame() : y(W * H), u(W * H / 4), v(W * H / 4) {
        for (int j = 0; j < H; ++j)
            for (int i = 0; i < W; ++i) y[j * W + i] = static_cast<std::uint8_t>(16 + (i * 3 + j * 5 + (i * j) % 17) % 220);
        for (int j = 0; j < H / 2; ++j)
            for (int i = 0; i < W / 2; ++i) {
                u[j * W / 2 + i] = static_cast<std::uint8_t>(64 + (i + 2 * j) % 128);
                v[j * W / 2 + i] = static_cast<std::uint8_t>(200 - (2 * i + j) % 128);
            }
        desc.width = W;
        desc.height = H;
        desc.planes[0] = y.data();
        desc.planes[1] = u.data();
        desc.planes[2] = v.data();
        desc.bytesPerRow[0] = W;
        desc.bytesPerRow[1] = desc.bytesPerRow[2] = W / 2;
    }
};

const Frame& frame() {
    static const Frame f;
    return f;
}

Image yuvImage() { return Image::fromYUV(frame().desc); }

Image hdrImage(TransferFunction transfer) {
    YUVFrame f = frame().desc;
    f.matrix = YUVMatrix::bt2020;
    f.primaries = ColorPrimaries::bt2020;
    f.transfer = transfer;
    return Image::fromYUV(f);
}

Image floatImage() {
    static const Image img = [] {
        std::vector<float> rgba(4 * static_cast<std::size_t>(W) * H);
        for (std::size_t i = 0; i < rgba.size(); i += 4) {
            rgba[i] = static_cast<float>(i % 1000) / 1000;
            rgba[i + 1] = static_cast<float>(i % 777) / 777;
            rgba[i + 2] = static_cast<float>(i % 555) / 555;
            rgba[i + 3] = 1;
        }
        return Image::fromFloatPixels(W, H, std::move(rgba));
    }();
    return img;
}

std::shared_ptr<const ColorCube> cube33() {
    static const auto cube = [] {
        const int n = 33;
        std::vector<float> data;
        for (int b = 0; b < n; ++b)
            for (int g = 0; g < n; ++g)
                for (int r = 0; r < n; ++r)
                    data.insert(data.end(), {std::pow(r / 32.0f, 0.8f), std::sqrt(g / 32.0f), b / 32.0f * 0.9f, 1});
        return ColorCube::make(n, std::move(data));
    }();
    return cube;
}

void run(benchmark::State& state, const std::function<Image()>& source, const std::function<Image(const Image&)>& op) {
    const tbb::global_control threads(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> out(4 * static_cast<std::size_t>(W) * H);
    const Context ctx;
    for (auto _ : state) {
        const Image img = op(source()); // building the recipe is part of every frame
        ctx.renderBGRA8(img, {0, 0, W, H}, out.data(), 4 * W);
        benchmark::DoNotOptimize(out.data());
    }
}

const Image canvas = Image::constant({0, 0, 0, 1}).cropped(Rect::make(0, 0, W, H));

enum class Source { yuv, floatPixels, pq, hlg };

struct Case {
    const char* name;
    std::function<Image(const Image&)> op;
    Source source = Source::yuv;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> list = {
        {"YUV420ToBGRA", [](const Image& i) { return i; }},
        {"FloatSourceToBGRA", [](const Image& i) { return i; }, Source::floatPixels},
        {"YUV420PQToBGRA", [](const Image& i) { return i; }, Source::pq},
        {"YUV420HLGToBGRA", [](const Image& i) { return i; }, Source::hlg},
        {"GradeKernel",
         [](const Image& i) {
             GradeParameters p;
             p.exposure = 0.3f;
             p.contrast = 1.1f;
             p.saturation = 1.2f;
             p.temperature = 0.2f;
             p.lift = {0.02f, 0, 0};
             p.gamma = {1.1f, 1.0f, 0.9f};
             p.gain = {1.05f, 1, 0.95f};
             return i.graded(p);
         }},
        {"ColorCube33", [](const Image& i) { return i.colorCube(cube33()); }},
        {"SharpenLuminance", [](const Image& i) { return i.sharpenedLuminance(1.0, 1.2); }},
        {"ColorMatrixOpacity",
         [](const Image& i) { return i.colorMatrix({{0.5f, 0, 0, 0}, {0, 0.5f, 0, 0}, {0, 0, 0.5f, 0}, {0, 0, 0, 0.5f}, {0, 0, 0, 0}}); }},
        {"ColorControls", [](const Image& i) { return i.colorControls(1.2, 0.05, 1.1); }},
        {"Exposure", [](const Image& i) { return i.exposureAdjusted(0.5); }},
        {"Gamma", [](const Image& i) { return i.gammaAdjusted(1.2); }},
        {"TemperatureAndTint", [](const Image& i) { return i.temperatureAndTint({7000, 10}, {6500, 0}); }},
        {"Vibrance", [](const Image& i) { return i.vibrance(0.4); }},
        {"Dissolve", [](const Image& i) { return i.dissolved(i.exposureAdjusted(1), 0.3); }},
        {"VignetteEffect", [](const Image& i) { return i.vignetteEffect({960, 540}, 700, 0.6, 0.5); }},
        {"Vignette", [](const Image& i) { return i.vignette(1.0, 1.0); }},
        {"CompositeOverCanvas", [](const Image& i) { return i.cropped(Rect::make(0, 0, W / 2, H)).compositedOver(canvas); }},
        {"FitHalfScale", [](const Image& i) { return i.scaled(0.5, 0.5).cropped(Rect::make(0, 0, W, H)); }},
        {"FitQuarterScale", [](const Image& i) { return i.scaled(0.25, 0.25).cropped(Rect::make(0, 0, W, H)); }},
        {"MotionRotateScale",
         [](const Image& i) {
             const Affine m = Affine::translation(-W / 2.0, -H / 2.0)
                                  .then(Affine::scale(1.1, 1.1))
                                  .then(Affine::rotation(-5 * std::numbers::pi / 180))
                                  .then(Affine::translation(W / 2.0 + 20, H / 2.0));
             return i.transformed(m).cropped(Rect::make(0, 0, W, H));
         }},
        {"PipelineTypical",
         [](const Image& i) {
             GradeParameters p;
             p.exposure = 0.2f;
             p.gamma = {1.1f, 1.1f, 1.1f};
             return i.graded(p).colorCube(cube33()).vibrance(0.2).sharpenedLuminance(0.5, 1.2).vignetteEffect({960, 540}, 800, 0.4, 0.5)
                 .compositedOver(canvas);
         }},
    };
    return list;
}

// Renders `img` into the encoders' Y'CbCr on one thread, over and over: 8-bit 4:2:0 as H.264 and
// HEVC take it, or 10-bit 4:2:2 as ProRes 422 does.
void renderIntoEncoderPlanes(benchmark::State& state, const Image& img, bool ten) {
    const tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 1);
    std::vector<std::uint8_t> planes[3];
    YUVPlanes out;
    out.bitDepth = ten ? 10 : 8;
    out.halfHeight = !ten;
    for (int p = 0; p < 3; ++p) {
        out.bytesPerRow[p] = (ten ? 2 : 1) * (p ? W / 2 : W);
        planes[p].resize(static_cast<std::size_t>(out.bytesPerRow[p]) * H);
        out.planes[p] = planes[p].data();
    }
    const Context ctx;
    for (auto _ : state) {
        ctx.renderYUV(img, {0, 0, W, H}, out);
        benchmark::DoNotOptimize(planes[0].data());
    }
}

// The final render of an export, from the float picture, straight into the encoders' Y'CbCr
// (0: 4:2:0 8-bit, 1: 4:2:2 10-bit).
void BM_RenderFloatTo(benchmark::State& state) { renderIntoEncoderPlanes(state, floatImage(), state.range(0) == 1); }
BENCHMARK(BM_RenderFloatTo)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// One frame of the export benchmark's job as its composing sees it: a 4:2:0 picture, graded, drawn
// into ProRes 422's 10-bit 4:2:2.
void BM_ExportComposeFrame(benchmark::State& state) {
    GradeParameters p;
    p.exposure = 0.2f;
    p.saturation = 1.2f;
    renderIntoEncoderPlanes(state, yuvImage().graded(p), true);
}
BENCHMARK(BM_ExportComposeFrame)->UseRealTime()->Unit(benchmark::kMillisecond);

// A 4K camera picture fitted whole into a smaller frame, on one thread, as the player draws heavy
// footage: into the half-size preview of a 1080p sequence (960 × 540, a quarter of its size) or into a
// 1080p frame (a half, as a file plays in the source monitor).
void BM_UHDFitted(benchmark::State& state) {
    const tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 1);
    constexpr int w = 3840, h = 2160;
    static const std::vector<std::uint8_t> planes = [] {
        std::vector<std::uint8_t> p(w * h * 3 / 2);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(16 + (i * 7 + i / w * 3) % 220);
        return p;
    }();
    YUVFrame f;
    f.width = w;
    f.height = h;
    f.planes[0] = planes.data();
    f.planes[1] = planes.data() + w * h;
    f.planes[2] = planes.data() + w * h * 5 / 4;
    f.bytesPerRow[0] = w;
    f.bytesPerRow[1] = f.bytesPerRow[2] = w / 2;
    const int outW = static_cast<int>(state.range(0)), outH = outW * 9 / 16;
    std::vector<std::uint8_t> out(4 * static_cast<std::size_t>(outW) * outH);
    const Context ctx;
    for (auto _ : state) {
        const double k = static_cast<double>(outW) / w;
        const Image img = Image::fromYUV(f).scaled(k, k).cropped(Rect::make(0, 0, outW, outH));
        ctx.renderBGRA8(img, {0, 0, outW, outH}, out.data(), 4 * outW);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_UHDFitted)->ArgName("width")->Arg(960)->Arg(1920)->UseRealTime()->Unit(benchmark::kMillisecond);

const int registered = [] {
    for (const Case& c : cases()) {
        auto* b = benchmark::RegisterBenchmark(c.name, [&c](benchmark::State& s) {
            std::function<Image()> source = yuvImage;
            if (c.source == Source::floatPixels) source = floatImage;
            if (c.source == Source::pq) source = [] { return hdrImage(TransferFunction::pq); };
            if (c.source == Source::hlg) source = [] { return hdrImage(TransferFunction::hlg); };
            run(s, source, c.op);
        });
        b->ArgName("threads")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
        // The machine is shared: with --benchmark_repetitions the fastest run is the least disturbed one.
        b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
    }
    return 0;
}();

} // namespace
