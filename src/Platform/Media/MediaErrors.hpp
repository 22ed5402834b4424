#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace osterveil::media {

// Every error of the media layer; `what()` is a sentence that can be shown to a user.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A time that cannot be formed: a non-finite number of seconds, a timescale that is not positive,
// or a value beyond the 64-bit range.
class TimeError : public Error {
  public:
    using Error::Error;
};

// A media file that could not be opened or understood.
class AssetError : public Error {
  public:
    enum class Kind {
        cannotOpen,        // missing, unreadable, or not a regular file
        unsupportedFormat, // not a container this program reads, or bytes of no known format
        damaged,           // recognised, but its streams could not be read
        timedOut,          // reading the file took longer than allowed
    };

    AssetError(Kind kind, std::filesystem::path path);

    Kind kind() const { return kind_; }
    const std::filesystem::path& path() const { return path_; }

    static const char* message(Kind kind);

  private:
    Kind kind_;
    std::filesystem::path path_;
};

// A source's error as the user reads it: the file's name, then what went wrong.
inline std::string sourceMessage(const std::filesystem::path& file, const std::string& message) {
    return file.filename().string() + ": " + message;
}

// The message for a source whose pictures cannot be decoded, naming its file.
inline std::string undecodableMessage(const std::filesystem::path& file) {
    return file.filename().string() + " could not be decoded.";
}

// The message for a source whose data ends before the part of it a composition takes: the file was
// cut short (or replaced by a shorter one) after it was opened.
inline std::string cutShortMessage(const std::filesystem::path& file) {
    return file.filename().string() + " ended before the part of it the sequence uses: the file was cut short.";
}

// An edit that a composition track cannot make (a range outside its source, a media type mismatch…).
class CompositionError : public Error {
  public:
    using Error::Error;
};

} // namespace osterveil::media
