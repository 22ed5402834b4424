#pragma once

#include <QGuiApplication>
#include <cstdlib>
#include <memory>

#include "Engine/Log.hpp"

namespace osterveil::enginetest {

// Titles need fonts, and fonts need a GUI application; tests run it without a display.
inline void ensureGuiApplication() {
    static std::unique_ptr<QGuiApplication> app = [] {
        if (QGuiApplication::instance()) return std::unique_ptr<QGuiApplication>();
        if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "osterveil-tests";
        static char* argv[] = {name, nullptr};
        return std::make_unique<QGuiApplication>(argc, argv);
    }();
}

// Collects the build log's lines for the life of the object.
class LogCapture {
public:
    explicit LogCapture(std::string category = "build") {
        previous_ = Log::setSink([this, category](Log::Level, const std::string& c, const std::string& message) {
            if (c == category) lines.push_back(message);
        });
    }
    ~LogCapture() { Log::setSink(previous_); }
    std::vector<std::string> lines;

private:
    Log::Sink previous_;
};

} // namespace osterveil::enginetest
