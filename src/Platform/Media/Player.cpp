#include "Platform/Media/Player.hpp"

#include <algorithm>
#include <cmath>

#include "Platform/Audio/Output.hpp"
#include "Platform/Media/PlayerRenderer.hpp"

namespace osterveil::media {

namespace {

using Clock = std::chrono::steady_clock;

// The presentation timer: well under a frame, so a picture goes up within a few milliseconds of its time.
constexpr int kTickMilliseconds = 4;
constexpr auto kTimeSignalInterval = std::chrono::microseconds(1'000'000 / 30);

} // namespace

Player::Player(QObject* parent) : Player(audio::Output::create(), parent) {}

Player::Player(std::unique_ptr<audio::Output> output, QObject* parent)
    : QObject(parent), output_(output ? std::move(output) : audio::Output::createNull()),
      soundLosses_(output_->deviceLosses()) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kTickMilliseconds);
    connect(&timer_, &QTimer::timeout, this, &Player::tick);
    renderer_ = std::make_unique<detail::PlayerRenderer>(*output_, [this] {
        QMetaObject::invokeMethod(
            this, [this] { wake(); }, Qt::QueuedConnection);
    });
}

Player::~Player() {
    timer_.stop();
    renderer_.reset(); // joins the reading threads before the output goes
}

double Player::clamped(double seconds) const {
    if (!std::isfinite(seconds) || seconds < 0) return 0;
    return item_ ? std::min(seconds, item_->duration()) : seconds;
}

double Player::clockTime() const {
    if (!running_) return time_;
    const double elapsed =
        soundClock_ ? double(output_->position() - anchorSound_) / audio::Output::sampleRate * rate_
                    : std::chrono::duration<double>(Clock::now() - anchorWall_).count() * rate_;
    return clamped(time_ + elapsed);
}

double Player::currentTime() const {
    return clockTime();
}

std::int64_t Player::droppedFrames() const {
    return dropped_ + renderer_->skippedFrames();
}

void Player::restart(Reading reading, double toleranceBefore, double toleranceAfter) {
    output_->stop();
    running_ = false;
    detail::PlayerRequest r;
    r.generation = ++generation_;
    r.item = item_;
    r.time = time_;
    if (item_ && reading == Reading::playback) {
        r.mode = detail::PlayerRequest::Mode::play;
        r.rate = rate_;
    } else if (item_ && reading == Reading::picture) {
        r.mode = detail::PlayerRequest::Mode::still;
        // No tolerance reaches beyond the item; NaN means none.
        const auto tolerance = [](double t) { return std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 86400.0); };
        r.toleranceBefore = tolerance(toleranceBefore);
        r.toleranceAfter = tolerance(toleranceAfter);
    }
    renderer_->request(std::move(r));
    if (item_ && reading == Reading::playback)
        timer_.start();
    else
        timer_.stop();
}

void Player::setItem(std::shared_ptr<const PlayerItem> item) {
    item_ = std::move(item);
    time_ = 0;
    restart(rate_ != 0 ? Reading::playback : Reading::picture);
    frame_ = PlayerFrame{};
    emit frameChanged();
    if (rate_ != 0 && (!item_ || status_ != Status::playing)) setStatus(Status::waitingToPlay);
    emit timeChanged(time_);
}

void Player::play() {
    setRate(1);
}

void Player::pause() {
    setRate(0);
}

void Player::setRate(double rate) {
    rate = std::isfinite(rate) ? std::clamp(rate, -maximumRate, maximumRate) : 0.0;
    if (rate == rate_) return;
    time_ = clockTime();
    rate_ = rate;
    if (rate == 0) {
        restart(Reading::nothing);
        setStatus(Status::paused);
    } else {
        restart(Reading::playback);
        setStatus(item_ && status_ == Status::playing ? Status::playing : Status::waitingToPlay);
    }
    emit timeChanged(time_);
}

void Player::seek(double seconds) {
    seek(seconds, 0, 0);
}

void Player::seek(double seconds, double toleranceBefore, double toleranceAfter) {
    time_ = clamped(seconds);
    if (rate_ != 0)
        restart(Reading::playback);
    else
        restart(Reading::picture, toleranceBefore, toleranceAfter);
    emit timeChanged(time_);
}

void Player::setVolume(double volume) {
    volume_ = std::isfinite(volume) ? std::clamp(volume, 0.0, 1.0) : 0.0;
    output_->setVolume(float(volume_));
}

void Player::setStatus(Status status) {
    status_ = status;
    emit statusChanged(status_, rate_);
}

void Player::present(PixelBuffer picture, double time) {
    frame_ = PlayerFrame{std::move(picture), time};
    ++presented_;
    emit frameChanged();
}

void Player::wake() {
    if (rate_ != 0) {
        tick();
        return;
    }
    // Paused: the picture of the latest seek (and later its exact refinement) goes up as it comes.
    std::int64_t passed = 0;
    if (auto f = renderer_->takeDue(generation_, std::nullopt, 1, passed); f && !f->end)
        present(std::move(f->picture), f->time);
}

void Player::tick() {
    if (!item_ || rate_ == 0) {
        timer_.stop();
        return;
    }
    const int direction = rate_ > 0 ? 1 : -1;
    if (!running_) {
        // Waiting for the first picture and the sound of this start: the clock begins with them.
        bool withSound = false;
        if (!renderer_->ready(generation_, withSound)) return;
        running_ = true;
        soundClock_ = withSound;
        anchorWall_ = Clock::now();
        if (soundClock_) {
            anchorSound_ = output_->position();
            output_->start();
        }
        lastTimeSignal_ = Clock::now();
        if (status_ != Status::playing) setStatus(Status::playing);
    }
    const double now = clockTime();
    if (const std::uint64_t losses = output_->deviceLosses(); losses != soundLosses_) {
        soundLosses_ = losses;
        emit soundLost();
    }
    renderer_->setClock(now);
    std::int64_t passed = 0;
    if (auto f = renderer_->takeDue(generation_, now, direction, passed)) {
        dropped_ += passed;
        if (f->end) {
            finish(f->due);
            return;
        }
        present(std::move(f->picture), f->time);
    }
    if (Clock::now() - lastTimeSignal_ >= kTimeSignalInterval) {
        lastTimeSignal_ = Clock::now();
        emit timeChanged(now);
    }
}

void Player::finish(double at) {
    time_ = clamped(at);
    rate_ = 0;
    restart(Reading::nothing);
    setStatus(Status::paused);
    emit timeChanged(time_);
}

} // namespace osterveil::media
