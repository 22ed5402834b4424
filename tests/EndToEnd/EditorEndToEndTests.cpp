// The whole editor as a user drives it: the program's own window on a real X server, reached only through
// its widgets, the mouse and the keyboard, from importing media to a checked exported movie.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QUndoStack>
#include <QUrl>
#include <cmath>
#include <fstream>

extern "C" {
#include <libavformat/avformat.h>
}

#include "App/DocumentController.hpp"
#include "App/MediaPlayerControl.hpp"
#include "FakeDesktop.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Audio/Output.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/ImageGenerator.hpp"
#include "PulseServer.hpp"
#include "UI/Bin/MediaBinView.hpp"
#include "UI/Bin/ProjectPanel.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Color/CurvesSection.hpp"
#include "UI/Common/DoubleSlider.hpp"
#include "UI/Common/PanelParts.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Common/SliderRow.hpp"
#include "UI/Inspector/InspectorView.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/VideoView.hpp"
#include "UI/Shell/DocumentWindows.hpp"
#include "UI/Shell/EditorApplication.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Timeline/TimelineCanvas.hpp"
#include "UI/Timeline/TimelineGeometry.hpp"
#include "UI/Timeline/TimelinePanel.hpp"
#include "UI/Timeline/TimelineScrollView.hpp"

// Texts read as text in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

constexpr double kSourceLuma = 90;

// The program's windows, with the file panels of Save and Open answered by the test.
class ScriptedWindows : public DocumentWindows {
  public:
    std::optional<fs::path> chooseSaveLocation(const ProjectDocument&, const QString&) override {
        return saveLocation;
    }
    std::vector<fs::path> chooseFilesToOpen() override { return {}; }
    void showError(const QString& title, const QString& message) override {
        ADD_FAILURE() << "error shown: " << title.toStdString() << " " << message.toStdString();
    }
    std::optional<fs::path> saveLocation;
};

std::string bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void settle() {
    for (int i = 0; i < 4; ++i)
        QApplication::processEvents();
}

template <class Widget = QAbstractButton> Widget* byText(const QWidget& root, const QString& text) {
    for (Widget* w : root.findChildren<Widget*>())
        if (w->text() == text) return w;
    return nullptr;
}

// Mean of the red, green and blue samples of a BGRA picture.
double meanBrightness(const media::PixelBuffer& picture) {
    double sum = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const std::uint8_t* p = picture.row(y) + 4 * x;
            sum += p[0] + p[1] + p[2];
        }
    return sum / (3.0 * picture.width() * picture.height());
}

// Pixels of a BGRA picture near the title's paper white.
int whitePixels(const media::PixelBuffer& picture) {
    int count = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const std::uint8_t* p = picture.row(y) + 4 * x;
            count += p[0] > 215 && p[1] > 215 && p[2] > 215;
        }
    return count;
}

media::PixelBuffer pictureAt(const fs::path& movie, double seconds) {
    const auto asset = media::Asset::load(movie);
    media::ImageGenerator generator(asset->tracks(media::MediaType::video).at(0));
    return generator.image(media::Time::seconds(seconds));
}

std::int64_t videoPackets(const fs::path& movie) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, movie.c_str(), nullptr, nullptr) < 0) return -1;
    avformat_find_stream_info(format, nullptr);
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    std::int64_t count = 0;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(format, packet) >= 0) {
        count += packet->stream_index == stream;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return count;
}

// Lanes from the top (the ruler above them), and tracks in the sequence's order.
constexpr int laneV1 = 2, ruler = -1;
constexpr std::size_t V1 = 0, V3 = 2, A1 = 3;

struct EndToEnd : ::testing::Test {
    EndToEnd() { windows.setController(&controller); }
    ~EndToEnd() override {
        for (ProjectDocument* d : controller.documents())
            if (EditorWindow* w = windows.window(*d)) {
                w->closeWithoutAsking();
                w->close();
            }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The window of the one open document, made active and the test's from here on.
    void take(ProjectDocument& document) {
        w = windows.window(document);
        ASSERT_NE(w, nullptr);
        w->model().setDesktopServices(desktop);
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
        canvas = w->findChild<TimelinePanel*>()->timeline()->canvas();
    }
    Project project() const { return w->document().project(); }
    QUndoStack& undo() const { return *w->document().undoStack(); }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(w->windowHandle(), k, modifiers);
        settle();
    }
    // The edits just made are `count` more undo steps under `name`; the project is remembered by that name.
    void expectStep(const QString& name, int count = 1) {
        settle();
        EXPECT_EQ(undo().count(), int(states.size()) + count) << "steps for " << name.toStdString();
        EXPECT_EQ(undo().undoText(), name);
        for (int i = 0; i < count; ++i)
            states.emplace_back(name, project());
    }
    const Project& stateAfter(const QString& name) const {
        for (const auto& [step, p] : states)
            if (step == name) return p;
        throw std::logic_error("no such step");
    }
    void waitForPreview() {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !w->model().rebuilds().isPending() && !w->model().isBuilding(); }, 60000));
    }

    // The timeline: lanes show V3, V2, V1, A1, … from the top; a time at the current zoom.
    QPoint at(double seconds, int lane) const {
        const double y = lane < 0 ? 10 : TimelineGeometry::laneTop(lane) + TimelineGeometry::laneHeight / 2;
        return canvas->widgetPoint({seconds * w->model().pixelsPerSecond(), y}).toPoint();
    }
    // A press, a few moves with the button held, a release.
    void dragOnCanvas(QPoint from, QPoint to) {
        QTest::mousePress(canvas, Qt::LeftButton, {}, from);
        for (int i = 1; i <= 4; ++i) {
            const QPointF p = from + (to - from) * i / 4;
            QMouseEvent move(QEvent::MouseMove, p, canvas->mapToGlobal(p), Qt::NoButton, Qt::LeftButton, {});
            QCoreApplication::sendEvent(canvas, &move);
        }
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, to);
        settle();
    }
    void clickOnCanvas(QPoint p) { dragOnCanvas(p, p); }
    // The player holds the playhead within the sequence it has: a click in the ruler waits, as a user
    // does, for the preview of the last edit.
    void clickInRuler(double seconds) {
        waitForPreview();
        clickOnCanvas(at(seconds, ruler));
    }
    static void dragSlider(DoubleSlider* slider, int dx) {
        const QPoint from = slider->thumbRect().center();
        QTest::mousePress(slider, Qt::LeftButton, {}, from);
        for (int i = 1; i <= 4; ++i) {
            QTest::mouseMove(slider, from + QPoint(dx * i / 4, 0));
            settle();
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, from + QPoint(dx, 0));
        settle();
    }
    // Scrolls the inspector to a control the way a user would before reaching for it.
    template <class T> T* inspectorControl(const QString& name) {
        auto* inspector = w->findChild<InspectorView*>();
        auto* found = inspector->findChild<T*>(name);
        if (found) inspector->ensureWidgetVisible(found);
        settle();
        return found;
    }
    std::optional<TimelineClip> clipOn(std::size_t track, std::size_t index) const {
        const auto& clips = project().sequence.tracks[track].clips;
        if (index >= clips.size()) return std::nullopt;
        return clips[index];
    }

    // A desktop's sound server, there before the editor's players look for one.
    testsupport::PulseServer soundServer;
    QTemporaryDir folder;
    ScriptedWindows windows;
    DocumentController controller{windows};
    std::shared_ptr<testsupport::FakeDesktop> desktop = std::make_shared<testsupport::FakeDesktop>();
    EditorWindow* w = nullptr;
    TimelineDocumentView* canvas = nullptr;
    std::vector<std::pair<QString, Project>> states;
};

} // namespace

TEST_F(EndToEnd, ImportCutGradeTitleUndoSaveReopenAndExport) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb";
    EditorApplication::applyLook(*qApp);

    // Three short clips: a grey movie with a tone, a sound, a still.
    auto& fixtures = testsupport::MediaFixtures::shared();
    const fs::path movie = fixtures.scratch("Harbour.mp4"), sound = fixtures.scratch("Room tone.wav"),
                   still = fixtures.scratch("Poster.png");
    testsupport::writeMovie(movie, {.frames = 72,
                                    .audio = testsupport::AudioCodec::aac,
                                    .audioSeconds = 3,
                                    .luma = [](std::int64_t) { return int(kSourceLuma); }});
    testsupport::writeMovie(sound, {.container = "wav",
                                    .video = testsupport::VideoCodec::none,
                                    .audio = testsupport::AudioCodec::pcm16,
                                    .audioSeconds = 3});
    testsupport::writePng(still, 320, 180);

    ASSERT_NO_FATAL_FAILURE(take(controller.newDocument()));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));

    {
        SCOPED_TRACE("import three files by dropping them on the bin");
        auto* bin = w->findChild<ProjectPanel*>();
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(QString::fromStdString(movie.string())),
                       QUrl::fromLocalFile(QString::fromStdString(sound.string())),
                       QUrl::fromLocalFile(QString::fromStdString(still.string()))});
        const QPoint middle = bin->rect().center();
        QDragEnterEvent enter(middle, Qt::CopyAction, &files, Qt::LeftButton, {});
        QApplication::sendEvent(bin, &enter);
        QDropEvent drop(QPointF(middle), Qt::CopyAction, &files, Qt::LeftButton, {});
        QApplication::sendEvent(bin, &drop);
        EXPECT_TRUE(drop.isAccepted());
        ASSERT_TRUE(QTest::qWaitFor([&] { return project().media.size() == 3; }, 30000));
        settle();
        expectStep("Import Media", 3);
        EXPECT_EQ(bin->binView()->items().size(), 3u);
        EXPECT_FALSE(w->model().alert().has_value());
    }
    const auto item = [&](const std::string& name) {
        for (const MediaItem& m : project().media)
            if (m.name == name) return m;
        throw std::logic_error("no item " + name);
    };
    const MediaItem harbour = item("Harbour"), poster = item("Poster");
    EXPECT_EQ(item("Room tone").kind, MediaKind::audio);
    EXPECT_TRUE(harbour.hasAudio && harbour.hasVideo);

    {
        SCOPED_TRACE("open the movie in the source monitor, mark 0.5 s to 2.5 s, insert with the comma");
        MediaBinView* view = w->findChild<ProjectPanel*>()->binView();
        int row = 0;
        while (view->items()[std::size_t(row)].id != harbour.id)
            ++row;
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, view->itemRect(row).center());
        settle();
        ASSERT_EQ(w->model().sourceMediaID(), harbour.id);
        for (int i = 0; i < 12; ++i)
            key(Qt::Key_Right);
        key(Qt::Key_I);
        for (int i = 0; i < 9; ++i)
            key(Qt::Key_Right, Qt::ShiftModifier);
        for (int i = 0; i < 3; ++i)
            key(Qt::Key_Right);
        key(Qt::Key_O);
        EXPECT_DOUBLE_EQ(w->model().sourceIn().value_or(-1), 0.5);
        EXPECT_DOUBLE_EQ(w->model().sourceOut().value_or(-1), 2.5);
        key(Qt::Key_Comma);
        expectStep("Insert");
        ASSERT_TRUE(clipOn(V1, 0) && clipOn(A1, 0));
        EXPECT_EQ(clipOn(V1, 0)->start, 0);
        EXPECT_DOUBLE_EQ(clipOn(V1, 0)->inPoint, 0.5);
        EXPECT_DOUBLE_EQ(clipOn(V1, 0)->duration, 2);
        EXPECT_TRUE(clipOn(V1, 0)->linkGroup && clipOn(V1, 0)->linkGroup == clipOn(A1, 0)->linkGroup);
    }
    const Uuid shot = clipOn(V1, 0)->id;

    {
        SCOPED_TRACE("drag the still from the bin to V1 at 2.5 s");
        const auto data = MediaBinView::dragData(poster, w->model().projectURL());
        QDropEvent drop(QPointF(at(2.5, laneV1)), Qt::CopyAction, data.get(), Qt::LeftButton, {});
        static_cast<QObject*>(canvas)->event(&drop);
        EXPECT_TRUE(drop.isAccepted());
        expectStep("Overwrite");
        ASSERT_TRUE(clipOn(V1, 1));
        EXPECT_EQ(clipOn(V1, 1)->mediaID, poster.id);
        EXPECT_DOUBLE_EQ(clipOn(V1, 1)->start, 2.5);
        EXPECT_DOUBLE_EQ(clipOn(V1, 1)->duration, 5);
    }

    {
        SCOPED_TRACE("put the playhead at 4 s in the ruler and split with Ctrl+K");
        clickInRuler(4);
        EXPECT_DOUBLE_EQ(w->model().currentTime(), 4);
        key(Qt::Key_K, Qt::ControlModifier);
        expectStep("Split");
        ASSERT_EQ(project().sequence.tracks[V1].clips.size(), 3u);
        EXPECT_DOUBLE_EQ(clipOn(V1, 1)->duration, 1.5);
        EXPECT_DOUBLE_EQ(clipOn(V1, 2)->start, 4);
    }
    const Uuid firstPart = clipOn(V1, 1)->id, secondPart = clipOn(V1, 2)->id;

    {
        SCOPED_TRACE("drag the first part's head back to the movie's end");
        dragOnCanvas(at(2.5, laneV1) + QPoint(2, 0), at(2, laneV1) + QPoint(2, 0));
        expectStep("Trim");
        EXPECT_DOUBLE_EQ(project().sequence.clip(firstPart)->start, 2);
        EXPECT_DOUBLE_EQ(project().sequence.clip(firstPart)->duration, 2);
    }

    {
        SCOPED_TRACE("select the first part and ripple delete it with Shift+Delete");
        clickOnCanvas(at(3, laneV1));
        EXPECT_EQ(w->model().selectedClipIDs(), std::vector<Uuid>{firstPart});
        key(Qt::Key_Delete, Qt::ShiftModifier);
        expectStep("Ripple Delete");
        EXPECT_FALSE(project().sequence.clip(firstPart));
        ASSERT_EQ(project().sequence.tracks[V1].clips.size(), 2u);
        EXPECT_DOUBLE_EQ(project().sequence.clip(secondPart)->start, 2);
        EXPECT_DOUBLE_EQ(project().sequence.clip(secondPart)->duration, 3.5);
    }

    Uuid title;
    {
        SCOPED_TRACE("add a title at 1 s with Ctrl+T, type its text, make it larger");
        clickInRuler(1);
        key(Qt::Key_T, Qt::ControlModifier);
        expectStep("Add Title");
        ASSERT_TRUE(clipOn(V3, 0) && clipOn(V3, 0)->title);
        title = clipOn(V3, 0)->id;
        EXPECT_DOUBLE_EQ(clipOn(V3, 0)->start, 1);

        PanelTab* effects = nullptr;
        for (PanelTab* tab : w->findChildren<PanelTab*>())
            if (tab->toolTip() == "Show Effect Controls") effects = tab;
        ASSERT_NE(effects, nullptr);
        QTest::mouseClick(effects, Qt::LeftButton);
        settle();
        auto* text = inspectorControl<TitleTextEdit>("titleText");
        ASSERT_TRUE(text && text->isVisible());
        QTest::mouseClick(text->viewport(), Qt::LeftButton);
        QTest::keyClick(text, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(text, "Harbour");
        QTest::keyClick(text, Qt::Key_Return);
        expectStep("Title");
        EXPECT_EQ(project().sequence.clip(title)->title->text, "Harbour");
        EXPECT_EQ(project().sequence.clip(title)->name, "Harbour");

        auto* size = inspectorControl<SliderRow>("Size");
        ASSERT_NE(size, nullptr);
        // Smaller, so that the word fits the sequence, which took the movie's 320×180 on import.
        dragSlider(size->slider(), -40);
        expectStep("Title Size");
        EXPECT_LT(project().sequence.clip(title)->title->fontSize, 80);
    }

    {
        SCOPED_TRACE("grade the movie: Exposure up, then a raised point on the master curve");
        clickOnCanvas(at(1, laneV1));
        EXPECT_EQ(w->model().primaryClipID(), shot);
        auto* colour = inspectorControl<ColorPanel>("colorPanel");
        ASSERT_TRUE(colour && colour->isVisible());
        auto* exposure = colour->group("Basic")->findChild<SliderRow*>("Exposure");
        inspectorControl<SliderRow>("Exposure");
        dragSlider(exposure->slider(), 15);
        expectStep("Exposure");
        EXPECT_GT(project().sequence.clip(shot)->grade.exposure.value, 0.1);

        QTest::mouseClick(colour->group("Curves")->header(), Qt::LeftButton);
        settle();
        CurveEditor* master = colour->curves()->editor("Master");
        ASSERT_TRUE(master->isVisible());
        w->findChild<InspectorView*>()->ensureWidgetVisible(master);
        const QPoint point(master->width() / 2, int(master->height() * 0.3));
        QTest::mousePress(master, Qt::LeftButton, {}, point);
        QTest::mouseRelease(master, Qt::LeftButton, {}, point);
        expectStep("Curves");
        const ChannelCurve curve = project().sequence.clip(shot)->grade.lumetri.curves.master;
        ASSERT_EQ(curve.points.size(), 3u);
        EXPECT_GT(curve.points[1].y, curve.points[1].x + 0.1);
    }

    {
        SCOPED_TRACE("a cross dissolve into the still, chosen in the inspector");
        clickOnCanvas(at(3.5, laneV1));
        EXPECT_EQ(w->model().primaryClipID(), secondPart);
        auto* incoming = inspectorControl<QComboBox>("IncomingKind");
        ASSERT_TRUE(incoming && incoming->isVisible());
        // Opened with the mouse, chosen with the keys in its list.
        QTest::mouseClick(incoming, Qt::LeftButton);
        QAbstractItemView* list = incoming->view();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Return);
        expectStep("Incoming Transition");
        EXPECT_EQ(project().sequence.clip(secondPart)->incoming.kind, TransitionKind::crossDissolve);
    }

    {
        SCOPED_TRACE("play the program from the start for a second, with sound through the sound server");
        clickInRuler(0);
        auto* program = w->findChild<ProgramMonitor*>();
        const media::Player& player = dynamic_cast<MediaPlayerControl&>(w->model().player()).player();
        if (soundServer.running()) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return player.output().kind() == audio::Output::Kind::device; }, 20000));
        }
        const std::int64_t presented = player.presentedFrames();
        const std::int64_t heard = player.output().position();
        key(Qt::Key_Space);
        EXPECT_TRUE(QTest::qWaitFor([&] { return w->model().isPlaying(); }, 10000));
        EXPECT_TRUE(QTest::qWaitFor([&] { return w->model().currentTime() >= 1.0; }, 60000));
        EXPECT_GT(player.presentedFrames(), presented);
        if (soundServer.running()) {
            EXPECT_GE(player.output().position() - heard, audio::Output::sampleRate / 2);
            EXPECT_EQ(player.output().kind(), audio::Output::Kind::device);
        }
        key(Qt::Key_Space);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !w->model().isPlaying(); }, 10000));
        EXPECT_GT(w->model().currentTime(), 0);
        // On screen, the picture area holds the sequence's frame, not the empty well.
        VideoView* view = program->videoView();
        ASSERT_TRUE(view->isVisible());
        const QRect area(view->mapTo(w, QPoint(0, 0)), view->size());
        const auto painted = [&] {
            const QImage shot = w->screen()
                                    ->grabWindow(w->winId(), area.x(), area.y(), area.width(), area.height())
                                    .toImage();
            return shot.pixelColor(shot.rect().center()).value() > 60;
        };
        EXPECT_TRUE(QTest::qWaitFor(painted, 5000))
            << "the middle of the picture stays dark: nothing was painted";
    }

    {
        SCOPED_TRACE("undo three times and redo twice with the keys");
        const Project finished = project();
        for (int i = 0; i < 3; ++i)
            key(Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(project(), stateAfter("Title Size"));
        EXPECT_EQ(undo().redoText(), "Exposure");
        for (int i = 0; i < 2; ++i)
            key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(project(), stateAfter("Curves"));
        EXPECT_EQ(undo().redoText(), "Incoming Transition");
        key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(project(), finished);
    }

    const fs::path saved = fs::path(folder.path().toStdString()) / "Harbour cut.osterveil";
    {
        SCOPED_TRACE("save with Ctrl+S, close with Ctrl+W, reopen: the same project, the same bytes");
        const Project finished = project();
        windows.saveLocation = saved;
        key(Qt::Key_S, Qt::ControlModifier);
        // Written on a worker; the window stays usable meanwhile.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w->document().isSaving(); }, 20000));
        ASSERT_TRUE(fs::exists(saved));
        EXPECT_FALSE(w->isWindowModified());
        EXPECT_EQ(w->windowTitle(), "Harbour cut.osterveil[*]");
        key(Qt::Key_W, Qt::ControlModifier);
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller.documents().empty(); }, 10000));
        w = nullptr;

        ProjectDocument* reopened = nullptr;
        bool opened = false;
        controller.openFile(saved, [&](ProjectDocument* d) {
            reopened = d;
            opened = true;
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return opened; }, 20000));
        ASSERT_NE(reopened, nullptr);
        ASSERT_NO_FATAL_FAILURE(take(*reopened));
        EXPECT_EQ(project(), finished);
        const fs::path copy = fs::path(folder.path().toStdString()) / "Copy.osterveil";
        windows.saveLocation = copy;
        key(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w->document().isSaving(); }, 20000));
        ASSERT_TRUE(fs::exists(copy));
        EXPECT_EQ(bytes(copy), bytes(saved));
    }

    const fs::path exported = fs::path(folder.path().toStdString()) / "Harbour cut.mp4";
    {
        SCOPED_TRACE("export H.264 at 720p through the export sheet");
        w->setExportServices({.savePanel = [&](QWidget*, const ExportSheet::SaveRequest& request,
                                               const ExportSheet::Answer& answer) {
            EXPECT_EQ(request.extension, "mp4");
            answer(exported);
        }});
        key(Qt::Key_M, Qt::ControlModifier);
        auto* sheet = qobject_cast<ExportSheet*>(w->presentedSheet());
        ASSERT_NE(sheet, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
        QComboBox* format = sheet->findChildren<QComboBox*>().at(0);
        format->setFocus();
        while (format->currentText() != "H.264" && format->currentIndex() + 1 < format->count())
            QTest::keyClick(format, Qt::Key_Down);
        byText<QCheckBox>(*sheet, "Match sequence size and frame rate")->click();
        byText(*sheet, "720p")->click();
        settle();
        EXPECT_TRUE(sheet->summary().startsWith("H.264  1280×720  24 fps")) << sheet->summary().toStdString();
        QTest::mouseClick(byText(*sheet, "Export…"), Qt::LeftButton);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return sheet->job().finished() || sheet->job().errorMessage(); }, 240000));
        EXPECT_FALSE(sheet->job().errorMessage()) << sheet->job().errorMessage()->toStdString();
        QTest::mouseClick(byText(*sheet, "Close"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return w->presentedSheet() == nullptr; }, 5000));
    }

    {
        SCOPED_TRACE("the exported movie");
        const double duration = project().sequence.duration();
        EXPECT_DOUBLE_EQ(duration, 6); // the title, 1 s to 6 s, ends last
        const auto asset = media::Asset::load(exported);
        ASSERT_EQ(asset->tracks(media::MediaType::video).size(), 1u);
        EXPECT_EQ(asset->tracks(media::MediaType::video)[0]->naturalSize, (media::Size{1280, 720}));
        EXPECT_NEAR(asset->duration().toSeconds(), duration, 0.1);
        EXPECT_EQ(videoPackets(exported), 144);

        ASSERT_EQ(asset->tracks(media::MediaType::audio).size(), 1u);
        media::AudioDecoder sound(asset->tracks(media::MediaType::audio)[0], 48000, 1);
        std::vector<float> samples(48000);
        sound.read(24000, 48000, samples.data()); // 0.5 s to 1.5 s: the movie's tone
        float peak = 0;
        for (float s : samples)
            peak = std::max(peak, std::abs(s));
        EXPECT_GT(peak, 0.05f) << "no sound under the movie";

        // The graded movie is brighter than its source; the title's white letters are there at 3 s only.
        const media::PixelBuffer graded = pictureAt(exported, 0.5);
        const media::PixelBuffer source = pictureAt(movie, 1.0);
        EXPECT_GT(meanBrightness(graded), meanBrightness(source) + 15);
        EXPECT_EQ(whitePixels(graded), 0);
        EXPECT_GT(whitePixels(pictureAt(exported, 3.0)), 1000) << "no title letters at 3 s";
    }
}
