#pragma once

#include <QFile>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "App/ProjectDocument.hpp"

namespace osterveil {

// Watches the paths of a project's media for what happens to them outside the program: a file written
// to or cut short, deleted, put back, or replaced by another renamed over it. A changed path is
// reported once it has settled, that is, stayed as it was (the same file, size and modification time)
// for the settle delay since its last change: a file being copied, recorded or rendered into is
// reported once, when it is still. Each path waits for itself; one being written holds back no other.
//
// A watch on a file ends with that file, which a deletion or a rename over it ends: a path is watched
// as the file now at it, and made again at each of its notices; and its folder (or the nearest one
// above that exists) too, whose notices tell when a file comes to a path that has none. A drive
// mounted over a watched folder sends no notice there: every path is looked at again when the system's
// mounts change.
class MediaFileWatch : public QObject {
    Q_OBJECT
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit MediaFileWatch(std::chrono::milliseconds settleDelay, QObject* parent = nullptr);

    // The paths to watch from now on, whether a file is there or not; any others are no longer watched.
    void watch(const QSet<QString>& paths);

    // The clock the settle delay is measured on: the steady clock, unless a test moves its own.
    void setClock(Clock clock);
    std::chrono::steady_clock::time_point now() const { return clock_(); }
    // Reports the changed paths whose delay has passed and that are still as they were at their last
    // change; any changed since then wait again. Run by the wait's timer when the earliest is due.
    void settleDue();
    // What was at `path` at its latest change (none: nothing), while it waits to settle.
    std::optional<std::optional<FileStamp>> changing(const QString& path) const;

  signals:
    // Changed paths have settled: what they hold is to be looked at again.
    void settled();

  private:
    struct Watched {
        // What is at the path, as last looked at (none: nothing), and whether the watcher watches it.
        std::optional<FileStamp> as;
        bool watching = false;
        // The folder watched for it and its own folder (a path), or the paths it is watched for (a folder).
        QString folder;
        QString parent;
        std::set<QString> paths;
    };
    struct Change {
        std::optional<FileStamp> stamp;
        std::chrono::steady_clock::time_point due;
    };

    void noticed(const QString& path);
    // Points the watch on `path` and on its folder at what is there now, making it again when `again`;
    // true when that is not the file it watched. `folders`: the folders already looked for in this pass.
    bool follow(const QString& path, bool again = false, QHash<QString, QString>* folders = nullptr);
    bool rewatch(const QString& path, Watched& watched, bool again);
    void folderChanged(const QString& folder);
    void mountsChanged();
    void moveToFolder(const QString& path, const QString& folder);
    void leaveFolder(const QString& path, const QString& folder);
    void forget(const QString& path);
    void changed(const QString& path);
    void arm();

    const std::chrono::milliseconds settleDelay_;
    Clock clock_;
    QFileSystemWatcher watcher_;
    // The system's mount table, which tells of its changes as urgent data.
    QFile mounts_;
    std::unique_ptr<QSocketNotifier> mountsNotifier_;
    QTimer timer_;
    std::map<QString, Watched> paths_;
    std::map<QString, Watched> folders_;
    // The paths changed since they were last reported, each as it was at its latest change; and the
    // reported ones, as they were then, so that a late notice of a change already reported is let be.
    std::map<QString, Change> changing_;
    std::map<QString, std::optional<FileStamp>> settled_;
};

} // namespace osterveil
