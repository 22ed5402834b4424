#pragma once

#include <memory>
#include <optional>

#include "App/PlayerControl.hpp"
#include "Platform/Media/Player.hpp"

namespace osterveil::audio {
class Output;
}

namespace osterveil {

// The editor's player on the real `media::Player`: turns the editor's items into the player's and its
// rational times into seconds and back.
class MediaPlayerControl : public PlayerControl {
    Q_OBJECT
  public:
    // Plays through the system's sound output.
    explicit MediaPlayerControl(QObject* parent = nullptr);
    explicit MediaPlayerControl(std::unique_ptr<audio::Output> output, QObject* parent = nullptr);
    ~MediaPlayerControl() override;

    // A file is read on the player's own thread; one that cannot be read leaves the player empty, as
    // if none were given.
    void setItem(std::optional<PlayerItem> item) override;
    void replaceItem(std::optional<PlayerItem> item, media::Time time) override;
    void play() override { player_->play(); }
    void pause() override { player_->pause(); }
    void setRate(float rate) override { player_->setRate(rate); }
    float rate() const override { return static_cast<float>(player_->rate()); }
    Status status() const override;
    media::Time currentTime() const override;
    void seek(media::Time time, media::Time toleranceBefore, media::Time toleranceAfter) override;
    void setVolume(float volume) override { player_->setVolume(volume); }
    float volume() const override { return static_cast<float>(player_->volume()); }
    const media::PlayerFrame& currentFrame() const override { return player_->currentFrame(); }

    media::Player& player() const { return *player_; }

  private:
    void connectPlayer();
    std::shared_ptr<const media::PlayerItem> compositionItem(const std::optional<PlayerItem>& item) const;

    std::unique_ptr<media::Player> player_;
    // Keeps the build, whose pictures the composition draws, alive while the player reads it.
    std::optional<PlayerItem> item_;
};

} // namespace osterveil
