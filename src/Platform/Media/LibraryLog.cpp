#include "Platform/Media/LibraryLog.hpp"

#include <cstdarg>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "Platform/Foundation/Log.hpp"

namespace osterveil::media {

namespace {

void toProgramLog(void* context, int level, const char* format, va_list args) {
    // The library's own threshold is not consulted by a replaced callback.
    if (level > AV_LOG_ERROR) return;
    // A message may come in pieces; a line is written once it is complete.
    thread_local std::string pending;
    thread_local int printPrefix = 1;
    char piece[1024];
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(context, level, format, copy, piece, sizeof piece, &printPrefix);
    va_end(copy);
    pending += piece;
    if (pending.empty() || (pending.back() != '\n' && pending.size() < 4096)) return;
    while (!pending.empty() && (pending.back() == '\n' || pending.back() == '\r')) pending.pop_back();
    if (!pending.empty()) Log::media().error(pending);
    pending.clear();
}

} // namespace

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(toProgramLog);
    });
}

} // namespace osterveil::media
