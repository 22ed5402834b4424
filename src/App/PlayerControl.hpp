#pragma once

#include <QObject>
#include <filesystem>
#include <memory>
#include <optional>

#include "Engine/CompositionBuilder.hpp"
#include "Platform/Media/Player.hpp"
#include "Platform/Media/Time.hpp"

namespace osterveil {

// What a player plays: the sequence as a rebuild made it, or one media file of the bin.
class PlayerItem {
  public:
    // The build's composition with its video composition and audio mix. The build stays alive for as
    // long as the item does (its pictures are held by it).
    static PlayerItem composition(std::shared_ptr<const CompositionBuild> build);
    // A file opened with exact durations and timing.
    static PlayerItem mediaFile(std::filesystem::path file);

    // Exactly one of the two is set.
    const std::shared_ptr<const CompositionBuild>& build() const { return build_; }
    const std::optional<std::filesystem::path>& file() const { return file_; }

  private:
    PlayerItem() = default;
    std::shared_ptr<const CompositionBuild> build_;
    std::optional<std::filesystem::path> file_;
};

// The editor's hold on one player (the program or the source monitor's). The editor drives the
// player only through this, so every command can be tried with a stand-in and no sound device.
//
// A player plays at a rate from −8 to 8: 0 is paused, 1 normal speed, negative rates play backwards.
// Forward rates up to 2 play sound with the pitch following the rate; other rates play silent.
// Everything is called, and every signal is emitted, on the GUI thread.
class PlayerControl : public QObject {
    Q_OBJECT
  public:
    // The player's own account of its state: paused; waiting to play at the rate asked for (no item,
    // or frames not ready yet); playing.
    enum class Status { paused, waiting, playing };
    Q_ENUM(Status)

    using QObject::QObject;

    // Replaces what the player shows; none empties it. The position starts at the new item's
    // beginning and the rate stays as it was. Nothing of the old item is shown again.
    virtual void setItem(std::optional<PlayerItem> item) = 0;
    // Replaces the item and goes to `time` on it in one step, the rate staying: the picture on screen
    // stays until the new item's picture at that time is ready. What an edit's new preview does.
    virtual void replaceItem(std::optional<PlayerItem> item, media::Time time) = 0;

    // play() is setRate(1), pause() is setRate(0). Playing with no item leaves the player waiting at
    // rate 1; at the end of the item the player pauses by itself (rate 0).
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void setRate(float rate) = 0;
    virtual float rate() const = 0;
    virtual Status status() const = 0;

    // The player's position on its item; indefinite when it has none.
    virtual media::Time currentTime() const = 0;
    // Moves to the first frame within [time − toleranceBefore, time + toleranceAfter] that is cheap to
    // show; zero tolerances land on the exact frame. A newer seek supersedes one still in flight. The
    // editor's own seeks are exact, at `CompositionBuilder::mediaTime` of the model's seconds.
    virtual void seek(media::Time time, media::Time toleranceBefore = media::Time::zero(),
                      media::Time toleranceAfter = media::Time::zero()) = 0;

    // 0 to 1.
    virtual void setVolume(float volume) = 0;
    virtual float volume() const = 0;

    // The picture on screen and the item time it shows; none before the first picture.
    virtual const media::PlayerFrame& currentFrame() const;

  signals:
    // About 30 times a second while playing, and on every seek, jump, start and stop.
    void timeChanged(osterveil::media::Time time);
    // The status or the rate changed; both as they are now.
    void statusChanged(osterveil::PlayerControl::Status status, float rate);
    // `currentFrame` changed.
    void frameChanged();
    // The sound device stopped taking sound; the player goes on without it, on its own clock, and
    // looks for the device again the next time it starts.
    void soundLost();
    // After a loss, a device plays the sound again.
    void soundRestored();
};

} // namespace osterveil
