#include "App/MediaFileWatch.hpp"

#include <QFileInfo>
#include <algorithm>
#include <vector>

namespace osterveil {

namespace {

std::optional<FileStamp> stampOf(const QString& path) {
    return FileStamp::of(QFile::encodeName(path).toStdString());
}

// The same file or folder, whatever its size and time; or nothing at both.
bool sameFile(const std::optional<FileStamp>& a, const std::optional<FileStamp>& b) {
    if (!a || !b) return !a && !b;
    return a->device == b->device && a->inode == b->inode;
}

// The folder of `path`, or the nearest one above it that exists: a whole folder may go and come back
// (a drive unplugged and plugged in again). `known` keeps the answers of one pass over many paths,
// which mostly share a few folders.
QString folderOf(const QString& path, QHash<QString, QString>* known) {
    const QString parent = QFileInfo(path).absolutePath();
    if (known)
        if (const auto found = known->constFind(parent); found != known->cend()) return *found;
    QString folder = parent;
    while (!QFileInfo(folder).isDir()) {
        const QString up = QFileInfo(folder).absolutePath();
        if (up == folder) break;
        folder = up;
    }
    if (known) known->insert(parent, folder);
    return folder;
}

} // namespace

MediaFileWatch::MediaFileWatch(std::chrono::milliseconds settleDelay, QObject* parent)
    : QObject(parent), settleDelay_(settleDelay), clock_([] { return std::chrono::steady_clock::now(); }) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &MediaFileWatch::settleDue);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, &MediaFileWatch::noticed);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &MediaFileWatch::noticed);
    mounts_.setFileName(QStringLiteral("/proc/self/mountinfo"));
    if (mounts_.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        mountsNotifier_ = std::make_unique<QSocketNotifier>(mounts_.handle(), QSocketNotifier::Exception);
        connect(mountsNotifier_.get(), &QSocketNotifier::activated, this, &MediaFileWatch::mountsChanged);
    }
}

void MediaFileWatch::watch(const QSet<QString>& paths) {
    std::vector<QString> gone;
    for (const auto& entry : paths_)
        if (!paths.contains(entry.first)) gone.push_back(entry.first);
    for (const QString& path : gone)
        forget(path);
    QHash<QString, QString> folders;
    for (const QString& path : paths)
        if (!paths_.contains(path)) {
            paths_.try_emplace(path);
            follow(path, false, &folders);
        }
    arm();
}

void MediaFileWatch::setClock(Clock clock) {
    clock_ = std::move(clock);
    arm();
}

void MediaFileWatch::settleDue() {
    const auto now = clock_();
    bool any = false;
    for (auto it = changing_.begin(); it != changing_.end();) {
        if (it->second.due > now) {
            ++it;
            continue;
        }
        std::optional<FileStamp> stamp = stampOf(it->first);
        if (stamp != it->second.stamp) {
            // Written to without a notice (they come together), or replaced: it waits again.
            if (!sameFile(stamp, it->second.stamp)) follow(it->first);
            it->second = Change{std::move(stamp), now + settleDelay_};
            ++it;
            continue;
        }
        settled_.insert_or_assign(it->first, std::move(it->second.stamp));
        it = changing_.erase(it);
        any = true;
    }
    arm();
    if (any) emit settled();
}

std::optional<std::optional<FileStamp>> MediaFileWatch::changing(const QString& path) const {
    const auto found = changing_.find(path);
    if (found == changing_.end()) return std::nullopt;
    return found->second.stamp;
}

void MediaFileWatch::noticed(const QString& path) {
    if (paths_.contains(path)) {
        // The notice may be the watch's last (the file was deleted, or another renamed over it), and a
        // file put back at once may reuse the inode number: the watch is made again, on what is there.
        follow(path, true);
        changed(path);
    }
    if (folders_.contains(path)) folderChanged(path);
}

bool MediaFileWatch::follow(const QString& path, bool again, QHash<QString, QString>* folders) {
    const auto found = paths_.find(path);
    if (found == paths_.end()) return false;
    Watched& watched = found->second;
    const bool moved = rewatch(path, watched, again);
    // A file that is there is in its own folder; the walk up is for one that is not.
    if (watched.parent.isEmpty()) watched.parent = QFileInfo(path).absolutePath();
    moveToFolder(path, watched.as ? watched.parent : folderOf(path, folders));
    return moved;
}

bool MediaFileWatch::rewatch(const QString& path, Watched& watched, bool again) {
    std::optional<FileStamp> now = stampOf(path);
    const bool moved = !sameFile(now, watched.as);
    if (!moved && !again) return false;
    // A file deleted or renamed over while something holds it open keeps the watch until it is closed.
    if (watched.as) watcher_.removePath(path);
    watched.watching = now && watcher_.addPath(path);
    watched.as = std::move(now);
    return moved;
}

void MediaFileWatch::folderChanged(const QString& folder) {
    const auto found = folders_.find(folder);
    rewatch(folder, found->second, true);
    // A file that is there and watched tells of its own going or replacement; the folder tells of
    // the others coming. Looking may move a path to another folder, so they are gathered first.
    std::vector<QString> unwatched;
    for (const QString& path : found->second.paths)
        if (const Watched& watched = paths_.at(path); !watched.watching) unwatched.push_back(path);
    for (const QString& path : unwatched)
        if (follow(path)) changed(path);
}

void MediaFileWatch::mountsChanged() {
    // A folder with a drive mounted over it, or taken off it, is another folder at the same path.
    for (auto& [folder, watching] : folders_)
        rewatch(folder, watching, false);
    std::vector<QString> paths;
    for (const auto& entry : paths_)
        paths.push_back(entry.first);
    for (const QString& path : paths)
        if (follow(path)) changed(path);
}

void MediaFileWatch::moveToFolder(const QString& path, const QString& folder) {
    Watched& watched = paths_.at(path);
    if (watched.folder == folder) return;
    if (!watched.folder.isEmpty()) leaveFolder(path, watched.folder);
    watched.folder = folder;
    Watched& watching = folders_[folder];
    if (watching.paths.empty()) rewatch(folder, watching, true);
    watching.paths.insert(path);
}

void MediaFileWatch::leaveFolder(const QString& path, const QString& folder) {
    const auto found = folders_.find(folder);
    if (found == folders_.end()) return;
    found->second.paths.erase(path);
    if (!found->second.paths.empty()) return;
    if (found->second.as) watcher_.removePath(folder);
    folders_.erase(found);
}

void MediaFileWatch::forget(const QString& path) {
    const auto found = paths_.find(path);
    if (found == paths_.end()) return;
    if (found->second.as) watcher_.removePath(path);
    leaveFolder(path, found->second.folder);
    paths_.erase(found);
    changing_.erase(path);
    settled_.erase(path);
}

void MediaFileWatch::changed(const QString& path) {
    std::optional<FileStamp> stamp = stampOf(path);
    // A late notice of a change already reported changes nothing.
    if (!changing_.contains(path)) {
        const auto reported = settled_.find(path);
        if (reported != settled_.end() && reported->second == stamp) return;
    }
    changing_.insert_or_assign(path, Change{std::move(stamp), clock_() + settleDelay_});
    arm();
}

void MediaFileWatch::arm() {
    if (changing_.empty()) {
        timer_.stop();
        return;
    }
    const auto first = std::min_element(changing_.begin(), changing_.end(), [](const auto& a, const auto& b) {
        return a.second.due < b.second.due;
    });
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->second.due - clock_());
    timer_.start(std::max(wait, std::chrono::milliseconds(0)));
}

} // namespace osterveil
