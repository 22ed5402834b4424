#include "Platform/Media/MediaLog.hpp"

#include <mutex>

#include "Platform/Foundation/Log.hpp"

namespace osterveil::media {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

} // namespace

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

void logNotice(const std::string& message) {
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(message);
        return;
    }
    Log::media().info(message);
}

} // namespace osterveil::media
