#pragma once

// Shared by the still reader; not part of its interface.

#include <optional>

#include <QByteArray>
#include <QIODevice>
#include <QImage>

namespace osterveil::stills::detail {

// Whether the still in `device` (of the format Qt's readers name `format`) is read here a piece at a
// time, its picture never held whole: 16-bit PNG, and TIFF stored in strips or tiles small enough.
// Qt's readers decode these whole at their full depth, gigabytes for the largest stills.
bool readsInPieces(QIODevice& device, const QByteArray& format);

// Whether Qt's readers, decoding the still in `device` whole, show it as stored: not a TIFF of
// floating-point samples each in a plane of its own, which they take for interleaved ones.
bool readsRightWhole(QIODevice& device, const QByteArray& format);

// The still as stored (not turned), averaged down as it is read so that its longer side is at most
// `maxPixel` (0: as stored), in premultiplied 8-bit RGBA; none when it does not decode completely.
std::optional<QImage> readInPieces(QIODevice& device, const QByteArray& format, int maxPixel);

} // namespace osterveil::stills::detail
