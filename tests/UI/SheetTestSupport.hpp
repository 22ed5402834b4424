#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "App/EditorModel.hpp"
#include "App/ExportJob.hpp"
#include "FakePlayer.hpp"
#include "MediaFixtures.hpp"
#include "UI/Common/Theme.hpp"
#include "UI/Shell/KestwaterApp.hpp"

// Texts read as text in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace osterveil::testsupport {

// Runs the event loop until `done` holds; false if it never does within a generous bound.
template <class Predicate> bool waitUntil(Predicate done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Outside a running event loop, objects let go with deleteLater go only when asked.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

// An exporter that runs until the test ends it, reporting the progress the test hands it.
class HeldExporter : public MovieExporter {
  public:
    enum class End { success, cancelled, empty, unchecked };
    static constexpr const char* uncheckedNote = "The written movie is saved, but it could not be read back "
                                                 "to check it. Reading the file took too long.";

    std::optional<std::string> exportMovie(const ExportRequest& request,
                                           const std::function<void(double)>& progress) override {
        std::unique_lock lock(mutex_);
        requests.push_back(request);
        report_ = progress;
        ended_.wait(lock, [&] { return end_.has_value(); });
        const End end = *std::exchange(end_, std::nullopt);
        report_ = nullptr;
        if (end == End::cancelled) throw ExportError::cancelled();
        if (end == End::empty) throw ExportError::nothingToExport();
        if (end == End::unchecked) return uncheckedNote;
        return std::nullopt;
    }
    void cancel() override { ++cancels; }

    // Reports as the exporter's thread would, once an export has begun.
    void report(double p) {
        ASSERT_TRUE(waitUntil([&] { return running(); }));
        std::lock_guard lock(mutex_);
        report_(p);
    }
    void end(End end) {
        std::lock_guard lock(mutex_);
        end_ = end;
        ended_.notify_all();
    }
    bool running() {
        std::lock_guard lock(mutex_);
        return report_ != nullptr;
    }
    std::size_t runs() {
        std::lock_guard lock(mutex_);
        return requests.size();
    }

    std::vector<ExportRequest> requests;
    std::atomic<int> cancels{0};

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    std::function<void(double)> report_;
    std::optional<End> end_;
};

// The window's model over an in-memory document, with stand-in players.
struct SheetFixture : ::testing::Test {
    void open(Project project) {
        document.setProject(std::move(project));
        model.followDocument(&document);
        QCoreApplication::processEvents();
    }

    ProjectDocument document;
    EditorModel model{std::make_unique<FakePlayer>(), std::make_unique<FakePlayer>()};
};

template <class Widget = QAbstractButton> Widget* findByText(const QWidget& root, const QString& text) {
    for (Widget* w : root.findChildren<Widget*>())
        if (w->text() == text) return w;
    ADD_FAILURE() << "no control reads " << text.toStdString();
    return nullptr;
}

// A picture for people to look at, in the look the editor's application object gives every window;
// `name` may lead with a folder; `region` is a part of the widget, the whole of it when empty. Returns
// what was drawn.
inline QImage writePicture(QWidget& widget, const std::string& name, const QRect& region = QRect()) {
    const QPalette palette = QApplication::palette();
    const QFont font = QApplication::font();
    KestwaterApp::applyLook(*qApp);
    // The new font lays every widget out again, level by level.
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
    }
    const std::filesystem::path path = std::filesystem::path(OSTERVEIL_TEST_OUTPUT_DIR) / name;
    std::filesystem::create_directories(path.parent_path());
    const QImage picture =
        widget.grab(region.isEmpty() ? QRect(QPoint(0, 0), QSize(-1, -1)) : region).toImage();
    EXPECT_TRUE(picture.save(QString::fromStdString(path.string()))) << name;
    QApplication::setPalette(palette);
    QApplication::setFont(font);
    return picture;
}

// The one-second 320×180 H.264 fixture as a bin item.
inline MediaItem fixtureMovieItem() {
    MediaItem m{.id = Uuid::make(), .name = "clip", .kind = MediaKind::video, .duration = 1};
    m.path = MediaFixtures::shared().path(Fixture::h264Movie).string();
    m.width = 320;
    m.height = 180;
    m.nominalFrameRate = 24;
    m.hasVideo = true;
    return m;
}

// The colour a button's glyph is drawn in: that of its most opaque pixel.
inline QRgb ink(const QAbstractButton* button) {
    const QImage image = button->icon().pixmap(button->iconSize(), 2.0).toImage();
    QColor most(Qt::transparent);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y).alpha() > most.alpha()) most = image.pixelColor(x, y);
    return most.rgb();
}

} // namespace osterveil::testsupport
