#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "Platform/Media/AssetWriter.hpp"

using namespace osterveil::media;
namespace fs = std::filesystem;

namespace {

struct Written {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int profile = 0;
    int width = 0, height = 0;
    int frames = 0;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    std::uint32_t tag = 0;
    double firstLuma = -1; // mean of the first decoded picture's luma plane, 8-bit scale
};

// Reads a written movie back with FFmpeg and decodes every picture.
Written inspect(const fs::path& path) {
    Written w;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return w;
    avformat_find_stream_info(fmt, nullptr);
    const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (si >= 0) {
        const AVCodecParameters* par = fmt->streams[si]->codecpar;
        w.codec = par->codec_id;
        w.profile = par->profile;
        w.width = par->width;
        w.height = par->height;
        w.primaries = par->color_primaries;
        w.transfer = par->color_trc;
        w.matrix = par->color_space;
        w.tag = par->codec_tag;
        const AVCodec* dec = avcodec_find_decoder(par->codec_id);
        AVCodecContext* ctx = avcodec_alloc_context3(dec);
        avcodec_parameters_to_context(ctx, par);
        avcodec_open2(ctx, dec, nullptr);
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto receive = [&] {
            while (avcodec_receive_frame(ctx, frame) == 0) {
                if (w.frames++ == 0) {
                    const int depth = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format))->comp[0].depth;
                    const double toEightBit = 1 << (depth - 8);
                    double sum = 0;
                    for (int y = 0; y < frame->height; ++y)
                        for (int x = 0; x < frame->width; ++x)
                            sum += depth > 8
                                       ? reinterpret_cast<const uint16_t*>(frame->data[0] + y * frame->linesize[0])[x] / toEightBit
                                       : frame->data[0][y * frame->linesize[0] + x];
                    w.firstLuma = sum / (frame->width * frame->height);
                }
            }
        };
        while (av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == si) {
                avcodec_send_packet(ctx, pkt);
                receive();
            }
            av_packet_unref(pkt);
        }
        avcodec_send_packet(ctx, nullptr);
        receive();
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
    avformat_close_input(&fmt);
    return w;
}

fs::path scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("osterveil-writer-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir / name;
}

// Writes `frames` grey pictures at 24 fps, in BGRA or, when `native`, in the encoder's own format.
void write(const fs::path& path, FileType type, const VideoSettings& settings, int frames, std::uint8_t grey,
           bool native = false) {
    AssetWriter writer(path, type);
    ASSERT_TRUE(writer.canAddVideoInput(settings));
    writer.addVideoInput(settings);
    writer.startWriting();
    writer.startSession(Time::zero());
    const PixelFormat format = native ? writer.encoderPixelFormat() : PixelFormat::bgra8;
    const int luma = static_cast<int>(std::lround(16 + grey * 219.0 / 255));
    for (int i = 0; i < frames; ++i) {
        PixelBuffer p = PixelBuffer::make(settings.width, settings.height, format);
        for (int plane = 0; plane < p.planeCount(); ++plane)
            for (int y = 0; y < p.planeHeight(plane); ++y) {
                std::uint8_t* row = p.plane(plane) + y * p.planeBytesPerRow(plane);
                for (int x = 0; x < (plane ? p.width() / 2 : p.width()); ++x) {
                    if (format == PixelFormat::bgra8) {
                        row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = grey;
                        row[4 * x + 3] = 255;
                    } else if (format == PixelFormat::yuv420p8) {
                        row[x] = static_cast<std::uint8_t>(plane ? 128 : luma);
                    } else {
                        reinterpret_cast<std::uint16_t*>(row)[x] = static_cast<std::uint16_t>(plane ? 512 : 4 * luma);
                    }
                }
            }
        writer.appendVideo(p, Time(i, 24));
    }
    writer.finishWriting();
}

} // namespace

TEST(AssetWriter, WritesEachCodecWithItsProfileAndColourTags) {
    struct Case {
        VideoCodec codec;
        FileType type;
        AVCodecID id;
        int profile;
        const char* name;
    };
    const Case cases[] = {
        {VideoCodec::h264, FileType::mpeg4, AV_CODEC_ID_H264, FF_PROFILE_H264_HIGH, "high.mp4"},
        {VideoCodec::hevc, FileType::mpeg4, AV_CODEC_ID_HEVC, FF_PROFILE_HEVC_MAIN, "hevc.mp4"},
        {VideoCodec::proRes422HQ, FileType::quickTimeMovie, AV_CODEC_ID_PRORES, FF_PROFILE_PRORES_HQ, "hq.mov"},
        {VideoCodec::proRes4444, FileType::quickTimeMovie, AV_CODEC_ID_PRORES, FF_PROFILE_PRORES_4444, "4444.mov"},
    };
    for (const Case& c : cases) {
        VideoSettings s;
        s.codec = c.codec;
        s.width = 320;
        s.height = 180;
        s.expectedFrameRate = 24;
        s.averageBitRate = 2'000'000;
        const fs::path path = scratch(c.name);
        // BGRA converted here, and the encoder's own format taken as it is.
        for (const bool native : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (native ? " in the encoder's format" : ""));
            write(path, c.type, s, 12, 128, native);
            const Written w = inspect(path);
            EXPECT_EQ(w.codec, c.id);
            EXPECT_EQ(w.profile, c.profile);
            EXPECT_EQ(w.width, 320);
            EXPECT_EQ(w.height, 180);
            EXPECT_EQ(w.frames, 12);
            EXPECT_EQ(w.primaries, AVCOL_PRI_BT709);
            EXPECT_EQ(w.transfer, AVCOL_TRC_BT709);
            EXPECT_EQ(w.matrix, AVCOL_SPC_BT709);
            // Grey 128 in full-range RGB is luma 16 + 128 × 219/255 in limited range.
            EXPECT_NEAR(w.firstLuma, 16 + 128 * 219.0 / 255, 2.0);
        }
    }
    // HEVC carries the sample entry QuickTime players expect.
    EXPECT_EQ(inspect(scratch("hevc.mp4")).tag, MKTAG('h', 'v', 'c', '1'));
    fs::remove_all(scratch("x").parent_path());
}

TEST(AssetWriter, BaselineProfileAndRefusals) {
    VideoSettings s;
    s.codec = VideoCodec::h264;
    s.profile = H264Profile::baseline;
    s.width = 64;
    s.height = 64;
    s.expectedFrameRate = 30;
    const fs::path path = scratch("baseline.mov");
    write(path, FileType::quickTimeMovie, s, 3, 0);
    EXPECT_EQ(inspect(path).profile, FF_PROFILE_H264_CONSTRAINED_BASELINE);

    AssetWriter mp4(scratch("prores.mp4"), FileType::mpeg4);
    VideoSettings prores = s;
    prores.codec = VideoCodec::proRes422;
    EXPECT_FALSE(mp4.canAddVideoInput(prores)); // ProRes lives in QuickTime movies
    VideoSettings huge = s;
    huge.width = 100000;
    EXPECT_FALSE(mp4.canAddVideoInput(huge));
    EXPECT_THROW(mp4.addVideoInput(huge), WriterError);

    AssetWriter order(scratch("order.mov"), FileType::quickTimeMovie);
    order.addVideoInput(s);
    order.startWriting();
    order.startSession(Time::zero());
    const PixelBuffer p = PixelBuffer::make(64, 64);
    order.appendVideo(p, Time(1, 30));
    EXPECT_THROW(order.appendVideo(p, Time(1, 30)), WriterError);
    EXPECT_TRUE(order.failed());
    EXPECT_THROW(order.appendVideo(PixelBuffer::make(32, 32), Time(5, 30)), WriterError);

    // H.264 takes 8-bit 4:2:0 as it is; another Y'CbCr layout is refused, not misread.
    AssetWriter layout(scratch("layout.mov"), FileType::quickTimeMovie);
    layout.addVideoInput(s);
    EXPECT_EQ(layout.encoderPixelFormat(), PixelFormat::yuv420p8);
    layout.startWriting();
    layout.startSession(Time::zero());
    try {
        layout.appendVideo(PixelBuffer::make(64, 64, PixelFormat::yuv422p10), Time::zero());
        ADD_FAILURE() << "a 10-bit 4:2:2 picture was taken for 8-bit 4:2:0";
    } catch (const WriterError& e) {
        EXPECT_STREQ(e.what(), "A picture is not in a format the movie can take.");
    }
    fs::remove_all(scratch("x").parent_path());
}

namespace {

struct Packet {
    int stream = 0;
    std::int64_t pts = 0, dts = 0, duration = 0;
    int flags = 0;
    std::vector<std::uint8_t> data;
    bool operator==(const Packet&) const = default;
};

std::vector<Packet> packetsOf(const fs::path& path) {
    std::vector<Packet> out;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
        out.push_back({pkt->stream_index, pkt->pts, pkt->dts, pkt->duration, pkt->flags,
                       std::vector<std::uint8_t>(pkt->data, pkt->data + pkt->size)});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return out;
}

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// ProRes pictures encoded on several encoders at once make the very file one encoder makes: every
// packet the same, in order, with the same times, beside interleaved sound.
TEST(AssetWriter, SeveralEncodersWriteWhatOneWrites) {
    for (VideoCodec codec : {VideoCodec::proRes422, VideoCodec::proRes422HQ, VideoCodec::proRes4444}) {
        auto make = [&](int parallel, const std::string& name) {
            const fs::path path = scratch(name);
            VideoSettings s;
            s.codec = codec;
            s.width = 320;
            s.height = 180;
            s.expectedFrameRate = 24;
            s.averageBitRate = 2'000'000;
            s.parallelFrames = parallel;
            AudioSettings a;
            a.codec = AudioCodec::linearPCM24;
            AssetWriter writer(path, FileType::quickTimeMovie);
            writer.addVideoInput(s);
            writer.addAudioInput(a);
            writer.startWriting();
            writer.startSession(Time::zero());
            std::vector<float> tone(2 * 2000);
            for (int i = 0; i < 30; ++i) {
                // Every picture different, with coverage that varies across it (4444 keeps alpha).
                PixelBuffer p = PixelBuffer::make(s.width, s.height);
                for (int y = 0; y < p.height(); ++y)
                    for (int x = 0; x < p.width(); ++x) {
                        std::uint8_t* px = p.row(y) + 4 * x;
                        const std::uint8_t alpha = static_cast<std::uint8_t>(255 - (x * 3 + i) % 128);
                        px[0] = static_cast<std::uint8_t>(std::min<int>(alpha, (x * 7 + y * 3 + i * 11) % 256));
                        px[1] = static_cast<std::uint8_t>(std::min<int>(alpha, (x ^ y) + i * 5));
                        px[2] = static_cast<std::uint8_t>(std::min<int>(alpha, (y * 9 + (x * x) / 7) % 256));
                        px[3] = alpha;
                    }
                for (std::size_t k = 0; k < tone.size(); ++k) tone[k] = 0.3f * std::sin(0.01f * float(i * 2000 + int(k / 2)));
                writer.appendAudio(tone.data(), 2000, Time(i * 2000, 48000));
                writer.appendVideo(p, Time(i, 24));
            }
            writer.finishWriting();
            return path;
        };
        const fs::path one = make(1, "one.mov"), several = make(4, "several.mov");
        const std::vector<Packet> a = packetsOf(one), b = packetsOf(several);
        const auto video = std::count_if(b.begin(), b.end(), [](const Packet& p) { return p.stream == 0; });
        EXPECT_EQ(video, 30);
        EXPECT_TRUE(a == b) << "packets differ for codec " << int(codec);
        EXPECT_TRUE(bytesOf(one) == bytesOf(several)) << "files differ for codec " << int(codec);
        // One packet per picture, each at its own time and a frame long (1000 ticks of 24000).
        std::int64_t next = 0;
        for (const Packet& p : b)
            if (p.stream == 0) {
                EXPECT_EQ(p.pts, next);
                EXPECT_EQ(p.dts, next);
                EXPECT_EQ(p.duration, 1000);
                EXPECT_TRUE(p.flags & AV_PKT_FLAG_KEY);
                next += 1000;
            }
    }
    fs::remove_all(scratch("x").parent_path());
}
