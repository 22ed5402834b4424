#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "Platform/Media/AudioMix.hpp"
#include "Platform/Media/Composition.hpp"
#include "Platform/Media/VideoComposition.hpp"

namespace osterveil::media {

// What a player plays: a composition with the way its picture is drawn and its sound mixed (the
// program), or one media file (a source clip). Immutable; the player reads it from its own threads.
class PlayerItem {
  public:
    // A composition; without a video composition it has no picture, without audio tracks no sound.
    static std::shared_ptr<const PlayerItem> composition(std::shared_ptr<const Composition> composition,
                                                         std::optional<VideoComposition> videoComposition,
                                                         std::optional<AudioMix> audioMix);
    // A media file's first picture stream and its first sound stream, turned upright and scaled down to
    // fit `maximumSize` (0 in a side: no limit). A still picture gives an item with nothing to play.
    // Throws `AssetError` when the file cannot be read.
    static std::shared_ptr<const PlayerItem> file(const std::filesystem::path& path,
                                                  Size maximumSize = {1920, 1080});

    // Seconds from 0 to the end of the item.
    double duration() const { return duration_; }
    // Time between pictures; 1/30 s when the item has no picture stream of its own.
    const Time& frameDuration() const { return frameDuration_; }
    bool hasVideo() const { return videoComposition_.has_value() || videoTrack_ != nullptr; }
    bool hasAudio() const { return hasAudio_; }

    // The sound, mixed (file items hold their sound stream as a composition too).
    const std::shared_ptr<const Composition>& audioComposition() const { return composition_; }
    const std::optional<AudioMix>& audioMix() const { return audioMix_; }
    // The picture of a composition item.
    const std::optional<VideoComposition>& videoComposition() const { return videoComposition_; }
    // The picture of a file item, and the size its pictures are scaled to fit.
    const std::shared_ptr<const AssetTrack>& videoTrack() const { return videoTrack_; }
    Size maximumSize() const { return maximumSize_; }

  private:
    PlayerItem() = default;

    std::shared_ptr<const Composition> composition_;
    std::optional<VideoComposition> videoComposition_;
    std::optional<AudioMix> audioMix_;
    std::shared_ptr<const AssetTrack> videoTrack_;
    Size maximumSize_;
    double duration_ = 0;
    Time frameDuration_ = Time(1, 30);
    bool hasAudio_ = false;
};

} // namespace osterveil::media
