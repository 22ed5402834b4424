#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace osterveil::stills {

// The largest still file that is read; it is read whole, into memory.
inline constexpr std::uintmax_t maxFileBytes = std::uintmax_t(256) << 20;
// The largest picture a reader may allocate while decoding, in megabytes (64 megapixels of RGBA).
inline constexpr int allocationLimitMB = 256;

// The bytes of a still file, when it is a regular file of at most `maxFileBytes`: a FIFO or a device
// named by a project would otherwise block the reader (and everything waiting on it) for good.
std::optional<QByteArray> readFile(const std::filesystem::path& path);

struct Still {
    QImage image;
    // The pixel size as stored, before any orientation is applied; invalid when the file's header
    // does not tell it.
    QSize storedSize;
};

// Decodes the still in `bytes`, its format found from the content: turned upright by its orientation
// tag and scaled so that its longer side is at most `maxPixel` (0: as stored); when that fails, the
// picture as stored, unscaled and not turned. None when nothing decodes completely: bytes of no
// readable format, a file cut short or damaged, a picture beyond the allocation limit.
std::optional<Still> decode(const QByteArray& bytes, int maxPixel);

// `decode` of the file's bytes; none also for anything `readFile` refuses.
std::optional<Still> load(const std::filesystem::path& path, int maxPixel);

} // namespace osterveil::stills
