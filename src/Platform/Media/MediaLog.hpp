#pragma once

#include <functional>
#include <string>

namespace osterveil::media {

// What the media layer recovered from and carried on with (damage concealed while decoding), for
// the people reading the program's log. Lines go to standard error until a sink is set; the engine
// routes them into its own log. Safe from any thread.
using LogSink = std::function<void(const std::string& message)>;

// Replaces where lines go (null restores standard error); returns the previous sink.
LogSink setLogSink(LogSink sink);
void logNotice(const std::string& message);

} // namespace osterveil::media
