#include "Platform/Foundation/Background.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace osterveil {

namespace {

class Finisher {
public:
    static Finisher& shared() {
        static Finisher finisher;
        return finisher;
    }

    void add(std::function<void()> work) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
        if (!thread_.joinable())
            thread_ = std::thread([this] {
                pthread_setname_np(pthread_self(), "ov-finish");
                run();
            });
        wake_.notify_one();
    }

    ~Finisher() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            wake_.notify_one();
        }
        if (thread_.joinable()) thread_.join();
    }

private:
    Finisher() = default;

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            std::function<void()> work = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            work();
            work = nullptr; // what it holds goes here too, not under the lock
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace

void finishInBackground(std::function<void()> work) {
    if (work) Finisher::shared().add(std::move(work));
}

} // namespace osterveil
