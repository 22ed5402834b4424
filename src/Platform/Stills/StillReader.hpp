#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace osterveil::stills {

// The most pixels a still may have; a larger one is refused from its header. Most readers hold the
// whole picture while decoding it, so a picture of more than 8 bytes a pixel (32-bit floating point)
// is held to fewer, to stay within `allocationLimitMB`. JPEG pictures are held only to that limit:
// their reader shrinks a picture while decoding it, to the size asked for. 16-bit PNG and TIFF (also
// of floating-point samples) are read here a row or a strip at a time and shrunk as they are read,
// and held to what they could have whole. A TIFF that cannot be read so (one large compressed strip)
// is decoded whole, and held to 256 MB of picture.
inline constexpr std::int64_t mostPixels = 250'000'000;
// The largest picture a reader may allocate while decoding, in megabytes: the largest still at 8 bytes
// a pixel (16 bits a channel).
inline constexpr int allocationLimitMB = int((mostPixels * 8 + (std::int64_t(1) << 20) - 1) >> 20);

struct Still {
    QImage image;
    // The pixel size as stored, before any orientation is applied; invalid when the file's header
    // does not tell it.
    QSize storedSize;
};

// Decodes the still in `bytes`, its format found from the content: turned upright by its orientation
// tag and scaled so that its longer side is at most `maxPixel` (0: as stored); when that fails, the
// picture as stored, unscaled and not turned. None when nothing decodes completely: bytes of no
// readable format, a file cut short or damaged, a picture beyond `mostPixels` or the allocation limit.
std::optional<Still> decode(const QByteArray& bytes, int maxPixel);

// `decode` of the file's content, read from the file as the reader needs it; none also for anything
// but a regular file (a FIFO or a device named by a project would block the reader for good).
std::optional<Still> load(const std::filesystem::path& path, int maxPixel);

// When the file's header shows a picture that `decode` refuses for its size alone: the most pixels a
// picture of its depth may have, in whole megapixels. None for any other file.
std::optional<std::int64_t> megapixelLimitExceeded(const std::filesystem::path& path);

} // namespace osterveil::stills
