#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>

#include <QObject>
#include <QTimer>

#include "Platform/Media/PixelBuffer.hpp"
#include "Platform/Media/PlayerItem.hpp"

namespace osterveil::audio {
class Output;
}

namespace osterveil::media {

namespace detail {
class PlayerRenderer;
}

// The picture on screen and the item time it shows.
struct PlayerFrame {
    PixelBuffer picture; // BGRA, premultiplied; null before the first picture of an item
    double time = 0;
    // The clock when it went up while playing, by which it was judged on time; NaN otherwise.
    double clock = std::numeric_limits<double>::quiet_NaN();
};

// Plays one item at a time: pictures read ahead on a thread of its own and shown at their times on the
// clock, sound through an `audio::Output`, whose consumed sound is the clock while sound plays.
// Lives on the GUI thread; every call and every signal happens there, and nothing waits on decoding.
//
// Rates run from −8 to 8. Forward up to 2 plays sound, its pitch following the rate; faster and
// backwards are silent, and fast rates show fewer pictures while time still runs at the rate.
// A picture more than three quarters of a frame late is dropped unless it is the first after a seek, so
// every picture on screen is within a frame of its sound; but once the picture has stood still a tenth of a
// second, the newest late one goes up (if it is less than a second late), so that a machine slower than the
// footage still moves its picture; such late ones are few, as reading prefers skipping ahead to falling
// behind. Once what reading a stretch of the item takes is known (before, it passes over the pictures due
// sooner than its first picture took), reading aims at the first picture it can have ready by its time at
// that pace, decoding on from the last one read or from a key frame ahead: on a machine slower than the
// footage the pictures that go up are on their sound, a run of them after each key frame. Where none within
// four seconds can be, it decodes at most a tenth of a second of skipped pictures at a time, and jumps to
// the next key frame (or the next clip) once that is due by the time it would be read: such a stream falls
// at most a group of pictures behind its sound. While behind, pictures are decoded without the loop filter
// (a little blockier, up to a seventh sooner); a paused picture, a seek's and an export's never are. The
// first picture of the next clip of a sequence is read ahead, beside the clip before, so that a clip
// heavier than the machine neither starts late nor delays the one after it.
class Player : public QObject {
    Q_OBJECT
  public:
    enum class Status { paused, waitingToPlay, playing };
    Q_ENUM(Status)

    static constexpr double maximumRate = 8;

    // Plays through the system's sound output, or a null output where there is no device.
    explicit Player(QObject* parent = nullptr);
    explicit Player(std::unique_ptr<audio::Output> output, QObject* parent = nullptr);
    ~Player() override;

    // Replaces the item (none: nothing to play) and goes to its start; nothing of the old item is
    // shown again. The rate stays.
    void setItem(std::shared_ptr<const PlayerItem> item);
    // Replaces the item and goes to `seconds` on it in one step, the rate staying, as an edit's new
    // preview does: the picture on screen stays until the new item's picture at that time is ready,
    // and the decoders of sources the new item still reads carry over with the pictures they hold.
    void replaceItem(std::shared_ptr<const PlayerItem> item, double seconds);
    // As `setItem` with the file's item, the file being read on the player's reading thread: until it
    // is, the player has no item, and seeks and rates wait for it. A file that cannot be read leaves
    // the player without one. `itemChanged` tells when it came.
    void setFile(std::filesystem::path file);
    const std::shared_ptr<const PlayerItem>& item() const { return item_; }
    // A file given to `setFile` is being read.
    bool isOpening() const { return opening_ != 0; }

    // Rate 1 and 0. Without an item, playing waits at rate 1 until one comes. Started while stopped, the
    // sound and the clock wait for the first picture a moment at most, whatever reading is doing; that
    // picture goes up however late it comes.
    void play();
    void pause();
    // −8 to 8 (beyond is held there); 0 pauses.
    void setRate(double rate);
    double rate() const { return rate_; }
    Status status() const { return status_; }

    // To the picture at `seconds` exactly, decoded from the key frame before it.
    void seek(double seconds);
    // To the cheapest picture within [seconds − before, seconds + after], for scrubbing; the exact
    // picture follows when no newer seek comes soon after. A newer seek always supersedes an older one.
    void seek(double seconds, double toleranceBefore, double toleranceAfter);
    // Item seconds, from 0 to the item's duration.
    double currentTime() const;

    // 0 to 1.
    void setVolume(double volume);
    double volume() const { return volume_; }

    const PlayerFrame& currentFrame() const { return frame_; }
    // Pictures put on screen, and pictures passed over because they were late, since the player was made.
    std::int64_t presentedFrames() const { return presented_; }
    std::int64_t droppedFrames() const;
    const audio::Output& output() const { return *output_; }

    // The memory for decoded pictures over all the sources the player reads: those kept for stepping,
    // reverse play and seeks nearby, and those the decoders hold. Beyond it, the decoders of sources the
    // picture on screen does not need close, least recently read first. 512 MiB unless set.
    void setPictureBudget(std::size_t bytes);
    // What the open decoders hold by that measure, and how many are open, as of the latest picture read.
    std::size_t heldPictureBytes() const;
    int openDecoders() const;

  signals:
    // About 30 times a second while playing, and on every seek, start and stop.
    void timeChanged(double seconds);
    void statusChanged(osterveil::media::Player::Status status, double rate);
    // `currentFrame` changed.
    void frameChanged();
    // The sound device stopped taking sound; playing goes on, silent, on the clock.
    void soundLost();
    // After `soundLost`, a device plays the sound again.
    void soundRestored();
    // A file given to `setFile` was read (or found unreadable); `item` tells which.
    void itemChanged();

  private:
    enum class Reading { nothing, picture, playback };
    void restart(Reading reading, double toleranceBefore = 0, double toleranceAfter = 0,
                 bool keepsPicture = false, bool pressed = false);
    void fileOpened(std::uint64_t opening, std::shared_ptr<const PlayerItem> item);
    void tick();
    void wake();
    // Stopped at `at` by the end of a play; `readsPicture`: the picture there is read.
    void finish(double at, bool readsPicture = false);
    void present(PixelBuffer picture, double time, bool exact = true,
                 double clock = std::numeric_limits<double>::quiet_NaN());
    void setStatus(Status status);
    double clockTime() const;
    // The start of the item's frame that `seconds` falls in.
    double frameStart(double seconds) const;
    double clamped(double seconds) const;

    // Shared with the renderer's sound thread, which may end after the player.
    std::shared_ptr<audio::Output> output_;
    std::unique_ptr<detail::PlayerRenderer> renderer_;
    QTimer timer_;

    std::shared_ptr<const PlayerItem> item_;
    // The file being read for `setFile`, and which reading it is.
    std::filesystem::path file_;
    std::uint64_t opening_ = 0;
    double rate_ = 0;
    Status status_ = Status::paused;
    double volume_ = 1;
    std::uint64_t generation_ = 0;
    // Where the item stands while the clock does not run, and where it started when it does.
    double time_ = 0;
    bool running_ = false;
    bool soundClock_ = false;
    // The clock when the picture on screen went up while playing (or the play started).
    double shownAt_ = 0;
    // A play pressed while the picture at its start was not on screen: its first picture goes up however
    // late it comes, as the clock may have started without it.
    bool firstOwed_ = false;
    std::chrono::steady_clock::time_point anchorWall_;
    std::int64_t anchorSound_ = 0;
    std::chrono::steady_clock::time_point lastTimeSignal_;

    PlayerFrame frame_;
    // `frame_` is the current item's exact picture at its time.
    bool frameExact_ = false;
    std::int64_t presented_ = 0;
    std::int64_t dropped_ = 0;
    std::uint64_t soundLosses_ = 0;
    bool soundMissing_ = false;
};

} // namespace osterveil::media
