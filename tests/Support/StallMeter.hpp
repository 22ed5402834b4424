#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// How long the GUI thread went without turning its event loop: the longest gap between the ticks of
// a timer due every millisecond, from `start` to `stop`. Given a threshold, a watchdog thread records
// what the GUI thread was doing in every gap longer than that: its call stack (taken by a signal), the
// kernel's, its state, and what it ran and waited for a processor since its last tick.
namespace osterveil::testsupport {

namespace stallstacks {

// The one pending sample: 1 asked, 2 being taken, 3 taken.
inline std::atomic<int> state{0};
inline void* frames[64];
inline int depth = 0;

inline void take(int) {
    int asked = 1;
    if (!state.compare_exchange_strong(asked, 2)) return;
    depth = backtrace(frames, 64);
    state.store(3);
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Run and run-queue wait of a thread so far, in nanoseconds.
inline std::pair<long long, long long> schedstat(pid_t tid) {
    std::istringstream in(readFile("/proc/self/task/" + std::to_string(tid) + "/schedstat"));
    long long run = 0, wait = 0;
    in >> run >> wait;
    return {run, wait};
}

inline std::string demangled(const char* name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> plain(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                                 std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

// A name for each frame: the function's, through addr2line for the program's own, else the library's
// symbol, else the library and offset. The frames of the signal itself are left out.
inline std::vector<std::string> symbolize(const std::vector<void*>& addresses) {
    std::vector<std::string> names;
    std::vector<std::size_t> own;
    std::string offsets;
    Dl_info program{};
    dladdr(reinterpret_cast<void*>(&take), &program);
    bool inHandler = true;
    for (void* address : addresses) {
        Dl_info info{};
        // A return address points past its call.
        void* at = static_cast<char*>(address) - 1;
        if (inHandler) {
            // The handler's own frame, then the signal's return trampoline.
            if (dladdr(at, &info) && info.dli_fbase != program.dli_fbase) inHandler = false;
            continue;
        }
        if (!dladdr(at, &info) || !info.dli_fname) {
            names.push_back("?");
            continue;
        }
        const std::string file = info.dli_fname;
        char offset[32];
        std::snprintf(offset, sizeof offset, "0x%zx",
                      std::size_t(static_cast<char*>(at) - static_cast<char*>(info.dli_fbase)));
        if (info.dli_fbase == program.dli_fbase) {
            own.push_back(names.size());
            offsets += std::string(" ") + offset;
            names.push_back(offset);
        } else if (info.dli_sname) {
            names.push_back(demangled(info.dli_sname) + " (" + file.substr(file.rfind('/') + 1) + ")");
        } else {
            names.push_back(file.substr(file.rfind('/') + 1) + "+" + offset);
        }
    }
    // Runs of one or two frames that repeat (a widget tree drawn child by child) are told once, and
    // only the innermost frames: the outer ones are the event loop's and the benchmark's.
    const auto folded = [](const std::vector<std::string>& all) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < all.size() && out.size() < 28;) {
            std::size_t step = 1, runs = 1;
            for (std::size_t width : {std::size_t(1), std::size_t(2)}) {
                std::size_t n = 1;
                while (i + (n + 1) * width <= all.size() &&
                       std::equal(all.begin() + long(i), all.begin() + long(i + width),
                                  all.begin() + long(i + n * width)))
                    ++n;
                if (n > 1) {
                    step = width;
                    runs = n;
                    break;
                }
            }
            for (std::size_t k = 0; k < step; ++k)
                out.push_back(all[i + k] + (runs > 1 ? " (×" + std::to_string(runs) + ")" : ""));
            i += step * runs;
        }
        return out;
    };
    if (own.empty()) return folded(names);
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return folded(names);
    const std::string command = std::string("addr2line -C -f -e ") + exe + offsets + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char line[8192];
    for (std::size_t i : own) {
        if (!pipe || !std::fgets(line, sizeof line, pipe.get())) break;
        std::string function = line;
        if (!std::fgets(line, sizeof line, pipe.get())) break;
        std::string where = line;
        function.erase(function.find_last_not_of('\n') + 1);
        where.erase(where.find_last_not_of('\n') + 1);
        names[i] = function + " (" + where.substr(where.rfind('/') + 1) + ")";
    }
    return folded(names);
}

} // namespace stallstacks

// Samples the thread that made it while it goes longer than `after` without a `tick`.
class StallStacks {
  public:
    explicit StallStacks(std::chrono::milliseconds after) : after_(after), tid_(pid_t(syscall(SYS_gettid))) {
        void* warm[4];
        backtrace(warm, 4); // loads the unwinder now, not in the signal handler
        struct sigaction action {};
        action.sa_handler = stallstacks::take;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(signal(), &action, nullptr);
        watchdog_ = std::thread([this] { watch(); });
    }
    ~StallStacks() {
        quit_ = true;
        watchdog_.join();
    }
    void tick() { last_.store(now()); }
    void start() {
        const auto [ran, waited] = stallstacks::schedstat(tid_);
        startRan_ = ran;
        startWaited_ = waited;
        tick();
        started_ = last_.load();
        watching_ = true;
    }
    void stop() { watching_ = false; }
    // The gaps recorded since the last call, each as text.
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const Gap& gap : gaps_) {
            std::ostringstream text;
            text << "GUI thread unanswered " << gap.longest << " ms or more\n";
            for (const Sample& s : gap.samples) {
                text << "  at " << s.at << " ms: state " << s.state << ", wchan " << s.wchan
                     << "; since its last tick ran " << s.ran << " ms, waited for a processor " << s.waited
                     << " ms; the signal was taken " << s.taken << " ms later\n";
                if (!s.kernel.empty()) text << "    kernel: " << s.kernel << "\n";
                for (const std::string& f : stallstacks::symbolize(s.frames))
                    text << "    " << f << "\n";
            }
            out.push_back(text.str());
        }
        gaps_.clear();
        return out;
    }

  private:
    struct Sample {
        long long at = 0, ran = 0, waited = 0, taken = -1;
        std::string state, wchan, kernel;
        std::vector<void*> frames;
    };
    struct Gap {
        long long since = 0, longest = 0;
        std::vector<Sample> samples;
    };
    static int signal() { return SIGRTMIN + 7; }
    static long long now() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void watch() {
        using namespace std::chrono_literals;
        const std::string task = "/proc/self/task/" + std::to_string(tid_) + "/";
        long long lastSeen = 0, sampledAt = 0;
        std::pair<long long, long long> before{};
        while (!quit_) {
            std::this_thread::sleep_for(5ms);
            const long long last = last_.load(), t = now();
            if (!watching_) continue;
            if (lastSeen == 0 || (last == started_ && lastSeen != last)) {
                // Until a fresh tick is seen, what it had run and waited at the start.
                lastSeen = started_;
                before = {startRan_.load(), startWaited_.load()};
            }
            if (last != lastSeen && t - last < after_.count() * 1'000'000 / 2) {
                // A fresh tick: what the thread had run and waited by then.
                lastSeen = last;
                before = stallstacks::schedstat(tid_);
                continue;
            }
            const long long gap = t - last;
            if (gap < after_.count() * 1'000'000) continue;
            std::lock_guard lock(mutex_);
            if (gaps_.empty() || gaps_.back().since != last) gaps_.push_back({last, 0, {}});
            Gap& current = gaps_.back();
            current.longest = gap / 1'000'000;
            if (current.samples.size() >= 6 || t - sampledAt < 10'000'000) continue;
            sampledAt = t;
            Sample s;
            s.at = gap / 1'000'000;
            const auto [ran, waited] = stallstacks::schedstat(tid_);
            s.ran = (ran - before.first) / 1'000'000;
            s.waited = (waited - before.second) / 1'000'000;
            const std::string stat = stallstacks::readFile(task + "stat");
            if (const auto close = stat.rfind(')'); close != std::string::npos && close + 2 < stat.size())
                s.state = stat.substr(close + 2, 1);
            s.wchan = stallstacks::readFile(task + "wchan");
            s.kernel = stallstacks::readFile(task + "stack");
            std::replace(s.kernel.begin(), s.kernel.end(), '\n', ';');
            stallstacks::state.store(1);
            syscall(SYS_tgkill, getpid(), tid_, signal());
            const long long asked = now();
            while (stallstacks::state.load() != 3 && now() - asked < 200'000'000)
                std::this_thread::sleep_for(200us);
            int pending = 1;
            if (stallstacks::state.compare_exchange_strong(pending, 0)) {
                current.samples.push_back(std::move(s)); // not taken in time: no stack
                continue;
            }
            while (stallstacks::state.load() != 3)
                std::this_thread::yield();
            s.taken = (now() - asked) / 1'000'000;
            s.frames.assign(stallstacks::frames, stallstacks::frames + stallstacks::depth);
            stallstacks::state.store(0);
            current.samples.push_back(std::move(s));
        }
    }

    const std::chrono::milliseconds after_;
    const pid_t tid_;
    std::atomic<long long> last_{0}, started_{0}, startRan_{0}, startWaited_{0};
    std::atomic<bool> watching_{false}, quit_{false};
    std::mutex mutex_;
    std::vector<Gap> gaps_;
    std::thread watchdog_;
};

class StallMeter {
  public:
    // `stacksAfter`: gaps longer than this have the GUI thread's stacks recorded (none when zero).
    explicit StallMeter(std::chrono::milliseconds stacksAfter = {}) {
        if (stacksAfter.count() > 0) stacks_ = std::make_unique<StallStacks>(stacksAfter);
        clock_.start();
        ticks_.setTimerType(Qt::PreciseTimer);
        ticks_.setInterval(1);
        QObject::connect(&ticks_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed(), cpu = threadCpu();
            longest_ = std::max(longest_, now - last_);
            busiest_ = std::max(busiest_, cpu - lastCpu_);
            last_ = now;
            lastCpu_ = cpu;
            if (stacks_) stacks_->tick();
        });
    }
    void start() {
        longest_ = busiest_ = 0;
        last_ = clock_.nsecsElapsed();
        lastCpu_ = threadCpu();
        ticks_.start();
        if (stacks_) stacks_->start();
    }
    void stop() {
        ticks_.stop();
        if (stacks_) stacks_->stop();
        const qint64 now = clock_.nsecsElapsed();
        longest_ = std::max(longest_, now - last_);
    }
    double longestMilliseconds() const { return double(longest_) / 1e6; }
    // The most processor time the thread took between two ticks: its longest turn's own work.
    double busiestMilliseconds() const { return double(busiest_) / 1e6; }
    // The long gaps recorded since the last call, as text.
    std::vector<std::string> stacks() { return stacks_ ? stacks_->take() : std::vector<std::string>(); }

  private:
    QElapsedTimer clock_;
    QTimer ticks_;
    static qint64 threadCpu() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }

    qint64 last_ = 0, longest_ = 0, lastCpu_ = 0, busiest_ = 0;
    std::unique_ptr<StallStacks> stacks_;
};

} // namespace osterveil::testsupport
