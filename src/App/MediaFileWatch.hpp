#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "App/ProjectDocument.hpp"

namespace osterveil {

// Watches the paths of a project's media for what happens to them outside the program: a file written
// to or cut short, deleted, put back, or replaced by another renamed over it, and a folder on the way
// to it renamed, deleted, made again or mounted over. A changed path is reported once it has settled,
// that is, stayed as it was (the same file, size and modification time) for the settle delay since its
// last change: a file being copied, recorded or rendered into is reported once, when it is still. Each
// path waits for itself; one being written holds back no other.
//
// The watch looks at the files on a thread of its own, so that a path on a share that does not answer
// holds that thread and never the window's; it is not waited for when it goes, and what it has of the
// kernel's goes at once. A path that cannot be watched (the user's limit of watches reached, no
// permission to read it) is said in the log and looked at every 2 s instead.
class MediaFileWatch : public QObject {
    Q_OBJECT
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit MediaFileWatch(std::chrono::milliseconds settleDelay, QObject* parent = nullptr);
    ~MediaFileWatch() override;

    // The paths to watch from now on, whether a file is there or not; any others are no longer watched.
    void watch(const QSet<QString>& paths);

    // The clock the settle delay is measured on: the steady clock, unless a test moves its own.
    void setClock(Clock clock);
    std::chrono::steady_clock::time_point now() const;
    // Has the changed paths whose delay has passed, and that are still as they were at their last
    // change, reported; any changed since then wait again. The watch does so by itself when the
    // earliest is due.
    void settleDue();
    // What was at `path` at its latest change (none: nothing), while it waits to settle.
    std::optional<std::optional<FileStamp>> changing(const QString& path) const;
    // Runs `job` on the watch's thread once it has looked at the paths handed to it, between two of its
    // looks: a test holds the watch still with it.
    void beside(std::function<void()> job);

  signals:
    // Changed paths have settled: what they hold is to be looked at again.
    void settled();

  private:
    struct Shared;
    class Looker;
    std::shared_ptr<Shared> shared_;
};

} // namespace osterveil
