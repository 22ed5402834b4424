#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <QColor>
#include <QFont>
#include <QString>
#include <vector>

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

// Titles are set in type on whichever thread builds: fonts work on any thread of a GUI application.
namespace TitleRasterizer {
// Every input that changes the picture: text, font, size, colour, alignment, placement, the frame,
// and the canvas where it is drawn smaller or larger than the frame.
std::string cacheKey(const TitleStyle& style, double width, double height, double scale = 1);
// The title laid out on a frame of the given size and drawn on a transparent canvas `scale` times
// that size (rounded), so that a picture drawn for a smaller render has the same lines, breaks and
// placement, only fewer pixels. None when the canvas is smaller than 2×2.
std::optional<imaging::Bitmap> image(const TitleStyle& style, double width, double height, double scale = 1);
} // namespace TitleRasterizer

// The title fonts: the names the inspector offers and projects store, and the installed family each
// is drawn with. Where a family is not installed (few of them are on Linux), the closest installed
// design of the same kind stands in, sans for sans and serif for serif, in the monitor and in exports
// alike. Any thread.
namespace TitleFonts {
// In the menu's order.
const std::vector<std::string>& names();
// The family a title stored with `name` is drawn in: the family itself where it is installed, else
// its look-alike; a name outside the menu that is not installed draws in the system's sans family.
QString family(const std::string& name);
// The font for `name`, before its size is set.
QFont font(const std::string& name);
} // namespace TitleFonts

} // namespace osterveil
