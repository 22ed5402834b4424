#include "App/MediaPlayerControl.hpp"

#include "Platform/Audio/Output.hpp"
#include "Platform/Media/PlayerItem.hpp"

namespace osterveil {

namespace {

PlayerControl::Status controlStatus(media::Player::Status status) {
    switch (status) {
    case media::Player::Status::paused: return PlayerControl::Status::paused;
    case media::Player::Status::waitingToPlay: return PlayerControl::Status::waiting;
    case media::Player::Status::playing: return PlayerControl::Status::playing;
    }
    return PlayerControl::Status::paused;
}

} // namespace

MediaPlayerControl::MediaPlayerControl(QObject* parent)
    : PlayerControl(parent), player_(std::make_unique<media::Player>()) {
    connectPlayer();
}

MediaPlayerControl::MediaPlayerControl(std::unique_ptr<audio::Output> output, QObject* parent)
    : PlayerControl(parent), player_(std::make_unique<media::Player>(std::move(output))) {
    connectPlayer();
}

MediaPlayerControl::~MediaPlayerControl() = default;

void MediaPlayerControl::connectPlayer() {
    connect(player_.get(), &media::Player::timeChanged, this, [this](double seconds) { emit timeChanged(media::Time::seconds(seconds)); });
    connect(player_.get(), &media::Player::statusChanged, this,
            [this](media::Player::Status status, double rate) {
                emit statusChanged(controlStatus(status), static_cast<float>(rate));
            });
    connect(player_.get(), &media::Player::soundLost, this, &PlayerControl::soundLost);
    connect(player_.get(), &media::Player::soundRestored, this, &PlayerControl::soundRestored);
    connect(player_.get(), &media::Player::frameChanged, this, &PlayerControl::frameChanged);
}

std::shared_ptr<const media::PlayerItem>
MediaPlayerControl::compositionItem(const std::optional<PlayerItem>& item) const {
    if (!item || !item->build()) return nullptr;
    const CompositionBuild& build = *item->build();
    return media::PlayerItem::composition(build.composition, build.videoComposition, build.audioMix);
}

void MediaPlayerControl::setItem(std::optional<PlayerItem> item) {
    if (item && item->file())
        player_->setFile(*item->file());
    else
        player_->setItem(compositionItem(item));
    item_ = std::move(item);
}

void MediaPlayerControl::replaceItem(std::optional<PlayerItem> item, media::Time time) {
    if (item && item->file()) {
        player_->setFile(*item->file());
        if (time.isNumeric()) player_->seek(time.toSeconds());
    } else {
        player_->replaceItem(compositionItem(item), time.isNumeric() ? time.toSeconds() : 0);
    }
    item_ = std::move(item);
}

PlayerControl::Status MediaPlayerControl::status() const {
    return controlStatus(player_->status());
}

media::Time MediaPlayerControl::currentTime() const {
    if (!player_->item() && !player_->isOpening()) return media::Time::indefinite();
    return media::Time::seconds(player_->currentTime());
}

void MediaPlayerControl::seek(media::Time time, media::Time toleranceBefore, media::Time toleranceAfter) {
    if (!time.isNumeric()) return;
    if (toleranceBefore == media::Time::zero() && toleranceAfter == media::Time::zero()) {
        player_->seek(time.toSeconds());
        return;
    }
    // An indefinite tolerance accepts any picture of the item.
    const double whole = player_->item() ? player_->item()->duration() : 0.0;
    const auto seconds = [whole](const media::Time& t) { return t.isNumeric() ? t.toSeconds() : whole; };
    player_->seek(time.toSeconds(), seconds(toleranceBefore), seconds(toleranceAfter));
}

} // namespace osterveil
