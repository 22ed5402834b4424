// Pictures in the pixel formats and colour spaces decoders hand over, written losslessly at test time
// with known sample codes (FFV1 in Matroska, raw pictures in NUT), must read back as the colours those
// codes stand for, through the decoder, the imaging layer and the thumbnail generator alike.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "MediaFixtures.hpp"
#include "Platform/Imaging/Context.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/FrameImage.hpp"
#include "Platform/Media/ImageGenerator.hpp"
#include "Platform/Media/VideoDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

using namespace osterveil;
using namespace osterveil::media;
using osterveil::testsupport::MediaFixtures;

namespace {

namespace fs = std::filesystem;

struct Tags {
    AVColorSpace matrix = AVCOL_SPC_BT709;
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_BT709;
    AVColorRange range = AVCOL_RANGE_MPEG;
};

// Sample code of component `c` (as the format's descriptor numbers them) at (x, y) of its own plane grid.
using Painter = std::function<std::uint32_t(int c, int x, int y)>;

void check(int rc, const std::string& what) {
    if (rc < 0) throw std::runtime_error("writing the test picture: " + what + " " + std::to_string(rc));
}

// Two identical frames in Matroska (which carries the colour tags), FFV1 or, for formats FFV1 cannot
// store, raw. Returns the file's path.
fs::path writeClip(const std::string& name, AVPixelFormat format, int w, int h, const Tags& tags, const Painter& paint) {
    bool raw = true;
    for (const AVPixelFormat* p = avcodec_find_encoder_by_name("ffv1")->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        raw = raw && *p != format;
    const fs::path path = MediaFixtures::shared().scratch(name + ".mkv");
    AVFormatContext* oc = nullptr;
    check(avformat_alloc_output_context2(&oc, nullptr, "matroska", path.c_str()), "muxer");
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> out(oc, [](AVFormatContext* c) {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    });
    const AVCodec* codec = avcodec_find_encoder_by_name(raw ? "rawvideo" : "ffv1");
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> enc(avcodec_alloc_context3(codec),
                                                                   [](AVCodecContext* c) { avcodec_free_context(&c); });
    enc->width = w;
    enc->height = h;
    enc->pix_fmt = format;
    enc->time_base = {1, 25};
    enc->colorspace = tags.matrix;
    enc->color_primaries = tags.primaries;
    enc->color_trc = tags.transfer;
    enc->color_range = tags.range;
    enc->thread_count = 1;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (!raw) av_dict_set(&options, "level", "3", 0);
    check(avcodec_open2(enc.get(), codec, &options), "encoder");
    av_dict_free(&options);
    AVStream* st = avformat_new_stream(oc, nullptr);
    check(avcodec_parameters_from_context(st->codecpar, enc.get()), "parameters");
    st->time_base = enc->time_base;
    if (raw) st->codecpar->codec_tag = avcodec_pix_fmt_to_codec_tag(format);
    check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), "open");
    check(avformat_write_header(oc, nullptr), std::string("header of ") + av_get_pix_fmt_name(format));

    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    frame->format = format;
    frame->width = w;
    frame->height = h;
    check(av_frame_get_buffer(frame.get(), 0), "frame");
    // Shallow samples are or-ed into place.
    for (AVBufferRef* b : frame->buf)
        if (b) std::memset(b->data, 0, b->size);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    std::vector<std::uint32_t> line(static_cast<std::size_t>(w));
    for (int c = 0; c < d->nb_components; ++c) {
        const bool chroma = !(d->flags & AV_PIX_FMT_FLAG_RGB) && (c == 1 || c == 2);
        const int cw = chroma ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
        const int ch = chroma ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
        for (int y = 0; y < ch; ++y) {
            for (int x = 0; x < cw; ++x) line[static_cast<std::size_t>(x)] = paint(c, x, y);
            av_write_image_line2(line.data(), frame->data, frame->linesize, d, 0, y, c, cw, 4);
        }
    }
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    auto drain = [&] {
        while (avcodec_receive_packet(enc.get(), pkt.get()) == 0) {
            av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
            pkt->stream_index = st->index;
            check(av_interleaved_write_frame(oc, pkt.get()), "packet");
        }
    };
    for (int i = 0; i < 2; ++i) {
        frame->pts = i;
        check(avcodec_send_frame(enc.get(), frame.get()), "frame");
        drain();
    }
    check(avcodec_send_frame(enc.get(), nullptr), "flush");
    drain();
    check(av_write_trailer(oc), "trailer");
    return path;
}

std::shared_ptr<const AssetTrack> videoTrackOf(const fs::path& path) {
    return Asset::open(path)->tracks(MediaType::video).front();
}

// Premultiplied float RGBA, rows top-down.
struct Picture {
    int width = 0, height = 0;
    std::vector<float> rgba;
    std::array<float, 4> at(int x, int y) const {
        const float* p = rgba.data() + 4 * (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x));
        return {p[0], p[1], p[2], p[3]};
    }
};

Picture decoded(const fs::path& path, std::shared_ptr<const VideoFrame>* frameOut = nullptr) {
    VideoDecoder decoder(videoTrackOf(path));
    const auto frame = decoder.frameAt(Time::zero());
    if (!frame) throw std::runtime_error("no picture");
    if (frameOut) *frameOut = frame;
    return {frame->width, frame->height, imaging::Context().renderFloat(imageOf(*frame), {0, 0, frame->width, frame->height})};
}

struct Weights {
    double kr, kb;
};
constexpr Weights kBT709{0.2126, 0.0722}, kBT2020{0.2627, 0.0593};

// Y'CbCr codes → R'G'B' (ITU-R BT.709 / BT.2020 equations).
std::array<double, 3> toRGB(double y, double cb, double cr, int depth, Weights k, bool full) {
    const double unit = std::ldexp(1.0, depth - 8), max = std::ldexp(1.0, depth) - 1, mid = std::ldexp(1.0, depth - 1);
    const double Y = full ? y / max : (y - 16 * unit) / (219 * unit);
    const double Pb = full ? (cb - mid) / max : (cb - 128 * unit) / (224 * unit);
    const double Pr = full ? (cr - mid) / max : (cr - 128 * unit) / (224 * unit);
    const double kg = 1 - k.kr - k.kb;
    const double r = Y + (2 - 2 * k.kr) * Pr, b = Y + (2 - 2 * k.kb) * Pb;
    return {r, (Y - k.kr * r - k.kb * b) / kg, b};
}

std::array<double, 3> toCodes(std::array<double, 3> rgb, int depth, Weights k) {
    const double unit = std::ldexp(1.0, depth - 8);
    const double y = k.kr * rgb[0] + (1 - k.kr - k.kb) * rgb[1] + k.kb * rgb[2];
    return {std::round((16 + 219 * y) * unit), std::round((128 + 224 * (rgb[2] - y) / (2 - 2 * k.kb)) * unit),
            std::round((128 + 224 * (rgb[0] - y) / (2 - 2 * k.kr)) * unit)};
}

} // namespace

// Every planar layout the common decoders produce (H.264, HEVC, VP9, AV1, ProRes, DNxHD, DV, MJPEG, FFV1),
// of 8 to 16 bits, with and without alpha, read in place; packed, grey, Cr-first and RGB layouts converted.
// 16×16 blocks of one chroma value with luma varying inside, compared away from the block edges so that
// chroma interpolation cannot blur them: a layout read with the wrong subsampling reads another block's
// chroma (or outside the plane, which the sanitiser build reports).
TEST(PictureFormats, EveryLayoutReadsBackAsItsSource) {
    const int w = 64, h = 48;
    for (const AVPixelFormat format :
         {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV440P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV411P,
          AV_PIX_FMT_YUV410P, AV_PIX_FMT_YUV420P9LE, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P10LE,
          AV_PIX_FMT_YUV440P12LE, AV_PIX_FMT_YUV444P12LE, AV_PIX_FMT_YUV422P14LE, AV_PIX_FMT_YUV420P16LE,
          AV_PIX_FMT_YUV444P16LE, AV_PIX_FMT_YUVA420P, AV_PIX_FMT_YUVA444P10LE, AV_PIX_FMT_YUVA422P16LE,
          AV_PIX_FMT_NV12, AV_PIX_FMT_NV21, AV_PIX_FMT_UYVY422, AV_PIX_FMT_YUYV422,
          AV_PIX_FMT_GRAY8, AV_PIX_FMT_GRAY10LE, AV_PIX_FMT_YA8, AV_PIX_FMT_BGRA, AV_PIX_FMT_GBRP10LE}) {
        const char* name = av_get_pix_fmt_name(format);
        SCOPED_TRACE(name);
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        const bool rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
        const bool grey = d->nb_components < 3;
        const bool alpha = d->flags & AV_PIX_FMT_FLAG_ALPHA;
        const int depth = d->comp[0].depth;
        const int up = depth - 8;
        const std::uint32_t max = (1u << depth) - 1;
        const int sx = rgb ? 0 : d->log2_chroma_w, sy = rgb ? 0 : d->log2_chroma_h;
        const bool full = format == AV_PIX_FMT_YUV444P; // one full-range case
        auto block = [](int x, int y) { return static_cast<std::uint32_t>(x / 16 + 4 * (y / 16)); };
        // Deep codes use their low bits too.
        auto luma = [&](int x, int y) { return ((40 + 12 * block(x, y) + (x + 2 * y) % 8) << up) + (x * 7 + y) % (1u << up); };
        auto cb = [&](std::uint32_t b) { return ((64 + 37 * b % 128) << up) + b % (1u << up); };
        auto cr = [&](std::uint32_t b) { return ((200 - 29 * b % 128) << up) + (3 * b) % (1u << up); };
        auto opacity = [&](int x, int y) { return static_cast<std::uint32_t>((x * 5 + y * 11) % 256) * max / 255; };
        auto rgbCode = [&](int c, int x, int y) { return static_cast<std::uint32_t>((x * 3 + y * 5 + 70 * c) % 256) * max / 255; };
        const Painter paint = [&](int c, int x, int y) -> std::uint32_t {
            if (rgb) return c == 3 ? opacity(x, y) : rgbCode(c, x, y);
            if (grey) return c == 0 ? luma(x, y) : opacity(x, y);
            if (c == 0) return luma(x, y);
            if (c == 3) return opacity(x, y);
            const std::uint32_t b = block(x << sx, y << sy);
            return c == 1 ? cb(b) : cr(b);
        };
        Tags tags;
        if (full) tags.range = AVCOL_RANGE_JPEG;
        const fs::path path = writeClip(std::string("layout-") + name, format, w, h, tags, paint);

        std::shared_ptr<const VideoFrame> frame;
        const Picture got = decoded(path, &frame);
        ASSERT_EQ(got.width, w);
        ASSERT_EQ(got.height, h);
        const bool converted = rgb || grey || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || format == AV_PIX_FMT_NV21;
        if (!converted) {
            // Read as it is, by its own factors.
            EXPECT_EQ(frame->chromaShiftX, sx);
            EXPECT_EQ(frame->chromaShiftY, sy);
            EXPECT_EQ(frame->bitDepth, depth);
        }
        // Converted to 8-bit BGRA (RGB), or repacked into 16 bits (deep grey): a little more error.
        const double tol = rgb ? 1.5 / 255 : converted && depth > 8 ? 2e-3 : 2e-5;

        PixelBuffer thumb = [&] {
            ImageGenerator generator(videoTrackOf(path));
            return generator.image(Time::zero());
        }();
        ASSERT_EQ(thumb.width(), w);
        ASSERT_EQ(thumb.height(), h);
        int compared = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (x % 16 < 4 || x % 16 >= 12 || y % 16 < 4 || y % 16 >= 12) continue;
                std::array<double, 3> want;
                if (rgb) {
                    for (int c = 0; c < 3; ++c) want[c] = rgbCode(c, x, y) / double(max);
                } else if (grey) {
                    const double v = (luma(x, y) - 16.0 * (1 << up)) / (219.0 * (1 << up));
                    want = {v, v, v};
                } else {
                    want = toRGB(luma(x, y), cb(block(x, y)), cr(block(x, y)), depth, kBT709, full);
                }
                const double a = alpha ? opacity(x, y) / double(max) : 1.0;
                const auto p = got.at(x, y);
                for (int c = 0; c < 3; ++c) ASSERT_NEAR(p[c], want[c] * a, tol) << x << "," << y << " channel " << c;
                ASSERT_NEAR(p[3], a, 1e-6);
                // The thumbnail: the same colours over black, in 8 bits.
                const std::uint8_t* px = thumb.row(y) + 4 * x;
                const std::uint8_t bgr[3] = {px[2], px[1], px[0]};
                for (int c = 0; c < 3; ++c)
                    ASSERT_NEAR(bgr[c] / 255.0, std::clamp(want[c] * a, 0.0, 1.0), tol + 0.6 / 255) << x << "," << y;
                ++compared;
            }
        EXPECT_EQ(compared, 12 * 8 * 8);
    }
}

// The 4:4:0 reproducer from the field (half-height chroma) was read as 4:4:4, twice its chroma rows.
TEST(PictureFormats, HalfHeightChromaSampleReadsInsideItsPlanes) {
    const fs::path path = fs::path(OSTERVEIL_TESTDATA) / "damaged" / "ffv1-yuv440p.mkv";
    if (!fs::exists(path)) GTEST_SKIP() << "shared test data not found at " << path;
    std::shared_ptr<const VideoFrame> frame;
    const Picture got = decoded(path, &frame);
    EXPECT_EQ(frame->chromaShiftX, 0);
    EXPECT_EQ(frame->chromaShiftY, 1);
    // Each pixel against the planes: chroma row j is sited midway between luma rows 2j and 2j + 1.
    const Weights k = frame->matrix == imaging::YUVMatrix::bt709 ? kBT709 : Weights{0.299, 0.114};
    const int chromaRows = (frame->height + 1) / 2;
    double worst = 0;
    for (int y = 0; y < frame->height; ++y) {
        const double cv = (y - 0.5) / 2;
        const int j0 = std::clamp(static_cast<int>(std::floor(cv)), 0, chromaRows - 1);
        const int j1 = std::clamp(static_cast<int>(std::floor(cv)) + 1, 0, chromaRows - 1);
        const double f = cv - std::floor(cv);
        for (int x = 0; x < frame->width; ++x) {
            auto chroma = [&](int plane) {
                const std::uint8_t* p = frame->planes[plane];
                const std::ptrdiff_t s = frame->bytesPerRow[plane];
                return p[j0 * s + x] * (1 - f) + p[j1 * s + x] * f;
            };
            const auto rgb = toRGB(frame->planes[0][y * frame->bytesPerRow[0] + x], chroma(1), chroma(2), 8, k,
                                   frame->range == imaging::YUVRange::full);
            const auto p = got.at(x, y);
            for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(p[c] - rgb[c]));
        }
    }
    EXPECT_LT(worst, 1e-4);
}

namespace {

// BT.2020 → BT.709 for linear light, as published in ITU-R BT.2407.
constexpr double kToBT709[9] = {1.6605, -0.5876, -0.0728, -0.1246, 1.1329, -0.0083, -0.0182, -0.1006, 1.1187};

double signedPow(double v, double p) { return v < 0 ? -std::pow(-v, p) : std::pow(v, p); }

// SMPTE ST 2084.
const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32,
             c3 = 2392.0 / 4096 * 32;
double pqEOTF(double e) { // cd/m²
    const double p = std::pow(e, 1 / m2);
    return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}
double pqInverseEOTF(double nits) {
    const double y = std::pow(nits / 10000, m1);
    return std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
}

// ITU-R BT.2390 EETF, source 0…1000 cd/m², target 0…203 cd/m² (BT.2408 reference white).
double eetf(double e) {
    const double lw = pqInverseEOTF(1000);
    const double e1 = std::clamp(e, 0.0, 1.0) / lw;
    const double maxLum = pqInverseEOTF(203) / lw;
    const double ks = 1.5 * maxLum - 0.5;
    double e2 = e1;
    if (e1 >= ks) {
        const double t = std::min((e1 - ks) / (1 - ks), 1.0);
        e2 = (2 * t * t * t - 3 * t * t + 1) * ks + (t * t * t - 2 * t * t + t) * (1 - ks) + (-2 * t * t * t + 3 * t * t) * maxLum;
    }
    return e2 * lw;
}

// ITU-R BT.2100 HLG: inverse OETF and the OOTF of a 1000 cd/m² display (γ = 1.2).
std::array<double, 3> hlgDisplayLight(std::array<double, 3> e) {
    const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
    std::array<double, 3> s;
    for (int i = 0; i < 3; ++i) {
        const double v = std::max(e[i], 0.0);
        s[i] = v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + b) / 12;
    }
    const double ys = 0.2627 * s[0] + 0.6780 * s[1] + 0.0593 * s[2];
    for (double& v : s) v *= 1000 * std::pow(ys, 0.2);
    return s;
}

// Linear BT.2020 light, 1 = standard-range white → BT.709 R'G'B' for a BT.1886 display (γ 2.4).
std::array<double, 3> toWorking(std::array<double, 3> l) {
    std::array<double, 3> out;
    for (int r = 0; r < 3; ++r)
        out[r] = signedPow(kToBT709[3 * r] * l[0] + kToBT709[3 * r + 1] * l[1] + kToBT709[3 * r + 2] * l[2], 1 / 2.4);
    return out;
}

} // namespace

// Colour bars tagged BT.2020 (standard range, HLG, PQ) come into the BT.709 working space by the published
// formulas, greys stay grey, and BT.709 bars are untouched.
TEST(PictureFormats, WideGamutAndHDRTagsAreHonoured) {
    const std::vector<std::array<double, 3>> bars = {
        {0, 0, 0},       {0.25, 0.25, 0.25}, {0.5, 0.5, 0.5},  {0.75, 0.75, 0.75}, {1, 1, 1},      {0.75, 0.75, 0},
        {0, 0.75, 0.75}, {0, 0.6, 0},        {0.6, 0, 0.6},    {0.75, 0, 0},       {0, 0, 0.75},   {0.9, 0.4, 0.2}};
    const int w = 16 * static_cast<int>(bars.size()), h = 16, depth = 10;
    enum class Kind { bt709, sdr2020, hlg, pq };
    for (const Kind kind : {Kind::bt709, Kind::sdr2020, Kind::hlg, Kind::pq}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const bool wide = kind != Kind::bt709;
        const Weights k = wide ? kBT2020 : kBT709;
        Tags tags;
        if (wide) tags = {AVCOL_SPC_BT2020_NCL, AVCOL_PRI_BT2020, AVCOL_TRC_BT2020_10, AVCOL_RANGE_MPEG};
        if (kind == Kind::hlg) tags.transfer = AVCOL_TRC_ARIB_STD_B67;
        if (kind == Kind::pq) tags.transfer = AVCOL_TRC_SMPTE2084;
        const fs::path path = writeClip("bars-" + std::to_string(static_cast<int>(kind)), AV_PIX_FMT_YUV420P10LE, w, h, tags, [&](int c, int x, int) {
            const int bar = (x << (c == 0 ? 0 : 1)) / 16;
            return static_cast<std::uint32_t>(toCodes(bars[static_cast<std::size_t>(bar)], depth, k)[static_cast<std::size_t>(c)]);
        });
        const Picture got = decoded(path);

        for (std::size_t i = 0; i < bars.size(); ++i) {
            SCOPED_TRACE(i);
            const auto code = toCodes(bars[i], depth, k);
            const auto signal = toRGB(code[0], code[1], code[2], depth, k, false);
            std::array<double, 3> want = signal;
            switch (kind) {
            case Kind::bt709: break;
            case Kind::sdr2020: want = toWorking({signedPow(signal[0], 2.4), signedPow(signal[1], 2.4), signedPow(signal[2], 2.4)}); break;
            case Kind::pq:
                for (int c = 0; c < 3; ++c) want[c] = pqEOTF(eetf(signal[c])) / 203;
                want = toWorking(want);
                break;
            case Kind::hlg: {
                const auto light = hlgDisplayLight(signal);
                for (int c = 0; c < 3; ++c) want[c] = pqEOTF(eetf(pqInverseEOTF(light[c]))) / 203;
                want = toWorking(want);
                break;
            }
            }
            const auto p = got.at(static_cast<int>(16 * i + 8), 8);
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], want[c], kind == Kind::bt709 ? 1e-5 : 1e-3) << "channel " << c;
            if (bars[i][0] == bars[i][1] && bars[i][1] == bars[i][2]) {
                EXPECT_NEAR(p[0], p[1], 1e-4) << "a grey turned colour";
                EXPECT_NEAR(p[2], p[1], 1e-4) << "a grey turned colour";
            }
        }
        // Peak white of every transfer is standard-range white.
        EXPECT_NEAR(got.at(16 * 4 + 8, 8)[1], 1.0, 2e-3);
    }
}
