#include "Platform/Stills/StillReader.hpp"

#include <algorithm>
#include <mutex>

#include <unistd.h>

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QTransform>

#include "Platform/Foundation/RegularFile.hpp"
#include "Platform/Stills/StillPieces.hpp"
#include "Platform/Stills/TiffMessages.hpp"

namespace osterveil::stills {

namespace {

using detail::readInPieces;
using detail::readsInPieces;
using detail::readsRightWhole;

// A device's bytes by position, read a block at a time; 0 past its end and once reading fails.
class Bytes {
  public:
    explicit Bytes(QIODevice& device) : device_(device), size_(device.size()) {}
    qint64 size() const { return size_; }
    int operator[](qint64 i) {
        if (i < 0 || i >= size_ || failed_) return 0;
        if (i < start_ || i >= start_ + block_.size()) {
            start_ = i - i % kBlock;
            block_ = device_.seek(start_) ? device_.read(kBlock) : QByteArray();
            failed_ = i >= start_ + block_.size();
            if (failed_) return 0;
        }
        return static_cast<unsigned char>(block_[i - start_]);
    }

  private:
    static constexpr qint64 kBlock = 64 * 1024;
    QIODevice& device_;
    qint64 size_;
    qint64 start_ = 0;
    QByteArray block_;
    bool failed_ = false;
};

// Qt's JPEG reader fills a file cut short with grey and reports success; a complete JPEG ends its
// entropy-coded data with an end-of-image marker (FF D9 cannot occur inside that data), so look for
// one after the first start-of-scan.
bool jpegIsComplete(Bytes& p) {
    const qint64 n = p.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return true; // not a JPEG: other readers report their own damage
    qint64 i = 2;
    for (;;) {
        while (i < n && p[i] != 0xFF) ++i; // tolerate stray bytes between segments, as readers do
        while (i < n && p[i] == 0xFF) ++i;
        if (i >= n) return false;
        const int marker = p[i++];
        if (marker == 0xD9) return true;
        if (marker == 0xDA) break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue; // no length
        if (i + 2 > n) return false;
        i += (qint64(p[i]) << 8 | p[i + 1]);
    }
    for (qint64 j = n - 2; j >= i; --j)
        if (p[j] == 0xFF && p[j + 1] == 0xD9) return true;
    return false;
}

void prepare(QImageReader& reader) {
    // One limit for the whole process, set before the first reader reads.
    static std::once_flag limit;
    std::call_once(limit, [] { QImageReader::setAllocationLimit(allocationLimitMB); });
    // The content decides; a file name, if any, plays no part.
    reader.setDecideFormatFromContent(true);
}

std::int64_t bytesPerPixel(QImage::Format format) {
    if (format == QImage::Format_Invalid) return 4; // the reader does not say: the usual 32 bits
    return std::max(1, QImage::toPixelFormat(format).bitsPerPixel() / 8);
}

// Decodes that may hold more than this take turns: the few large stills an import, its thumbnails
// and a build decode side by side would otherwise hold gigabytes at once.
constexpr std::int64_t kLargeDecodeBytes = std::int64_t(256) << 20;

// When the picture has more pixels than are decoded at its depth, the most that are. Judged from the
// header, the answer comes at once, where decoding would take seconds before the allocation limit
// stopped it (or, scaled, a scaled copy arrived). A still read in pieces is never held whole, but is
// held to the pixels it could have whole, so that the largest still of any depth takes about as long
// to read; a TIFF that cannot be read in pieces (its data in one large strip) is decoded whole, and
// only as large as a decode that takes its turn.
struct Header {
    QByteArray format;
    QSize stored;
    QImage::Format imageFormat = QImage::Format_Invalid;
    QImageIOHandler::Transformations turn = QImageIOHandler::TransformationNone;
    bool inPieces = false;
    // Shown as stored when Qt's reader decodes it whole: where it is not, and it is not read in pieces,
    // the still is refused, whatever its size.
    bool rightWhole = true;
};

// What the reader tells from the header, and whether the picture is read in pieces; none when no
// reader takes the bytes.
std::optional<Header> readHeader(QIODevice& device) {
    Header header;
    {
        device.seek(0);
        QImageReader reader(&device);
        prepare(reader);
        if (!reader.canRead()) return std::nullopt;
        header.format = reader.format();
        header.stored = reader.size();
        header.imageFormat = reader.imageFormat();
        header.turn = reader.transformation();
    }
    header.inPieces = readsInPieces(device, header.format);
    header.rightWhole = header.inPieces || readsRightWhole(device, header.format);
    return header;
}

std::optional<std::int64_t> pixelLimitExceeded(const Header& header) {
    if (!header.stored.isValid() || header.format == "jpeg" || !header.rightWhole) return std::nullopt;
    const std::int64_t whole = header.format == "tiff" && !header.inPieces
                                   ? kLargeDecodeBytes
                                   : std::int64_t(allocationLimitMB) << 20;
    const std::int64_t limit = std::min(mostPixels, whole / bytesPerPixel(header.imageFormat));
    if (std::int64_t(header.stored.width()) * header.stored.height() <= limit) return std::nullopt;
    return limit;
}

std::unique_lock<std::mutex> turnToDecode(std::int64_t bytes) {
    static std::mutex large;
    return bytes > kLargeDecodeBytes ? std::unique_lock(large) : std::unique_lock<std::mutex>();
}

std::optional<Still> decode(QIODevice& device, int maxPixel) {
    {
        Bytes bytes(device);
        if (bytes.size() <= 0 || !jpegIsComplete(bytes)) return std::nullopt;
    }
    const auto header = readHeader(device);
    if (!header || !header->rightWhole || pixelLimitExceeded(*header)) return std::nullopt;
    const QSize stored = header->stored;
    if (header->inPieces) {
        auto image = readInPieces(device, header->format, maxPixel);
        if (!image) return std::nullopt;
        // Turned as Qt's readers turn a picture by its orientation.
        const auto turn = header->turn;
        *image = image->mirrored(turn & QImageIOHandler::TransformationMirror,
                                 turn & QImageIOHandler::TransformationFlip);
        if (turn & QImageIOHandler::TransformationRotate90)
            *image = image->transformed(QTransform().rotate(90));
        return Still{std::move(*image), stored};
    }
    std::int64_t wholeBytes = 0;
    {
        device.seek(0);
        QImageReader reader(&device);
        prepare(reader);
        reader.setAutoTransform(true);
        if (!reader.canRead()) return std::nullopt;
        if (stored.isValid())
            wholeBytes = std::int64_t(stored.width()) * stored.height() * bytesPerPixel(reader.imageFormat());
        if (stored.isValid() && maxPixel > 0 && std::max(stored.width(), stored.height()) > maxPixel) {
            // Orientation may swap the sides; the longer one is what is bounded either way.
            QSize scaled = stored;
            scaled.scale(maxPixel, maxPixel, Qt::KeepAspectRatio);
            reader.setScaledSize(scaled.expandedTo(QSize(1, 1)));
        }
        QImage image;
        {
            // Only the JPEG reader is sure never to hold the whole picture.
            const auto turn = turnToDecode(reader.format() == "jpeg" ? 0 : wholeBytes);
            image = reader.read();
        }
        if (!image.isNull()) return Still{std::move(image), stored};
    }
    device.seek(0);
    QImageReader plain(&device);
    prepare(plain);
    QImage image;
    {
        const auto turn = turnToDecode(wholeBytes);
        image = plain.read();
    }
    if (image.isNull()) return std::nullopt;
    return Still{std::move(image), stored};
}

bool openRegular(const std::filesystem::path& path, QFile& file) {
    const int fd = openRegularFile(path);
    if (fd < 0) return false;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) return true;
    ::close(fd);
    return false;
}

} // namespace

std::optional<Still> decode(const QByteArray& bytes, int maxPixel) {
    const TiffMessages messages({});
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return decode(buffer, maxPixel);
}

std::optional<Still> load(const std::filesystem::path& path, int maxPixel) {
    const TiffMessages messages(path);
    QFile file;
    if (!openRegular(path, file)) return std::nullopt;
    return decode(file, maxPixel);
}

std::optional<std::int64_t> megapixelLimitExceeded(const std::filesystem::path& path) {
    const TiffMessages messages(path);
    QFile file;
    if (!openRegular(path, file)) return std::nullopt;
    const auto header = readHeader(file);
    if (!header) return std::nullopt;
    const auto limit = pixelLimitExceeded(*header);
    if (!limit) return std::nullopt;
    return *limit / 1'000'000;
}

} // namespace osterveil::stills
