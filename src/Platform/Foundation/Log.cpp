#include "Platform/Foundation/Log.hpp"

#include <cstdio>
#include <mutex>

namespace osterveil {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

Log::Sink& currentSink() {
    static Log::Sink sink;
    return sink;
}

const char* levelName(Log::Level level) {
    switch (level) {
    case Log::Level::debug: return "debug";
    case Log::Level::info: return "info";
    case Log::Level::error: return "error";
    }
    return "";
}

} // namespace

Log& Log::build() {
    static Log log("build");
    return log;
}

Log& Log::media() {
    static Log log("media");
    return log;
}

Log& Log::watch() {
    static Log log("watch");
    return log;
}

Log::Sink Log::setSink(Sink sink) {
    std::lock_guard lock(sinkMutex());
    Sink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

void Log::write(Level level, const std::string& message) const {
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(level, category_, message);
        return;
    }
    std::fprintf(stderr, "osterveil [%s] %s: %s\n", category_.c_str(), levelName(level), message.c_str());
}

} // namespace osterveil
