#include <gtest/gtest.h>

#include <QMainWindow>
#include <QTest>
#include <cmath>

#include "SheetTestSupport.hpp"
#include "UI/Shell/SplashWindow.hpp"

using namespace osterveil;
using namespace osterveil::testsupport;

namespace {

// The splash with a clock the test turns, and the environment switch lifted while it presents.
struct SplashTest : ::testing::Test {
    void present() {
        qunsetenv("OSTERVEIL_NO_SPLASH");
        presenter.presentIfNeeded();
        qputenv("OSTERVEIL_NO_SPLASH", "1");
    }
    void at(double seconds) {
        now = seconds;
        presenter.tick();
    }
    bool closes() {
        return waitUntil([&] { return presenter.window() == nullptr; });
    }

    double now = 100;
    SplashPresenter presenter{[this] { return now; }};
};

} // namespace

TEST(SplashModel, StatusByElapsedTimeAndProgressByShare) {
    SplashModel model;
    EXPECT_EQ(model.status(), "Initializing renderer…");
    EXPECT_EQ(model.progress(), 0);
    for (auto [elapsed, status] : {std::pair{0.69, "Initializing renderer…"},
                                   {0.7, "Loading media engines…"},
                                   {1.39, "Loading media engines…"},
                                   {1.4, "Opening the workspace…"},
                                   {2.09, "Opening the workspace…"},
                                   {2.1, "Ready"}}) {
        model.update(elapsed, 2.5);
        EXPECT_EQ(model.status(), status) << elapsed;
        EXPECT_DOUBLE_EQ(model.progress(), elapsed / 2.5);
    }
    for (auto [elapsed, duration, progress] :
         {std::tuple{-1.0, 2.5, 0.0}, {3.0, 2.5, 1.0}, {0.0, 0.0, 0.0}, {NAN, 2.5, 0.0}}) {
        model.update(elapsed, duration);
        EXPECT_EQ(model.progress(), progress) << elapsed << " " << duration;
    }
    // The accent bar is a dot at the start and the whole track at the end.
    EXPECT_EQ(SplashView::barWidth(280, 0), 4);
    EXPECT_EQ(SplashView::barWidth(280, 1), 280);
    EXPECT_EQ(SplashView::barWidth(280, 0.5), 140);
}

TEST_F(SplashTest, TheEnvironmentSwitchKeepsItAway) {
    ASSERT_TRUE(qEnvironmentVariableIsSet("OSTERVEIL_NO_SPLASH"));
    presenter.presentIfNeeded();
    EXPECT_EQ(presenter.window(), nullptr);
    EXPECT_FALSE(presenter.isTicking());
    EXPECT_FALSE(presenter.isDismissed());
}

TEST_F(SplashTest, WithADocumentWindowItStaysTheMinimumThenHandsOver) {
    QMainWindow document;
    document.show();
    present();
    QWidget* splash = presenter.window();
    ASSERT_TRUE(splash && splash->isVisible());
    EXPECT_TRUE(presenter.isTicking());
    EXPECT_EQ(splash->size(), QSize(800, 450));
    present();
    EXPECT_EQ(presenter.window(), splash) << "one splash at a time";

    // Clicking does nothing.
    QTest::mouseClick(splash, Qt::LeftButton);
    at(101.2);
    EXPECT_EQ(presenter.model()->status(), "Loading media engines…");
    writePicture(*splash, "splash.png");
    at(102.49);
    EXPECT_FALSE(presenter.isDismissed());
    at(102.5);
    EXPECT_TRUE(presenter.isDismissed());
    EXPECT_FALSE(presenter.isTicking());
    EXPECT_EQ(presenter.model()->progress(), 1);
    EXPECT_EQ(presenter.model()->status(), "Ready");
    ASSERT_TRUE(closes());
    // Activation reaches the application through the window system, after the splash has gone.
    EXPECT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &document; }));
    // Once per process.
    present();
    EXPECT_EQ(presenter.window(), nullptr);
}

TEST_F(SplashTest, WithoutADocumentWindowItLeavesAfterSixSeconds) {
    present();
    ASSERT_TRUE(presenter.window());
    at(105.99);
    EXPECT_FALSE(presenter.isDismissed());
    EXPECT_EQ(presenter.model()->progress(), 1);
    at(106);
    EXPECT_TRUE(presenter.isDismissed());
    // A tick still on its way after the fade began changes nothing.
    at(106.1);
    EXPECT_TRUE(closes());
}

// The version line reads the version the program was built as, not the fallback.
TEST(SplashArtwork, TheVersionLineIsTheBuildsVersion) {
    const QPalette palette = QApplication::palette();
    const QFont font = QApplication::font();
    {
        EditorApplication app(*qobject_cast<QApplication*>(qApp));
        EXPECT_EQ(QCoreApplication::applicationVersion(), QStringLiteral(OSTERVEIL_VERSION));
        EXPECT_EQ(SplashArtwork::versionText(), QStringLiteral("Version " OSTERVEIL_VERSION));
    }
    QApplication::setPalette(palette);
    QApplication::setFont(font);
}
