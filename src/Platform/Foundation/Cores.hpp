#pragma once

#include <chrono>
#include <string>

namespace osterveil {

// The processors this process may run on (its affinity mask, as `taskset` sets it), at least 1. Work
// sized from the machine's count instead would crowd a process confined to a few cores.
int usableCores();

// Asks the scheduler to let the calling thread in soon whenever it wakes, in short turns: for the
// window's thread, so that it answers while the program's own workers keep every core busy. Its share
// of the processor is unchanged. A kernel without such turns (before Linux 6.12) ignores the request.
void askForShortTurns();

// How long the calling thread may run before others waiting for its processor are let in, as the kernel
// tells it; zero where it does not.
std::chrono::nanoseconds turnLength();

// Names the calling thread `prefix` (a few letters) and a number no other thread of the process took,
// and returns the name. The threads it starts from then on (a codec's) take the name with them, so that
// `lowerThreadsNamed` finds the whole group.
std::string nameThreadUniquely(const char* prefix);
// Puts every thread of the process named `name` at the lowest priority: work let go, which ends on its
// own, takes only what the machine leaves over, and is among the first to end at a quit.
void lowerThreadsNamed(const std::string& name);

} // namespace osterveil
