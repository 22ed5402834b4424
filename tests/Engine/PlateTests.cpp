#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "Engine/CompositionBuilder.hpp"
#include "Engine/Log.hpp"
#include "Engine/PlateStore.hpp"

using namespace osterveil;
using media::Time;
using media::TimeRange;
namespace fs = std::filesystem;
namespace CB = osterveil::CompositionBuilder;

namespace {

// A plate folder of its own for each test, shared plate movie written once per run.
class PlateTest : public ::testing::Test {
protected:
    static fs::path root() {
        static const fs::path dir = fs::temp_directory_path() / ("osterveil-plate-" + std::to_string(::getpid()));
        return dir;
    }
    static PlateStore& store() {
        static PlateStore s(root() / "shared");
        return s;
    }
    static void TearDownTestSuite() { fs::remove_all(root()); }
};

struct Decoded {
    int frames = 0;
    int width = 0, height = 0;
    int maxLuma = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    bool hasAudio = false;
};

Decoded decode(const fs::path& path) {
    Decoded d;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return d;
    avformat_find_stream_info(fmt, nullptr);
    d.hasAudio = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
    const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = fmt->streams[si]->codecpar;
    d.codec = par->codec_id;
    const AVCodec* dec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(dec);
    avcodec_parameters_to_context(ctx, par);
    avcodec_open2(ctx, dec, nullptr);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, f) == 0) {
            ++d.frames;
            d.width = f->width;
            d.height = f->height;
            for (int y = 0; y < f->height; ++y)
                for (int x = 0; x < f->width; ++x) d.maxLuma = std::max<int>(d.maxLuma, f->data[0][y * f->linesize[0] + x]);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == si) {
            avcodec_send_packet(ctx, pkt);
            drain();
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    avformat_close_input(&fmt);
    return d;
}

Time sec(double s) { return CB::mediaTime(s); }

} // namespace

TEST_F(PlateTest, WritesOneSecondOfBlackOnceAndReusesIt) {
    const auto first = store().asset();
    EXPECT_EQ(store().asset(), first); // the same object, without touching the files
    const fs::path file = store().fileURL();
    EXPECT_EQ(file.filename(), "timing-plate-720p30.mov");
    const Decoded d = decode(file);
    EXPECT_EQ(d.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(d.frames, 30);
    EXPECT_EQ(d.width, 1280);
    EXPECT_EQ(d.height, 720);
    EXPECT_LE(d.maxLuma, 17); // black in limited range
    EXPECT_FALSE(d.hasAudio);
    const auto video = first->tracks(media::MediaType::video);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0]->timeRange.duration, sec(1));
    // Nothing is left beside the plate from writing it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator{}), 1);

    // A new store (a new launch) opens the file as it is.
    const auto mtime = fs::last_write_time(file);
    PlateStore again(file.parent_path());
    EXPECT_TRUE(again.asset());
    EXPECT_EQ(fs::last_write_time(file), mtime);
}

// A plate left broken by a crash or a full disk is replaced instead of failing every build.
TEST_F(PlateTest, ReplacesABrokenPlateOnce) {
    const fs::path folder = root() / "broken";
    fs::create_directories(folder);
    { std::ofstream(folder / PlateStore::fileName) << "not a movie"; }
    PlateStore broken(folder);
    const auto asset = broken.asset();
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->tracks(media::MediaType::video).size(), 1u);
    EXPECT_EQ(decode(folder / PlateStore::fileName).frames, 30);
}

TEST_F(PlateTest, AFolderThatCannotBeMadeFails) {
    fs::create_directories(root());
    { std::ofstream(root() / "blocker") << "a file where the folder should be"; }
    PlateStore blocked(root() / "blocker" / "Osterveil");
    EXPECT_THROW(blocked.asset(), fs::filesystem_error);
    EXPECT_THROW(blocked.asset(), fs::filesystem_error); // nothing cached: tried again
}

TEST_F(PlateTest, InstallTilesThePlate) {
    media::Composition comp;
    const auto id = CB::installPlate(comp, 2.5, store());
    ASSERT_TRUE(id);
    const auto* track = comp.track(*id);
    ASSERT_EQ(track->segments().size(), 3u);
    EXPECT_EQ(track->segments()[0].target, TimeRange(sec(0), sec(1)));
    EXPECT_EQ(track->segments()[2].target, TimeRange(sec(2), sec(0.5)));
    EXPECT_EQ(track->segments()[2].sourceRange.start, Time::zero());
    EXPECT_EQ(track->timeRange().end(), sec(2.5));

    media::Composition one;
    EXPECT_EQ(one.track(*CB::installPlate(one, 1.0, store()))->segments().size(), 1u);
    media::Composition none;
    const auto empty = CB::installPlate(none, 0, store());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(none.track(*empty)->segments().empty());
}

TEST_F(PlateTest, ExtendOnlyLengthens) {
    media::Composition comp;
    const auto id = *CB::installPlate(comp, 2.5, store());
    CB::extendPlate(id, comp, 4.0, store());
    const auto* track = comp.track(id);
    ASSERT_EQ(track->segments().size(), 5u);
    EXPECT_EQ(track->segments()[3].target, TimeRange(sec(2.5), sec(1)));
    EXPECT_EQ(track->segments()[4].target, TimeRange(sec(3.5), sec(0.5)));

    // Ending at or before the current end asks nothing of the store (this one could not answer).
    PlateStore unusable(root() / "blocker" / "never");
    fs::create_directories(root());
    { std::ofstream(root() / "blocker") << "x"; }
    EXPECT_NO_THROW(CB::extendPlate(id, comp, 4.0, unusable));
    EXPECT_NO_THROW(CB::extendPlate(id, comp, 1.0, unusable));
    EXPECT_NO_THROW(CB::extendPlate(id + 100, comp, 10.0, unusable));
    EXPECT_EQ(track->timeRange().end(), sec(4));
}

TEST_F(PlateTest, StopsAtOneHundredThousandPieces) {
    media::Composition comp;
    const auto id = *CB::installPlate(comp, 200000, store());
    EXPECT_EQ(comp.track(id)->segments().size(), 100000u);
    EXPECT_EQ(comp.track(id)->timeRange().end(), sec(100000));
}

// The first plate of a fresh process is written without the encoder's notes on the terminal; what the
// media libraries report as errors goes to the program's log instead, and nothing below that.
TEST(PlateLog, WritingThePlateInAFreshProcessPrintsNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string folder = (fs::temp_directory_path() / "osterveil-plate-log-XXXXXX").string();
            if (!::mkdtemp(folder.data())) std::_Exit(2);
            std::vector<std::string> lines;
            Log::setSink([&](Log::Level level, const std::string& category, const std::string& message) {
                if (level == Log::Level::error && category == "media") lines.push_back(message);
            });
            PlateStore::writePlate(fs::path(folder) / PlateStore::fileName);
            fs::remove_all(folder);
            av_log(nullptr, AV_LOG_WARNING, "only a warning\n");
            av_log(nullptr, AV_LOG_ERROR, "broken packet %d", 7);
            av_log(nullptr, AV_LOG_ERROR, " of stream %d\n", 1);
            std::exit(lines == std::vector<std::string>{"broken packet 7 of stream 1"} ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "^$");
}
