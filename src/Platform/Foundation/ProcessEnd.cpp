#include "Platform/Foundation/ProcessEnd.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace osterveil {

namespace {

// Ends the calling thread alone, leaving whatever it held to the process's end.
void endThisThread(int) {
    ::syscall(SYS_exit, 0);
}

// The other threads of the process that run below the calling thread's priority (the program may have
// been started below normal priority as a whole).
std::vector<pid_t> threadsBelowThisOnesPriority() {
    std::vector<pid_t> found;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return found;
    const pid_t self = ::gettid();
    errno = 0;
    const int own = ::getpriority(PRIO_PROCESS, id_t(self));
    if (errno != 0) return found;
    while (const dirent* entry = ::readdir(tasks)) {
        const pid_t tid = pid_t(std::atoi(entry->d_name));
        if (tid <= 0 || tid == self) continue;
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, id_t(tid));
        if (errno == 0 && nice > own) found.push_back(tid);
    }
    ::closedir(tasks);
    return found;
}

bool alive(pid_t tid) {
    return ::syscall(SYS_tgkill, ::getpid(), tid, 0) == 0;
}

} // namespace

void endProcessNow(int status) {
    std::fflush(nullptr);
    // Found before any is told: a thread ended while it held a lock (the heap's, a stream's) leaves it
    // held, so from here on this thread makes only system calls.
    std::vector<pid_t> ending = threadsBelowThisOnesPriority();
    struct sigaction action {};
    action.sa_handler = endThisThread;
    sigemptyset(&action.sa_mask);
    const int signal = SIGRTMAX;
    if (!ending.empty() && ::sigaction(signal, &action, nullptr) == 0) {
        for (const pid_t tid : ending)
            ::syscall(SYS_tgkill, ::getpid(), tid, signal);
        const timespec step{0, 1000000};
        for (int waited = 0; waited < 250; ++waited) {
            bool any = false;
            for (const pid_t tid : ending)
                any = any || alive(tid);
            if (!any) break;
            ::nanosleep(&step, nullptr);
        }
    }
    ::_exit(status);
}

} // namespace osterveil
