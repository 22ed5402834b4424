#include "Platform/Foundation/Cores.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace osterveil {

int usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

namespace {

// The kernel's `struct sched_attr` (its first version), which the C library does not declare.
struct SchedulingAttributes {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
};
constexpr std::uint64_t resetOnFork = 0x01;

bool readAttributes(SchedulingAttributes& attr) {
    return syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0;
}

} // namespace

void askForShortTurns() {
    SchedulingAttributes attr{};
    if (!readAttributes(attr) || attr.policy != SCHED_OTHER) return;
    // Half a millisecond: a turn of the event loop is mostly shorter, the default several times longer.
    // Threads it starts take the usual turns: they are the work it must answer beside. Qt's drawing
    // threads are among them, though the window waits on them: given its short turns too, they let it in
    // later, not sooner.
    attr.size = sizeof attr;
    attr.flags = resetOnFork;
    attr.runtime = 500'000;
    syscall(SYS_sched_setattr, 0, &attr, 0);
}

std::chrono::nanoseconds turnLength() {
    SchedulingAttributes attr{};
    if (!readAttributes(attr) || attr.policy != SCHED_OTHER) return {};
    return std::chrono::nanoseconds(attr.runtime);
}

std::string nameThreadUniquely(const char* prefix) {
    static std::atomic<unsigned> taken{0};
    // A thread's name holds 15 characters.
    const std::string name = std::string(prefix).substr(0, 8) + "-" + std::to_string(++taken % 1000000);
    pthread_setname_np(pthread_self(), name.c_str());
    return name;
}

void lowerThreadsNamed(const std::string& name) {
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return;
    while (const dirent* entry = ::readdir(tasks)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0) continue;
        std::string comm;
        std::getline(std::ifstream("/proc/self/task/" + std::string(entry->d_name) + "/comm"), comm);
        if (comm == name) setpriority(PRIO_PROCESS, id_t(tid), 19);
    }
    ::closedir(tasks);
}

} // namespace osterveil
