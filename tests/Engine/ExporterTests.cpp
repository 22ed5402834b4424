#include <gtest/gtest.h>

#include <fstream>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "Engine/SequenceExporter.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/Asset.hpp"

using namespace osterveil;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace fs = std::filesystem;

namespace {

ExportRequest requestFor(double clipSeconds, ExportCodec codec, const std::string& name) {
    ExportRequest r;
    r.project.sequence = Sequence::makeNew();
    MediaItem m;
    m.id = Uuid::make();
    m.kind = MediaKind::video;
    m.path = MediaFixtures::shared().path(Fixture::h264Movie).string();
    m.duration = 1;
    r.project.media.push_back(m);
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = m.id;
    c.duration = clipSeconds;
    r.project.sequence.tracks.mut(0).clips.push_back(c);
    r.codec = codec;
    r.width = 320;
    r.height = 180;
    r.outputURL = MediaFixtures::shared().scratch(name);
    return r;
}

struct Written {
    std::string format;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0, height = 0;
    std::int64_t frames = 0;
};

Written inspect(const fs::path& p) {
    Written w;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, p.c_str(), nullptr, nullptr) < 0) return w;
    avformat_find_stream_info(fmt, nullptr);
    w.format = fmt->iformat->name;
    const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (si >= 0) {
        w.codec = fmt->streams[si]->codecpar->codec_id;
        w.width = fmt->streams[si]->codecpar->width;
        w.height = fmt->streams[si]->codecpar->height;
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(fmt, pkt) >= 0) {
            w.frames += pkt->stream_index == si;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&fmt);
    return w;
}

} // namespace

TEST(ExportSettings, BitRatesAndKeyFrames) {
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::h264, 1920, 1080, 30), 20000000);
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::hevc, 1920, 1080, 30), 12000000);
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::h264, 1920, 1080, 24000.0 / 1001),
              static_cast<std::int64_t>(20000000.0 * (24000.0 / 1001) / 30));
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::h264, 3840, 2160, 60), 160000000);
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::h264, 1280, 720, 24), static_cast<std::int64_t>(20000000.0 * 16 / 45));
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::hevc, 640, 360, 25), 2000000);
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::h264, 16, 16, 30), 2000000);
    EXPECT_EQ(ExportCodecs::bitrate(ExportCodec::h264, 1920, 1080, 0.5), ExportCodecs::bitrate(ExportCodec::h264, 1920, 1080, 1));
    for (auto [fps, interval] : {std::pair{24000.0 / 1001, 48}, {24.0, 48}, {25.0, 50}, {30000.0 / 1001, 60}, {50.0, 100},
                                 {60000.0 / 1001, 120}, {0.4, 1}})
        EXPECT_EQ(ExportCodecs::keyFrameInterval(fps), interval) << fps;
    EXPECT_EQ(enumFromName<ExportCodec>("proRes422HQ"), ExportCodec::proRes422HQ);
    EXPECT_FALSE(enumFromName<ExportCodec>("H264"));
    EXPECT_EQ(SequenceExporter::exportSize(0, 0), std::make_pair(16, 16));
    EXPECT_EQ(SequenceExporter::exportSize(1921, 1081), std::make_pair(1920, 1080));
    EXPECT_THROW(SequenceExporter::exportSize(8194, 100), ExportError);
}

TEST(Exporter, WritesEachCodecWithTheExactFrameCount) {
    struct Case {
        ExportCodec codec;
        AVCodecID id;
        const char* format;
    };
    for (const Case& c : {Case{ExportCodec::h264, AV_CODEC_ID_H264, "mov,mp4,m4a,3gp,3g2,mj2"},
                          Case{ExportCodec::proRes422HQ, AV_CODEC_ID_PRORES, "mov,mp4,m4a,3gp,3g2,mj2"}}) {
        // The extension says QuickTime; the codec decides.
        ExportRequest r = requestFor(1, c.codec, "export.mov");
        std::vector<double> progress;
        SequenceExporter().exportMovie(r, [&](double p) { progress.push_back(p); });
        const Written w = inspect(r.outputURL);
        EXPECT_EQ(w.codec, c.id);
        EXPECT_EQ(w.width, 320);
        EXPECT_EQ(w.frames, 24);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front(), 0);
        EXPECT_EQ(progress.back(), 1);
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    }
    // H.264 goes into an MPEG-4 file whatever its name says.
    ExportRequest r = requestFor(0.5, ExportCodec::h264, "named.mov");
    SequenceExporter().exportMovie(r, nullptr);
    AVFormatContext* fmt = nullptr;
    ASSERT_EQ(avformat_open_input(&fmt, r.outputURL.c_str(), nullptr, nullptr), 0);
    EXPECT_NE(std::string(av_dict_get(fmt->metadata, "major_brand", nullptr, 0)->value), "qt  ");
    avformat_close_input(&fmt);
}

TEST(Exporter, MarkedRangesAndEmptySequences) {
    ExportRequest r = requestFor(1, ExportCodec::h264, "range.mp4");
    r.useMarkedRange = true;
    r.project.sequence.inPoint = 0.25;
    r.project.sequence.outPoint = 0.75;
    std::vector<double> progress;
    SequenceExporter().exportMovie(r, [&](double p) { progress.push_back(p); });
    EXPECT_EQ(inspect(r.outputURL).frames, 12);
    EXPECT_EQ(progress.front(), 0);
    // A range shorter than half a frame exports everything.
    r.project.sequence.outPoint = 0.25 + 1.0 / 100;
    SequenceExporter().exportMovie(r, nullptr);
    EXPECT_EQ(inspect(r.outputURL).frames, 24);

    ExportRequest empty = requestFor(1, ExportCodec::h264, "empty.mp4");
    empty.project.sequence.tracks.mut(0).clips.clear();
    try {
        SequenceExporter().exportMovie(empty, nullptr);
        FAIL();
    } catch (const ExportError& e) {
        EXPECT_EQ(e.kind(), ExportError::Kind::nothingToExport);
        EXPECT_STREQ(e.what(), "The sequence has nothing to export.");
    }
}

// A cancelled export leaves the file the user chose to replace as it was.
TEST(Exporter, CancellingKeepsTheOldFile) {
    ExportRequest r = requestFor(1, ExportCodec::proRes422HQ, "keep.mov");
    r.width = 1280;
    r.height = 720;
    { std::ofstream(r.outputURL) << "the user's old movie"; }
    SequenceExporter exporter;
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (!started) std::this_thread::yield();
        exporter.cancel();
    });
    try {
        exporter.exportMovie(r, [&](double) { started = true; });
        FAIL() << "export finished despite the cancel";
    } catch (const ExportError& e) {
        EXPECT_EQ(e.kind(), ExportError::Kind::cancelled);
        EXPECT_STREQ(e.what(), "Export was cancelled.");
    }
    canceller.join();
    std::ifstream in(r.outputURL);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "the user's old movie");
    for (const auto& f : fs::directory_iterator(r.outputURL.parent_path()))
        EXPECT_EQ(f.path().filename().string().find(".partial-"), std::string::npos) << f.path();
}
