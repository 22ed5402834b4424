#include <cmath>

#include "App/EditorModel.hpp"

namespace osterveil {

namespace {

double finiteSeconds(const media::Time& time) {
    const double s = time.toSeconds();
    return std::isfinite(s) ? s : 0;
}

} // namespace

// The players report on the GUI thread, possibly from inside a call the model is making on them;
// their reports are taken a moment later, in order, each reading the model as it is by then.
void EditorModel::installPlaybackObservers() {
    timeObserver_ = connect(
        player_.get(), &PlayerControl::timeChanged, this,
        [this](const media::Time& time) {
            if (!isScrubbing_) setCurrentTime(finiteSeconds(time));
        },
        Qt::QueuedConnection);
    statusObserver_ = connect(
        player_.get(), &PlayerControl::statusChanged, this,
        [this](PlayerControl::Status status, float rate) {
            const bool playing = status == PlayerControl::Status::playing;
            setPlaying(playing);
            // The player stopped by itself (the end of its item): the shuttle stops with it.
            if (monitorFocus_ == MonitorFocus::program && !playing && rate == 0) setShuttle(0);
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
            if (monitorFocus_ == MonitorFocus::source && !playing && rate == 0) setShuttle(0);
        },
        Qt::QueuedConnection);
}

} // namespace osterveil
