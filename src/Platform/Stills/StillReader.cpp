#include "Platform/Stills/StillReader.hpp"

#include <algorithm>

#include <QBuffer>
#include <QImageReader>

#include "Platform/Foundation/RegularFile.hpp"

namespace osterveil::stills {

namespace {

// Qt's JPEG reader fills a file cut short with grey and reports success; a complete JPEG ends its
// entropy-coded data with an end-of-image marker (FF D9 cannot occur inside that data), so look for
// one after the first start-of-scan.
bool jpegIsComplete(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return true; // not a JPEG: other readers report their own damage
    qsizetype i = 2;
    for (;;) {
        while (i < n && p[i] != 0xFF) ++i; // tolerate stray bytes between segments, as readers do
        while (i < n && p[i] == 0xFF) ++i;
        if (i >= n) return false;
        const unsigned char marker = p[i++];
        if (marker == 0xD9) return true;
        if (marker == 0xDA) break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue; // no length
        if (i + 2 > n) return false;
        i += (qsizetype(p[i]) << 8 | p[i + 1]);
    }
    for (qsizetype j = n - 2; j >= i; --j)
        if (p[j] == 0xFF && p[j + 1] == 0xD9) return true;
    return false;
}

// Whether decoding a picture of the header's size would need more than a reader may allocate. Only the
// JPEG reader shrinks a picture while decoding it; any other decodes every pixel first, which for a
// picture this size takes seconds before the allocation limit stops it (or, scaled, a scaled copy
// arrives). Judged from the header, the answer is at once.
bool beyondAllocationLimit(QSize stored, const QByteArray& format) {
    if (!stored.isValid() || format == "jpeg") return false;
    const double bytes = double(stored.width()) * double(stored.height()) * 4;
    return bytes > double(allocationLimitMB) * 1024 * 1024;
}

struct Reading {
    QBuffer buffer;
    QImageReader reader;
    explicit Reading(const QByteArray& bytes) : buffer() {
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        reader.setDevice(&buffer);
        reader.setAllocationLimit(allocationLimitMB);
        // The content decides; a file name, if any, plays no part.
        reader.setDecideFormatFromContent(true);
    }
};

} // namespace

std::optional<QByteArray> readFile(const std::filesystem::path& path) {
    auto bytes = readRegularFile(path, maxFileBytes);
    if (!bytes) return std::nullopt;
    return QByteArray(bytes->data(), static_cast<qsizetype>(bytes->size()));
}

std::optional<Still> decode(const QByteArray& bytes, int maxPixel) {
    if (bytes.isEmpty() || !jpegIsComplete(bytes)) return std::nullopt;
    QSize stored;
    {
        Reading r(bytes);
        r.reader.setAutoTransform(true);
        if (!r.reader.canRead()) return std::nullopt;
        stored = r.reader.size();
        if (beyondAllocationLimit(stored, r.reader.format())) return std::nullopt;
        if (stored.isValid() && maxPixel > 0 && std::max(stored.width(), stored.height()) > maxPixel) {
            // Orientation may swap the sides; the longer one is what is bounded either way.
            QSize scaled = stored;
            scaled.scale(maxPixel, maxPixel, Qt::KeepAspectRatio);
            r.reader.setScaledSize(scaled.expandedTo(QSize(1, 1)));
        }
        QImage image = r.reader.read();
        if (!image.isNull()) return Still{std::move(image), stored};
    }
    Reading plain(bytes);
    QImage image = plain.reader.read();
    if (image.isNull()) return std::nullopt;
    return Still{std::move(image), stored};
}

std::optional<Still> load(const std::filesystem::path& path, int maxPixel) {
    const auto bytes = readFile(path);
    if (!bytes) return std::nullopt;
    return decode(*bytes, maxPixel);
}

} // namespace osterveil::stills
