#include "Platform/Stills/StillPieces.hpp"
#include "Platform/Stills/StillReader.hpp"
#include "Platform/Stills/TiffMessages.hpp"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <QSysInfo>

#include <png.h>
#include <tiffio.h>

namespace osterveil::stills::detail {

namespace {

// What a piece may take: a strip or row of tiles with its picture converted, or a row of a PNG.
constexpr std::int64_t kPieceBytes = std::int64_t(32) << 20;
// The most target pixels summed in any order (16 bytes each): the passes of an interlaced PNG reach
// across the whole picture. Up to 4K pictures exactly; larger ones are averaged to this and scaled up.
constexpr std::int64_t kAnyOrderPixels = 10'000'000;

// Averages a picture that arrives a run of pixels at a time down to its target size: every source
// pixel falls into exactly one target pixel, which is the mean of its premultiplied pixels, so that
// transparent pixels lend no colour. Rows in order are summed one target row at a time; rows in any
// order (the passes of an interlaced PNG) into a sum of the whole target.
class Shrinker {
  public:
    Shrinker(std::int64_t width, std::int64_t height, QSize target, bool anyOrder)
        : width_(width), height_(height), target_(target), anyOrder_(anyOrder),
          image_(target, QImage::Format_RGBA8888_Premultiplied) {
        columns_ = starts(width, target.width());
        rows_ = starts(height, target.height());
        sums_.assign(std::size_t(target.width()) * 4 * (anyOrder ? std::size_t(target.height()) : 1), 0.0f);
    }

    bool isValid() const { return !image_.isNull(); }

    // `count` premultiplied RGBA pixels (0 to 1) of source row `y`, at columns x0, x0 + step, ….
    void add(std::int64_t y, std::int64_t x0, std::int64_t step, std::int64_t count, const float* rgba) {
        const int row = int(y * target_.height() / height_);
        if (!anyOrder_ && row != current_) {
            if (current_ >= 0) flush(current_);
            std::fill(sums_.begin(), sums_.end(), 0.0f);
            current_ = row;
        }
        float* sums = sums_.data() + (anyOrder_ ? std::size_t(row) * target_.width() * 4 : 0);
        int column = int(x0 * target_.width() / width_);
        std::int64_t x = x0;
        for (std::int64_t i = 0; i < count; ++i, x += step) {
            while (x >= columns_[std::size_t(column) + 1])
                ++column;
            float* sum = sums + std::size_t(column) * 4;
            for (int c = 0; c < 4; ++c)
                sum[c] += rgba[i * 4 + c];
        }
    }

    QImage finish() {
        if (anyOrder_) {
            for (int row = 0; row < target_.height(); ++row)
                flush(row);
        } else if (current_ >= 0) {
            flush(current_);
        }
        return image_;
    }

  private:
    // The first source pixel of each target pixel, and the source's end.
    static std::vector<std::int64_t> starts(std::int64_t source, int target) {
        std::vector<std::int64_t> out(std::size_t(target) + 1);
        for (int t = 0; t <= target; ++t)
            out[std::size_t(t)] = (std::int64_t(t) * source + target - 1) / target;
        return out;
    }

    void flush(int row) {
        const float* sums = sums_.data() + (anyOrder_ ? std::size_t(row) * target_.width() * 4 : 0);
        const double rows = double(rows_[std::size_t(row) + 1] - rows_[std::size_t(row)]);
        uchar* out = image_.scanLine(row);
        for (int column = 0; column < target_.width(); ++column) {
            const double n = rows * double(columns_[std::size_t(column) + 1] - columns_[std::size_t(column)]);
            for (int c = 0; c < 4; ++c)
                out[column * 4 + c] =
                    uchar(std::clamp(std::lround(sums[column * 4 + c] / n * 255), 0L, 255L));
        }
    }

    std::int64_t width_, height_;
    QSize target_;
    bool anyOrder_;
    QImage image_;
    std::vector<std::int64_t> columns_, rows_;
    std::vector<float> sums_;
    int current_ = -1;
};

// Whether a picture of this size is one that is read at all: a header may claim anything.
bool isReadable(std::int64_t width, std::int64_t height) {
    return width > 0 && height > 0 && width * height <= mostPixels;
}

QSize targetSize(std::int64_t width, std::int64_t height, int maxPixel) {
    QSize size{int(width), int(height)};
    if (maxPixel > 0 && std::max(width, height) > maxPixel)
        size.scale(maxPixel, maxPixel, Qt::KeepAspectRatio);
    return size.expandedTo(QSize(1, 1));
}

// PNG, through libpng: rows are read one by one, each pass of an interlaced picture as its own rows.

struct PngShape {
    png_uint_32 width = 0, height = 0;
    bool interlaced = false;
    std::size_t rowBytes = 0;
};

void pngRead(png_structp png, png_bytep data, std::size_t length) {
    auto* device = static_cast<QIODevice*>(png_get_io_ptr(png));
    if (device->read(reinterpret_cast<char*>(data), qint64(length)) != qint64(length))
        png_error(png, "cut short");
}

[[noreturn]] void pngFailed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void pngWarned(png_structp, png_const_charp) {}

// The header read, and every picture set to be delivered as 16-bit RGBA. Nothing with a destructor
// lives in this function or the next, so that libpng's longjmp out of a failure skips none.
bool readPngHeader(png_structp png, png_infop info, PngShape& shape) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    png_set_expand(png); // palette, low-depth grey and a transparent colour: full colour with alpha
    png_set_expand_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) png_set_swap(png);
    png_read_update_info(png, info);
    if (png_get_channels(png, info) != 4 || png_get_bit_depth(png, info) != 16) return false;
    shape.width = png_get_image_width(png, info);
    shape.height = png_get_image_height(png, info);
    shape.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    shape.rowBytes = png_get_rowbytes(png, info);
    return true;
}

// Apart from the function that sets the jump, so that none of its variables changes after it.
[[gnu::noinline]] void readPngPasses(png_structp png, const PngShape& shape, std::uint16_t* row, float* rgba,
                                     Shrinker& shrinker) {
    for (int pass = 0; pass < (shape.interlaced ? 7 : 1); ++pass) {
        const png_uint_32 columns = shape.interlaced ? PNG_PASS_COLS(shape.width, pass) : shape.width;
        const png_uint_32 rows = shape.interlaced ? PNG_PASS_ROWS(shape.height, pass) : shape.height;
        if (columns == 0 || rows == 0) continue; // a pass with no pixels has no rows in the file
        for (png_uint_32 r = 0; r < rows; ++r) {
            png_read_row(png, reinterpret_cast<png_bytep>(row), nullptr);
            for (png_uint_32 x = 0; x < columns; ++x) {
                const float a = row[x * 4 + 3] / 65535.0f;
                for (int c = 0; c < 3; ++c)
                    rgba[x * 4 + c] = row[x * 4 + c] / 65535.0f * a;
                rgba[x * 4 + 3] = a;
            }
            if (shape.interlaced)
                shrinker.add(PNG_ROW_FROM_PASS_ROW(r, pass), PNG_COL_FROM_PASS_COL(0, pass),
                             std::int64_t(1) << PNG_PASS_COL_SHIFT(pass), columns, rgba);
            else
                shrinker.add(r, 0, 1, columns, rgba);
        }
    }
}

bool readPngRows(png_structp png, const PngShape& shape, std::uint16_t* row, float* rgba,
                 Shrinker& shrinker) {
    if (setjmp(png_jmpbuf(png))) return false;
    readPngPasses(png, shape, row, rgba, shrinker);
    png_read_end(png, nullptr);
    return true;
}

struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngReader() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
        if (png) info = png_create_info_struct(png);
    }
    ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// The PNG's bit depth and width from its header; none when the bytes are no PNG.
std::optional<std::pair<int, std::int64_t>> pngDepthAndWidth(QIODevice& device) {
    if (!device.seek(0)) return std::nullopt;
    const QByteArray head = device.read(33);
    if (head.size() < 33 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return std::nullopt;
    const auto byte = [&](int i) { return std::int64_t(static_cast<unsigned char>(head[i])); };
    return std::pair{int(byte(24)), byte(16) << 24 | byte(17) << 16 | byte(18) << 8 | byte(19)};
}

std::optional<QImage> readPng(QIODevice& device, int maxPixel) {
    if (!device.seek(0)) return std::nullopt;
    PngReader reader;
    if (!reader.png || !reader.info) return std::nullopt;
    png_set_read_fn(reader.png, &device, pngRead);
    PngShape shape;
    if (!readPngHeader(reader.png, reader.info, shape) || !isReadable(shape.width, shape.height))
        return std::nullopt;
    std::vector<std::uint16_t> row(shape.rowBytes / 2 + 4);
    std::vector<float> rgba(std::size_t(shape.width) * 4);
    const QSize target = targetSize(shape.width, shape.height, maxPixel);
    QSize summed = target;
    if (shape.interlaced && std::int64_t(target.width()) * target.height() > kAnyOrderPixels) {
        const double shrink = std::sqrt(double(kAnyOrderPixels) / (double(target.width()) * target.height()));
        summed = QSize(int(target.width() * shrink), int(target.height() * shrink)).expandedTo(QSize(1, 1));
    }
    Shrinker shrinker(shape.width, shape.height, summed, shape.interlaced);
    if (!shrinker.isValid() || !readPngRows(reader.png, shape, row.data(), rgba.data(), shrinker))
        return std::nullopt;
    QImage image = shrinker.finish();
    if (summed != target) image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

// TIFF, through libtiff: a strip, or a row of tiles, at a time, each converted to RGBA by libtiff, or
// here where its samples are floating point.

tmsize_t tiffRead(thandle_t device, void* data, tmsize_t size) {
    return static_cast<QIODevice*>(device)->read(static_cast<char*>(data), size);
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t) {
    return 0;
}
toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* device = static_cast<QIODevice*>(handle);
    const qint64 base = whence == SEEK_CUR ? device->pos() : whence == SEEK_END ? device->size() : 0;
    const qint64 to = base + qint64(offset);
    return device->seek(to) ? toff_t(to) : toff_t(-1);
}
int tiffClose(thandle_t) {
    return 0;
}
toff_t tiffSize(thandle_t device) {
    return toff_t(static_cast<QIODevice*>(device)->size());
}
int tiffMap(thandle_t, void**, toff_t*) {
    return 0;
}
void tiffUnmap(thandle_t, void*, toff_t) {}
int tiffWarned(TIFF*, void*, const char* module, const char* format, va_list args) {
    TiffMessages::report(false, module, format, args);
    return 1;
}
int tiffFailed(TIFF*, void*, const char* module, const char* format, va_list args) {
    TiffMessages::report(true, module, format, args);
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

Tiff openTiff(QIODevice& device) {
    if (!device.seek(0)) return nullptr;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) return nullptr;
    // Nothing a header claims gets more memory than a piece may take.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kPieceBytes);
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffFailed, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffWarned, nullptr);
    Tiff tiff(TIFFClientOpenExt("still", "rm", &device, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
                                tiffMap, tiffUnmap, options));
    TIFFOpenOptionsFree(options);
    return tiff;
}

// Floating-point samples, which libtiff does not convert to RGBA: RGB of 16 or 32 bits, with an alpha
// when there is a fourth sample, interleaved or each sample in a plane of its own; the pictures Qt's
// reader takes whole when interleaved, and misreads in planes.
struct FloatSamples {
    std::uint16_t bits = 32;
    std::uint16_t samples = 3;
    bool associated = false; // the alpha premultiplied already
    bool planes = false;     // each sample stored apart
};

std::optional<FloatSamples> floatSamples(TIFF* tiff) {
    std::uint16_t format = SAMPLEFORMAT_UINT, photometric = 0, planes = PLANARCONFIG_CONTIG;
    FloatSamples f;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &f.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &f.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planes);
    if (format != SAMPLEFORMAT_IEEEFP || !TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) ||
        photometric != PHOTOMETRIC_RGB ||
        (planes != PLANARCONFIG_CONTIG && planes != PLANARCONFIG_SEPARATE) ||
        (f.bits != 16 && f.bits != 32) || (f.samples != 3 && f.samples != 4))
        return std::nullopt;
    f.planes = planes == PLANARCONFIG_SEPARATE;
    std::uint16_t extras = 0;
    std::uint16_t* kinds = nullptr;
    if (f.samples == 4 && TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extras, &kinds) && extras > 0 && kinds)
        f.associated = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
    return f;
}

float halfToFloat(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000) << 16, exponent = h >> 10 & 0x1F,
                        mantissa = h & 0x3FF;
    if (exponent == 0) return (sign ? -1.0f : 1.0f) * float(mantissa) * (1.0f / 16777216); // subnormal
    const std::uint32_t bits =
        sign | (exponent == 31 ? 0xFFu : exponent + 112) << 23 | mantissa << 13; // 31: infinity, NaN
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Within 0…1, not-a-number as 0.
float unit(float v) {
    return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f;
}

struct TiffPlan {
    std::uint32_t width = 0, height = 0;
    // Rows a piece: a strip's, or a band of a row of tiles, as many of its rows as a piece may hold
    // (a tile is then decoded again for each band it reaches into).
    std::uint32_t rows = 0;
    std::uint32_t tileWidth = 0, tileLength = 0; // 0: in strips
    std::optional<FloatSamples> floating;
};

// How the picture is read a piece at a time; none when neither libtiff nor the reader here can
// convert it, or a piece would take more than a piece may.
std::optional<TiffPlan> planTiff(TIFF* tiff) {
    TiffPlan plan;
    plan.floating = floatSamples(tiff);
    char message[1024];
    if (!plan.floating && !TIFFRGBAImageOK(tiff, message)) return std::nullopt;
    std::uint16_t planes = PLANARCONFIG_CONTIG, samples = 1;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &plan.width) ||
        !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &plan.height) || plan.width == 0 || plan.height == 0)
        return std::nullopt;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planes);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const std::uint64_t apart = planes == PLANARCONFIG_SEPARATE ? samples : 1;
    // Held besides what libtiff decodes, a row: its pixels converted to RGBA, or its floating-point
    // samples gathered from a row of tiles.
    const std::uint64_t rowHeld = plan.floating
                                      ? std::uint64_t(plan.width) * samples * plan.floating->bits / 8
                                      : std::uint64_t(plan.width) * 4;
    if (TIFFIsTiled(tiff)) {
        if (!TIFFGetField(tiff, TIFFTAG_TILELENGTH, &plan.tileLength) ||
            !TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &plan.tileWidth) || plan.tileWidth == 0 ||
            plan.tileLength == 0)
            return std::nullopt;
        // libtiff decodes a tile in every plane at once; the reader here a plane at a time.
        const std::uint64_t decoded = TIFFTileSize64(tiff) * (plan.floating ? 1 : apart);
        if (decoded == 0 || decoded + rowHeld > std::uint64_t(kPieceBytes)) return std::nullopt;
        plan.rows =
            std::uint32_t(std::min<std::uint64_t>(plan.tileLength, (kPieceBytes - decoded) / rowHeld));
    } else {
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &plan.rows);
        plan.rows = std::clamp<std::uint32_t>(plan.rows, 1, plan.height);
        // Floating-point samples are converted from the strips as they were decoded.
        const std::uint64_t decoded = TIFFStripSize64(tiff) * apart;
        const std::uint64_t held = plan.floating ? 0 : rowHeld * plan.rows;
        if (decoded == 0 || decoded + held > std::uint64_t(kPieceBytes)) return std::nullopt;
    }
    return plan;
}

// Rows from `y` that one piece reads: what is left of a strip, or a band that stays within its row of
// tiles.
std::uint32_t pieceRows(const TiffPlan& plan, std::uint32_t y) {
    std::uint32_t rows = std::min(plan.rows, plan.height - y);
    if (plan.tileLength) rows = std::min(rows, plan.tileLength - y % plan.tileLength);
    return rows;
}

bool readConvertedTiff(TIFF* tiff, const TiffPlan& plan, Shrinker& shrinker) {
    char message[1024];
    TIFFRGBAImage image;
    if (!TIFFRGBAImageBegin(&image, tiff, 1, message)) return false;
    struct End {
        TIFFRGBAImage& image;
        ~End() { TIFFRGBAImageEnd(&image); }
    } end{image};
    // Rows as stored, the first at the top: the file's orientation is applied with Qt's reading of it.
    image.orientation = ORIENTATION_TOPLEFT;
    image.req_orientation = ORIENTATION_TOPLEFT;
    std::vector<std::uint32_t> piece(std::size_t(plan.width) * plan.rows);
    std::vector<float> rgba(std::size_t(plan.width) * 4);
    for (std::uint32_t y = 0, rows = 0; y < plan.height; y += rows) {
        rows = pieceRows(plan, y);
        image.row_offset = int(y);
        image.col_offset = 0;
        if (!TIFFRGBAImageGet(&image, piece.data(), plan.width, rows)) return false;
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint32_t* pixels = piece.data() + std::size_t(r) * plan.width;
            for (std::uint32_t x = 0; x < plan.width; ++x) {
                // Premultiplied already: libtiff associates an unassociated alpha as it converts.
                rgba[x * 4 + 0] = float(TIFFGetR(pixels[x])) / 255;
                rgba[x * 4 + 1] = float(TIFFGetG(pixels[x])) / 255;
                rgba[x * 4 + 2] = float(TIFFGetB(pixels[x])) / 255;
                rgba[x * 4 + 3] = float(TIFFGetA(pixels[x])) / 255;
            }
            shrinker.add(y + r, 0, 1, plan.width, rgba.data());
        }
    }
    return true;
}

// Samples as stored (libtiff decompresses them and puts them in the machine's byte order), each
// held to 0…1 as Qt's reader shows them, an unassociated alpha associated. A piece comes in one
// buffer of interleaved samples, or one a plane.
bool readFloatTiff(TIFF* tiff, const TiffPlan& plan, Shrinker& shrinker) {
    const FloatSamples f = *plan.floating;
    const std::size_t sampleBytes = f.bits / 8, buffers = f.planes ? f.samples : 1,
                      perPixel = f.planes ? 1 : f.samples;
    const std::size_t rowBytes = std::size_t(plan.width) * perPixel * sampleBytes;
    std::vector<std::vector<std::uint8_t>> piece(buffers, std::vector<std::uint8_t>(rowBytes * plan.rows));
    std::vector<std::uint8_t> tile(plan.tileWidth ? std::size_t(TIFFTileSize64(tiff)) : 0);
    std::vector<float> rgba(std::size_t(plan.width) * 4);
    const auto sample = [&](std::uint32_t r, std::uint32_t x, std::size_t c) {
        const std::uint8_t* p = piece[f.planes ? c : 0].data() + r * rowBytes +
                                (std::size_t(x) * perPixel + (f.planes ? 0 : c)) * sampleBytes;
        if (f.bits == 16) {
            std::uint16_t h;
            std::memcpy(&h, p, 2);
            return halfToFloat(h);
        }
        float v;
        std::memcpy(&v, p, 4);
        return v;
    };
    for (std::uint32_t y = 0, rows = 0; y < plan.height; y += rows) {
        rows = pieceRows(plan, y);
        for (std::size_t b = 0; b < buffers; ++b) {
            const auto plane = std::uint16_t(b);
            if (!plan.tileWidth) {
                const auto wanted = tmsize_t(rowBytes * rows);
                if (TIFFReadEncodedStrip(tiff, TIFFComputeStrip(tiff, y, plane), piece[b].data(), wanted) <
                    wanted)
                    return false;
                continue;
            }
            const std::size_t tileRowBytes = std::size_t(plan.tileWidth) * perPixel * sampleBytes;
            const std::uint32_t within = y % plan.tileLength;
            for (std::uint32_t x = 0; x < plan.width; x += plan.tileWidth) {
                if (TIFFReadEncodedTile(tiff, TIFFComputeTile(tiff, x, y, 0, plane), tile.data(),
                                        tmsize_t(tile.size())) < 0)
                    return false;
                const std::size_t columns = std::min(plan.tileWidth, plan.width - x) * perPixel * sampleBytes;
                for (std::uint32_t r = 0; r < rows; ++r)
                    std::memcpy(piece[b].data() + r * rowBytes + x * perPixel * sampleBytes,
                                tile.data() + (within + r) * tileRowBytes, columns);
            }
        }
        for (std::uint32_t r = 0; r < rows; ++r) {
            for (std::uint32_t x = 0; x < plan.width; ++x) {
                const float a = f.samples == 4 ? unit(sample(r, x, 3)) : 1.0f;
                for (std::size_t c = 0; c < 3; ++c) {
                    const float v = unit(sample(r, x, c));
                    rgba[x * 4 + c] = f.associated ? std::min(v, a) : v * a;
                }
                rgba[x * 4 + 3] = a;
            }
            shrinker.add(y + r, 0, 1, plan.width, rgba.data());
        }
    }
    return true;
}

std::optional<QImage> readTiff(QIODevice& device, int maxPixel) {
    const Tiff tiff = openTiff(device);
    if (!tiff) return std::nullopt;
    const auto plan = planTiff(tiff.get());
    if (!plan || !isReadable(plan->width, plan->height)) return std::nullopt;
    Shrinker shrinker(plan->width, plan->height, targetSize(plan->width, plan->height, maxPixel), false);
    if (!shrinker.isValid()) return std::nullopt;
    if (!(plan->floating ? readFloatTiff : readConvertedTiff)(tiff.get(), *plan, shrinker))
        return std::nullopt;
    return shrinker.finish();
}

} // namespace

bool readsInPieces(QIODevice& device, const QByteArray& format) {
    if (format == "png") {
        const auto header = pngDepthAndWidth(device);
        // A row, and its pixels as they are summed, within a piece.
        return header && header->first == 16 && header->second * 24 <= kPieceBytes;
    }
    if (format == "tiff") {
        const Tiff tiff = openTiff(device);
        return tiff && planTiff(tiff.get());
    }
    return false;
}

bool readsRightWhole(QIODevice& device, const QByteArray& format) {
    if (format != "tiff") return true;
    const Tiff tiff = openTiff(device);
    const auto f = tiff ? floatSamples(tiff.get()) : std::nullopt;
    return !f || !f->planes;
}

std::optional<QImage> readInPieces(QIODevice& device, const QByteArray& format, int maxPixel) {
    if (format == "png") return readPng(device, maxPixel);
    if (format == "tiff") return readTiff(device, maxPixel);
    return std::nullopt;
}

} // namespace osterveil::stills::detail
