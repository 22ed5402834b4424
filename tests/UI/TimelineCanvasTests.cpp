#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLinearGradient>
#include <QNativeGestureEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointingDevice>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <functional>
#include <cmath>

#include "UI/Common/Theme.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

using namespace osterveil;
namespace G = TimelineGeometry;

namespace {

// How far apart two colours are, channel by channel.
int distance(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
}

// `over` at `alpha` laid on `under`.
QColor blend(QColor over, double alpha, QColor under) {
    const auto mix = [&](int o, int u) { return int(std::lround(o * alpha + u * (1 - alpha))); };
    return QColor(mix(over.red(), under.red()), mix(over.green(), under.green()),
                  mix(over.blue(), under.blue()));
}

QImage picture(QColor from, QColor to) {
    QImage image(480, 270, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient gradient(0, 0, 480, 270);
    gradient.setColorAt(0, from);
    gradient.setColorAt(1, to);
    p.fillRect(image.rect(), gradient);
    return image;
}

TimelineClip clipAt(double start, double duration, std::string name,
                    std::optional<Uuid> media = std::nullopt) {
    TimelineClip c;
    c.id = Uuid::make();
    c.mediaID = media;
    c.name = std::move(name);
    c.start = start;
    c.duration = duration;
    return c;
}

// Renders the scroll host as a window would show it.
QImage render(TimelineScrollView& view) {
    return view.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

void save(const QImage& image, const QString& name) {
    QDir().mkpath(OSTERVEIL_TEST_OUTPUT_DIR);
    image.save(QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR "/") + name);
}

// Every kind of clip the timeline draws, at 80 points per second on the six tracks of a new
// sequence (display order V3, V2, V1, A1, A2, A3).
struct Fixture {
    Fixture() {
        const Uuid interview = Uuid::make(), logo = Uuid::make(), missing = Uuid::make(),
                   score = Uuid::make();
        state.pixelsPerSecond = 80;
        state.time = 4.5;
        state.inPoint = 2;
        state.outPoint = 15;
        state.mediaKinds = {{interview, MediaKind::video},
                            {logo, MediaKind::image},
                            {missing, MediaKind::video},
                            {score, MediaKind::audio}};
        state.mediaDurations = {{interview, 20}, {logo, 0}, {missing, 8}, {score, 30}};
        state.thumbnails = {{interview, picture(QColor(214, 140, 70), QColor(40, 90, 120))},
                            {logo, picture(QColor(240, 240, 240), QColor(60, 160, 90))}};
        std::vector<float> speech(1400), music(1400);
        for (std::size_t i = 0; i < speech.size(); ++i) {
            speech[i] = float(0.15 + 0.8 * std::abs(std::sin(i * 0.05)) * std::abs(std::sin(i * 0.011)));
            music[i] = float(0.35 + 0.3 * std::abs(std::sin(i * 0.2)));
        }
        state.waveforms = {{interview, speech}, {score, music}};
        state.offline = {missing};
        state.markers = {{Uuid::make(), 5, "Marker 1", 0}, {Uuid::make(), 14, "Marker 2", 2}};
        state.snapGuide = 7;

        auto v3 = Track::make(TrackRole::video, "V3"), v2 = Track::make(TrackRole::video, "V2"),
             v1 = Track::make(TrackRole::video, "V1"), a1 = Track::make(TrackRole::audio, "A1"),
             a2 = Track::make(TrackRole::audio, "A2"), a3 = Track::make(TrackRole::audio, "A3");
        TimelineClip disabled = clipAt(2, 4, "B-roll (disabled)", interview);
        disabled.isEnabled = false;
        v3.clips.push_back(disabled);
        TimelineClip nest = clipAt(12, 4, "Nested Sequence 1");
        nest.nestID = Uuid::make();
        v3.clips.push_back(nest);
        v2.clips.push_back(clipAt(2, 3, "Logo.png", logo));
        TimelineClip title = clipAt(8, 3.5, "Title");
        title.title = TitleStyle{};
        v2.clips.push_back(title);
        selectedClip = clipAt(1, 6, "Interview.mov", interview);
        v1.clips.push_back(selectedClip);
        TimelineClip second = clipAt(7, 5, "Interview.mov", interview);
        second.inPoint = 9;
        second.incoming.kind = TransitionKind::crossDissolve;
        v1.clips.push_back(second);
        offlineClip = clipAt(13, 4, "Missing.mov", missing);
        v1.clips.push_back(offlineClip);
        TimelineClip speechClip = clipAt(1, 6, "Interview.mov", interview);
        a1.clips.push_back(speechClip);
        TimelineClip speechTail = clipAt(7, 5, "Interview.mov", interview);
        speechTail.inPoint = 9;
        a1.clips.push_back(speechTail);
        a2.clips.push_back(clipAt(0, 16, "Score.wav", score));
        state.tracks = {v3, v2, v1, a1, a2, a3};
        state.selected = {selectedClip.id};
        state.canvasDuration = TimelineDrawState::canvasDurationFor(17, state.time);
    }

    TimelineDrawState state;
    TimelineClip selectedClip;
    TimelineClip offlineClip;
};

} // namespace

TEST(TimelineCanvas, DrawsTheFixtureProjectWithItsSelectionOfflineClipWorkAreaAndPlayhead) {
    Fixture f;
    TimelineScrollView view;
    view.resize(1440, 420);
    view.present(f.state, TimelineBridge::inert());
    const QImage image = render(view);
    save(image, QStringLiteral("timeline.png"));
    ASSERT_EQ(image.width(), 1440);

    // V1 is lane 2. The selected clip's left edge carries the selection stroke.
    const int v1Middle = int(G::laneTop(2) + 40);
    EXPECT_LT(distance(image.pixelColor(81, v1Middle), Theme::nsSelection), 60);
    // The offline clip's body: nsDanger at 0.55 over the lane, crossed by its hatch in nsDanger.
    const int offlineRow = int(G::laneTop(2) + 46);
    EXPECT_LT(distance(image.pixelColor(1100, offlineRow), blend(Theme::nsDanger, 0.55, Theme::nsLane)), 6);
    int hatch = 0;
    for (int x = 13 * 80 + 4; x < 15 * 80 - 4; ++x)
        hatch += distance(image.pixelColor(x, offlineRow), Theme::nsDanger) < 40;
    EXPECT_GE(hatch, 15); // one segment every 8 points
    // Left of In (2 s) the lanes are shaded; inside the work area they are not.
    const int v3Bottom = int(G::laneTop(0) + 52);
    EXPECT_LT(distance(image.pixelColor(40, v3Bottom), blend(Theme::nsBackground, 0.55, Theme::nsLane)), 4);
    EXPECT_LT(distance(image.pixelColor(1100, v3Bottom), Theme::nsLane), 4);
    EXPECT_LT(distance(image.pixelColor(1300, v3Bottom), blend(Theme::nsBackground, 0.55, Theme::nsLane)), 4);
    // The playhead at 4.5 s stands on x 360, over the empty part of lane A3.
    EXPECT_LT(distance(image.pixelColor(360, int(G::laneTop(5) + 20)), Theme::nsPlayhead), 4);
    EXPECT_LT(distance(image.pixelColor(361, int(G::laneTop(5) + 20)), Theme::nsLaneAlt), 4);
    EXPECT_LT(distance(image.pixelColor(1300, 2), Theme::nsRuler), 4);
}

// Both halves of a split clip showed the whole file's outline squeezed into each of them.
TEST(TimelineCanvas, EachHalfOfASplitSoundClipShowsItsOwnPartOfTheWaveform) {
    const Uuid music = Uuid::make();
    TimelineDrawState state;
    state.pixelsPerSecond = 60;
    state.time = 20;
    state.mediaKinds = {{music, MediaKind::audio}};
    state.mediaDurations = {{music, 10}};
    // Loud for the first 5 s of the file, silent after.
    std::vector<float> peaks(100, 0.0f);
    std::fill(peaks.begin(), peaks.begin() + 50, 1.0f);
    state.waveforms = {{music, peaks}};
    auto a1 = Track::make(TrackRole::audio, "A1");
    TimelineClip head = clipAt(0, 5, "", music), tail = clipAt(5, 5, "", music);
    tail.inPoint = 5;
    a1.clips.push_back(head);
    a1.clips.push_back(tail);
    state.tracks = {a1};

    TimelineScrollView view;
    view.resize(800, 200);
    view.present(state, TimelineBridge::inert());
    const QImage image = render(view);
    save(image, QStringLiteral("timeline-split-waveform.png"));
    const auto lit = [&](int from, int to) {
        int n = 0;
        for (int x = from; x < to; ++x)
            n += distance(image.pixelColor(x, int(G::laneTop(0) + 28)), Theme::nsAudio) > 60;
        return n;
    };
    EXPECT_GT(lit(4, 296), 40);
    EXPECT_EQ(lit(304, 596), 0);
}

TEST(TimelineCanvas, ADamagedRateAndAClipFarPastTheEndStillDrawAndStayBounded) {
    TimelineDrawState state;
    state.pixelsPerSecond = 500;
    state.frameRate = FrameRate{24, 0}; // five frames of it once made a step of 0
    auto v1 = Track::make(TrackRole::video, "V1");
    v1.clips.push_back(clipAt(1e15, 1e15, "Far"));
    v1.clips.push_back(clipAt(0, 1e12, "Long"));
    state.tracks = {v1};
    state.canvasDuration = TimelineDrawState::canvasDurationFor(2e15, 0);

    TimelineScrollView view;
    view.resize(900, 200);
    view.present(state, TimelineBridge::inert());
    EXPECT_EQ(view.canvas()->canvasSize().width(), G::maximumCanvasWidth);
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->maximum());
    const QImage image = render(view);
    // The long clip runs to the end of the canvas.
    EXPECT_LT(distance(image.pixelColor(450, int(G::laneTop(0) + 40)), Theme::nsVideo), 4);
}

// Zoomed out to the limit (4 points per second), clips a few points wide: hundreds of them were
// each painted with a squeezed picture, a waveform and a label no one could read.
TEST(TimelineCanvas, ClipsAFewPointsWideArePlainRectanglesInTheirColoursAndKeepTheirSelection) {
    Fixture f; // the pictures, waveforms and offline item of the look above
    const Uuid interview = f.state.tracks[2].clips[0].mediaID.value();
    const Uuid missing = f.offlineClip.mediaID.value();
    TimelineDrawState state = f.state;
    state.pixelsPerSecond = 4;
    state.inPoint = state.outPoint = std::nullopt;
    state.snapGuide = std::nullopt;
    state.markers.clear();
    state.time = 0;
    auto v1 = Track::make(TrackRole::video, "V1"), a1 = Track::make(TrackRole::audio, "A1");
    // Cuts of 1 to 6 s on both tracks, every third selected, as a long sequence zoomed out shows them.
    std::vector<Uuid> selected;
    double at = 0;
    for (int i = 0; i < 40; ++i) {
        const double length = 1 + (i * 7 % 11) / 2.0;
        TimelineClip picture = clipAt(at, length, "Interview.mov", interview);
        TimelineClip sound = clipAt(at, length, "Interview.mov", interview);
        if (i % 3 == 0) selected.push_back(picture.id);
        if (i % 4 == 1) picture.incoming.kind = TransitionKind::crossDissolve;
        v1.clips.push_back(picture);
        a1.clips.push_back(sound);
        at += length;
    }
    // Two seconds of each kind at 4 points per second, an 8-point frame and a 6-point body, each
    // further from the others than a label reaches.
    TimelineClip narrowSelected = clipAt(at + 60, 2, "Interview.mov", interview);
    TimelineClip narrowSound = clipAt(at + 60, 2, "Interview.mov", interview);
    TimelineClip narrowOffline = clipAt(at + 90, 2, "Missing.mov", missing);
    TimelineClip tooNarrow = clipAt(at + 120, 0.75, "Interview.mov", interview); // a 3-point frame
    TimelineClip wide = clipAt(at + 150, 20, "Interview.mov", interview);
    for (const TimelineClip& c : {narrowSelected, narrowOffline, tooNarrow, wide})
        v1.clips.push_back(c);
    a1.clips.push_back(narrowSound);
    selected.push_back(narrowSelected.id);
    state.tracks = {v1, a1};
    state.selected = UuidSet(selected.begin(), selected.end());
    state.canvasDuration = TimelineDrawState::canvasDurationFor(at + 170, 0);

    TimelineScrollView view;
    view.resize(1440, 160);
    view.present(state, TimelineBridge::inert());
    const QImage image = render(view);
    save(image, QStringLiteral("timeline-zoomed-out.png"));

    const auto bodyLeft = [&](const TimelineClip& c) { return int(std::lround(c.start * 4)) + 1; };
    const int v1Middle = int(G::laneTop(0) + 28), a1Middle = int(G::laneTop(1) + 28);
    // The selected clip: its outline over both sides of its edges, its body plain video blue between.
    const int s = bodyLeft(narrowSelected);
    EXPECT_LT(distance(image.pixelColor(s, v1Middle), blend(Theme::nsSelection, 0.75, Theme::nsVideo)), 8);
    EXPECT_LT(distance(image.pixelColor(s - 1, v1Middle), blend(Theme::nsSelection, 0.75, Theme::nsLane)), 8);
    EXPECT_LT(distance(image.pixelColor(s + 5, v1Middle), blend(Theme::nsSelection, 0.75, Theme::nsVideo)), 8);
    for (int x = s + 1; x <= s + 4; ++x) {
        EXPECT_LT(distance(image.pixelColor(x, v1Middle), Theme::nsVideo), 4) << x;
        EXPECT_LT(distance(image.pixelColor(x, int(G::laneTop(0) + 5)), Theme::nsVideoEdge), 4) << x;
    }
    // The sound under it: audio green with its edge stripe, no waveform.
    for (int x = s; x <= s + 5; ++x) {
        EXPECT_LT(distance(image.pixelColor(x, a1Middle), Theme::nsAudio), 4) << x;
        EXPECT_LT(distance(image.pixelColor(x, int(G::laneTop(1) + 5)), Theme::nsAudioEdge), 4) << x;
    }
    // The offline clip: its shade of danger red throughout, without a hatch; a 3-point clip is not drawn.
    const int o = bodyLeft(narrowOffline);
    for (int x = o; x <= o + 5; ++x)
        for (int y = int(G::laneTop(0) + 8); y < int(G::laneTop(0) + 52); y += 4)
            EXPECT_LT(distance(image.pixelColor(x, y), blend(Theme::nsDanger, 0.55, Theme::nsLane)), 6) << x << "," << y;
    for (int x = bodyLeft(tooNarrow) - 1; x < bodyLeft(tooNarrow) + 3; ++x)
        EXPECT_LT(distance(image.pixelColor(x, v1Middle), Theme::nsLane), 4) << x;
    // A clip wide enough still shows its picture.
    EXPECT_GT(distance(image.pixelColor(bodyLeft(wide) + 20, v1Middle), Theme::nsVideo), 40);
}

TEST(TimelineScrollView, SizesTheCanvasZoomsAboutThePointerAndFollowsThePlayhead) {
    TimelineScrollView view;
    view.resize(1000, 300);
    TimelineDrawState state;
    state.canvasDuration = 600;
    view.present(state, TimelineBridge::inert());
    EXPECT_EQ(view.canvas()->canvasSize(), QSizeF(600 * 52 + 120, 88));
    const int visible = view.viewport()->width();

    QSignalSpy zooms(&TimelineZoomNotice::center(), &TimelineZoomNotice::zoomed);
    view.setOrigin({1000, 0});
    // Alt turns the wheel sideways on some systems: a horizontal step down zooms out.
    QWheelEvent wheel(QPointF(300, 100), view.viewport()->mapToGlobal(QPointF(300, 100)), {}, QPoint(-120, 0),
                      Qt::NoButton, Qt::AltModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &wheel);
    ASSERT_EQ(zooms.count(), 1);
    const double zoomed = zooms[0][0].toDouble();
    EXPECT_DOUBLE_EQ(zoomed, 52 * 0.92);
    EXPECT_EQ(view.origin().x(), 1000); // nothing moves until the editor takes the zoom

    // The editor takes it: the time that was under the pointer is under it again.
    const double timeUnderPointer = 1300.0 / 52;
    state.pixelsPerSecond = zoomed;
    view.present(state, TimelineBridge::inert());
    EXPECT_NEAR((view.origin().x() + 300) / zoomed, timeUnderPointer, 1.0 / zoomed);
    EXPECT_FALSE(view.pendingOrigin());

    // At a limit a pinch or Alt+wheel posts nothing and leaves the view alone.
    state.pixelsPerSecond = 500;
    view.present(state, TimelineBridge::inert());
    const QPointF before = view.origin();
    QWheelEvent in(QPointF(300, 100), view.viewport()->mapToGlobal(QPointF(300, 100)), {}, QPoint(0, 120),
                   Qt::NoButton, Qt::AltModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view.viewport(), &in);
    EXPECT_EQ(zooms.count(), 1);
    EXPECT_FALSE(view.pendingOrigin());
    EXPECT_EQ(view.origin(), before);

    // A touchpad pinch zooms by one plus its magnification.
    state.pixelsPerSecond = 100;
    view.present(state, TimelineBridge::inert());
    QNativeGestureEvent pinch(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2,
                              QPointF(300, 100), QPointF(300, 100),
                              view.viewport()->mapToGlobal(QPointF(300, 100)), 0.25, {});
    QApplication::sendEvent(view.viewport(), &pinch);
    ASSERT_EQ(zooms.count(), 2);
    EXPECT_DOUBLE_EQ(zooms[1][0].toDouble(), 125);

    // While playing, a playhead near the right edge brings the view round to 80 points before it.
    state.isPlaying = true;
    view.setOrigin({0, 0});
    state.time = (visible - 50) / 100.0;
    view.present(state, TimelineBridge::inert());
    EXPECT_EQ(view.origin().x(), visible - 50 - 80);
    state.time += 1;
    view.present(state, TimelineBridge::inert());
    EXPECT_EQ(view.origin().x(), visible - 50 - 80); // still between the margins
}

// After an edit of a few clips only those clips are drawn again, and what the window shows then is
// what a fresh drawing of the whole view shows; a change of anything else draws the whole view.
TEST(TimelineScrollView, AnEditedClipIsDrawnAgainAloneAndTheWindowShowsAFreshDrawing) {
    Fixture f;
    TimelineScrollView view;
    view.resize(1500, 400);
    view.present(f.state, TimelineBridge::inert());
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

    struct Painted : QObject {
        QRegion region;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) region += static_cast<QPaintEvent*>(e)->region();
            return false;
        }
    } painted;
    QWidget* canvas = view.canvas();
    canvas->installEventFilter(&painted);
    // A whole drawing first, so that none left from the showing comes among a change's.
    canvas->update();
    ASSERT_TRUE(QTest::qWaitFor([&] { return (QRegion(canvas->rect()) - painted.region).isEmpty(); }, 5000));

    TimelineDrawState state = f.state;
    // Display lanes: 0 V3, 1 V2, 2 V1, 3 A1, 4 A2, 5 A3; each change writes only what it changes.
    struct Step {
        const char* what;
        std::function<void()> change;
        bool alone;
    };
    const std::vector<Step> steps = {
        {"a clip disabled", [&] { state.tracks[2].clips.mut(0).isEnabled = false; }, true},
        {"a clip renamed", [&] { state.tracks[1].clips.mut(1).name = "Titles"; }, true},
        {"a clip moved along its lane", [&] { state.tracks[2].clips.mut(2).start = 14.5; }, true},
        {"a clip's head trimmed", [&] { state.tracks[3].clips.mut(1).start = 6.2; }, true},
        {"a clip's tail trimmed short of its label", [&] { state.tracks[3].clips.mut(1).duration = 0.5; }, true},
        {"a clip renamed past its end", [&] { state.tracks[3].clips.mut(1).name = "Interview.mxf"; }, true},
        {"a clip given a longer name than any on its lane",
         [&] { state.tracks[0].clips.mut(1).name = "Nested Sequence 1, the long version"; }, false},
        {"a clip added", [&] { state.tracks[5].clips.push_back(clipAt(3, 2, "Added.wav")); }, false},
        {"the selection", [&] { state.selected = {state.tracks[1].clips[0].id}; }, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        painted.region = {};
        view.present(state, TimelineBridge::inert());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !painted.region.isEmpty(); }, 5000));
        const QRect drawn = painted.region.boundingRect();
        if (step.alone) {
            EXPECT_LT(drawn.width() * drawn.height(), canvas->width() * canvas->height() / 4) << drawn.width();
            EXPECT_LE(drawn.height(), int(G::laneHeight));
        } else {
            EXPECT_EQ(drawn, canvas->rect());
        }
        const QImage shown = view.screen()->grabWindow(view.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage fresh = render(view);
        ASSERT_EQ(shown.size(), fresh.size());
        if (shown != fresh) {
            save(shown, "timeline-edit-shown.png");
            save(fresh, "timeline-edit-fresh.png");
        }
        EXPECT_TRUE(shown == fresh);
    }
}
