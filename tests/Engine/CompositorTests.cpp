#include <gtest/gtest.h>

#include <QImage>
#include <atomic>
#include <thread>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Engine/SequenceCompositor.hpp"
#include "EngineTestSupport.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Imaging/Context.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"

using namespace osterveil;
using imaging::Image;
using media::Time;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;
namespace CB = osterveil::CompositionBuilder;
namespace fs = std::filesystem;

namespace {

imaging::Bitmap solid(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    std::vector<std::uint8_t> px;
    for (int i = 0; i < w * h; ++i) px.insert(px.end(), {r, g, b, 255});
    return imaging::Bitmap::make(w, h, std::move(px), imaging::AlphaMode::premultiplied);
}

RenderLayer stillLayer(const std::string& key, std::int64_t z, const Uuid& track = Uuid::make()) {
    RenderLayer l;
    l.timelineTrackID = track;
    l.zOrder = z;
    l.kind = RenderKind::still;
    l.imageKey = key;
    l.sourceTrackID = 1;
    l.segmentEnd = 10;
    return l;
}

struct Frame {
    std::vector<std::uint8_t> bgra;
    int width = 0, height = 0;
    // R, G, B of a pixel counted from the top-left.
    std::array<int, 3> at(int x, int y) const {
        const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
        return {p[2], p[1], p[0]};
    }
};

// Runs one request through a compositor and returns the frame.
Frame render(SequenceCompositor& c, std::vector<RenderLayer> layers, double t, int w = 64, int h = 36,
             media::CompositionRequest::Status* status = nullptr) {
    auto instruction = std::make_shared<CompositeInstruction>(
        media::TimeRange(Time::zero(), Time(10, 1)), std::move(layers), std::nullopt);
    media::CompositionRequest request(CB::mediaTime(t), instruction, {}, std::make_shared<media::PixelBufferPool>(w, h));
    c.startRequest(request);
    if (status) *status = request.status();
    Frame f{{}, w, h};
    if (request.status() != media::CompositionRequest::Status::composed) return f;
    const auto& buf = request.result();
    for (int y = 0; y < h; ++y) f.bgra.insert(f.bgra.end(), buf.row(y), buf.row(y) + 4 * w);
    return f;
}

} // namespace

TEST(Compositor, EmptyInstructionIsBlackAndTracksStackByOrder) {
    auto images = std::make_shared<ImageSet>();
    (*images)["red"] = solid(64, 36, 255, 0, 0);
    (*images)["narrow blue"] = solid(16, 36, 0, 0, 255);
    SequenceCompositor c(images);
    const Frame black = render(c, {}, 0);
    EXPECT_EQ(black.at(10, 10), (std::array<int, 3>{0, 0, 0}));

    // The narrow picture above is fitted into the middle; the track below shows in the bands.
    const Frame stacked = render(c, {stillLayer("narrow blue", 2), stillLayer("red", 1)}, 0);
    EXPECT_EQ(stacked.at(32, 18), (std::array<int, 3>{0, 0, 255}));
    EXPECT_EQ(stacked.at(2, 18), (std::array<int, 3>{255, 0, 0}));

    media::CompositionRequest::Status status;
    auto wrong = std::make_shared<media::CompositionInstruction>(media::TimeRange(), std::vector<std::int32_t>{});
    media::CompositionRequest request(Time::zero(), wrong, {}, std::make_shared<media::PixelBufferPool>(8, 8));
    c.startRequest(request);
    status = request.status();
    EXPECT_EQ(status, media::CompositionRequest::Status::failed);
    EXPECT_EQ(request.error(), "The preview compositor received an unknown instruction.");
}

TEST(Compositor, LayersOfOneTrackDissolveByWeight) {
    auto images = std::make_shared<ImageSet>();
    (*images)["red"] = solid(64, 36, 255, 0, 0);
    (*images)["blue"] = solid(64, 36, 0, 0, 255);
    SequenceCompositor c(images);
    const Uuid track = Uuid::make();
    auto weighted = [&](double a, double b) {
        RenderLayer first = stillLayer("red", 1, track), second = stillLayer("blue", 1, track);
        first.opacity.value = a;
        second.opacity.value = b;
        return render(c, {first, second}, 0).at(5, 5);
    };
    const auto mix = weighted(0.3, 0.7);
    EXPECT_NEAR(mix[0], 0.3 * 255, 2);
    EXPECT_NEAR(mix[2], 0.7 * 255, 2);
    // 0.2 and 0.3: a dissolve at 0.6 towards blue, at opacity 0.5, over black.
    const auto faint = weighted(0.2, 0.3);
    EXPECT_NEAR(faint[0], 0.5 * 0.4 * 255, 2);
    EXPECT_NEAR(faint[2], 0.5 * 0.6 * 255, 2);
    // A frame-blending copy merges half and half with its clip, which keeps the clip's opacity.
    RenderLayer copy = stillLayer("red", 1, track), own = stillLayer("blue", 1, track);
    copy.blendsWithNext = true;
    copy.opacity.value = own.opacity.value = 0.6;
    const auto blended = render(c, {copy, own}, 0).at(5, 5);
    EXPECT_NEAR(blended[0], 0.6 * 0.5 * 255, 2);
    EXPECT_NEAR(blended[2], 0.6 * 0.5 * 255, 2);
    // Opacity keyframed beyond 0…1 is clamped.
    RenderLayer over = stillLayer("red", 1);
    over.opacity.keyframes = {{0, 3}, {1, 3}};
    EXPECT_EQ(render(c, {over}, 0.5).at(5, 5)[0], 255);
}

TEST(Compositor, FadeAndDissolveWindows) {
    RenderLayer l;
    l.fadeIn = ClosedRange{10, 11};
    EXPECT_EQ(SequenceCompositor::windowWeight(l, 10), 0);
    EXPECT_EQ(SequenceCompositor::windowWeight(l, 10.5), 0.5);
    EXPECT_EQ(SequenceCompositor::windowWeight(l, 11), 1);
    RenderLayer d;
    d.dissolveIn = ClosedRange{10, 11};
    EXPECT_EQ(SequenceCompositor::windowWeight(d, 10.5), 0.5);
    RenderLayer zeroDissolve, zeroFade;
    zeroDissolve.dissolveIn = ClosedRange{10, 10};
    zeroFade.fadeIn = ClosedRange{10, 10};
    EXPECT_EQ(SequenceCompositor::windowWeight(zeroDissolve, 10), 0);
    EXPECT_EQ(SequenceCompositor::windowWeight(zeroDissolve, 10.01), 1);
    EXPECT_EQ(SequenceCompositor::windowWeight(zeroFade, 10), 1);
    RenderLayer out;
    out.fadeOut = ClosedRange{4, 6};
    out.dissolveOut = ClosedRange{5, 7};
    EXPECT_DOUBLE_EQ(SequenceCompositor::windowWeight(out, 5.5), 0.25 * 0.75);
}

TEST(Compositor, MotionThresholdsAndScaledPositions) {
    auto images = std::make_shared<ImageSet>();
    (*images)["red"] = solid(64, 36, 255, 0, 0);
    // Below the thresholds nothing moves: the picture fills the frame edge to edge.
    SequenceCompositor c(images);
    RenderLayer still = stillLayer("red", 1);
    still.motion = ClipMotion{1.00005, 0, 0.4, -0.4};
    EXPECT_EQ(render(c, {still}, 0).at(0, 0)[0], 255);
    still.motion = ClipMotion{1, 0, 0.5, 0};
    EXPECT_LT(render(c, {still}, 0).at(0, 0)[0], 255); // half a pixel over: the left edge uncovers
    // Positions are pixels of the sequence frame: at half the size a move of 20 is 10 pixels.
    SequenceCompositor half(images, media::Size{128, 72});
    still.motion = ClipMotion{1, 0, 20, 0};
    const Frame moved = render(half, {still}, 0);
    EXPECT_EQ(moved.at(9, 18)[0], 0);
    EXPECT_EQ(moved.at(10, 18)[0], 255);
    // Positive y moves the picture up, positive rotation turns it clockwise.
    still.motion = ClipMotion{1, 0, 0, 10};
    EXPECT_EQ(render(half, {still}, 0).at(5, 35)[0], 0);
}

namespace {

// Bounding box of the pixels where a channel passes half, in y-down picture coordinates.
struct Box {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};

Box where(const Frame& f, int channel) {
    Box b;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x)
            if (f.at(x, y)[channel] > 128) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
            }
    return b;
}

void savePNG(const Frame& f, const std::string& name) {
    const fs::path out = fs::path(OSTERVEIL_TEST_OUTPUT_DIR) / name;
    fs::create_directories(out.parent_path());
    QImage(f.bgra.data(), f.width, f.height, 4 * f.width, QImage::Format_ARGB32)
        .save(QString::fromStdString(out.string()));
}

} // namespace

// A vertical sequence rendered wide: the whole frame is placed once, centred between black bands,
// so a scaled and moved picture-in-picture keeps its size and place on its background.
TEST(Compositor, AnotherAspectKeepsTheLayout) {
    auto images = std::make_shared<ImageSet>();
    (*images)["red"] = solid(108, 192, 255, 0, 0);
    (*images)["blue"] = solid(160, 90, 0, 0, 255);
    SequenceCompositor c(images, media::Size{108, 192});
    RenderLayer background = stillLayer("red", 1), inset = stillLayer("blue", 2);
    inset.motion = ClipMotion{0.3, 0, 20, -40};

    const Frame tall = render(c, {background, inset}, 0, 108, 192);
    const Frame wide = render(c, {background, inset}, 0, 192, 108);
    savePNG(wide, "aspect-vertical-sequence-rendered-wide.png");
    const Box bgTall = where(tall, 0), bgWide = where(wide, 0);
    const Box pipTall = where(tall, 2), pipWide = where(wide, 2);
    // The sequence frame shrinks by 108 / 192 into the middle of the wide frame: bands at the sides.
    const double k = 108.0 / 192, ox = (192 - 108 * k) / 2;
    EXPECT_EQ(wide.at(10, 54), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(wide.at(181, 54), (std::array<int, 3>{0, 0, 0}));
    EXPECT_NEAR(bgWide.left, ox, 1);
    EXPECT_NEAR(bgWide.right + 1, ox + 108 * k, 1);
    // The inset sits where the tall render puts it, scaled alike, within a pixel.
    EXPECT_NEAR(pipWide.left, ox + pipTall.left * k, 1);
    EXPECT_NEAR(pipWide.right + 1, ox + (pipTall.right + 1) * k, 1);
    EXPECT_NEAR(pipWide.top, pipTall.top * k, 1);
    EXPECT_NEAR(pipWide.bottom + 1, (pipTall.bottom + 1) * k, 1);
    EXPECT_NEAR(pipTall.right + 1 - pipTall.left, 108 * 0.3, 1);
    EXPECT_EQ(bgTall.left, 0);
}

// A picture moved half out of the frame keeps the vignette of its whole rectangle.
TEST(Compositor, VignetteFollowsTheWholeMovedPicture) {
    auto images = std::make_shared<ImageSet>();
    (*images)["white"] = solid(64, 36, 255, 255, 255);
    SequenceCompositor c(images);
    RenderLayer still = stillLayer("white", 1);
    still.grade.lumetri.vignette = 1;
    still.grade.lumetri.vignetteRadius = 0.6;
    still.grade.lumetri.vignetteFeather = 0.5;
    const Frame centred = render(c, {still}, 0);
    still.motion = ClipMotion{1, 0, 32, 0};
    const Frame moved = render(c, {still}, 0);
    for (int y = 0; y < 36; y += 5)
        for (int x = 0; x < 32; ++x)
            ASSERT_NEAR(moved.at(x + 32, y)[1], centred.at(x, y)[1], 2) << x << ", " << y;
}

TEST(Compositor, CancellationDuringARender) {
    auto images = std::make_shared<ImageSet>();
    (*images)["big"] = solid(64, 36, 200, 100, 50);
    SequenceCompositor c(images);
    RenderLayer heavy = stillLayer("big", 1);
    heavy.grade.lumetri.sharpen = 1;
    heavy.grade.lumetri.vignette = 1;
    bool sawCancel = false;
    for (int attempt = 0; attempt < 5 && !sawCancel; ++attempt) {
        media::CompositionRequest::Status status = media::CompositionRequest::Status::pending;
        std::atomic<bool> done{false};
        std::thread renderThread([&] {
            render(c, {heavy}, 0, 3840, 2160, &status);
            done = true;
        });
        // Cancelled again and again until the render returns: on a busy machine it may start late, and
        // a cancellation before its start is not one during it.
        while (!done) {
            c.cancelAllPendingRequests();
            std::this_thread::yield();
        }
        renderThread.join();
        sawCancel = status == media::CompositionRequest::Status::cancelled;
    }
    EXPECT_TRUE(sawCancel);
    // Requests after the cancellation compose normally.
    media::CompositionRequest::Status after;
    render(c, {heavy}, 0, 64, 36, &after);
    EXPECT_EQ(after, media::CompositionRequest::Status::composed);
}

// Real files end to end: every frame the reader composes is the right source frame, a phone clip
// comes out upright, and a graded frame is written out as a picture to look at.
TEST(CompositionReader, ComposesEveryFrameInOrder) {
    static PlateStore plates(MediaFixtures::shared().directory() / "plate");
    Project p;
    p.sequence = Sequence::makeNew();
    p.sequence.width = 320;
    p.sequence.height = 180;
    MediaItem m;
    m.id = Uuid::make();
    m.kind = MediaKind::video;
    m.path = MediaFixtures::shared().path(Fixture::h264Movie).string();
    m.duration = 1;
    p.media.push_back(m);
    TimelineClip clip;
    clip.id = Uuid::make();
    clip.mediaID = m.id;
    clip.duration = 1;
    p.sequence.tracks.mut(0).clips.push_back(clip);
    const auto build = CB::build(p, std::nullopt, {320, 180}, p.sequence.frameRate, plates);
    media::CompositionVideoReader reader(build.composition, *build.videoComposition);
    EXPECT_EQ(reader.frameCount(), 24);
    int index = 0;
    while (auto frame = reader.next()) {
        double sum = 0;
        for (int y = 8; y < 16; ++y)
            for (int x = 8; x < 16; ++x) sum += frame->picture.row(y)[4 * x + 1];
        // Grey back to the fixture's luma ramp: 23 + 4i over this block (inside the video range, where
        // the top-left corner's darkest values would clip to black).
        const double luma = sum / 64 * 219 / 255 + 16;
        EXPECT_EQ(std::lround((luma - 23) / 4), index) << "frame " << index;
        EXPECT_EQ(frame->time, Time(index, 24));
        ++index;
    }
    EXPECT_EQ(index, 24);

    // The portrait phone clip: stored 320×180 and turned 90° clockwise, it shows upright, filling
    // the height, the stored top-left corner (the darkest) at the top right.
    MediaItem phone = m;
    phone.id = Uuid::make();
    phone.path = MediaFixtures::shared().path(Fixture::portraitMovie).string();
    const auto asset = media::Asset::open(phone.path);
    const auto& t = asset->tracks(media::MediaType::video).front()->preferredTransform;
    phone.transform = StoredTransform{t.a, t.b, t.c, t.d, t.tx, t.ty};
    p.media.push_back(phone);
    p.sequence.tracks.mut(0).clips.mut(0).mediaID = phone.id;
    p.sequence.tracks.mut(0).clips.mut(0).grade.exposure.value = 0.5;
    const auto upright = CB::build(p, std::nullopt, {320, 180}, p.sequence.frameRate, plates);
    media::CompositionVideoReader phoneReader(upright.composition, *upright.videoComposition);
    const auto first = phoneReader.next();
    ASSERT_TRUE(first);
    auto green = [&](int x, int y) { return int(first->picture.row(y)[4 * x + 1]); };
    // The picture is 180×320 fitted into 320×180: about 101 wide, centred, black bands either side.
    EXPECT_EQ(green(20, 90), 0);
    EXPECT_EQ(green(300, 90), 0);
    EXPECT_LT(green(209, 2), green(111, 177)); // top right darker than bottom left
    const fs::path out = fs::path(OSTERVEIL_TEST_OUTPUT_DIR) / "graded-portrait-frame.png";
    fs::create_directories(out.parent_path());
    QImage(first->picture.data(), 320, 180, static_cast<qsizetype>(first->picture.bytesPerRow()), QImage::Format_ARGB32)
        .save(QString::fromStdString(out.string()));
    EXPECT_TRUE(fs::exists(out));
}

namespace {

// Two seconds of the fixture ramp in ProRes (near lossless), 160×90 at 24 fps: the green of the block
// (8…16, 8…16) climbs about 4.7 levels a frame without clipping, so each source frame is recognisable.
fs::path rampMovie() {
    static const fs::path path = [] {
        const fs::path p = MediaFixtures::shared().scratch("ramp-2s.mov");
        testsupport::writeMovie(p, {"mov", testsupport::VideoCodec::proresHQ, 160, 90, 24, 48});
        return p;
    }();
    return path;
}

struct RampDoc {
    Project project;
    Uuid media;
    RampDoc() {
        project.sequence = Sequence::makeNew();
        project.sequence.width = 160;
        project.sequence.height = 90;
        MediaItem m;
        m.id = media = Uuid::make();
        m.kind = MediaKind::video;
        m.path = rampMovie().string();
        m.duration = 2;
        project.media.push_back(m);
    }
    TimelineClip& clip(double start, double duration, double in, double speed = 1) {
        TimelineClip c;
        c.id = Uuid::make();
        c.mediaID = media;
        c.start = start;
        c.duration = duration;
        c.inPoint = in;
        c.timeRemap.speed = speed;
        return project.sequence.tracks.mut(0).clips.emplace_back(c);
    }
    // The block's green in every composed frame.
    std::vector<double> blocks() const {
        static PlateStore plates(MediaFixtures::shared().directory() / "plate");
        const auto build = CB::build(project, std::nullopt, {160, 90}, project.sequence.frameRate, plates);
        media::CompositionVideoReader reader(build.composition, *build.videoComposition);
        std::vector<double> out;
        while (auto frame = reader.next()) {
            double sum = 0;
            for (int y = 8; y < 16; ++y)
                for (int x = 8; x < 16; ++x)
                    sum += frame->picture.row(y)[4 * x + 1];
            out.push_back(sum / 64);
        }
        return out;
    }
};

// The block of each source frame, as the compositor draws it alone.
const std::vector<double>& sourceBlocks() {
    static const std::vector<double> blocks = [] {
        RampDoc doc;
        doc.clip(0, 2, 0);
        return doc.blocks();
    }();
    return blocks;
}

// Weight of the incoming side of a dissolve over [lo, hi] at frame k.
double incoming(int k, double lo, double hi) {
    return std::clamp((k / 24.0 - lo) / (hi - lo), 0.0, 1.0);
}

} // namespace

// A speed-changed clip beside a dissolve plays on into its handle at its own speed, so the dissolve
// is the weighted mix of both clips all through, never a dip towards black.
TEST(CompositionReader, DissolvesBesideSpeedChangesMixBothClips) {
    const auto& src = sourceBlocks();
    ASSERT_EQ(src.size(), 48u);

    // Outgoing at 2× from 0 (frame 2k at frame k, also in its handle), cut at 0.25 to a clip from
    // 1.25 s (frame 24 + k); the dissolve runs 0.125 … 0.375.
    RampDoc out;
    out.clip(0, 0.25, 0, 2).outgoing = {TransitionKind::crossDissolve, 0.25, TransitionCurve::linear};
    out.clip(0.25, 0.5, 1.25);
    const auto outFrames = out.blocks();
    ASSERT_EQ(outFrames.size(), 18u);
    for (int k = 3; k <= 9; ++k) {
        const double b = incoming(k, 0.125, 0.375);
        EXPECT_NEAR(outFrames[k], (1 - b) * src[2 * k] + b * src[24 + k], 2) << "frame " << k;
    }

    // Incoming at 2× from 1 s (frame 2k at frame k, also in its handle) after a clip from 0; the
    // dissolve runs 0.375 … 0.625.
    RampDoc in;
    in.clip(0, 0.5, 0).outgoing = {TransitionKind::crossDissolve, 0.25, TransitionCurve::linear};
    in.clip(0.5, 0.25, 1, 2);
    const auto inFrames = in.blocks();
    ASSERT_EQ(inFrames.size(), 18u);
    for (int k = 9; k <= 15; ++k) {
        const double b = incoming(k, 0.375, 0.625);
        EXPECT_NEAR(inFrames[k], (1 - b) * src[k] + b * src[2 * k], 2) << "frame " << k;
    }
}

// A frame-blended clip is merged with its blend copy (one frame later) before it dissolves, so
// both clips keep their linear weights.
TEST(CompositionReader, FrameBlendedClipDissolvesByItsWeight) {
    const auto& src = sourceBlocks();
    RampDoc doc;
    doc.clip(0, 0.5, 0).outgoing = {TransitionKind::crossDissolve, 0.25, TransitionCurve::linear};
    doc.clip(0.5, 0.25, 1, 2).timeRemap.frameBlending = true;
    const auto frames = doc.blocks();
    ASSERT_EQ(frames.size(), 18u);
    for (int k : {10, 12, 14}) {
        const double b = incoming(k, 0.375, 0.625);
        const double blended = (src[2 * k] + src[2 * k + 1]) / 2;
        EXPECT_NEAR(frames[k], (1 - b) * src[k] + b * blended, 2) << "frame " << k;
    }
    EXPECT_NEAR(frames[16], (src[32] + src[33]) / 2, 2);
}

// The smallest pictures the formats allow fill the frame like any other: a one-pixel still for the
// first second, a one-pixel movie for the next, through the build and the reader.
TEST(CompositionReader, OnePixelPicturesFillTheFrame) {
    const fs::path still = MediaFixtures::shared().scratch("one-pixel.png");
    testsupport::writePng(still, 1, 1); // red 0, green 0, blue 96
    const fs::path movie = MediaFixtures::shared().scratch("one-pixel.mp4");
    testsupport::writeMovie(movie, {.video = testsupport::VideoCodec::mpeg4, .width = 1, .height = 1,
                                    .luma = [](std::int64_t) { return 180; }});
    Project p;
    p.sequence = Sequence::makeNew();
    for (const auto& [path, kind] : {std::pair{still, MediaKind::image}, std::pair{movie, MediaKind::video}}) {
        MediaItem m;
        m.id = Uuid::make();
        m.kind = kind;
        m.path = path.string();
        m.duration = 1;
        p.media.push_back(m);
        TimelineClip clip;
        clip.id = Uuid::make();
        clip.mediaID = m.id;
        clip.start = double(p.sequence.tracks[0].clips.size());
        clip.duration = 1;
        p.sequence.tracks.mut(0).clips.push_back(clip);
    }
    const auto build = CB::build(p, std::nullopt, {320, 180}, p.sequence.frameRate);
    media::CompositionVideoReader reader(build.composition, *build.videoComposition);
    for (int k = 0; auto frame = reader.next(); ++k) {
        if (k % 24) continue;
        // Fitted into the middle of 320×180: a 180×180 square, black bands beside it.
        for (const auto& [x, y] : {std::pair{160, 90}, std::pair{80, 10}, std::pair{240, 170}}) {
            const std::uint8_t* px = frame->picture.row(y) + 4 * x;
            if (k == 0) EXPECT_EQ((std::array<int, 3>{px[2], px[1], px[0]}), (std::array<int, 3>{0, 0, 96})) << x;
            else EXPECT_NEAR(px[1], (180 - 16) * 255 / 219, 3) << x << ", " << y;
        }
        const std::uint8_t* band = frame->picture.row(90) + 4 * 40;
        EXPECT_EQ(band[0] + band[1] + band[2], 0);
    }
}
