#include "Engine/Log.hpp"

#include <cstdio>
#include <mutex>

#include "Platform/Media/MediaLog.hpp"

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

namespace {

// The media layer reports what it concealed through its own sink, which joins this log.
const bool mediaNoticesJoinTheLog = [] {
    media::setLogSink([](const std::string& message) { Log::media().info(message); });
    return true;
}();

} // namespace

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
