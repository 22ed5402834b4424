#include <algorithm>
#include <gtest/gtest.h>

#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
}

#include "Engine/CompositionBuilder.hpp"
#include "Engine/SequenceExporter.hpp"
#include "EngineTestSupport.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "ToneWav.hpp"

using namespace osterveil;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace CB = osterveil::CompositionBuilder;
namespace ts = osterveil::testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kRate = media::CompositionAudioReader::sampleRate;

struct Doc {
    Project project;
    Doc() { project.sequence = Sequence::makeNew(); }

    Uuid media(const fs::path& path, MediaKind kind, double duration) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = kind;
        m.path = path.string();
        m.duration = duration;
        m.hasAudio = true;
        m.hasVideo = kind == MediaKind::video;
        project.media.push_back(m);
        return m.id;
    }
    TimelineClip& clip(std::size_t track, const Uuid& media, double start, double duration, double in = 0) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = media;
        c.start = start;
        c.duration = duration;
        c.inPoint = in;
        return project.sequence.tracks.mut(track).clips.emplace_back(c);
    }
    std::vector<float> mixed() const {
        const CompositionBuild b = CB::build(project, std::nullopt, {320, 180}, project.sequence.frameRate);
        media::CompositionAudioReader reader(b.composition, b.audioMix);
        std::vector<float> all;
        while (auto chunk = reader.next())
            all.insert(all.end(), chunk->samples.begin(), chunk->samples.end());
        return all;
    }
    void exportTo(const fs::path& out, bool markedRange = false) const {
        ExportRequest r;
        r.project = project;
        r.outputURL = out;
        r.width = 320;
        r.height = 180;
        r.useMarkedRange = markedRange;
        SequenceExporter().exportMovie(r, nullptr);
    }
};

std::int64_t loudestFrame(const std::vector<float>& stereo, std::int64_t from, std::int64_t to) {
    std::int64_t best = from;
    for (std::int64_t i = from; i < to && 2 * i < std::int64_t(stereo.size()); ++i)
        if (std::abs(stereo[std::size_t(2 * i)]) > std::abs(stereo[std::size_t(2 * best)])) best = i;
    return best;
}

std::int64_t videoPackets(const fs::path& p) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, p.c_str(), nullptr, nullptr) < 0) return -1;
    avformat_find_stream_info(fmt, nullptr);
    const int si = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    std::int64_t n = 0;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
        n += pkt->stream_index == si;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return n;
}

} // namespace

TEST(MediaTimingBuild, Mp3CutsHearTheirClicksOnTimeAndSplitsAreSeamless) {
    const fs::path mp3 = MediaFixtures::shared().path(Fixture::clickMp3);
    // Cut in at 0.75 s and placed at 3 s: the click at 1 s of the file sounds at 3.25 s.
    Doc cut;
    cut.clip(3, cut.media(mp3, MediaKind::audio, 3), 3, 1, 0.75);
    const auto s = cut.mixed();
    EXPECT_NEAR(double(loudestFrame(s, 3 * kRate, 3 * kRate + kRate / 2)), 3.25 * kRate, kRate / 1000);

    // A clip split at 1 s plays exactly what the whole clip plays: nothing repeated at the cut.
    Doc whole, split;
    whole.clip(3, whole.media(mp3, MediaKind::audio, 3), 0, 2.5);
    const Uuid m = split.media(mp3, MediaKind::audio, 3);
    split.clip(3, m, 0, 1);
    split.clip(3, m, 1, 1.5, 1);
    const auto a = whole.mixed(), b = split.mixed();
    ASSERT_EQ(a.size(), b.size());
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, double(std::abs(a[i] - b[i])));
    EXPECT_LT(worst, 1e-4);
}

TEST(MediaTimingBuild, ClipsEndWhereTheirMediaRunsOut) {
    // A project saved when the file's header claimed more than its data holds, by less than a file
    // replaced by another recording would differ (such a file is offline: a claim of ten billion
    // seconds is no longer this file).
    Doc doc;
    const Uuid movie =
        doc.media(MediaFixtures::shared().path(Fixture::h264MovieWithSound), MediaKind::video, 1.4);
    doc.clip(0, movie, 0, 1e10);
    doc.clip(3, movie, 0, 1e10);
    const CompositionBuild b =
        CB::build(doc.project, std::nullopt, {320, 180}, doc.project.sequence.frameRate);
    ASSERT_TRUE(b.offline.empty());
    ASSERT_NEAR(b.duration, 1.0, 1.0 / 24);
    EXPECT_NEAR(b.videoComposition->instructions.back()->timeRange().end().toSeconds(), 1.0, 1.0 / 24);

    // Slowed to half speed the same media lasts two seconds; within a frame the clip's own end stands.
    TimelineClip slow = doc.project.sequence.tracks[0].clips[0];
    slow.start = 5;
    slow.timeRemap.speed = 0.5;
    EXPECT_NEAR(CB::reachedEnd(slow, 1.0, 1.0 / 24), 7.0, 1e-9);
    slow.duration = 1.02;
    slow.timeRemap.speed = 1;
    EXPECT_EQ(CB::reachedEnd(slow, 1.0, 1.0 / 24), 6.02);

    // The export stops with the media, also with a marked range that runs to the sequence's claimed end.
    const fs::path out = MediaFixtures::shared().scratch("bounded.mp4");
    doc.exportTo(out, true);
    EXPECT_EQ(videoPackets(out), 24);
}

TEST(MediaTimingBuild, DamagedSoundExportsWithSilenceInItsPlace) {
    enginetest::LogCapture log("media");
    // An AAC packet the decoder refuses with its own error code.
    const fs::path damaged = MediaFixtures::shared().scratch("damaged-aac.mp4");
    ts::writeDamagedCopy(MediaFixtures::shared().path(Fixture::h264MovieWithSound), damaged, 1, 10);
    Doc movie;
    const Uuid m = movie.media(damaged, MediaKind::video, 1);
    movie.clip(0, m, 0, 1);
    movie.clip(3, m, 0, 1);
    EXPECT_NO_THROW(movie.exportTo(MediaFixtures::shared().scratch("damaged-aac-out.mp4")));
    EXPECT_EQ(videoPackets(MediaFixtures::shared().scratch("damaged-aac-out.mp4")), 24);
    // The library's own error lines come too; ours names the file.
    EXPECT_TRUE(std::any_of(log.lines.begin(), log.lines.end(),
                            [](const std::string& l) { return l.find("damaged-aac.mp4") != std::string::npos; }));

    // PCM cut in the middle of a sample frame.
    const fs::path whole = MediaFixtures::shared().scratch("whole-tone.wav");
    ts::writeToneWav(whole, 440, 0.5);
    const fs::path cut = MediaFixtures::shared().scratch("cut-tone.wav");
    ts::writeTruncatedCopy(whole, cut, (44 + 12000 * 8 + 5 + 0.5) / double(fs::file_size(whole)));
    Doc sound;
    sound.clip(3, sound.media(cut, MediaKind::audio, 0.25), 0, 0.25);
    EXPECT_NO_THROW(sound.exportTo(MediaFixtures::shared().scratch("cut-tone-out.mp4")));
}
