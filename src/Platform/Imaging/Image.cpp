#include "Image.hpp"

#include <cmath>
#include <stdexcept>

#include "Kernels.hpp"
#include "Nodes.hpp"

namespace osterveil::imaging {

using namespace detail;

namespace {
bool near(double v, double target) { return std::abs(v - target) < 1e-7; }
} // namespace

Image::Image() : node_(emptyNode()) {}
Image::Image(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

Image Image::constant(const Color& c) { return Image(std::make_shared<ConstantNode>(c)); }

Image Image::fromFloatPixels(int width, int height, std::vector<float> rgba) {
    if (width <= 0 || height <= 0 || rgba.size() != 4 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        throw std::invalid_argument("Image::fromFloatPixels: size does not match the pixel data");
    return Image(std::make_shared<FloatPixelsNode>(width, height, std::move(rgba)));
}

Image Image::fromBitmap(const Bitmap& bitmap) {
    if (bitmap.isNull()) return Image();
    return Image(std::make_shared<BitmapNode>(bitmap));
}

Image Image::fromPixels(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t bytesPerRow, ChannelOrder order,
                        AlphaMode alpha) {
    return fromBitmap(Bitmap::copy(pixels, width, height, bytesPerRow, order, alpha));
}

Image Image::fromYUV(const YUVFrame& frame) { return Image(std::make_shared<YUVNode>(frame)); }

Rect Image::extent() const { return node_->extent(); }
bool Image::isEmpty() const { return node_->extent().isEmpty(); }
bool Image::isInfinite() const { return node_->extent().isInfinite(); }

Image Image::transformed(const Affine& m) const { return Image(makeTransform(node_, m)); }

Image Image::cropped(const Rect& rect) const { return Image(makeCrop(node_, rect)); }

Image Image::compositedOver(const Image& background) const {
    if (background.isEmpty()) return *this;
    if (isEmpty()) return background;
    return Image(std::make_shared<CompositeNode>(node_, background.node_));
}

Image Image::applyingColorKernel(std::shared_ptr<const ColorKernel> kernel) const {
    if (!kernel || isEmpty()) return *this;
    return Image(std::make_shared<KernelNode>(node_, std::move(kernel)));
}

Image Image::colorMatrix(const ColorMatrix& m) const {
    if (m == ColorMatrix{}) return *this;
    return applyingColorKernel(matrixKernel(m));
}

Image Image::colorControls(double saturation, double brightness, double contrast) const {
    if (saturation == 1 && brightness == 0 && contrast == 1) return *this;
    return applyingColorKernel(
        controlsKernel(static_cast<float>(saturation), static_cast<float>(brightness), static_cast<float>(contrast)));
}

Image Image::exposureAdjusted(double ev) const {
    if (ev == 0) return *this;
    const auto k = static_cast<float>(std::exp2(ev));
    return applyingColorKernel(gainKernel({k, k, k}));
}

Image Image::gammaAdjusted(double power) const {
    if (power == 1) return *this;
    return applyingColorKernel(gammaKernel(static_cast<float>(power)));
}

Image Image::temperatureAndTint(const Neutral& source, const Neutral& target) const {
    if (source == target) return *this;
    const auto g = whiteBalanceGains(source, target);
    if (near(g[0], 1) && near(g[1], 1) && near(g[2], 1)) return *this;
    return applyingColorKernel(gainKernel({static_cast<float>(g[0]), static_cast<float>(g[1]), static_cast<float>(g[2])}));
}

Image Image::vibrance(double amount) const {
    if (amount == 0) return *this;
    return applyingColorKernel(vibranceKernel(static_cast<float>(amount)));
}

Image Image::colorCube(const std::shared_ptr<const ColorCube>& cube) const {
    if (!cube) return *this;
    return applyingColorKernel(cubeKernel(cube));
}

Image Image::dissolved(const Image& target, double t) const {
    if (!(t > 0)) return *this;
    if (t >= 1) return target;
    if (isEmpty() && target.isEmpty()) return *this;
    return Image(std::make_shared<DissolveNode>(node_, target.node_, static_cast<float>(t)));
}

Image Image::sharpenedLuminance(double sharpness, double radius) const {
    if (sharpness == 0 || !(radius >= 0.01) || isEmpty()) return *this;
    return Image(std::make_shared<SharpenNode>(node_, static_cast<float>(sharpness), radius));
}

Image Image::vignetteEffect(Point center, double radius, double intensity, double falloff) const {
    if (intensity == 0) return *this;
    return applyingColorKernel(vignetteEffectKernel(center, radius, intensity, falloff));
}

Image Image::vignette(double intensity, double radius) const {
    if (intensity == 0 || isEmpty() || isInfinite()) return *this;
    return applyingColorKernel(vignetteKernel(extent(), intensity, radius));
}

Image Image::graded(const GradeParameters& p) const { return applyingColorKernel(gradeKernel(p)); }

} // namespace osterveil::imaging
