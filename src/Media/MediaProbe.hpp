#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Model/Project.hpp"

namespace osterveil {

// A file that cannot become a media item. The description names the file (with its extension) and,
// where a limit of the program refused it, that limit.
class MediaError : public std::exception {
  public:
    enum class Kind { unsupported, pictureTooLarge, tooManyChannels, unsupportedSampleRate };

    static MediaError unsupported(std::string fileName) {
        return MediaError(Kind::unsupported, std::move(fileName), 0);
    }
    // A still with more pixels than are imported; `megapixels` is the most that are, at its depth.
    static MediaError pictureTooLarge(std::string fileName, std::int64_t megapixels) {
        return MediaError(Kind::pictureTooLarge, std::move(fileName), megapixels);
    }
    // Sound of `channels` channels, more than the mix takes.
    static MediaError tooManyChannels(std::string fileName, std::int64_t channels) {
        return MediaError(Kind::tooManyChannels, std::move(fileName), channels);
    }
    // Sound sampled at `rate` per second, faster than any real recording.
    static MediaError unsupportedSampleRate(std::string fileName, std::int64_t rate) {
        return MediaError(Kind::unsupportedSampleRate, std::move(fileName), rate);
    }

    Kind kind() const { return kind_; }
    const std::string& fileName() const { return fileName_; }
    // The figure the description gives: the megapixels, channels or rate above; 0 for `unsupported`.
    std::int64_t figure() const { return figure_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const MediaError& o) const {
        return kind_ == o.kind_ && fileName_ == o.fileName_ && figure_ == o.figure_;
    }

  private:
    MediaError(Kind kind, std::string fileName, std::int64_t figure);

    Kind kind_;
    std::string fileName_;
    std::int64_t figure_;
    std::string description_;
};

// Turns imported files into media items: how to find the file again, what kind it is, and the facts
// the editor shows and plans with. The kind follows the file's content, its name only where the
// content tells nothing known. A still, and the first picture of a movie, are decoded before the
// file is accepted, so nothing enters a project that could only ever draw black. Stateless; any
// number of files may be probed at once from different threads.
struct MediaProbe {
    MediaProbe() = delete;

    // Probes `path`. `projectURL` is the project file, absent for an unsaved project; a file inside
    // the project's folder gets its path below that folder as the item's relative path.
    // Throws `MediaError` for a file that is neither a still nor media with a picture or sound stream,
    // or whose still or first picture does not decode, or that is beyond what the program takes (the
    // still's size, the sound's channels or rate); passes on `media::AssetError` when the file cannot
    // be read at all (missing, unreadable, too slow to read).
    static MediaItem makeItem(const std::filesystem::path& path,
                              const std::optional<std::filesystem::path>& projectURL);

    // The most sound channels the mix takes (every one of them is heard in it).
    static constexpr int mostSoundChannels = 64;

    // A readable name for a four-character format code (first character in the most significant byte).
    static std::string codecName(std::uint32_t code);
    // The code of a text: its first four UTF-8 bytes, each shifted in at the low end; "" gives 0.
    static std::uint32_t fourCC(std::string_view text);

  private:
    static MediaItem imageItem(const std::filesystem::path& path, std::string name,
                               std::optional<std::string> relative);
    static std::optional<std::string> relativePath(const std::filesystem::path& path,
                                                   const std::optional<std::filesystem::path>& projectURL);
    static std::string fourCCString(std::uint32_t code);
};

} // namespace osterveil
