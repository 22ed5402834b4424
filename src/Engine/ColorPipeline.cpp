#include "Engine/ColorPipeline.hpp"

#include <cmath>

#include "Model/GradeMath.hpp"
#include "Platform/Foundation/RegularFile.hpp"

namespace osterveil {

using imaging::Image;

namespace {

constexpr double kNone = 0.0001;

imaging::GradeParameters kernelParameters(const EvaluatedGrade& g) {
    auto f = [](double v) { return static_cast<float>(v); };
    return imaging::GradeParameters{f(g.exposure),   f(g.contrast), f(g.saturation), f(g.temperature), f(g.tint),
                                    {f(g.liftR), f(g.liftG), f(g.liftB)},
                                    {f(g.gammaR), f(g.gammaG), f(g.gammaB)},
                                    {f(g.gainR), f(g.gainG), f(g.gainB)}};
}

} // namespace

Image ColorPipeline::apply(const Image& image, const EvaluatedGrade& grade,
                           const std::optional<imaging::Rect>& picture) {
    const LumetriPanel& panel = grade.lumetri;
    if (panel.bypass) return image;
    if (grade.baseIsNeutral() && panel.toneIsNeutral() && std::abs(panel.vibrance) < kNone && panel.lutPath.empty() &&
        std::abs(panel.fadedFilm) < kNone && std::abs(panel.sharpen) < kNone && std::abs(panel.vignette) < kNone)
        return image;
    const imaging::Rect extent = image.extent();
    if (extent.isInfinite() || !(extent.width() > 1 && extent.height() > 1)) return image;

    Image out = grade.baseIsNeutral() ? image : baseGrade(image, grade);
    if (!panel.toneIsNeutral()) out = applyToneCube(out, panel);
    if (std::abs(panel.vibrance) > kNone) out = out.vibrance(panel.vibrance);
    out = applyLUT(out, panel);
    out = applyFadedFilm(out, panel.fadedFilm);
    if (panel.sharpen > kNone) out = out.sharpenedLuminance(2 * panel.sharpen, 1.2);
    out = applyVignette(out, panel, picture);
    return out.cropped(extent);
}

Image ColorPipeline::applyingOpacity(const Image& image, double opacity) const {
    const double o = std::isnan(opacity) ? 0 : std::clamp(opacity, 0.0, 1.0);
    if (o >= 0.999) return image;
    if (o <= 0.001) return image.cropped(imaging::Rect{});
    const float a = static_cast<float>(o);
    imaging::ColorMatrix m;
    m.r = {a, 0, 0, 0};
    m.g = {0, a, 0, 0};
    m.b = {0, 0, a, 0};
    m.a = {0, 0, 0, a};
    return image.colorMatrix(m);
}

Image ColorPipeline::baseGrade(const Image& image, const EvaluatedGrade& grade) const {
    return image.graded(kernelParameters(grade));
}

Image ColorPipeline::builtin(const Image& image, const EvaluatedGrade& g) const {
    Image out = image.exposureAdjusted(g.exposure);
    out = out.colorControls(g.saturation, 0, g.contrast);
    out = out.temperatureAndTint(imaging::Neutral{6500 + 2000 * g.temperature, 20 * g.tint}, imaging::Neutral{6500, 0});
    out = out.gammaAdjusted(1 / std::max((g.gammaR + g.gammaG + g.gammaB) / 3, 0.05));
    imaging::ColorMatrix m;
    m.r = {static_cast<float>(g.gainR), 0, 0, 0};
    m.g = {0, static_cast<float>(g.gainG), 0, 0};
    m.b = {0, 0, static_cast<float>(g.gainB), 0};
    m.bias = {static_cast<float>(0.5 * g.liftR), static_cast<float>(0.5 * g.liftG), static_cast<float>(0.5 * g.liftB), 0};
    return out.colorMatrix(m);
}

std::vector<float> ColorPipeline::toneCubeData(const LumetriPanel& panel) {
    std::vector<float> data;
    data.reserve(4 * toneDimension * toneDimension * toneDimension);
    for (int k = 0; k < toneDimension; ++k)
        for (int j = 0; j < toneDimension; ++j)
            for (int i = 0; i < toneDimension; ++i) {
                const auto [r, g, b] = GradeMath::apply(i * 0.0625, j * 0.0625, k * 0.0625, panel);
                data.push_back(static_cast<float>(r));
                data.push_back(static_cast<float>(g));
                data.push_back(static_cast<float>(b));
                data.push_back(1.0f);
            }
    return data;
}

std::shared_ptr<const imaging::ColorCube> ColorPipeline::toneCube(const LumetriPanel& panel) {
    const std::string key = panel.toneCacheKey();
    {
        std::lock_guard lock(mutex_);
        if (auto it = toneCubes_.find(key); it != toneCubes_.end()) return it->second;
    }
    // Baked outside the lock: two threads may bake the same cube, and either result is the same.
    auto cube = imaging::ColorCube::make(toneDimension, toneCubeData(panel));
    std::lock_guard lock(mutex_);
    if (toneCubes_.size() >= 9) toneCubes_.clear();
    toneCubes_.insert_or_assign(key, cube);
    return cube;
}

Image ColorPipeline::applyToneCube(const Image& image, const LumetriPanel& panel) {
    return image.colorCube(toneCube(panel));
}

std::optional<std::filesystem::path> ColorPipeline::resolvedLUT(const LumetriPanel& panel) {
    if (panel.lutPath.empty()) return std::nullopt;
    std::error_code ec;
    const std::filesystem::path path(panel.lutPath);
    if (std::filesystem::exists(path, ec)) return path;
    return std::nullopt;
}

std::shared_ptr<const imaging::ColorCube> ColorPipeline::colorCube(CubeLUTResult table) {
    const auto domain = [](const CubeLUTDomain& d) { return imaging::CubeDomain{d.scale, d.offset}; };
    imaging::CubeShaper shaper;
    if (table.shaperSize > 0) shaper = {table.shaperSize, std::move(table.shaper), domain(table.shaperDomain)};
    return imaging::ColorCube::make(table.dimension, std::move(table.data), domain(table.domain), std::move(shaper));
}

std::shared_ptr<const imaging::ColorCube> ColorPipeline::loadLUT(const LumetriPanel& panel) {
    if (panel.lutPath.empty()) return nullptr;
    {
        std::lock_guard lock(mutex_);
        if (auto it = lutTables_.find(panel.lutPath); it != lutTables_.end()) return it->second;
    }
    const auto url = resolvedLUT(panel);
    if (!url) return nullptr;
    // Only a regular file of sensible size: a FIFO named by a project would stall every frame.
    const auto text = readRegularFile(*url, kMaxLUTFileBytes);
    if (!text) return nullptr;
    std::shared_ptr<const imaging::ColorCube> cube;
    try {
        cube = colorCube(CubeLUT::parse(*text));
    } catch (const CubeLUTError&) {
        // An unusable table is skipped; the picture is graded without it, and the next frame tries again.
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (lutTables_.size() > 4) lutTables_.clear();
    lutTables_.insert_or_assign(panel.lutPath, cube);
    return cube;
}

Image ColorPipeline::applyLUT(const Image& image, const LumetriPanel& panel) {
    if (panel.lutIntensity <= 0.001) return image;
    const auto cube = loadLUT(panel);
    if (!cube) return image;
    const Image lut = image.colorCube(cube);
    if (panel.lutIntensity >= 0.999) return lut;
    return image.dissolved(lut, panel.lutIntensity);
}

Image ColorPipeline::applyFadedFilm(const Image& image, double amount) const {
    if (!(amount > kNone)) return image;
    const float a = static_cast<float>(std::min(amount, 1.0));
    imaging::ColorMatrix m;
    m.bias = {0.08f * a, 0.06f * a, 0.04f * a, 0};
    return image.colorMatrix(m).colorControls(1 - 0.4 * a, 0, 1 - 0.35 * a);
}

Image ColorPipeline::applyVignette(const Image& image, const LumetriPanel& panel,
                                   const std::optional<imaging::Rect>& picture) const {
    if (!(panel.vignette > kNone)) return image;
    const double r = std::max(panel.vignetteRadius, 0.1);
    // Centred on the picture, the radius a fraction of its half-diagonal (1 reaches the corners), so
    // a vignette looks the same at every picture size. A picture moved partly out of the frame keeps
    // its vignette where it was: the centre is that of the whole picture, not of its visible part.
    const imaging::Rect e =
        picture && !picture->isEmpty() && !picture->isInfinite() ? *picture : image.extent();
    if (e.isEmpty() || e.isInfinite()) return image;
    const imaging::Point centre{e.x() + e.width() / 2, e.y() + e.height() / 2};
    const double halfDiagonal = 0.5 * std::hypot(e.width(), e.height());
    return image.vignetteEffect(centre, r * halfDiagonal, panel.vignette,
                                panel.vignetteFeather >= 0 ? panel.vignetteFeather : 0);
}

std::size_t ColorPipeline::cachedToneCubes() const {
    std::lock_guard lock(mutex_);
    return toneCubes_.size();
}

std::size_t ColorPipeline::cachedLUTs() const {
    std::lock_guard lock(mutex_);
    return lutTables_.size();
}

} // namespace osterveil
