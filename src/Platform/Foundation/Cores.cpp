#include "Platform/Foundation/Cores.hpp"

#include <algorithm>
#include <thread>

#include <sched.h>

namespace osterveil {

int usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

} // namespace osterveil
