#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "Model/Project.hpp"

namespace osterveil {

// What one preview rebuild works from, all taken when it was scheduled, so the build never reads the
// document while the user goes on editing.
struct RebuildRequest {
    Project project;
    std::optional<std::filesystem::path> projectURL;
    // The sequence's preview scale, limited to 0.25…1.
    double scale = 1;
    // Identifies the request; the latest one's result ends the building.
    Uuid token;
    // Counts up with every request: a result is worth showing when it is newer than the one shown.
    std::uint64_t serial = 0;
};

// Collapses bursts of document changes into one preview rebuild. Each `schedule` supersedes the
// pending request and starts its own wait; `due` fires once that wait passes with no newer request.
// A throttled request (a gesture's live step) keeps the wait already running, so that a drag whose
// steps come faster than the wait still builds while it moves. Owned by its model, so a wait still
// running when the window closes ends with it, to no effect.
class RebuildScheduler : public QObject {
    Q_OBJECT
  public:
    explicit RebuildScheduler(QObject* parent = nullptr);

    // Draws a fresh token for the request, which becomes the current one.
    void schedule(RebuildRequest request, std::chrono::milliseconds delay, bool throttled = false);

    // Starts the pending request now rather than when its wait ends.
    void fireNow();

    // The token of the latest request (a fresh one before any was made); a build carrying another is stale.
    const Uuid& token() const { return token_; }
    bool isPending() const { return pending_.has_value(); }
    // The wait the pending request was scheduled with.
    std::chrono::milliseconds pendingDelay() const { return timer_.intervalAsDuration(); }

  signals:
    void due(const osterveil::RebuildRequest& request);

  private:
    QTimer timer_;
    std::optional<RebuildRequest> pending_;
    Uuid token_ = Uuid::make();
    std::uint64_t serial_ = 0;
};

} // namespace osterveil
