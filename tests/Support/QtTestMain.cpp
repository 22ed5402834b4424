// GoogleTest entry for tests that need a Qt application object and its event loop. Widget tests get
// a QApplication, controller tests a QGuiApplication; both run offscreen unless told otherwise.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QtGlobal>

#ifdef OSTERVEIL_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#endif

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The start-up splash stays away; its own tests lift this where they need it.
    qputenv("OSTERVEIL_NO_SPLASH", "1");
    // Whatever the program keeps in the user's cache folder (the timing plate) goes to a folder of the run's own.
    QTemporaryDir cache;
    if (cache.isValid()) qputenv("XDG_CACHE_HOME", cache.path().toLocal8Bit());
    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
