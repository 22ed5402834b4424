#include "App/RebuildScheduler.hpp"

namespace osterveil {

RebuildScheduler::RebuildScheduler(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (!pending_) return;
        RebuildRequest request = std::move(*pending_);
        pending_.reset();
        emit due(request);
    });
}

void RebuildScheduler::schedule(RebuildRequest request, std::chrono::milliseconds delay, bool throttled) {
    // The same project already due sooner keeps its turn: a gesture's commit asks for an immediate
    // build, and the document's change notice for its last step arrives just after with the usual wait.
    if (pending_ && timer_.isActive() && timer_.remainingTimeAsDuration() <= delay &&
        pending_->project == request.project && pending_->projectURL == request.projectURL &&
        pending_->scale == request.scale)
        return;
    token_ = Uuid::make();
    request.token = token_;
    request.serial = ++serial_;
    const bool waiting = pending_ && timer_.isActive() && timer_.intervalAsDuration() == delay;
    pending_ = std::move(request);
    if (throttled && waiting) return;
    timer_.stop();
    // A zero wait still goes through the event loop, after the caller's own work is done.
    timer_.start(delay);
}

void RebuildScheduler::fireNow() {
    if (!pending_) return;
    timer_.stop();
    RebuildRequest request = std::move(*pending_);
    pending_.reset();
    emit due(request);
}

} // namespace osterveil
