#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>

#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/FrameImages.hpp"
#include "Engine/PlateStore.hpp"
#include "Platform/Media/VideoCompositor.hpp"
#include "EngineTestSupport.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using media::Time;
using media::TimeRange;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace CB = osterveil::CompositionBuilder;
namespace fs = std::filesystem;

namespace {

PlateStore& plates() {
    static PlateStore store(MediaFixtures::shared().directory() / "plate");
    return store;
}

Time sec(double s) { return CB::mediaTime(s); }

// A project builder over the test fixtures.
struct Doc {
    Project project;
    Doc() { project.sequence = Sequence::makeNew(); }

    Uuid media(Fixture f, MediaKind kind = MediaKind::video, double duration = 1) {
        return media(MediaFixtures::shared().path(f), kind, duration);
    }
    Uuid media(const fs::path& path, MediaKind kind, double duration) {
        MediaItem m;
        m.id = Uuid::make();
        m.name = path.filename().string();
        m.kind = kind;
        m.path = path.string();
        m.duration = duration;
        m.hasVideo = kind != MediaKind::audio;
        project.media.push_back(m);
        return m.id;
    }
    TimelineClip& clip(std::size_t track, double start, double duration, std::optional<Uuid> mediaID, double in = 0) {
        TimelineClip c;
        c.id = Uuid::make();
        c.name = "clip" + std::to_string(project.sequence.tracks[track].clips.size());
        c.mediaID = mediaID;
        c.start = start;
        c.duration = duration;
        c.inPoint = in;
        return project.sequence.tracks.mut(track).clips.emplace_back(c);
    }
    TimelineClip& title(std::size_t track, double start, double duration) {
        TimelineClip& c = clip(track, start, duration, std::nullopt);
        c.title = TitleStyle{};
        return c;
    }
    CompositionBuild build(media::Size size = {1920, 1080}) {
        return CB::build(project, std::nullopt, size, project.sequence.frameRate, plates());
    }
};

std::vector<const CompositeInstruction*> instructions(const CompositionBuild& b) {
    std::vector<const CompositeInstruction*> out;
    for (const auto& i : b.videoComposition->instructions) out.push_back(dynamic_cast<const CompositeInstruction*>(i.get()));
    return out;
}

RenderLayer layer(double start, double end, std::int32_t source = 2) {
    RenderLayer l;
    l.segmentStart = start;
    l.segmentEnd = end;
    l.sourceTrackID = source;
    return l;
}

} // namespace

TEST(VideoComposition, WindowsCoverTheTimelineHalfOpen) {
    auto windows = [](const media::VideoComposition& vc) {
        std::vector<std::pair<double, std::size_t>> out;
        for (const auto& i : vc.instructions)
            out.emplace_back(i->timeRange().start.toSeconds(), dynamic_cast<const CompositeInstruction&>(*i).layers().size());
        return out;
    };
    const FrameRate rate{24, 1};
    auto one = CB::makeVideoComposition({layer(0, 5)}, std::nullopt, {1920, 1080}, rate, 5);
    EXPECT_EQ(windows(one), (std::vector<std::pair<double, std::size_t>>{{0, 1}}));
    EXPECT_EQ(one.frameDuration, Time(1, 24));

    auto gap = CB::makeVideoComposition({layer(0, 2), layer(3, 5)}, std::nullopt, {16, 16}, rate, 5);
    EXPECT_EQ(windows(gap), (std::vector<std::pair<double, std::size_t>>{{0, 1}, {2, 0}, {3, 1}}));

    auto overlap = CB::makeVideoComposition({layer(4, 6), layer(5, 8)}, std::nullopt, {16, 16}, rate, 8);
    EXPECT_EQ(windows(overlap), (std::vector<std::pair<double, std::size_t>>{{0, 0}, {4, 1}, {5, 2}, {6, 1}}));

    // A layer reaching 0.00004 s into a window is not in it; 0.00006 s is.
    for (auto [end, inWindow] : {std::pair{2.00004, false}, {2.00006, true}}) {
        auto edge = CB::makeVideoComposition({layer(0, end), layer(2, 3)}, std::nullopt, {16, 16}, rate, 3);
        const auto* w = dynamic_cast<const CompositeInstruction*>(edge.instruction(sec(2)));
        ASSERT_TRUE(w);
        EXPECT_EQ(w->layers().size(), inWindow ? 2u : 0u) << end; // a window too short for either layer draws black
    }

    auto nothing = CB::makeVideoComposition({layer(0, 0)}, std::nullopt, {16, 16}, rate, 0);
    ASSERT_EQ(nothing.instructions.size(), 1u);
    EXPECT_EQ(nothing.instructions[0]->timeRange(), TimeRange(Time::zero(), sec(1.0 / 24)));
    EXPECT_TRUE(dynamic_cast<const CompositeInstruction&>(*nothing.instructions[0]).layers().empty());

    auto stills = CB::makeVideoComposition({layer(0, 1, 1), layer(0, 1, 1)}, 1, {16, 16}, rate, 1);
    EXPECT_EQ(stills.instructions[0]->requiredSourceTrackIDs(), std::vector<std::int32_t>{1});
    // The lookup every reader makes: the instruction at a time.
    EXPECT_EQ(gap.instruction(sec(2.5)), gap.instructions[1].get());
    EXPECT_EQ(gap.instruction(sec(5)), nullptr);
}

TEST(CompositionBuild, EmptyAndPlateOnlyProjects) {
    Doc empty;
    const auto b = empty.build();
    EXPECT_FALSE(b.videoComposition);
    EXPECT_EQ(b.duration, 0);
    EXPECT_TRUE(b.composition->tracks().empty());

    Doc disabled;
    const Uuid m = disabled.media(Fixture::h264Movie);
    disabled.clip(0, 0, 1, m).isEnabled = false;
    const auto d = disabled.build();
    EXPECT_EQ(d.composition->tracks().size(), 1u); // the plate, as long as the sequence
    EXPECT_FALSE(d.videoComposition);

    Doc missing;
    const Uuid gone = missing.media("/no/such/file.mov", MediaKind::video, 3);
    missing.clip(3, 1, 3, gone);
    const auto o = missing.build();
    EXPECT_EQ(o.offline, std::vector<Uuid>{gone});
    // Its clip keeps its place, on a track of sound too: the plate runs to the clip's end.
    ASSERT_EQ(o.composition->tracks().size(), 1u);
    EXPECT_NEAR(o.composition->duration().toSeconds(), 4, 1e-6);
    EXPECT_FALSE(o.videoComposition);
}

TEST(CompositionBuild, TitleOnAPlateAndRenderSizes) {
    enginetest::ensureGuiApplication();
    Doc doc;
    doc.title(1, 0, 2);
    const auto b = doc.build({1921, 1081});
    ASSERT_TRUE(b.videoComposition);
    EXPECT_EQ(b.videoComposition->renderSize, (media::Size{1920, 1080}));
    const auto ins = instructions(b);
    ASSERT_EQ(ins.size(), 1u);
    const RenderLayer& l = ins[0]->layers().at(0);
    EXPECT_EQ(l.kind, RenderKind::title);
    EXPECT_EQ(l.zOrder, 1);
    EXPECT_EQ(l.imageKey, TitleRasterizer::cacheKey(TitleStyle{}, 1920, 1080));
    EXPECT_EQ(l.sourceTrackID, b.composition->tracks().front().trackID());
    EXPECT_TRUE(b.images->count(*l.imageKey));
    EXPECT_EQ(doc.build({10, 10}).videoComposition->renderSize, (media::Size{16, 16}));
    EXPECT_EQ(doc.build({16.4, 17.5}).videoComposition->renderSize, (media::Size{16, 18}));
}

TEST(CompositionBuild, TracksTakePartBySwitchesAndOrder) {
    enginetest::ensureGuiApplication();
    Doc doc;
    doc.project.sequence.tracks.clear();
    Sequence& s = doc.project.sequence;
    for (auto [role, name] : {std::pair{TrackRole::audio, "A1"}, {TrackRole::video, "V1"}, {TrackRole::video, "V2"}}) {
        Track t;
        t.id = Uuid::make();
        t.role = role;
        t.name = name;
        s.tracks.push_back(t);
    }
    doc.title(1, 0, 1);
    doc.title(2, 0, 1).title->text = "Above";
    auto b = doc.build();
    const auto& layers = instructions(b)[0]->layers();
    ASSERT_EQ(layers.size(), 2u);
    EXPECT_EQ(layers[0].zOrder, 1);
    EXPECT_EQ(layers[1].zOrder, 2);

    // Solo on a hidden track empties the picture.
    s.tracks.mut(2).isSolo = true;
    s.tracks.mut(2).isHidden = true;
    EXPECT_FALSE(doc.build().videoComposition);
    // Solo on an audio track changes nothing in the picture.
    s.tracks.mut(2).isSolo = false;
    s.tracks.mut(2).isHidden = false;
    s.tracks.mut(0).isSolo = true;
    EXPECT_EQ(instructions(doc.build())[0]->layers().size(), 2u);
}

TEST(CompositionBuild, DissolveOnAlternatingLanes) {
    Doc doc;
    const Uuid m = doc.media(Fixture::h264Movie, MediaKind::video, 1);
    TimelineClip& a = doc.clip(0, 0, 0.5, m, 0);
    a.outgoing = {TransitionKind::crossDissolve, 0.25, TransitionCurve::linear};
    doc.clip(0, 0.5, 0.5, m, 0.5);
    const auto b = doc.build();
    // The plate and one composition track per lane.
    ASSERT_EQ(b.composition->tracks().size(), 3u);
    const auto& laneB = b.composition->tracks()[2];
    ASSERT_EQ(laneB.segments().size(), 2u);
    EXPECT_TRUE(laneB.segments()[0].isEmpty());
    EXPECT_EQ(laneB.segments()[0].target.end(), sec(0.5 - 0.125));
    const auto ins = instructions(b);
    ASSERT_EQ(ins.size(), 3u);
    EXPECT_EQ(ins[1]->layers().size(), 2u); // both clips in the dissolve window
    EXPECT_EQ(ins[1]->timeRange(), TimeRange::fromStartEnd(sec(0.375), sec(0.625)));
    EXPECT_EQ(ins[1]->layers()[0].dissolveOut, (ClosedRange{0.375, 0.625}));
    EXPECT_EQ(ins[1]->requiredSourceTrackIDs().size(), 3u);
}

TEST(CompositionBuild, StillsAreCachedByPathAndHeldByTheBuild) {
    Doc doc;
    const fs::path png = MediaFixtures::shared().scratch("still-" + std::to_string(::getpid()) + ".png");
    fs::copy_file(MediaFixtures::shared().path(Fixture::pngStill), png, fs::copy_options::overwrite_existing);
    const Uuid m = doc.media(png, MediaKind::image, 0);
    doc.clip(0, 0, 2, m);
    const auto first = doc.build();
    const RenderLayer& l = instructions(first)[0]->layers().at(0);
    EXPECT_EQ(l.kind, RenderKind::still);
    EXPECT_EQ(l.imageKey, "still:" + png.string());
    // A second build, even at another size, takes the picture from the cache: the file is not read
    // (only its header is looked at, for whether it still is a picture).
    fs::remove(png);
    doc.project.media.mut(0).path = png.string();
    doc.project.sequence.width = 640;
    Doc again = doc;
    testsupport::writePng(png, 64, 36);
    const auto second = again.build();
    EXPECT_EQ(second.images->at("still:" + png.string()).width(), 320);
    fs::remove(png);
}

namespace {

// One frame of a build's picture, composed as the player would.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bgra;
    int at(int x, int y, int channel) const { return bgra[(std::size_t(y) * width + x) * 4 + channel]; }
    void save(const std::string& name) const {
        const fs::path out = fs::path(OSTERVEIL_TEST_OUTPUT_DIR) / name;
        fs::create_directories(out.parent_path());
        QImage(bgra.data(), width, height, QImage::Format_RGB32).save(QString::fromStdString(out.string()));
    }
};

Picture compose(const CompositionBuild& b, double t) {
    const media::VideoComposition& vc = *b.videoComposition;
    const int w = int(vc.renderSize.width), h = int(vc.renderSize.height);
    std::shared_ptr<const media::CompositionInstruction> instruction;
    for (const auto& i : vc.instructions)
        if (i.get() == vc.instruction(sec(t))) instruction = i;
    media::CompositionRequest request(sec(t), instruction, {}, std::make_shared<media::PixelBufferPool>(w, h));
    vc.makeCompositor()->startRequest(request);
    Picture p{w, h, {}};
    if (request.status() != media::CompositionRequest::Status::composed) return p;
    for (int y = 0; y < h; ++y)
        p.bgra.insert(p.bgra.end(), request.result().row(y), request.result().row(y) + 4 * w);
    return p;
}

} // namespace

// A half-size preview sets its titles in type at half size, a quarter of the pixels, with the lines,
// breaks and placement of the full-size picture scaled down.
TEST(CompositionBuild, TitlesAreDrawnAtTheRenderSizeAndLookTheSame) {
    enginetest::ensureGuiApplication();
    Doc doc;
    TitleStyle& style = *doc.title(1, 0, 2).title;
    style.text = "A title long enough to wrap onto a second line of its box";
    style.fontSize = 80;
    style.alignment = TitleAlignment::left;
    style.vertical = TitleVertical::top;
    const auto full = doc.build({1920, 1080});
    const auto half = doc.build({960, 540});
    const auto key = [](const CompositionBuild& b) { return *instructions(b)[0]->layers().at(0).imageKey; };
    EXPECT_EQ(key(full), TitleRasterizer::cacheKey(style, 1920, 1080));
    EXPECT_EQ(full.images->at(key(full)).width(), 1920);
    EXPECT_EQ(half.images->at(key(half)).width(), 960);
    EXPECT_EQ(half.images->at(key(half)).height(), 540);

    const Picture big = compose(full, 1), small = compose(half, 1);
    ASSERT_EQ(small.width, 960);
    ASSERT_EQ(big.width, 1920);
    big.save("title-scale/full.png");
    small.save("title-scale/half.png");
    // Both pictures seen in blocks of 4×4 pixels of the half-size frame, and as a whole: the same ink,
    // centred alike, and as bright in each block, wherever a line or a word lies. Within a block the
    // edges of glyphs fall a little differently.
    double worst = 0, inkA = 0, inkB = 0, xA = 0, xB = 0, yA = 0, yB = 0;
    int inked = 0;
    for (int by = 0; by < 540 / 4; ++by)
        for (int bx = 0; bx < 960 / 4; ++bx) {
            double a = 0, b = 0;
            for (int y = 4 * by; y < 4 * by + 4; ++y)
                for (int x = 4 * bx; x < 4 * bx + 4; ++x) {
                    const double va = small.at(x, y, 1);
                    double vb = 0;
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx)
                            vb += big.at(2 * x + dx, 2 * y + dy, 1) / 4.0;
                    a += va / 16;
                    b += vb / 16;
                    inkA += va, inkB += vb, xA += x * va, xB += x * vb, yA += y * va, yB += y * vb;
                }
            inked += a > 64;
            worst = std::max(worst, std::abs(a - b));
        }
    EXPECT_GT(inked, 200); // two lines of text to compare
    EXPECT_LT(worst, 40);
    EXPECT_NEAR(inkA / inkB, 1, 0.02);
    EXPECT_NEAR(xA / inkA, xB / inkB, 0.5);
    EXPECT_NEAR(yA / inkA, yB / inkB, 0.5);
}

// A build sets its titles in type on its own thread and never waits for the GUI thread, which may be
// busy, blocked, or past the end of its event loop when the application quits. Several builds do so
// at once, each looking up its own font.
TEST(CompositionBuild, TitlesAreDrawnOnTheBuildingThread) {
    enginetest::ensureGuiApplication();
    std::vector<std::future<CompositionBuild>> builds;
    for (const std::string& font : TitleFonts::names()) {
        Doc doc;
        TitleStyle& style = *doc.title(1, 0, 2).title;
        style.text = "Drawn on the building thread";
        style.fontName = font;
        builds.push_back(std::async(std::launch::async, [doc]() mutable { return doc.build({640, 360}); }));
    }
    // No event loop runs here while the builds work.
    bool finished = true;
    for (auto& b : builds)
        finished = b.wait_for(std::chrono::seconds(30)) == std::future_status::ready && finished;
    // Builds left waiting for the GUI thread are let go, so that the test ends either way.
    for (auto& b : builds)
        while (b.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            QCoreApplication::processEvents();
    EXPECT_TRUE(finished);
    for (auto& b : builds) {
        const CompositionBuild built = b.get();
        ASSERT_EQ(built.images->size(), 1u);
        EXPECT_EQ(built.images->begin()->second.width(), 640);
    }
}

// More pictures than the shared cache keeps: the build holds each one it uses.
TEST(CompositionBuild, HoldsEveryPictureBeyondTheCacheLimit) {
    enginetest::ensureGuiApplication();
    Doc doc;
    for (int i = 0; i < 100; ++i) doc.title(0, i, 1).title->text = "Title " + std::to_string(i);
    const auto b = doc.build({320, 180});
    EXPECT_EQ(b.images->size(), 100u);
    std::size_t named = 0;
    for (const auto* ins : instructions(b))
        for (const auto& l : ins->layers()) named += l.imageKey && b.images->count(*l.imageKey);
    EXPECT_EQ(named, 100u);
    EXPECT_LE(FrameImages::cache().count(), 64u);
}

TEST(CompositionBuild, UnreadableAndSoundOnlyFiles) {
    Doc doc;
    const fs::path junk = MediaFixtures::shared().scratch("junk-" + std::to_string(::getpid()) + ".mov");
    testsupport::writeRandomBytes(junk, 4096, 7);
    doc.clip(0, 0, 1, doc.media(junk, MediaKind::video, 1)).name = "Broken";
    doc.clip(1, 0, 1, doc.media(Fixture::wavAudio, MediaKind::video, 1)).name = "Sound";
    enginetest::LogCapture log;
    const auto b = doc.build();
    // Neither is the media it stands for: both are offline, each with why, and nothing is laid.
    ASSERT_EQ(b.offline.size(), 2u);
    ASSERT_EQ(b.offlineProblems.size(), 2u);
    EXPECT_EQ(b.offlineProblems[0].text(), junk.filename().string() + " could not be decoded.");
    EXPECT_EQ(b.offlineProblems[1].text().rfind(
                  MediaFixtures::shared().path(Fixture::wavAudio).filename().string() +
                      " has changed since it was imported.",
                  0),
              0u);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(b.videoComposition);
    fs::remove(junk);
}

TEST(CompositionBuild, FrameBlendingLaysABlendLayerFirst) {
    Doc doc;
    const Uuid m = doc.media(Fixture::h264Movie, MediaKind::video, 1);
    doc.clip(0, 0, 0.25, m);
    TimelineClip& fast = doc.clip(0, 0.25, 0.25, m);
    fast.timeRemap.speed = 2;
    fast.timeRemap.frameBlending = true;
    doc.clip(1, 0, 0.5, m).timeRemap.frameBlending = true; // identity speed: nothing to blend
    const auto b = doc.build();
    const auto ins = instructions(b);
    const auto& second = ins.back()->layers();
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0].timelineTrackID, second[1].timelineTrackID);
    EXPECT_NE(second[0].sourceTrackID, second[1].sourceTrackID);
    // The blend track holds the same clip one frame later in its source.
    const auto* blendTrack = b.composition->track(second[0].sourceTrackID);
    const auto* ownTrack = b.composition->track(second[1].sourceTrackID);
    ASSERT_TRUE(blendTrack && ownTrack);
    EXPECT_EQ(blendTrack->sourcePosition(sec(0.3))->time - ownTrack->sourcePosition(sec(0.3))->time, sec(1.0 / 24));
}

// A speed-changed clip fills its whole dissolve window: its handle plays at its own speed and
// direction, and where the source runs out the edge frame holds.
TEST(CompositionBuild, SpeedChangedClipsFillTheirDissolveWindows) {
    Doc doc;
    const Uuid m = doc.media(Fixture::h264Movie, MediaKind::video, 1);
    // V1: a 2× clip from 0.1 s after a cut at 0.5 s; its 0.1 s head needs 0.2 s of source and has 0.1 s.
    doc.clip(0, 0, 0.5, m).outgoing = {TransitionKind::crossDissolve, 0.5, TransitionCurve::linear};
    doc.clip(0, 0.5, 0.4, m, 0.1).timeRemap.speed = 2;
    // V2: a reversed clip playing 0.9 … 0.4 s before a cut at 0.5 s; its tail goes on down to 0.3 s.
    TimelineClip& back = doc.clip(1, 0, 0.5, m, 0.4);
    back.timeRemap.reversed = true;
    back.outgoing = {TransitionKind::crossDissolve, 0.5, TransitionCurve::linear};
    doc.clip(1, 0.5, 0.5, m, 0.5);
    const auto b = doc.build();

    const CompositeInstruction* window = nullptr;
    for (const auto* ins : instructions(b))
        if (ins->timeRange().containsTime(sec(0.45))) window = ins;
    ASSERT_TRUE(window);
    std::int32_t fast = 0, reversed = 0;
    for (const auto& l : window->layers()) {
        if (l.dissolveIn && l.zOrder == 0) fast = l.sourceTrackID;
        if (l.dissolveOut && l.zOrder == 1) reversed = l.sourceTrackID;
    }
    auto shown = [&](std::int32_t track, double t) {
        const auto p = b.composition->track(track)->sourcePosition(sec(t));
        return p ? p->time.toSeconds() : -1.0;
    };
    EXPECT_NEAR(shown(fast, 0.41), 0, 1e-4);     // the first frame held over 0.40 … 0.45
    EXPECT_NEAR(shown(fast, 0.475), 0.05, 1e-4); // then the source at 2×
    EXPECT_NEAR(shown(fast, 0.5), 0.1, 1e-4);    // the clip itself
    // The reversed tail, laid frame by frame backwards: 0.35 … 0.4, then 0.3 … 0.35.
    EXPECT_GE(shown(reversed, 0.51), 0.35);
    EXPECT_LT(shown(reversed, 0.51), 0.4);
    EXPECT_GE(shown(reversed, 0.59), 0.3);
    EXPECT_LT(shown(reversed, 0.59), 0.35);
}

// A still that names a FIFO (a project file can point anywhere) or a file that does not decode is left
// out and reported, naming the file; the build never waits on it.
TEST(CompositionBuild, StillsThatCannotBeReadAreReportedNotWaitedFor) {
    const fs::path fifo = MediaFixtures::shared().scratch("pipe-" + std::to_string(::getpid()) + ".png");
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path cut = MediaFixtures::shared().scratch("cut-" + std::to_string(::getpid()) + ".png");
    testsupport::writeTruncatedCopy(MediaFixtures::shared().path(Fixture::pngStill), cut, 0.9);
    // A picture too large to be a still is not decoded at all: its header is enough.
    const fs::path huge = MediaFixtures::shared().scratch("huge-" + std::to_string(::getpid()) + ".png");
    testsupport::writeBlankPng(huge, 20000, 20000, 1);

    Doc doc;
    doc.clip(0, 0, 1, doc.media(fifo, MediaKind::image, 0)).name = "Pipe";
    doc.clip(0, 1, 1, doc.media(cut, MediaKind::image, 0)).name = "Cut";
    doc.clip(0, 2, 1, doc.media(huge, MediaKind::image, 0)).name = "Huge";
    doc.clip(0, 3, 1, doc.media(Fixture::pngStill, MediaKind::image, 0)).name = "Fine";
    enginetest::LogCapture log;
    auto building = std::async(std::launch::async, [&] { return doc.build({320, 180}); });
    if (building.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        // Let the reader that waits for a writer go, so the test can end.
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        FAIL() << "the build waited on a FIFO";
    }
    const CompositionBuild b = building.get();
    // A FIFO is no file of media at all: offline, named.
    ASSERT_EQ(b.offline.size(), 1u);
    EXPECT_EQ(b.offlineProblems[0].text(), fifo.filename().string() + " could not be decoded.");
    ASSERT_EQ(b.undecodable.size(), 2u);
    EXPECT_EQ(b.undecodable[0].file, cut);
    EXPECT_EQ(b.undecodable[0].start, 1);
    EXPECT_EQ(b.undecodable[0].end, 2);
    EXPECT_EQ(b.undecodable[1].file, huge);
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "Skipped video segment Cut: " + cut.filename().string() + " could not be decoded.",
                             "Skipped video segment Huge: " + huge.filename().string() + " could not be decoded."}));
    const auto ins = instructions(b);
    ASSERT_EQ(ins.back()->layers().size(), 1u);
    EXPECT_EQ(ins.back()->layers()[0].kind, RenderKind::still);
    for (const auto* i : ins) {
        if (i->timeRange().start < sec(3)) {
            EXPECT_TRUE(i->layers().empty());
        }
    }
    fs::remove(fifo);
    fs::remove(cut);
    fs::remove(huge);
}
