#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <QColor>

#include "Model/Parameters.hpp"
#include "Platform/Foundation/BoundedCache.hpp"
#include "Platform/Imaging/Bitmap.hpp"

namespace osterveil {

// One picture held by the frame-image cache.
struct ImageBox {
    explicit ImageBox(imaging::Bitmap image) : image(std::move(image)) {}
    const imaging::Bitmap image;
};

// The process-wide cache of still and title pictures, keyed by "still:" + path or the title key.
// Bounded to 64 entries; it may drop any entry at any time.
namespace FrameImages {
BoundedCache<std::string, std::shared_ptr<const ImageBox>>& cache();
}

namespace StillImageLoader {
// The still turned upright and scaled so that its longer side is at most max(maxPixel, 64) pixels;
// the picture as stored when it cannot be scaled; none when the file is no readable image.
std::optional<imaging::Bitmap> image(const std::filesystem::path& path, int maxPixel);
} // namespace StillImageLoader

// An opaque colour from six hexadecimal digits, optionally after "#"; opaque white otherwise.
QColor fromHex(const std::string& hex);

namespace TitleRasterizer {
// Every input that changes the picture: text, font, size, colour, alignment, placement, canvas.
std::string cacheKey(const TitleStyle& style, double width, double height);
// The title drawn on a transparent canvas of the given size; none when it is smaller than 2×2.
// Must run on the application's GUI thread (fonts).
std::optional<imaging::Bitmap> image(const TitleStyle& style, double width, double height);
// Runs `image` on the GUI thread, waiting for it when called from another thread.
std::optional<imaging::Bitmap> imageOnGuiThread(const TitleStyle& style, double width, double height);
// Installed look-alikes for the title fonts offered in the inspector, so that none draws as boxes.
void installFontSubstitutes();
} // namespace TitleRasterizer

} // namespace osterveil
