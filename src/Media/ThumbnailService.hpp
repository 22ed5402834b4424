#pragma once

#include <QImage>
#include <filesystem>
#include <optional>
#include <stop_token>

#include "Model/Project.hpp"

namespace osterveil {

// Small pictures of media items for the bin and the timeline: a frame near the start of a video,
// fitted into 480×270 and turned upright, or a still with its longer side at most 480 pixels.
// Never throws: whatever cannot be shown gives no picture. Safe from several threads.
namespace ThumbnailService {

// A video is opened, then decoded from the key frame before the picture: `stop` is looked at between
// the two, and a stopped call gives no picture.
std::optional<QImage> image(const MediaItem& item, const std::optional<std::filesystem::path>& projectURL,
                            const std::stop_token& stop = {});

// Where a video's thumbnail is taken: a tenth of the item's stored duration, at most 1 s, and the
// first frame for items of 0.5 s or less.
double time(const MediaItem& item);

} // namespace ThumbnailService
} // namespace osterveil
