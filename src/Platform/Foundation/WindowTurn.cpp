#include "Platform/Foundation/WindowTurn.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace osterveil::WindowTurn {

namespace {

using Clock = std::chrono::steady_clock;

// When the turn under way began; zero between turns.
std::atomic<Clock::rep> turnStart{0};
// The thread whose turns they are: it never waits for itself.
std::atomic<std::thread::id> window{};
std::atomic<int> waiters{0};
std::mutex lock;
std::condition_variable ended;

} // namespace

void begin() {
    if (turnStart.load(std::memory_order_relaxed) != 0) return;
    turnStart.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (window.load(std::memory_order_relaxed) != std::this_thread::get_id())
        window.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void end() {
    turnStart.store(0);
    if (waiters.load() == 0) return;
    // Taken after the store, so a worker between its look at the turn and its wait is not passed over.
    const std::lock_guard guard(lock);
    ended.notify_all();
}

void giveWay() {
    const Clock::rep start = turnStart.load(std::memory_order_relaxed);
    if (start == 0 || window.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
    const Clock::time_point begun{Clock::duration(start)};
    const Clock::duration lasted = Clock::now() - begun;
    if (lasted < longTurn || lasted >= longestWait) return;
    ++waiters;
    std::unique_lock guard(lock);
    ended.wait_until(guard, begun + longestWait, [&] { return turnStart.load() != start; });
    --waiters;
}

int waiting() {
    return waiters.load();
}

} // namespace osterveil::WindowTurn
