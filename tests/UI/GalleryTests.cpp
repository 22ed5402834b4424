// Pictures of the whole window, each panel and each sheet for a small but complete project, written to
// test-output/gallery/ for people to look at. The test only checks that every picture was drawn.
#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QSet>
#include <QTest>
#include <QTimer>

#include "App/MediaPlayerControl.hpp"
#include "EditorModelTestAccess.hpp"
#include "MediaFixtures.hpp"
#include "SheetTestSupport.hpp"
#include "UI/Bin/ProjectPanel.hpp"
#include "UI/Color/ColorPanel.hpp"
#include "UI/Common/PanelTabBar.hpp"
#include "UI/Inspector/InspectorView.hpp"
#include "UI/Monitors/ProgramMonitor.hpp"
#include "UI/Monitors/SourceGroup.hpp"
#include "UI/Shell/EditorWindow.hpp"
#include "UI/Shell/SplashWindow.hpp"
#include "UI/Shell/ToolsStrip.hpp"
#include "UI/Timeline/TimelinePanel.hpp"

using namespace osterveil;
using namespace osterveil::testsupport;
namespace fs = std::filesystem;

namespace {

// Drawn, and more than a flat fill: a blank or unpainted widget grabs as one colour.
void expectDrawn(const QImage& picture, const std::string& name) {
    ASSERT_FALSE(picture.isNull()) << name;
    QSet<QRgb> colours;
    for (int y = 0; y < picture.height() && colours.size() < 16; y += 3)
        for (int x = 0; x < picture.width() && colours.size() < 16; x += 3)
            colours.insert(picture.pixel(x, y));
    EXPECT_GE(colours.size(), 16) << name << " looks blank";
}

// Lets every layout and paint request of the last change run.
void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
    }
}

void picture(QWidget& widget, const std::string& name, const QRect& region = QRect()) {
    settle();
    expectDrawn(writePicture(widget, "gallery/" + name + ".png", region), name);
}

fs::path movie(const std::string& name, int luma) {
    const fs::path path = MediaFixtures::shared().scratch(name);
    MovieRecipe recipe{
        .width = 640, .height = 360, .frames = 96, .audio = AudioCodec::aac, .audioSeconds = 4};
    if (luma >= 0) {
        recipe.audio = AudioCodec::none;
        recipe.luma = [luma](std::int64_t frame) { return luma + int(frame); };
    }
    writeMovie(path, recipe);
    return path;
}

// Three clips on V1 and V2, sound on A1, a title on V3, a graded clip with a dissolve and a marker,
// made through the editor's own commands; the program playhead inside the dissolve.
struct GalleryProject {
    explicit GalleryProject(EditorWindow& window) : model(window.model()) {
        const fs::path wav = MediaFixtures::shared().scratch("C003.wav");
        writeMovie(
            wav,
            {.container = "wav", .video = VideoCodec::none, .audio = AudioCodec::pcm16, .audioSeconds = 3});
        const fs::path still = MediaFixtures::shared().scratch("D004.png");
        writePng(still, 640, 360);
        bool imported = false;
        model.ingest({movie("A001.mp4", -1), movie("B002.mp4", 60), wav, still}, [&] { imported = true; });
        EXPECT_TRUE(waitUntil([&] { return imported; }));
        const Project p = model.project();
        if (p.media.size() != 4) return;
        // A new sequence's tracks: V1, V2, V3, A1, A2, A3.
        const auto track = [&](std::size_t i) { return p.sequence.tracks[i].id; };

        EditorModelTestAccess{model}.setCurrentTime(0.5);
        model.addTitle();
        place(p.media[0].id, 0, track(0), 0, 3);
        place(p.media[1].id, 3, track(0), 0.5, 3.5);
        graded = model.selectedClipIDs().front();
        model.commitPlacement(p.media[3].id, 6, track(1), TimelinePlacement::overwrite);
        model.commitPlacement(p.media[2].id, 6, track(3), TimelinePlacement::overwrite);
        model.updateClip(graded, "Exposure", [](TimelineClip& c) {
            c.grade.exposure.value = 0.8;
            c.grade.saturation.value = 1.3;
            c.grade.lumetri.shadows = 0.2;
            c.grade.lumetri.curves.master.points = {{0, 0}, {0.4, 0.5}, {1, 1}};
            c.grade.lumetri.vignette = 0.3;
        });
        model.updateClip(graded, "Transition", [](TimelineClip& c) {
            c.incoming.kind = TransitionKind::crossDissolve;
            c.incoming.duration = 1;
        });
        EditorModelTestAccess{model}.setCurrentTime(2);
        model.toggleMarker();
        model.openInSource(p.media[0].id);
        EditorModelTestAccess{model}.setSourceIn(0.5);
        model.stepSource(24);
        model.focusMonitor(EditorModel::MonitorFocus::program);
        EditorModelTestAccess{model}.setCurrentTime(3.25);
        model.selectOnly(graded);
    }

    // The item's span from `in` to `out` through the source monitor's marks.
    void place(const Uuid& media, double at, const Uuid& track, double in, double out) {
        model.openInSource(media);
        EditorModelTestAccess{model}.setSourceIn(in);
        EditorModelTestAccess{model}.setSourceOut(out);
        model.commitPlacement(media, at, track, TimelinePlacement::overwrite);
    }

    EditorModel& model;
    Uuid graded;
};

bool showsFrame(const PlayerControl& control, double at) {
    const auto& frame = static_cast<const MediaPlayerControl&>(control).player().currentFrame();
    return !frame.picture.isNull() && std::abs(frame.time - at) < 0.05;
}

// Grabs the application-modal box that a call about to be made runs, then presses its last button;
// `taken` is set once it has.
void pictureOfNextAlert(const std::string& name, std::shared_ptr<bool> taken) {
    QTimer::singleShot(10, [name, taken] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return pictureOfNextAlert(name, taken);
        picture(*box, name);
        *taken = true;
        QTest::keyClick(box, Qt::Key_Escape);
    });
}

// The application's look from before the window is made, as the program has it, and back afterwards.
struct ProgramLook {
    ProgramLook() { EditorApplication::applyLook(*qApp); }
    ~ProgramLook() {
        QApplication::setPalette(palette);
        QApplication::setFont(font);
    }
    QPalette palette = QApplication::palette();
    QFont font = QApplication::font();
};

} // namespace

TEST(Gallery, TheWindowEachPanelAndEachSheet) {
    const ProgramLook look;
    ProjectDocument document;
    EditorWindow window(document, nullptr);
    // The offscreen platform would take the menus into a bar of its own that nothing draws.
    window.menuBar()->setNativeMenuBar(false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    GalleryProject project(window);
    EditorModel& model = window.model();
    const Project p = model.project();
    ASSERT_EQ(p.media.size(), 4u) << "the generated media did not import";

    // Pictures of media, the preview and both monitors' frames come from workers.
    ASSERT_TRUE(waitUntil([&] {
        return model.thumbnails().size() == 3 && model.waveforms().size() == 2 && !model.isBuilding() &&
               !model.rebuilds().isPending() && showsFrame(model.player(), 3.25) &&
               showsFrame(model.sourcePlayer(), model.sourceTime());
    })) << "the media pictures and the monitors' frames never arrived";

    picture(window, "editor-window");
    picture(*window.findChild<TimelinePanel*>(), "timeline-panel");
    picture(*window.findChild<ToolsStrip*>(), "tools-strip");
    picture(*window.findChild<ProgramMonitor*>(), "program-monitor");

    auto* source = window.findChild<SourceGroup*>();
    picture(*source, "source-group-source");
    QWidget* effects = nullptr;
    for (auto* tab : source->findChildren<PanelTab*>())
        if (tab->text().compare("Effect Controls", Qt::CaseInsensitive) == 0) effects = tab;
    ASSERT_NE(effects, nullptr);
    QTest::mouseClick(effects, Qt::LeftButton);
    QCoreApplication::processEvents();
    picture(*source, "source-group-effect-controls");

    // The inspector's whole content, for the graded clip and for the title.
    auto* inspector = source->findChild<InspectorView*>();
    ASSERT_NE(inspector, nullptr);
    picture(*inspector->widget(), "inspector-graded-clip");
    ColorPanel* colour = inspector->findChild<ColorPanel*>();
    ASSERT_NE(colour, nullptr);
    for (const QString& group : ColorPanel::groupTitles) {
        model.setOpenColorSections({group});
        // Within the inspector's margins, which its value column reaches.
        settle();
        picture(*inspector->widget(), "color-panel-" + group.toLower().toStdString(),
                QRect(colour->mapTo(inspector->widget(), QPoint(0, 0)), colour->size())
                    .adjusted(-14, -14, 14, 14));
    }
    model.setOpenColorSections({"Basic"});
    model.selectOnly(model.project().sequence.tracks[2].clips.at(0).id);
    QCoreApplication::processEvents();
    picture(*inspector->widget(), "inspector-title");

    auto* bin = window.findChild<ProjectPanel*>();
    model.setProjectShowsIcons(true);
    QCoreApplication::processEvents();
    picture(*bin, "bin-icons");
    model.setProjectShowsIcons(false);
    QCoreApplication::processEvents();
    picture(*bin, "bin-list");

    // The sheets, each as the window presents it.
    const std::vector<std::pair<std::function<void(bool)>, std::string>> sheets{
        {[&](bool on) { model.setShowExport(on); }, "export-sheet"},
        {[&](bool on) { model.setShowSequenceSettings(on); }, "sequence-settings-sheet"},
        {[&](bool on) { model.setShowShortcuts(on); }, "keyboard-shortcuts-sheet"},
    };
    for (const auto& [show, name] : sheets) {
        show(true);
        ASSERT_TRUE(waitUntil([&] {
            return window.presentedSheet() && window.presentedSheet()->isVisible();
        })) << name;
        picture(*window.presentedSheet(), name);
        window.presentedSheet()->reject();
        ASSERT_TRUE(waitUntil([&] { return !window.presentedSheet(); })) << name;
    }

    PremiereReport report{.sequence = p.sequence, .clipCount = 14, .disabled = 1};
    report.missing.push_back({.name = "A014_C003.mov", .path = "/Volumes/Shoot/A014_C003.mov"});
    report.skipped = {"Gaussian Blur", "Warp Stabilizer"};
    const auto taken = std::make_shared<bool>(false);
    pictureOfNextAlert("premiere-import-report", taken);
    model.presentPremiereReport(report);
    EXPECT_TRUE(*taken) << "the report was not shown";

    SplashModel splash;
    splash.update(1.2, 2.5);
    SplashView view(splash, SplashArtwork::image());
    view.resize(SplashView::width, SplashView::height);
    picture(view, "splash");
}
