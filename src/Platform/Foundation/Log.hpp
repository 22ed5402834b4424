#pragma once

#include <functional>
#include <string>

namespace osterveil {

// The program's log: one category per concern, lines to standard error with their level. Tests and
// the application may route lines elsewhere with `setSink`.
class Log {
public:
    enum class Level { debug, info, error };
    using Sink = std::function<void(Level, const std::string& category, const std::string& message)>;

    explicit Log(std::string category) : category_(std::move(category)) {}

    // Category "build": preview rebuild failures and skipped composition segments.
    static Log& build();
    // Category "media": what the media libraries themselves report: FFmpeg's errors, and libtiff's
    // first word on each file.
    static Log& media();
    // Category "watch": media files and folders that cannot be watched for changes, and are looked at
    // every so often instead.
    static Log& watch();

    void error(const std::string& message) const { write(Level::error, message); }
    void info(const std::string& message) const { write(Level::info, message); }

    const std::string& category() const { return category_; }

    // Replaces where lines go (null restores standard error); returns the previous sink.
    static Sink setSink(Sink sink);

private:
    void write(Level level, const std::string& message) const;
    std::string category_;
};

} // namespace osterveil
