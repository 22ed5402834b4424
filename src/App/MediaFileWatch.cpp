#include "App/MediaFileWatch.hpp"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "Platform/Foundation/FileNotices.hpp"
#include "Platform/Foundation/Log.hpp"

namespace osterveil {

namespace {

using TimePoint = std::chrono::steady_clock::time_point;

// The same file or folder, whatever its size and time; or nothing at both.
bool sameFile(const std::optional<FileStamp>& a, const std::optional<FileStamp>& b) {
    if (!a || !b) return !a && !b;
    return a->device == b->device && a->inode == b->inode;
}

// A path as the watch keeps it: absolute, with no separator at its end. A ".." in it stays, since only
// the system knows where it leads past a link.
std::string keyOf(const std::string& path) {
    std::filesystem::path p(path);
    if (p.is_relative()) {
        std::error_code error;
        p = std::filesystem::absolute(p, error);
    }
    std::string key = p.string();
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return key;
}

std::string within(const std::string& folder, const std::string& name) {
    return folder == "/" ? folder + name : folder + '/' + name;
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The paths the system passes through to reach `key`, as it resolves it: each folder on the way, and,
// where one is a symbolic link, the link and then the paths on the way to where it points.
std::vector<std::string> wayTo(const std::string& key) {
    // As many links as the system follows in one path.
    constexpr int mostLinks = 40;
    const auto partsOf = [](const std::string& path) {
        std::deque<std::string> parts;
        for (std::size_t from = 0; from < path.size();) {
            std::size_t slash = path.find('/', from);
            if (slash == std::string::npos) slash = path.size();
            if (slash > from) parts.push_back(path.substr(from, slash - from));
            from = slash + 1;
        }
        return parts;
    };
    std::vector<std::string> way{"/"};
    std::deque<std::string> rest = partsOf(key);
    std::string at = "/";
    int links = 0;
    while (!rest.empty()) {
        const std::string part = std::move(rest.front());
        rest.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            at = parentOf(at);
            continue;
        }
        std::string next = within(at, part);
        way.push_back(next);
        struct stat link;
        if (links < mostLinks && ::lstat(next.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            std::string target(PATH_MAX, '\0');
            const ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
            if (length > 0) {
                ++links;
                target.resize(std::size_t(length));
                std::deque<std::string> more = partsOf(target);
                rest.insert(rest.begin(), more.begin(), more.end());
                if (target.front() == '/') at = "/";
                continue;
            }
        }
        at = std::move(next);
    }
    return way;
}

// The folders whose entries lead along `way`.
std::vector<std::string> foldersAlong(const std::vector<std::string>& way) {
    std::set<std::string> folders;
    for (const std::string& path : way)
        if (path != "/") folders.insert(parentOf(path));
    return {folders.begin(), folders.end()};
}

// Why a path cannot be watched, in words.
std::string whyUnwatchable(int error) {
    switch (error) {
    case ENOSPC: return "the system's limit of watches is reached";
    case EMFILE: return "the system's limit of file notice instances is reached";
    default: return std::strerror(error);
    }
}

} // namespace

// What the window's side and the watch's thread share; the thread holds it as long as it runs.
struct MediaFileWatch::Shared {
    struct Change {
        std::optional<FileStamp> stamp;
        TimePoint due;
    };

    Shared() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    bool isStopped() {
        std::lock_guard lock(mutex);
        return stopped;
    }
    ~Shared() {
        if (wake >= 0) ::close(wake);
    }
    TimePoint now() {
        Clock current;
        {
            std::lock_guard lock(mutex);
            current = clock;
        }
        return current();
    }
    void poke() {
        const std::uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
    }

    std::mutex mutex;
    // Under `mutex`: what the window hands over, and what it reads back.
    Clock clock = [] { return std::chrono::steady_clock::now(); };
    QPointer<MediaFileWatch> owner;
    bool stopped = false;
    bool lookNow = false;
    std::optional<std::vector<std::string>> paths;
    std::vector<std::function<void()>> jobs;
    // The paths changed since they were last reported, each as it was at its latest change. Written only
    // by the watch's thread, under `mutex`.
    std::map<std::string, Change> changing;
    // Written to wake the watch's thread.
    const int wake;
    // Used by the watch's thread; let go by the window's side as it goes, however long that thread is held.
    FileNotices notices;
};

// The watch's thread. Each path is watched as the file now at it, and so is every folder on the way
// to it, links followed: a file's watch tells of its content changing and its going, a folder's of an
// entry on the way to a path coming, going or renamed, whichever folder it is. Any such notice looks
// again at the paths it may concern, and a path is watched as what is at it then. A drive mounted over
// a folder sends no notice: every path is looked at again when the system's mounts change. Notices
// lost (the kernel's queue full) look at every path again; a path whose file or folders cannot be
// watched is said in the log and looked at every `pollEvery`.
class MediaFileWatch::Looker {
  public:
    Looker(std::shared_ptr<Shared> shared, std::chrono::milliseconds settleDelay)
        : shared_(std::move(shared)), settleDelay_(settleDelay), notices_(shared_->notices),
          mounts_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}
    ~Looker() {
        if (mounts_ >= 0) ::close(mounts_);
    }
    Looker(const Looker&) = delete;
    Looker& operator=(const Looker&) = delete;

    void run() {
        pthread_setname_np(pthread_self(), "media watch");
        for (;;) {
            std::optional<std::vector<std::string>> paths;
            std::vector<std::function<void()>> jobs;
            bool asked = false;
            {
                std::lock_guard lock(shared_->mutex);
                if (shared_->stopped) return;
                paths = std::exchange(shared_->paths, std::nullopt);
                jobs.swap(shared_->jobs);
                asked = std::exchange(shared_->lookNow, false);
            }
            if (paths) watch(*paths);
            for (const auto& job : jobs)
                job();
            if (!polled_.empty() && std::chrono::steady_clock::now() >= nextPoll_) {
                lookAgain(std::set<std::string>(polled_), {}); // a look may take a path off it
                nextPoll_ = std::chrono::steady_clock::now() + pollEvery;
            }
            const std::optional<TimePoint> due = earliestDue();
            if (asked || (due && *due <= shared_->now())) settleDue();
            wait();
        }
    }

  private:
    // How often a path that cannot be watched is looked at.
    static constexpr std::chrono::seconds pollEvery{2};

    struct Place {
        // What is at the path, as last looked at (none: nothing), and the watch on it.
        std::optional<FileStamp> as;
        int watch = -1;
        // As last followed: the paths on its way, and the folders watched for them.
        std::vector<std::string> way;
        std::vector<std::string> folders;
    };
    struct Folder {
        int watch = -1;
        // The paths it is on the way to.
        int paths = 0;
        bool unwatchable = false;
    };
    using Keys = std::unordered_map<int, std::vector<std::string>>;

    // Until a notice, a mount, a word from the window, the earliest settle or the next poll comes.
    void wait() {
        using std::chrono::milliseconds;
        milliseconds timeout = milliseconds::max();
        if (const std::optional<TimePoint> due = earliestDue())
            timeout = std::chrono::ceil<milliseconds>(*due - shared_->now());
        if (!polled_.empty())
            timeout = std::min(timeout,
                               std::chrono::ceil<milliseconds>(nextPoll_ - std::chrono::steady_clock::now()));
        const int wait = timeout == milliseconds::max()
                             ? -1
                             : int(std::clamp<milliseconds::rep>(timeout.count(), 0, INT_MAX));
        pollfd fds[3] = {
            {shared_->wake, POLLIN, 0}, {notices_.descriptor(), POLLIN, 0}, {mounts_, POLLPRI, 0}};
        if (::poll(fds, 3, wait) <= 0) return;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            (void)!::read(shared_->wake, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN) noticed(notices_.take());
        // A folder with a drive mounted over it, or taken off it, is another folder at the same path.
        if (fds[2].revents & (POLLPRI | POLLERR)) lookAgain(allPaths(), {});
    }

    void watch(const std::vector<std::string>& given) {
        std::set<std::string> wanted;
        for (const std::string& path : given)
            wanted.insert(keyOf(path));
        std::vector<std::string> gone;
        for (const auto& entry : places_)
            if (!wanted.contains(entry.first)) gone.push_back(entry.first);
        for (const std::string& key : gone)
            forget(key);
        std::set<std::string> looked;
        for (const std::string& key : wanted)
            if (places_.try_emplace(key).second) follow(key, looked);
    }

    void forget(const std::string& key) {
        const auto found = places_.find(key);
        bind(placesOn_, key, found->second.watch, -1);
        route(key, found->second, {}, {});
        places_.erase(found);
        polled_.erase(key);
        settled_.erase(key);
        std::lock_guard lock(shared_->mutex);
        shared_->changing.erase(key);
    }

    void noticed(const std::vector<FileNotices::Notice>& notices) {
        // The paths a file's own notice is about, which have changed whatever is at them now; and the
        // entries of folders that changed, on whose way the paths are looked at again.
        std::set<std::string> files;
        std::set<std::string> entries;
        bool lost = false;
        for (const FileNotices::Notice& notice : notices) {
            if (notice.watch < 0) {
                lost = true;
                continue;
            }
            if (const auto on = foldersOn_.find(notice.watch); on != foldersOn_.end())
                for (const std::string& folder : on->second)
                    entries.insert(notice.self ? folder : within(folder, notice.name));
            if (const auto on = placesOn_.find(notice.watch); on != placesOn_.end() && notice.self)
                files.insert(on->second.begin(), on->second.end());
            // Ended by the kernel: what was watched with it is looked at again, and watched afresh.
            if (notice.ended) {
                unbindEnded(placesOn_, notice.watch,
                            [this](const std::string& key) { places_.at(key).watch = -1; });
                unbindEnded(foldersOn_, notice.watch,
                            [this](const std::string& key) { folders_.at(key).watch = -1; });
            }
        }
        if (lost) return lookAgain(allPaths(), files);
        std::set<std::string> paths = files;
        for (const std::string& entry : entries)
            if (const auto through = ways_.find(entry); through != ways_.end())
                paths.insert(through->second.begin(), through->second.end());
        lookAgain(paths, files);
    }

    template <class Clear> void unbindEnded(Keys& on, int watch, Clear clear) {
        const auto found = on.find(watch);
        if (found == on.end()) return;
        for (const std::string& key : found->second)
            clear(key);
        on.erase(found);
    }

    std::set<std::string> allPaths() const {
        std::set<std::string> all;
        for (const auto& entry : places_)
            all.insert(entry.first);
        return all;
    }

    // Follows each path to what is at it now; those that are not as they were when last looked at, and
    // those among `changedFiles`, have changed.
    void lookAgain(const std::set<std::string>& paths, const std::set<std::string>& changedFiles) {
        std::set<std::string> looked;
        for (const std::string& key : paths)
            if (follow(key, looked) || changedFiles.contains(key)) changed(key);
    }

    // Points the watches on `key` and on the folders on its way at what is there now; true when that is
    // not the file it watched, or not as it was. `looked`: the folders already looked at in this pass.
    bool follow(const std::string& key, std::set<std::string>& looked) {
        Place& place = places_.at(key);
        std::vector<std::string> way = wayTo(key);
        std::sort(way.begin(), way.end());
        way.erase(std::unique(way.begin(), way.end()), way.end());
        std::vector<std::string> folders = foldersAlong(way);
        route(key, place, std::move(way), std::move(folders));
        // The folders first, then the file: whatever comes after a watch is made sends its notice.
        bool unwatchable = false;
        for (const std::string& name : place.folders) {
            Folder& folder = folders_.at(name);
            if (looked.insert(name).second) {
                const FileNotices::Watched made = notices_.watch(name, FileNotices::Kind::folder);
                bind(foldersOn_, name, folder.watch, made.watch);
                folder.unwatchable = made.unwatchable();
                said(name, made);
            }
            unwatchable = unwatchable || folder.unwatchable;
        }
        const FileNotices::Watched made = notices_.watch(key, FileNotices::Kind::file);
        said(key, made);
        if (unwatchable || made.unwatchable()) {
            if (polled_.insert(key).second && polled_.size() == 1)
                nextPoll_ = std::chrono::steady_clock::now() + pollEvery;
        } else {
            polled_.erase(key);
        }
        std::optional<FileStamp> now = FileStamp::of(key);
        // Another watch is another file, even one with the inode number of a file deleted just before.
        const bool changed = now != place.as || (made.watch >= 0 && made.watch != place.watch);
        bind(placesOn_, key, place.watch, made.watch);
        place.as = std::move(now);
        return changed;
    }

    // `key` goes along `way` from now on, through `folders`; a folder on the way to no path any more is
    // no longer watched.
    void route(const std::string& key, Place& place, std::vector<std::string> way,
               std::vector<std::string> folders) {
        if (way != place.way) {
            for (const std::string& path : place.way) {
                const auto through = ways_.find(path);
                through->second.erase(key);
                if (through->second.empty()) ways_.erase(through);
            }
            for (const std::string& path : way)
                ways_[path].insert(key);
            place.way = std::move(way);
        }
        if (folders == place.folders) return;
        for (const std::string& name : folders)
            ++folders_[name].paths;
        for (const std::string& name : place.folders) {
            const auto f = folders_.find(name);
            if (--f->second.paths > 0) continue;
            bind(foldersOn_, name, f->second.watch, -1);
            folders_.erase(f);
        }
        place.folders = std::move(folders);
    }

    // A path that cannot be watched is said in the log once, until it can be again.
    void said(const std::string& path, const FileNotices::Watched& made) {
        if (!made.unwatchable()) {
            unwatchable_.erase(path);
            return;
        }
        if (!unwatchable_.insert(path).second || shared_->isStopped()) return;
        Log::watch().error(path + " cannot be watched for changes (" + whyUnwatchable(made.error) +
                           "): it is looked at every " + std::to_string(pollEvery.count()) + " s instead.");
    }

    // `key`, watched with `current`, is watched with `watch` from now on; a watch nothing needs any more
    // is taken off.
    void bind(Keys& on, const std::string& key, int& current, int watch) {
        if (current == watch) return;
        if (const int old = std::exchange(current, watch); old >= 0) {
            const auto found = on.find(old);
            if (found != on.end()) {
                std::erase(found->second, key);
                if (found->second.empty()) on.erase(found);
            }
            if (!placesOn_.contains(old) && !foldersOn_.contains(old)) notices_.unwatch(old);
        }
        if (watch >= 0) on[watch].push_back(key);
    }

    void changed(const std::string& key) {
        std::optional<FileStamp> stamp = FileStamp::of(key);
        // A late notice of a change already seen, or already reported, changes nothing.
        if (const auto waiting = shared_->changing.find(key); waiting != shared_->changing.end()) {
            if (waiting->second.stamp == stamp) return;
        } else if (const auto reported = settled_.find(key);
                   reported != settled_.end() && reported->second == stamp) {
            return;
        }
        const TimePoint due = shared_->now() + settleDelay_;
        std::lock_guard lock(shared_->mutex);
        shared_->changing.insert_or_assign(key, Shared::Change{std::move(stamp), due});
    }

    std::optional<TimePoint> earliestDue() const {
        const auto& changing = shared_->changing;
        const auto first =
            std::min_element(changing.begin(), changing.end(),
                             [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
        if (first == changing.end()) return std::nullopt;
        return first->second.due;
    }

    // Reports the changed paths whose delay has passed and that are still as they were at their last
    // change; any changed since then wait again.
    void settleDue() {
        const TimePoint now = shared_->now();
        std::vector<std::string> due;
        for (const auto& [key, change] : shared_->changing)
            if (change.due <= now) due.push_back(key);
        bool any = false;
        for (const std::string& key : due) {
            std::optional<FileStamp> stamp = FileStamp::of(key);
            const std::optional<FileStamp> before = shared_->changing.at(key).stamp;
            if (stamp != before) {
                // Written to without a notice (they come together), or replaced: it waits again.
                if (!sameFile(stamp, before)) {
                    std::set<std::string> looked;
                    follow(key, looked);
                }
                std::lock_guard lock(shared_->mutex);
                shared_->changing.insert_or_assign(key, Shared::Change{std::move(stamp), now + settleDelay_});
                continue;
            }
            settled_.insert_or_assign(key, std::move(stamp));
            std::lock_guard lock(shared_->mutex);
            shared_->changing.erase(key);
            any = true;
        }
        if (any) report();
    }

    void report() {
        std::lock_guard lock(shared_->mutex);
        QCoreApplication* app = QCoreApplication::instance();
        if (shared_->stopped || !app) return;
        QMetaObject::invokeMethod(
            app,
            [owner = shared_->owner] {
                if (owner) emit owner->settled();
            },
            Qt::QueuedConnection);
    }

    const std::shared_ptr<Shared> shared_;
    const std::chrono::milliseconds settleDelay_;
    FileNotices& notices_;
    // The system's mount table, which tells of its changes as urgent data.
    const int mounts_;
    std::map<std::string, Place> places_;
    std::map<std::string, Folder> folders_;
    // The paths and the folders on each watch.
    Keys placesOn_;
    Keys foldersOn_;
    // The paths whose way goes through each path.
    std::unordered_map<std::string, std::set<std::string>> ways_;
    // The paths looked at every `pollEvery`, some watch they need not made; and what was said so.
    std::set<std::string> polled_;
    std::chrono::steady_clock::time_point nextPoll_;
    std::set<std::string> unwatchable_;
    // The reported paths, as they were then, so that a late notice of a change already reported is let be.
    std::map<std::string, std::optional<FileStamp>> settled_;
};

MediaFileWatch::MediaFileWatch(std::chrono::milliseconds settleDelay, QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    // Not joined: it may be held by a file system that does not answer, and ends once it is let go.
    std::thread([shared = shared_, settleDelay] { Looker(shared, settleDelay).run(); }).detach();
}

MediaFileWatch::~MediaFileWatch() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = true;
    }
    // Not kept by a thread that may be held for good.
    shared_->notices.letGo();
    shared_->poke();
}

void MediaFileWatch::watch(const QSet<QString>& paths) {
    std::vector<std::string> given;
    given.reserve(std::size_t(paths.size()));
    for (const QString& path : paths)
        given.push_back(QFile::encodeName(path).toStdString());
    {
        std::lock_guard lock(shared_->mutex);
        shared_->paths = std::move(given);
    }
    shared_->poke();
}

void MediaFileWatch::setClock(Clock clock) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->clock = std::move(clock);
    }
    shared_->poke();
}

std::chrono::steady_clock::time_point MediaFileWatch::now() const {
    return shared_->now();
}

void MediaFileWatch::settleDue() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->lookNow = true;
    }
    shared_->poke();
}

std::optional<std::optional<FileStamp>> MediaFileWatch::changing(const QString& path) const {
    const std::string key = keyOf(QFile::encodeName(path).toStdString());
    std::lock_guard lock(shared_->mutex);
    const auto found = shared_->changing.find(key);
    if (found == shared_->changing.end()) return std::nullopt;
    return found->second.stamp;
}

void MediaFileWatch::beside(std::function<void()> job) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
    }
    shared_->poke();
}

} // namespace osterveil
