#include "App/WorkService.hpp"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Platform/Foundation/Cores.hpp"

namespace osterveil {

class WorkService::Pool {
  public:
    // How the kernel is to run a lane's threads beside the GUI thread and the players.
    enum class Turns { usual, bulk, low };

    Pool(const char* name, int threads, bool newestOnly, Turns turns) : newestOnly_(newestOnly) {
        for (int i = 0; i < threads; ++i)
            threads_.emplace_back([this, name, turns] {
                pthread_setname_np(pthread_self(), name);
                if (turns == Turns::bulk) {
                    // Long work in long turns, its waking never cutting into the window's turn; its share
                    // of the processors is the usual one, so a save or an open on a busy machine takes no
                    // longer for it.
                    const sched_param none{};
                    pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);
                } else if (turns == Turns::low) {
                    // Below the GUI and the players, whatever priority the program was started at:
                    // pictures of the bin wait for them, never the reverse.
                    const auto self = static_cast<id_t>(gettid());
                    setpriority(PRIO_PROCESS, self, std::min(19, getpriority(PRIO_PROCESS, self) + 10));
                }
                work();
            });
    }

    ~Pool() { stop(); }

    void stop() {
        std::deque<Queued> dropped;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            dropped.swap(queue_);
        }
        wake_.notify_all();
        join();
    }

    bool finish() {
        std::deque<Queued> dropped;
        std::unique_lock lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
        wake_.notify_all();
        ended_.wait(lock, [this] {
            return std::all_of(running_.begin(), running_.end(),
                               [](const std::stop_token* owner) { return owner->stop_requested(); });
        });
        const bool idle = running_.empty();
        lock.unlock();
        if (idle) join();
        return idle;
    }

    void run(std::stop_token owner, Job job) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_ || owner.stop_requested()) return;
            if (newestOnly_) std::erase_if(queue_, [&owner](const Queued& q) { return q.owner == owner; });
            queue_.push_back({std::move(owner), std::move(job)});
        }
        wake_.notify_one();
    }

    void cancel(const std::stop_token& owner) {
        std::deque<Queued> dropped;
        {
            std::lock_guard lock(mutex_);
            for (auto it = queue_.begin(); it != queue_.end();) {
                if (it->owner == owner) {
                    dropped.push_back(std::move(*it));
                    it = queue_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        // An ending process waits no longer for the owner's running jobs.
        ended_.notify_all();
        // What the dropped jobs hold is released here, outside the lock.
    }

    std::size_t waiting() const {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }

    std::size_t running() const {
        std::lock_guard lock(mutex_);
        return running_.size();
    }

  private:
    struct Queued {
        std::stop_token owner;
        Job job;
    };

    void work() {
        for (;;) {
            Queued next;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                next = std::move(queue_.front());
                queue_.pop_front();
                running_.push_back(&next.owner);
            }
            // An owner cancelled since it queued this: dropped, as if it had gone with the queue.
            if (!next.owner.stop_requested()) next.job(next.owner);
            next.job = {};
            {
                std::lock_guard lock(mutex_);
                std::erase(running_, &next.owner);
            }
            ended_.notify_all();
        }
    }

    void join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    const bool newestOnly_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // A job has ended, or an owner was cancelled.
    std::condition_variable ended_;
    std::deque<Queued> queue_;
    // The owners of the jobs running now.
    std::vector<const std::stop_token*> running_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

WorkService& WorkService::shared() {
    static WorkService* service = [] {
        auto* s = new WorkService(std::clamp(usableCores() / 2, 1, 4));
        // Running jobs end before the process's statics go (the caches they use among them); what is
        // still queued is dropped.
        qAddPostRoutine([] { WorkService::shared().shutdown(); });
        return s;
    }();
    return *service;
}

WorkService::WorkService(int pictureThreads)
    : preview_(std::make_unique<Pool>("preview", 1, true, Pool::Turns::usual)),
      pictures_(std::make_unique<Pool>("pictures", std::max(1, pictureThreads), false, Pool::Turns::low)),
      documents_(std::make_unique<Pool>("documents", 2, false, Pool::Turns::bulk)),
      exports_(std::make_unique<Pool>("export", 2, false, Pool::Turns::usual)) {}

WorkService::~WorkService() {
    shutdown();
}

void WorkService::shutdown() {
    for (Pool* p : {preview_.get(), pictures_.get(), documents_.get(), exports_.get()})
        p->stop();
}

bool WorkService::finish() {
    bool idle = true;
    for (Pool* p : {preview_.get(), pictures_.get(), documents_.get(), exports_.get()})
        idle = p->finish() && idle;
    return idle;
}

WorkService::Pool& WorkService::pool(Lane lane) const {
    switch (lane) {
    case Lane::preview: return *preview_;
    case Lane::pictures: return *pictures_;
    case Lane::documents: return *documents_;
    case Lane::exports: return *exports_;
    }
    return *pictures_;
}

void WorkService::run(Lane lane, std::stop_token owner, Job job) {
    pool(lane).run(std::move(owner), std::move(job));
}

void WorkService::cancel(std::stop_source owner) {
    owner.request_stop();
    const std::stop_token token = owner.get_token();
    for (Pool* p : {preview_.get(), pictures_.get(), documents_.get(), exports_.get()})
        p->cancel(token);
}

std::size_t WorkService::waiting(Lane lane) const {
    return pool(lane).waiting();
}

std::size_t WorkService::running(Lane lane) const {
    return pool(lane).running();
}

} // namespace osterveil
