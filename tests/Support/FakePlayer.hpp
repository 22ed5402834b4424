#pragma once

#include <optional>
#include <vector>

#include "App/PlayerControl.hpp"

namespace osterveil::testsupport {

// A player that plays nothing: it keeps what the editor asked of it so tests can look, and the test
// drives its clock and its status by hand (`tick`, `reachEnd`), emitting the signals a real player would.
class FakePlayer : public PlayerControl {
  public:
    struct Seek {
        media::Time time;
        media::Time toleranceBefore;
        media::Time toleranceAfter;
    };

    using PlayerControl::PlayerControl;

    void setItem(std::optional<PlayerItem> item) override {
        item_ = std::move(item);
        ++itemChanges;
        time_ = item_ ? media::Time::zero() : media::Time::indefinite();
        updateStatus();
    }
    // Recorded as an item change and an exact seek to `time`, which it is.
    void replaceItem(std::optional<PlayerItem> item, media::Time time) override {
        item_ = std::move(item);
        ++itemChanges;
        ++replacements;
        seeks.push_back({time, media::Time::zero(), media::Time::zero()});
        time_ = item_ ? time : media::Time::indefinite();
        updateStatus();
        emit timeChanged(time_);
    }
    void play() override { setRate(1); }
    void pause() override { setRate(0); }
    void setRate(float rate) override {
        rate_ = rate;
        rates.push_back(rate);
        updateStatus();
    }
    float rate() const override { return rate_; }
    Status status() const override { return status_; }
    media::Time currentTime() const override { return time_; }
    void seek(media::Time time, media::Time toleranceBefore = media::Time::zero(),
              media::Time toleranceAfter = media::Time::zero()) override {
        seeks.push_back({time, toleranceBefore, toleranceAfter});
        time_ = time;
        emit timeChanged(time_);
    }
    void setVolume(float volume) override { volume_ = volume; }
    float volume() const override { return volume_; }

    const std::optional<PlayerItem>& item() const { return item_; }

    // The clock moved on to `time`, as it does about 30 times a second while playing.
    void tick(media::Time time) {
        time_ = time;
        emit timeChanged(time_);
    }
    void tick(double seconds) { tick(media::Time::seconds(seconds)); }
    // Playback ran off the end of the item: the player pauses by itself.
    void reachEnd() {
        rate_ = 0;
        updateStatus();
    }

    // How many handlers listen to each signal: a model that installs its observers twice shows here.
    int timeObservers() const { return receivers(SIGNAL(timeChanged(osterveil::media::Time))); }
    int statusObservers() const {
        return receivers(SIGNAL(statusChanged(osterveil::PlayerControl::Status, float)));
    }

    std::vector<Seek> seeks;
    std::vector<float> rates;
    int itemChanges = 0;
    int replacements = 0;

  private:
    void updateStatus() {
        const Status next = rate_ == 0 ? Status::paused : item_ ? Status::playing : Status::waiting;
        if (next == status_ && rate_ == reportedRate_) return;
        status_ = next;
        reportedRate_ = rate_;
        emit statusChanged(status_, rate_);
    }

    std::optional<PlayerItem> item_;
    media::Time time_ = media::Time::indefinite();
    float rate_ = 0;
    float reportedRate_ = 0;
    float volume_ = 1;
    Status status_ = Status::paused;
};

} // namespace osterveil::testsupport
