#include "Platform/Foundation/WindowTurn.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace osterveil::WindowTurn {

namespace {

using Clock = std::chrono::steady_clock;

Clock::rep now() {
    return Clock::now().time_since_epoch().count();
}

// When the turn under way began; zero between turns.
std::atomic<Clock::rep> turnStart{0};
// The thread whose turns they are, and its task in the kernel: it never waits for itself.
std::atomic<std::thread::id> window{};
std::atomic<pid_t> windowTask{0};
std::atomic<int> waiters{0};
std::mutex lock;
std::condition_variable ended;

// What the kernel last told of the window's thread, and when: the processor it was on, and whether it
// was ready to run there (running, or waiting for it). Looked at by one worker at a time, at most every
// `lookEvery`, and afresh in each long turn.
constexpr std::chrono::microseconds lookEvery{500};
std::atomic<Clock::rep> seenAt{0};
std::atomic<int> seenProcessor{-1};
std::atomic<bool> seenReady{false};
std::atomic_flag looking = ATOMIC_FLAG_INIT;
// Held by whoever holds `looking`: the thread's stat file, kept open (read from its start, it tells afresh).
int statFile = -1;
pid_t statTask = 0;

void look(pid_t task) {
    if (statTask != task) {
        if (statFile >= 0) ::close(statFile);
        statFile =
            ::open(("/proc/self/task/" + std::to_string(task) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
        statTask = task;
    }
    char text[1024];
    const ssize_t n = statFile >= 0 ? ::pread(statFile, text, sizeof text - 1, 0) : -1;
    bool ready = false;
    int processor = -1;
    if (n > 0) {
        text[n] = '\0';
        // The thread's name, in parentheses, may hold anything; after it come the state (the third field)
        // and numbers, the processor the 39th.
        const char* close = std::strrchr(text, ')');
        if (close && close[1] == ' ') {
            ready = close[2] == 'R';
            const char* field = close + 2;
            for (int i = 3; i < 39 && field; ++i)
                if ((field = std::strchr(field, ' '))) ++field;
            if (field) processor = std::atoi(field);
        }
    }
    seenProcessor.store(processor);
    seenReady.store(ready);
    seenAt.store(now());
}

// Whether the window's thread, in the turn that began at `start`, waits for the processor the calling
// thread runs on: the two compete for it, where a worker on another processor takes nothing from it.
bool windowWaitsForThisProcessor(Clock::rep start, Clock::rep at) {
    const Clock::rep seen = seenAt.load();
    if (seen < start || at - seen >= std::chrono::nanoseconds(lookEvery).count()) {
        if (looking.test_and_set(std::memory_order_acquire)) return false; // another worker is looking
        look(windowTask.load());
        looking.clear(std::memory_order_release);
    }
    return seenReady.load() && seenProcessor.load() == sched_getcpu();
}

} // namespace

void begin() {
    if (turnStart.load(std::memory_order_relaxed) != 0) return;
    turnStart.store(now(), std::memory_order_relaxed);
    if (window.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
        windowTask.store(::gettid());
        window.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
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
    const Clock::rep at = now();
    const Clock::duration lasted(at - start);
    if (lasted < longTurn || lasted >= longestWait || !windowWaitsForThisProcessor(start, at)) return;
    const Clock::time_point begun{Clock::duration(start)};
    ++waiters;
    std::unique_lock guard(lock);
    ended.wait_until(guard, begun + longestWait, [&] { return turnStart.load() != start; });
    --waiters;
}

int waiting() {
    return waiters.load();
}

} // namespace osterveil::WindowTurn
