#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QUrl>
#include <set>

#include "../App/EditorCommandSupport.hpp"
#include "EditorModelTestAccess.hpp"
#include "MediaFixtures.hpp"
#include "UI/Bin/MediaBinView.hpp"
#include "UI/Bin/ProjectPanel.hpp"
#include "UI/Common/Theme.hpp"

using namespace osterveil;
namespace fs = std::filesystem;

namespace {

// A bin of three items (a movie, a still, a sound) in a 25 fps sequence, shown at the bin's size.
struct ProjectPanelTest : testsupport::CommandFixture {
    void SetUp() override {
        start.sequence.frameRate = {25, 1};
        movie = addItem("Harbour at dusk.mov", MediaKind::video, 2.5, "H.264");
        still = addItem("Poster.png", MediaKind::image, 5, "PNG");
        sound = addItem("Room tone.wav", MediaKind::audio, 12, "Linear PCM");
        open();
        panel.resize(360, 300);
        panel.show();
        settle();
    }
    Uuid addItem(const std::string& name, MediaKind kind, double duration, const std::string& codec) {
        const Uuid id = addMedia(kind, duration, 25, kind == MediaKind::audio);
        MediaItem& item = start.media.mut(start.media.size() - 1);
        item.name = name;
        item.codec = codec;
        item.path = "/nowhere/" + name;
        return id;
    }
    static void settle() {
        for (int i = 0; i < 3; ++i)
            QApplication::processEvents();
    }
    MediaBinView& view() { return *panel.binView(); }
    QPoint centreOf(std::size_t index) { return view().itemRect(int(index)).center(); }
    QImage shot() { return view().viewport()->grab().toImage(); }
    // Pixels of the picture inside `rect` near `color`.
    static int pixelsNear(const QImage& image, const QRect& rect, const QColor& color) {
        int count = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (std::abs(c.red() - color.red()) + std::abs(c.green() - color.green()) +
                        std::abs(c.blue() - color.blue()) <
                    40)
                    ++count;
            }
        return count;
    }
    // Sends a drag over the panel and drops it there; whether the drop was accepted.
    bool drop(QMimeData& data, bool* highlightedMeanwhile = nullptr) {
        const QPoint at = panel.rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&panel, &enter);
        if (highlightedMeanwhile) *highlightedMeanwhile = panel.dropTargeted();
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&panel, &dropped);
        return dropped.isAccepted();
    }

    Uuid movie, still, sound;
    ProjectPanel panel{model};
};

TEST_F(ProjectPanelTest, DroppedFilesGoOneByOneToTheImportTheirExtensionNames) {
    std::vector<fs::path> xml, media;
    panel.setImporters({.premiereXML = [&](const fs::path& f) { xml.push_back(f); },
                        .media = [&](const fs::path& f) { media.push_back(f); }});
    const QString dir = QDir::tempPath();
    const QStringList names{"A.XML", "b.xmeml", "clip.mov", "README", "Footage"};
    QList<QUrl> urls;
    for (const QString& name : names)
        urls.push_back(QUrl::fromLocalFile(dir + "/" + name));
    QMimeData files;
    files.setUrls(urls);
    bool highlighted = false;
    EXPECT_TRUE(drop(files, &highlighted));
    EXPECT_TRUE(highlighted);
    EXPECT_FALSE(panel.dropTargeted());
    const auto at = [&](const QString& name) { return fs::path((dir + "/" + name).toStdString()); };
    EXPECT_EQ(xml, (std::vector<fs::path>{at("A.XML"), at("b.xmeml")}));
    EXPECT_EQ(media, (std::vector<fs::path>{at("clip.mov"), at("README"), at("Footage")}));

    // Nothing usable: a web address. Still accepted, and nothing is imported or said.
    xml.clear();
    media.clear();
    QMimeData web;
    web.setUrls({QUrl("https://example.com/a.mov")});
    EXPECT_TRUE(drop(web));
    EXPECT_TRUE(xml.empty());
    EXPECT_TRUE(media.empty());
    EXPECT_FALSE(model.alert().has_value());
}

TEST_F(ProjectPanelTest, ADroppedMovieBecomesABinItem) {
    const fs::path file = testsupport::MediaFixtures::shared().path(testsupport::Fixture::h264Movie);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
    EXPECT_TRUE(drop(data));
    for (int i = 0; i < 500 && project().media.size() < 4; ++i)
        QTest::qWait(10);
    ASSERT_EQ(project().media.size(), 4u);
    EXPECT_EQ(project().media.back().path, file.string());
    settle();
    EXPECT_EQ(view().items().size(), 4u);
}

TEST_F(ProjectPanelTest, ADragOutCarriesTheIdTheTimelineReadsAndTheFile) {
    const fs::path file = testsupport::MediaFixtures::shared().path(testsupport::Fixture::pngStill);
    MediaItem item = *project().mediaItem(still);
    item.path = file.string();
    const auto data = MediaBinView::dragData(item, std::nullopt);
    const QString text = data->text();
    EXPECT_EQ(text.size(), 36);
    EXPECT_EQ(text, text.toUpper());
    EXPECT_EQ(Uuid::parse(text.toStdString()), std::optional<Uuid>(still));
    ASSERT_EQ(data->urls().size(), 1);
    EXPECT_EQ(data->urls().front().toLocalFile().toStdString(), file.string());
    // An offline item still carries its id, and no file.
    EXPECT_TRUE(MediaBinView::dragData(*project().mediaItem(movie), std::nullopt)->urls().isEmpty());
}

TEST_F(ProjectPanelTest, DurationReadsAsTimecodeAtTheSequenceRateAndADashForStills) {
    // 62.5 frames at the sequence's 25 fps, whatever the item's own rate.
    const FrameRate rate{25, 1};
    MediaItem video = *project().mediaItem(movie);
    video.nominalFrameRate = 30;
    EXPECT_EQ(MediaBinView::durationLabel(video, rate), QStringLiteral("00:00:02:13"));
    EXPECT_EQ(MediaBinView::durationLabel(*project().mediaItem(still), rate), QStringLiteral("\u2014"));
    MediaItem empty = *project().mediaItem(movie);
    empty.duration = 0;
    EXPECT_EQ(MediaBinView::durationLabel(empty, rate), QStringLiteral("\u2014"));
}

TEST_F(ProjectPanelTest, ClicksSelectDoubleClicksOpenAndTheSelectionSurvivesTheViewSwitch) {
    QTest::mouseClick(view().viewport(), Qt::LeftButton, {}, centreOf(1));
    settle();
    EXPECT_EQ(model.selectedMediaID(), std::optional<Uuid>(still));
    const QRect row = view().itemRect(1);
    const QColor fill = shot().pixelColor(row.right() - 20, row.top() + 2);
    EXPECT_GT(fill.blue(), fill.red() + 20) << "the selected row has the accent fill";

    QTest::mouseClick(panel.viewToggle(), Qt::LeftButton);
    settle();
    ASSERT_TRUE(model.projectShowsIcons());
    EXPECT_EQ(view().look(), MediaBinView::Look::icons);
    EXPECT_EQ(model.selectedMediaID(), std::optional<Uuid>(still));
    const QRect cell = view().itemRect(1);
    EXPECT_GT(pixelsNear(shot(), QRect(cell.left(), cell.top(), cell.width(), 1), Theme::accent),
              cell.width() / 2)
        << "the selected cell has the accent outline";

    QTest::mouseDClick(view().viewport(), Qt::LeftButton, {}, centreOf(2));
    settle();
    EXPECT_EQ(model.sourceMediaID(), std::optional<Uuid>(sound));
    EXPECT_EQ(model.monitorFocus(), EditorModel::MonitorFocus::source);
}

TEST_F(ProjectPanelTest, OfflineItemsShowTheirMarkInBothViews) {
    EditorModelTestAccess{model}.setOfflineIDs({movie});
    settle();
    // List: the kind symbol of the offline row alone is in the danger colour.
    auto symbolBox = [&](std::size_t i) {
        const QRect r = view().itemRect(int(i));
        return QRect(6, r.top(), 18, r.height() - 1);
    };
    EXPECT_GT(pixelsNear(shot(), symbolBox(0), Theme::danger), 5);
    EXPECT_EQ(pixelsNear(shot(), symbolBox(1), Theme::danger), 0);

    model.setProjectShowsIcons(true);
    settle();
    auto thumbBox = [&](std::size_t i) {
        const QRect r = view().itemRect(int(i));
        return QRect(r.left() + 4, r.top() + 4, 72, 42);
    };
    EXPECT_GT(pixelsNear(shot(), thumbBox(0), Theme::danger), 20);
    EXPECT_EQ(pixelsNear(shot(), thumbBox(1), Theme::danger), 0);
}

TEST_F(ProjectPanelTest, TheMenuActsOnTheClickedItemNotTheSelectedOne) {
    model.setSelectedMediaID(movie);
    settle();
    QContextMenuEvent click(QContextMenuEvent::Mouse, centreOf(2),
                            view().viewport()->mapToGlobal(centreOf(2)));
    QApplication::sendEvent(view().viewport(), &click);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QStringList titles;
    for (QAction* action : menu->actions())
        titles.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(titles, (QStringList{"Open in Source", "Insert at Playhead", "Overwrite at Playhead",
                                   "Reveal in File Manager", "Relink…", "Locate Folder…", "-",
                                   "Remove from Project"}));
    menu->actions().at(1)->trigger(); // Insert at Playhead
    menu->actions().at(7)->trigger(); // Remove from Project
    menu->close();
    settle();
    EXPECT_FALSE(project().mediaItem(sound).has_value());
    EXPECT_TRUE(project().mediaItem(movie).has_value());
    EXPECT_TRUE(project().mediaItem(still).has_value());
    EXPECT_EQ(steps(), (std::vector<QString>{"Insert", "Remove Media"}));
}

TEST_F(ProjectPanelTest, AnEmptyProjectShowsTheEmptyStateAndTheToggleStillFlips) {
    change([](Project& p) { p.media = {}; });
    settle();
    EXPECT_TRUE(panel.emptyState()->isVisible());
    EXPECT_FALSE(view().isVisible());
    EXPECT_NE(panel.emptyState()->findChild<QPushButton*>("emptyImport"), nullptr);
    QTest::mouseClick(panel.viewToggle(), Qt::LeftButton);
    EXPECT_TRUE(model.projectShowsIcons());
}

TEST_F(ProjectPanelTest, PicturesOfBothViews) {
    // The preview built at opening finds none of the files and marks them all offline when it lands:
    // it lands first, so that the offline state drawn is the one set here.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.rebuilds().isPending() && !model.isBuilding(); }, 20000));
    QImage thumb(480, 270, QImage::Format_RGB32);
    for (int y = 0; y < thumb.height(); ++y)
        for (int x = 0; x < thumb.width(); ++x)
            thumb.setPixelColor(x, y, QColor::fromHsv((x * 300 / 480), 150, 80 + y * 150 / 270));
    EditorModelTestAccess{model}.setThumbnail(movie, thumb);
    EditorModelTestAccess{model}.setOfflineIDs({sound});
    model.setSelectedMediaID(movie);
    settle();
    const QString dir = QStringLiteral(OSTERVEIL_TEST_OUTPUT_DIR);
    QDir().mkpath(dir);
    EXPECT_TRUE(panel.grab().save(dir + "/bin-list.png"));
    // The list: the selected movie's row tinted, the others not; each row's name written; the offline
    // sound's symbol in the warning colour.
    const QColor tint = QColor::fromRgbF(Theme::panel.redF() * 0.72 + Theme::accent.redF() * 0.28,
                                         Theme::panel.greenF() * 0.72 + Theme::accent.greenF() * 0.28,
                                         Theme::panel.blueF() * 0.72 + Theme::accent.blueF() * 0.28);
    QImage list = shot();
    EXPECT_GT(pixelsNear(list, view().itemRect(0), tint), 200);
    EXPECT_EQ(pixelsNear(list, view().itemRect(1), tint), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_GT(pixelsNear(list, view().itemRect(i), Theme::text), 10) << i;
    EXPECT_GT(pixelsNear(list, view().itemRect(2), Theme::danger), 2);
    EXPECT_EQ(pixelsNear(list, view().itemRect(1), Theme::danger), 0);

    model.setProjectShowsIcons(true);
    settle();
    EXPECT_TRUE(panel.grab().save(dir + "/bin-icons.png"));
    // The icons: the movie's cell shows its thumbnail's colours, the still's (with none yet) does not.
    const QImage icons = shot();
    const auto colours = [&](const QRect& cell) {
        std::set<QRgb> seen;
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            for (int x = cell.left(); x <= cell.right(); ++x)
                seen.insert(icons.pixel(x, y));
        return seen.size();
    };
    EXPECT_GT(colours(view().itemRect(0)), 4 * colours(view().itemRect(1)));
    EXPECT_GT(pixelsNear(icons, view().itemRect(0), Theme::accent), 20);
}

} // namespace
