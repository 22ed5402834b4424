#include "Media/ThumbnailService.hpp"

#include <algorithm>

#include "Platform/Media/ImageGenerator.hpp"
#include "Platform/Stills/StillReader.hpp"

namespace osterveil::ThumbnailService {

namespace {

constexpr int kStillSide = 480;

// The still turned upright by its orientation tag and scaled down so its longer side fits.
std::optional<QImage> still(const std::filesystem::path& path) {
    auto decoded = stills::load(path, kStillSide);
    if (!decoded) return std::nullopt;
    QImage img = std::move(decoded->image);
    // A still that could only be read as stored comes unscaled.
    if (std::max(img.width(), img.height()) > kStillSide)
        img = img.scaled(kStillSide, kStillSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return img;
}

std::optional<QImage> videoFrame(const std::filesystem::path& path, double seconds,
                                 const std::stop_token& stop) {
    const auto tracks = media::Asset::open(path)->tracks(media::MediaType::video);
    if (tracks.empty() || stop.stop_requested()) return std::nullopt;
    media::ImageGenerator generator(tracks.front());
    generator.setAppliesPreferredTransform(true);
    generator.setMaximumSize({480, 270});
    const media::PixelBuffer picture = generator.image(media::Time::seconds(seconds, 600));
    QImage out(picture.width(), picture.height(), QImage::Format_ARGB32);
    for (int y = 0; y < picture.height(); ++y)
        std::copy_n(picture.row(y), std::size_t(picture.width()) * 4, out.scanLine(y));
    return out;
}

} // namespace

double time(const MediaItem& item) { return item.duration > 0.5 ? std::min(0.1 * item.duration, 1.0) : 0.0; }

std::optional<QImage> image(const MediaItem& item, const std::optional<std::filesystem::path>& projectURL,
                            const std::stop_token& stop) {
    const auto url = item.resolveURL(projectURL);
    if (!url) return std::nullopt;
    switch (item.kind) {
    case MediaKind::audio: return std::nullopt;
    case MediaKind::image: return still(*url);
    case MediaKind::video:
        try {
            return videoFrame(*url, time(item), stop);
        } catch (const media::Error&) {
            return std::nullopt; // an unreadable movie shows no picture
        }
    }
    return std::nullopt;
}

} // namespace osterveil::ThumbnailService
