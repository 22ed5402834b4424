#pragma once

// The reading side of `Player`; not part of the media layer's interface.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "Platform/Media/PixelBuffer.hpp"
#include "Platform/Media/PlayerItem.hpp"
#include "Platform/Media/PlayerPacing.hpp"

namespace osterveil::audio {
class Output;
}

namespace osterveil::media::detail {

class FrameSource;
struct PictureBudget;

// What the player wants read. Every change carries a new generation; what was read for an older one
// is dropped.
struct PlayerRequest {
    enum class Mode {
        idle,  // read nothing
        still, // one picture at `time`, within the tolerances
        play,  // pictures and sound from `time` on at `rate`
    };
    std::uint64_t generation = 0;
    std::shared_ptr<const PlayerItem> item;
    // Without an item: the file to open on the reading thread, and which opening of it this is. The
    // item comes back through `opened`; the player then asks again with it.
    std::filesystem::path file;
    std::uint64_t opening = 0;
    // The pictures of the item this one replaces may still go up until its own first picture does.
    bool keepsPicture = false;
    // Playing forward: the exact picture at `time` is on screen already, so reading begins at the next
    // one, and the clock waits for that only a moment.
    bool pictureShown = false;
    // A play pressed while stopped: the clock and the sound wait for its first picture only a moment,
    // whatever reading is doing (it may be deep in a picture of footage heavier than the machine).
    bool pressed = false;
    Mode mode = Mode::idle;
    double time = 0;
    double rate = 0;
    double toleranceBefore = 0;
    double toleranceAfter = 0;
};

// A picture read ahead, or the end of the item.
struct QueuedFrame {
    std::uint64_t generation = 0;
    double due = 0;  // clock time from which it is on screen (until, in reverse)
    double time = 0; // item time it shows
    PixelBuffer picture;
    bool end = false;
    bool exact = true; // false for a still read within tolerances, refined later, or one decoded
                       // while playing caught up
};

// One read-ahead thread that owns the picture readers and keeps a few pictures queued, and one that
// feeds the sound output, both following the latest request. What they read and when follows the
// rules of `PlayerPacing.hpp` and `SoundFeed`; the decoders and their memory, `SourceDecoders`.
class PlayerRenderer {
  public:
    static constexpr std::size_t queueCapacity = 8;
    static constexpr std::size_t defaultPictureBudget = std::size_t(512) << 20;
    // The end of an item counts as reached this close to it: a sound clock can fall short of it by a few
    // samples.
    static constexpr double endSlack = 0.002;
    // How long the renderer's end waits for the sound thread, which ends at once unless a file holds it.
    static constexpr std::chrono::milliseconds soundEndWait{50};

    // `wake` is called from the reading threads when a picture is queued while no one polls (at most
    // once until `takeDue` or `ready` runs); `opened` from the reading thread with each file opened for
    // a request (none when it cannot be read).
    using Opened = std::function<void(std::uint64_t opening, std::shared_ptr<const PlayerItem> item)>;
    // What reads an item's pictures, taking over what it can of the source before (`makeSource`).
    using SourceMaker = std::function<std::unique_ptr<FrameSource>(const PlayerItem&, std::unique_ptr<FrameSource>,
                                                                   PictureBudget&)>;
    PlayerRenderer(std::shared_ptr<audio::Output> output, std::function<void()> wake, Opened opened,
                   SourceMaker makeSource = {});
    ~PlayerRenderer();
    PlayerRenderer(const PlayerRenderer&) = delete;
    PlayerRenderer& operator=(const PlayerRenderer&) = delete;

    void request(PlayerRequest request);
    // The player's clock in item seconds, so that reading skips what would be late; NaN when stopped.
    void setClock(double now);

    // Whether the first picture (or the end) of `generation` is queued and its sound is ready;
    // `withSound` tells whether sound plays (and so is the clock).
    bool ready(std::uint64_t generation, bool& withSound);
    // Takes the pictures of `generation` due at `now` (every one queued when none) as `choosePicture`
    // picks, and returns the one that goes up, or the end; `passed` counts those passed over.
    // `direction` is the sign of the rate.
    std::optional<QueuedFrame> takeDue(std::uint64_t generation, std::optional<double> now, int direction,
                                       double frame, double stillFor, std::int64_t& passed,
                                       bool first = false);
    // Pictures the reading thread skipped because they would have been late.
    std::int64_t skippedFrames() const;
    // See `Player`.
    void setPictureBudget(std::size_t bytes);
    std::size_t heldPictureBytes() const;
    int openDecoders() const;

  private:
    struct Impl;
    // Shared with the reading thread, which may outlive the renderer by a picture.
    std::shared_ptr<Impl> impl_;
    // Shared with the sound thread, which may outlive the renderer while it waits on a file.
    std::shared_ptr<audio::Output> output_;
};

} // namespace osterveil::media::detail
