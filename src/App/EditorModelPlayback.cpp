#include <algorithm>
#include <cmath>
#include <limits>

#include "App/EditorMeasures.hpp"
#include "App/EditorModel.hpp"
#include "Model/Numeric.hpp"

namespace osterveil {

namespace {

double finiteSeconds(const media::Time& time) {
    const double s = time.toSeconds();
    return std::isfinite(s) ? s : 0;
}

// The time of the frame `frames` away from the one nearest `time` on the grid of `rate`, never
// before 0. Times too far out for a frame count stay where they are.
double steppedTime(double time, int frames, const FrameRate& rate) {
    const double n = rate.numerator, d = rate.denominator;
    const double index = roundHalfAway(time * n / d);
    if (!std::isfinite(index) || std::abs(index) > 9.0e15) return std::isfinite(time) ? std::max(0.0, time) : 0;
    const double target = std::max(0.0, index + frames) * d / n;
    return std::isfinite(target) && target > 0 ? target : 0;
}

} // namespace

// The players report on the GUI thread, possibly from inside a call the model is making on them;
// their reports are taken a moment later, in order, each reading the model as it is by then.
void EditorModel::installPlaybackObservers() {
    timeObserver_ = connect(
        player_.get(), &PlayerControl::timeChanged, this,
        [this](const media::Time& time) {
            if (!timeline_.isScrubbing) setCurrentTime(finiteSeconds(time));
            loopIfNeeded(time.toSeconds());
        },
        Qt::QueuedConnection);
    statusObserver_ = connect(
        player_.get(), &PlayerControl::statusChanged, this,
        [this](PlayerControl::Status status, float rate) {
            const bool playing = status == PlayerControl::Status::playing;
            setPlaying(playing);
            // The player stopped by itself (the end of its item): the shuttle stops with it.
            if (transport_.monitorFocus == MonitorFocus::program && !playing && rate == 0) setShuttle(0);
        },
        Qt::QueuedConnection);
    sourceTimeObserver_ = connect(
        sourcePlayer_.get(), &PlayerControl::timeChanged, this,
        [this](const media::Time& time) { setSourceTime(finiteSeconds(time)); }, Qt::QueuedConnection);
    sourceStatusObserver_ = connect(
        sourcePlayer_.get(), &PlayerControl::statusChanged, this,
        [this](PlayerControl::Status status, float rate) {
            const bool playing = status == PlayerControl::Status::playing;
            setSourcePlaying(playing);
            if (transport_.monitorFocus == MonitorFocus::source && !playing && rate == 0) setShuttle(0);
        },
        Qt::QueuedConnection);
    static const QString soundLostText =
        QStringLiteral("The sound device stopped responding. Playing on without sound.");
    for (PlayerControl* p : {player_.get(), sourcePlayer_.get()}) {
        connect(p, &PlayerControl::soundLost, this, [this] { setStatus(soundLostText); });
        connect(p, &PlayerControl::soundRestored, this, [this] {
            if (window_.status == soundLostText) setStatus(QString());
        });
    }
}

void EditorModel::seekProgram(double seconds, bool tolerant) {
    // A ruler drag looks this far either side for a picture that is quick to show.
    static const media::Time scrubTolerance(48, 600);
    const FrameRate rate = project().sequence.frameRate;
    const double t = steppedTime(std::isfinite(seconds) ? std::max(0.0, seconds) : 0, 0, rate);
    setCurrentTime(t);
    const media::Time tolerance = tolerant ? scrubTolerance : media::Time::zero();
    player_->seek(CompositionBuilder::mediaTime(t), tolerance, tolerance);
}

void EditorModel::seekSource(double seconds) {
    const double t = std::isfinite(seconds) ? std::max(0.0, seconds) : 0;
    setSourceTime(t);
    sourcePlayer_->seek(CompositionBuilder::mediaTime(t));
}

void EditorModel::setProgramVolume(double volume) {
    if (volume == transport_.playerVolume) return;
    setPlayerVolume(volume);
    player_->setVolume(static_cast<float>(volume));
}

void EditorModel::focusMonitor(MonitorFocus focus) {
    if (focus == transport_.monitorFocus) return;
    setShuttle(0);
    (focus == MonitorFocus::source ? *player_ : *sourcePlayer_).pause();
    setMonitorFocus(focus);
}

void EditorModel::togglePlayback() {
    PlayerControl& focused = focusedPlayer();
    if (focused.status() != PlayerControl::Status::playing && transport_.shuttle == 0) {
        setShuttle(1);
        focused.play();
    } else {
        setShuttle(0);
        focused.pause();
    }
}

void EditorModel::shuttleForward() {
    setShuttle(transport_.shuttle >= 1 ? std::min(8, 2 * transport_.shuttle) : 1);
    focusedPlayer().setRate(static_cast<float>(transport_.shuttle));
}

void EditorModel::shuttleReverse() {
    setShuttle(transport_.shuttle < 0 ? std::max(-8, 2 * transport_.shuttle) : -1);
    focusedPlayer().setRate(static_cast<float>(transport_.shuttle));
}

void EditorModel::shuttleStop() {
    setShuttle(0);
    focusedPlayer().pause();
}

void EditorModel::step(int frames) {
    const MonitorFocus focus = transport_.monitorFocus;
    shuttleStop();
    if (focus == MonitorFocus::source) {
        stepSource(frames);
        return;
    }
    const double target = steppedTime(transport_.currentTime, frames, project().sequence.frameRate);
    setCurrentTime(target);
    player_->seek(CompositionBuilder::mediaTime(target));
}

void EditorModel::stepSource(int frames) {
    const auto item = sourceItem();
    const FrameRate rate = item && item->nominalFrameRate > 1.0 ? FrameRate::closest(item->nominalFrameRate)
                                                                 : project().sequence.frameRate;
    const double target = steppedTime(transport_.sourceTime, frames, rate);
    setSourceTime(target);
    sourcePlayer_->seek(CompositionBuilder::mediaTime(target));
}

void EditorModel::jumpToEdit(bool forward) {
    const Sequence sequence = project().sequence;
    const double half = EditorMeasures::halfFrame(sequence.frameRate);
    std::vector<double> edges;
    for (const auto& track : sequence.tracks)
        for (const auto& clip : track.clips) {
            edges.push_back(clip.start);
            edges.push_back(clip.start + clip.duration);
        }
    std::stable_sort(edges.begin(), edges.end());
    double point = forward ? sequence.duration() : 0;
    if (forward) {
        const auto it = std::upper_bound(edges.begin(), edges.end(), transport_.currentTime + half);
        if (it != edges.end()) point = *it;
    } else {
        const auto it = std::lower_bound(edges.begin(), edges.end(), transport_.currentTime - half);
        if (it != edges.begin()) point = *std::prev(it);
    }
    const double target = std::max(0.0, point);
    setCurrentTime(target);
    player_->seek(CompositionBuilder::mediaTime(target));
}

void EditorModel::loopIfNeeded(double time) {
    if (!transport_.loopPlayback) return;
    const Sequence sequence = project().sequence;
    if (!sequence.outPoint) return;
    const double out = *sequence.outPoint;
    const double in = std::max(0.0, sequence.inPoint.value_or(0));
    // Marks set the wrong way round or a frame apart leave no room to play: looping would pin the
    // playhead at In, seeking on every tick. Play on as if the loop were off.
    if (!(in < out - EditorMeasures::loopMargin)) return;
    if (time < out - EditorMeasures::loopMargin) return;
    setCurrentTime(in);
    player_->seek(CompositionBuilder::mediaTime(in));
    if (transport_.shuttle < 0) return;
    player_->setRate(transport_.shuttle == 0 ? 1.0f : static_cast<float>(transport_.shuttle));
}

QString EditorModel::shuttleLabel() const {
    if (transport_.shuttle != 0) return QString::number(transport_.shuttle) + QChar(0x00D7);
    return transport_.isPlaying ? QStringLiteral("Play") : QStringLiteral("Stopped");
}

std::optional<MediaItem> EditorModel::sourceItem() const {
    if (!transport_.sourceMediaID) return std::nullopt;
    const Project current = project();
    for (const auto& item : current.media)
        if (item.id == *transport_.sourceMediaID) return item;
    return std::nullopt;
}

double EditorModel::sourceDuration() const {
    const auto item = sourceItem();
    if (!item || item->kind == MediaKind::image) return 0;
    return item->duration;
}

void EditorModel::openInSource(const Uuid& id) {
    setSelectedMediaID(id);
    setSourceMediaID(id);
    setSourceIn(std::nullopt);
    setSourceOut(std::nullopt);
    focusMonitor(MonitorFocus::source);
    setSourceTime(0);
    const auto item = sourceItem();
    const auto url = item && item->kind != MediaKind::image ? item->resolveURL(projectURL_) : std::nullopt;
    if (!url) {
        sourcePlayer_->setItem(std::nullopt);
        return;
    }
    sourcePlayer_->setItem(PlayerItem::mediaFile(*url));
    sourcePlayer_->seek(media::Time::zero());
}

} // namespace osterveil
