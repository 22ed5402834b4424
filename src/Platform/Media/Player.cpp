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
    renderer_ = std::make_unique<detail::PlayerRenderer>(
        output_,
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { wake(); }, Qt::QueuedConnection);
        },
        [this](std::uint64_t opening, std::shared_ptr<const PlayerItem> item) {
            QMetaObject::invokeMethod(
                this, [this, opening, item = std::move(item)] { fileOpened(opening, item); },
                Qt::QueuedConnection);
        });
}

Player::~Player() {
    timer_.stop();
    renderer_.reset(); // stops feeding the output before it goes
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

double Player::frameStart(double seconds) const {
    if (!item_) return seconds;
    const Time& frame = item_->frameDuration();
    if (frame.value() <= 0 || frame.timescale() <= 0) return seconds;
    const double k = std::floor(seconds * frame.timescale() / double(frame.value()) + 1e-6);
    return clamped(k * double(frame.value()) / frame.timescale());
}

double Player::currentTime() const {
    return clockTime();
}

std::int64_t Player::droppedFrames() const {
    return dropped_ + renderer_->skippedFrames();
}

void Player::setPictureBudget(std::size_t bytes) {
    renderer_->setPictureBudget(bytes);
}

std::size_t Player::heldPictureBytes() const {
    return renderer_->heldPictureBytes();
}

int Player::openDecoders() const {
    return renderer_->openDecoders();
}

void Player::restart(Reading reading, double toleranceBefore, double toleranceAfter, bool keepsPicture,
                     bool pressed) {
    output_->stop();
    running_ = false;
    firstOwed_ = false;
    detail::PlayerRequest r;
    r.generation = ++generation_;
    r.item = item_;
    if (!item_ && opening_ != 0) {
        r.file = file_;
        r.opening = opening_;
    }
    r.keepsPicture = keepsPicture;
    r.time = time_;
    if (item_ && reading == Reading::playback) {
        r.mode = detail::PlayerRequest::Mode::play;
        r.rate = rate_;
        // The picture on screen is not read again: sound starts with the next picture, or without it
        // after a moment, as on a busy machine reading it is most of the time from Space to sound.
        r.pictureShown = rate_ > 0 && frameExact_ && !frame_.picture.isNull() && frame_.time == time_;
        r.pressed = pressed;
        firstOwed_ = pressed && !r.pictureShown;
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
    frameExact_ = false;
    item_ = std::move(item);
    opening_ = 0;
    file_.clear();
    time_ = 0;
    restart(rate_ != 0 ? Reading::playback : Reading::picture);
    frame_ = PlayerFrame{};
    emit frameChanged();
    if (rate_ != 0 && (!item_ || status_ != Status::playing)) setStatus(Status::waitingToPlay);
    emit timeChanged(time_);
}

void Player::replaceItem(std::shared_ptr<const PlayerItem> item, double seconds) {
    item_ = std::move(item);
    opening_ = 0;
    file_.clear();
    frameExact_ = false; // the picture up may be one the edit changed
    time_ = clamped(seconds);
    restart(rate_ != 0 ? Reading::playback : Reading::picture, 0, 0, true);
    if (rate_ != 0 && !item_) setStatus(Status::waitingToPlay);
    emit timeChanged(time_);
}

void Player::setFile(std::filesystem::path file) {
    frameExact_ = false;
    item_.reset();
    file_ = std::move(file);
    static std::uint64_t openings = 0;
    opening_ = ++openings;
    time_ = 0;
    restart(Reading::nothing);
    frame_ = PlayerFrame{};
    emit frameChanged();
    if (rate_ != 0) setStatus(Status::waitingToPlay);
    emit timeChanged(time_);
}

void Player::fileOpened(std::uint64_t opening, std::shared_ptr<const PlayerItem> item) {
    // A newer item or file came meanwhile.
    if (opening != opening_ || item_) return;
    item_ = std::move(item);
    opening_ = 0;
    file_.clear();
    // Seeks made while it was read stand, within the item.
    time_ = clamped(time_);
    restart(rate_ != 0 ? Reading::playback : Reading::picture);
    emit itemChanged();
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
    const double before = rate_;
    rate_ = rate;
    if (rate == 0) {
        // Stopped, the playhead stands on the picture it was showing: the start of its frame, and that
        // very picture on screen (the one up may be a frame or more behind the clock), read again if it
        // was decoded while catching up.
        if (before != 0) time_ = frameStart(time_);
        const bool shown = frame_.time == time_ && !frame_.picture.isNull() && frameExact_;
        restart(before != 0 && !shown ? Reading::picture : Reading::nothing);
        setStatus(Status::paused);
    } else {
        restart(Reading::playback, 0, 0, false, before == 0);
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

void Player::present(PixelBuffer picture, double time, bool exact, double clock) {
    frame_ = PlayerFrame{std::move(picture), time, clock};
    frameExact_ = exact;
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
    if (auto f = renderer_->takeDue(generation_, std::nullopt, 1, 0, 0, passed); f && !f->end)
        present(std::move(f->picture), f->time, f->exact);
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
        shownAt_ = time_;
        if (status_ != Status::playing) setStatus(Status::playing);
    }
    const double now = clockTime();
    if (const std::uint64_t losses = output_->deviceLosses(); losses != soundLosses_) {
        soundLosses_ = losses;
        soundMissing_ = true;
        emit soundLost();
    } else if (soundMissing_ && output_->playsOnDevice()) {
        soundMissing_ = false;
        emit soundRestored();
    }
    renderer_->setClock(now);
    std::int64_t passed = 0;
    // A picture goes up within a frame of its sound, or once the one on screen has stood still too long.
    const double frame = item_->frameDuration().toSeconds() * std::abs(rate_);
    const double stillFor = direction * (now - shownAt_) / std::abs(rate_);
    auto f = renderer_->takeDue(generation_, now, direction, frame, stillFor, passed, firstOwed_);
    dropped_ += passed;
    if (f) {
        if (f->end) {
            finish(f->due);
            return;
        }
        shownAt_ = now;
        firstOwed_ = false;
        present(std::move(f->picture), f->time, f->exact, now);
    }
    // The sound (or the clock) has reached the end before reading queued it, as reading may be deep in a
    // picture of footage far heavier than the machine: the play stops there, with the picture at the end
    // read if it is not the one up.
    if (direction > 0 ? now >= item_->duration() - detail::PlayerRenderer::endSlack
                      : now <= detail::PlayerRenderer::endSlack) {
        const double end = direction > 0 ? item_->duration() : 0;
        const double last =
            direction > 0 ? frameStart(std::max(0.0, end - item_->frameDuration().toSeconds() / 2)) : 0;
        finish(end, !(frameExact_ && !frame_.picture.isNull() && frame_.time == last));
        return;
    }
    if (Clock::now() - lastTimeSignal_ >= kTimeSignalInterval) {
        lastTimeSignal_ = Clock::now();
        emit timeChanged(now);
    }
}

void Player::finish(double at, bool readsPicture) {
    time_ = clamped(at);
    rate_ = 0;
    restart(readsPicture ? Reading::picture : Reading::nothing);
    setStatus(Status::paused);
    emit timeChanged(time_);
}

} // namespace osterveil::media
