#pragma once

// The built-in per-pixel kernels behind Image's colour operations (formulas in Image.hpp).

#include <array>
#include <memory>

#include "Platform/Imaging/Image.hpp"

namespace osterveil::imaging::detail {

std::shared_ptr<const ColorKernel> matrixKernel(const ColorMatrix& m);
std::shared_ptr<const ColorKernel> controlsKernel(float saturation, float brightness, float contrast);
std::shared_ptr<const ColorKernel> gainKernel(std::array<float, 3> gains); // rgb × gains
std::shared_ptr<const ColorKernel> gammaKernel(float power);
std::shared_ptr<const ColorKernel> vibranceKernel(float amount);
std::shared_ptr<const ColorKernel> cubeKernel(std::shared_ptr<const ColorCube> cube);
std::shared_ptr<const ColorKernel> vignetteEffectKernel(Point center, double radius, double intensity, double falloff);
std::shared_ptr<const ColorKernel> vignetteKernel(const Rect& extent, double intensity, double radius);
// Stages at their neutral values are left out unless `skipNeutralStages` is false; the result is the
// same either way, to the bit.
std::shared_ptr<const ColorKernel> gradeKernel(const GradeParameters& p, bool skipNeutralStages = true);

// Channel gains of a white-balance shift from `source` to `target`, in the non-linear working space.
std::array<double, 3> whiteBalanceGains(const Neutral& source, const Neutral& target);

} // namespace osterveil::imaging::detail
