#pragma once

// How the player feeds its sound; not part of the media layer's interface.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Media/PlayerItem.hpp"

namespace osterveil::audio {
class Output;
}

namespace osterveil::media {
class CompositionAudioReader;
}

namespace osterveil::media::detail {

// Plays sound faster or slower the way tape does: the pitch follows the rate.
class Varispeed {
  public:
    explicit Varispeed(double rate = 1) : rate_(rate) {}
    std::vector<float> process(std::vector<float> in);

  private:
    double rate_;
    double position_ = 0;
    std::vector<float> tail_;
};

// Feeds an item's mixed sound into an output from a time at a rate. The rule: sound plays forward up to
// twice as fast, its pitch following the rate; faster and backwards are silent. Sound that cannot be
// read or decoded becomes silence to the item's end, so the clock the output keeps runs on to it.
class SoundFeed {
  public:
    explicit SoundFeed(audio::Output& output);
    ~SoundFeed();
    SoundFeed(const SoundFeed&) = delete;
    SoundFeed& operator=(const SoundFeed&) = delete;

    // Drops what the output holds and begins `item`'s sound at `time` at `rate` (0: stopped); returns
    // whether there is sound to play.
    bool start(const std::shared_ptr<const PlayerItem>& item, double time, double rate);
    // Writes what the output takes; false once the sound is all written (or there is none).
    bool fill();
    bool active() const { return active_; }

  private:
    audio::Output& output_;
    std::unique_ptr<CompositionAudioReader> reader_;
    Varispeed varispeed_;
    std::vector<float> pending_;
    std::size_t pendingAt_ = 0; // frames of `pending_` already written
    bool active_ = false;
    std::int64_t left_ = 0; // frames up to the item's end
};

} // namespace osterveil::media::detail
