#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Media/CubeLUT.hpp"
#include "Model/Parameters.hpp"
#include "Platform/Imaging/ColorCube.hpp"
#include "Platform/Imaging/Image.hpp"

namespace osterveil {

// Grades one layer's picture: basic grade, tone curves and wheels (baked into a cube), vibrance,
// look-up table, faded film, sharpening, vignette. One per compositor; safe to call from several
// rendering threads at once (its caches are guarded; a cube baked twice by a race is harmless).
class ColorPipeline {
public:
    static constexpr int toneDimension = 17;

    ColorPipeline() = default;

    // The graded picture, with the input's extent; the very input when the grade changes nothing.
    // `picture` is the whole rectangle of the picture before it was cropped to the frame (its
    // extent when absent): the vignette centres on it.
    imaging::Image apply(const imaging::Image& image, const EvaluatedGrade& grade,
                         const std::optional<imaging::Rect>& picture = std::nullopt);
    // All four channels scaled by the opacity clamped to 0…1: the input from 0.999 up, nothing from 0.001 down.
    imaging::Image applyingOpacity(const imaging::Image& image, double opacity) const;

    // Stages, in the order `apply` runs them.
    imaging::Image baseGrade(const imaging::Image& image, const EvaluatedGrade& grade) const;
    // The same grade as a chain of general colour operations (gamma as one mean exponent, lift as an
    // offset of half its value): an approximation, kept as the fallback the grade kernel replaces.
    imaging::Image builtin(const imaging::Image& image, const EvaluatedGrade& grade) const;
    imaging::Image applyToneCube(const imaging::Image& image, const LumetriPanel& panel);
    imaging::Image applyLUT(const imaging::Image& image, const LumetriPanel& panel);
    imaging::Image applyFadedFilm(const imaging::Image& image, double amount) const;
    imaging::Image applyVignette(const imaging::Image& image, const LumetriPanel& panel,
                                 const std::optional<imaging::Rect>& picture = std::nullopt) const;

    // The tone section on the 17³ lattice, red fastest, RGBA floats with alpha 1.
    static std::vector<float> toneCubeData(const LumetriPanel& panel);
    // The panel's table, read and parsed once per path while cached; none when it cannot be had.
    std::shared_ptr<const imaging::ColorCube> loadLUT(const LumetriPanel& panel);
    // Where the panel's table is now (bookmarks cannot be resolved here, so its path).
    static std::optional<std::filesystem::path> resolvedLUT(const LumetriPanel& panel);
    // A parsed .cube file as the colour cube applies it, its domains and shaper kept as they are.
    static std::shared_ptr<const imaging::ColorCube> colorCube(CubeLUTResult table);
    // .cube files larger than this are not read.
    static constexpr std::uintmax_t kMaxLUTFileBytes = std::uintmax_t(64) << 20;

    std::size_t cachedToneCubes() const;
    std::size_t cachedLUTs() const;

private:
    std::shared_ptr<const imaging::ColorCube> toneCube(const LumetriPanel& panel);

    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const imaging::ColorCube>> toneCubes_;
    std::unordered_map<std::string, std::shared_ptr<const imaging::ColorCube>> lutTables_;
};

} // namespace osterveil
