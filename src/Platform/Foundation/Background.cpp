#include "Platform/Foundation/Background.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>

namespace osterveil {

namespace {

using Clock = std::chrono::steady_clock;

// How long the threads there are may all be at their work before another takes over what waits: far
// longer than freeing a decoder or joining a thread told to stop takes, far shorter than a share that
// has stopped answering holds a read.
constexpr auto longRun = std::chrono::milliseconds(100);
// Each thread beyond the first few is held by a read that does not answer.
constexpr std::size_t mostThreads = 16;
// A thread ends once it has had nothing to do for this long.
constexpr auto idleEnd = std::chrono::seconds(2);
// At the process's end, work that has run this long is not waited for.
constexpr auto givenUp = std::chrono::seconds(2);

class Finisher {
  public:
    static Finisher& shared() {
        // Never destroyed: a thread left at its work at the end may still come back to it.
        static Finisher* const finisher = new Finisher;
        static const AtExit atExit{*finisher};
        return *finisher;
    }

    void add(std::function<void()> work) {
        std::unique_lock lock(mutex_);
        if (ended_) {
            // Nobody is left to hand it to.
            lock.unlock();
            work();
            return;
        }
        const std::uint64_t number = next_++;
        unfinished_.insert(number);
        queue_.emplace_back(number, std::move(work));
        if (!keeper_.joinable()) keeper_ = std::thread([this] { keep(); });
        wake_.notify_one();
        changed_.notify_all();
    }

    void waitForAll() {
        std::unique_lock lock(mutex_);
        const std::uint64_t before = next_;
        changed_.wait(lock, [&] { return unfinished_.empty() || *unfinished_.begin() >= before; });
    }

  private:
    struct Worker {
        std::thread thread;
        bool busy = false;
        Clock::time_point since;
        bool gone = false;
    };
    struct AtExit {
        Finisher& finisher;
        ~AtExit() { finisher.end(); }
    };

    Finisher() = default;

    // Starts a thread for what waits once every thread there is has been at its work for `longRun`,
    // and joins those that have ended.
    void keep() {
        pthread_setname_np(pthread_self(), "ov-finish-keep");
        std::unique_lock lock(mutex_);
        for (;;) {
            std::vector<std::thread> gone;
            for (auto w = workers_.begin(); w != workers_.end();) {
                if (!w->gone) {
                    ++w;
                    continue;
                }
                gone.push_back(std::move(w->thread));
                w = workers_.erase(w);
            }
            if (!gone.empty()) {
                lock.unlock();
                for (std::thread& t : gone)
                    t.join();
                lock.lock();
                continue;
            }
            if (ended_) return;
            const std::optional<Clock::time_point> due = anotherDue();
            if (!due) {
                changed_.wait(lock);
            } else if (*due > Clock::now()) {
                changed_.wait_until(lock, *due);
            } else {
                Worker& worker = workers_.emplace_back();
                worker.thread = std::thread([this, &worker] { work(worker); });
            }
        }
    }

    // When another thread is to take over what waits; none while nothing waits, a thread is free for
    // it, or the threads are all there may be.
    std::optional<Clock::time_point> anotherDue() const {
        if (queue_.empty() || workers_.size() >= mostThreads) return std::nullopt;
        Clock::time_point latest = Clock::time_point::min();
        for (const Worker& w : workers_) {
            if (!w.busy) return std::nullopt;
            latest = std::max(latest, w.since);
        }
        return latest + longRun;
    }

    void work(Worker& self) {
        pthread_setname_np(pthread_self(), "ov-finish");
        std::unique_lock lock(mutex_);
        for (;;) {
            if (queue_.empty()) {
                if (ending_ ||
                    !wake_.wait_for(lock, idleEnd, [&] { return ending_ || !queue_.empty(); }))
                    break;
                continue;
            }
            auto [number, job] = std::move(queue_.front());
            queue_.pop_front();
            self.busy = true;
            self.since = Clock::now();
            changed_.notify_all(); // the keeper times the next thread from here
            lock.unlock();
            job();
            job = nullptr; // what it holds goes here too, not under the lock
            lock.lock();
            self.busy = false;
            unfinished_.erase(number);
            changed_.notify_all();
        }
        self.gone = true;
        changed_.notify_all();
    }

    // What was handed over is finished, but for work that has run for `givenUp` already: that is left
    // where it stands, its thread to the process's end.
    void end() {
        std::unique_lock lock(mutex_);
        ending_ = true;
        wake_.notify_all();
        changed_.notify_all();
        for (;;) {
            if (unfinished_.empty()) break;
            // What waits is taken over by another thread while there may be one.
            if (!queue_.empty() && workers_.size() < mostThreads) {
                changed_.wait(lock);
                continue;
            }
            Clock::time_point last = Clock::time_point::min();
            for (const Worker& w : workers_)
                if (w.busy) last = std::max(last, w.since + givenUp);
            if (last <= Clock::now()) break;
            changed_.wait_until(lock, last);
        }
        ended_ = true;
        changed_.notify_all();
        lock.unlock();
        if (keeper_.joinable()) keeper_.join();
        std::vector<std::thread> leaving;
        lock.lock();
        for (Worker& w : workers_) {
            if (!w.thread.joinable()) continue;
            if (w.busy)
                w.thread.detach();
            else
                leaving.push_back(std::move(w.thread));
        }
        lock.unlock();
        for (std::thread& t : leaving)
            t.join();
    }

    std::mutex mutex_;
    // Workers wait on it for work, or the end.
    std::condition_variable wake_;
    // Work came, ended, or a thread ended.
    std::condition_variable changed_;
    std::deque<std::pair<std::uint64_t, std::function<void()>>> queue_;
    std::list<Worker> workers_;
    // The numbers of the work waiting or running.
    std::set<std::uint64_t> unfinished_;
    std::uint64_t next_ = 0;
    bool ending_ = false;
    bool ended_ = false;
    std::thread keeper_;
};

} // namespace

void finishInBackground(std::function<void()> work) {
    if (work) Finisher::shared().add(std::move(work));
}

void waitForBackgroundWork() {
    Finisher::shared().waitForAll();
}

} // namespace osterveil
