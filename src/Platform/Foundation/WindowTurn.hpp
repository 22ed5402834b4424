#pragma once

#include <chrono>

namespace osterveil {

// The window's thread and the workers that share the processors with it. A busy machine's scheduler
// shares a processor out thread by thread: while a save or an open keeps workers on every core, a turn
// of the window's event loop that needs 5 ms of processor takes many times that to end. The window's
// thread tells when a turn begins and when its loop waits again; a worker doing long work calls
// `giveWay` between its pieces, and waits there while a turn has gone on longer than `longTurn` with
// the window's thread kept waiting for the very processor the worker runs on, so that the turn has it.
// Workers on other processors go on: they take nothing from the window. A turn is given way to for at
// most `longestWait` from its start: past that, it may be waiting on the workers themselves.
namespace WindowTurn {

inline constexpr std::chrono::microseconds longTurn{1000};
inline constexpr std::chrono::milliseconds longestWait{50};

// On the window's thread: a turn of its loop is under way (told at every event; the first one counts).
void begin();
// On the window's thread: its loop is about to wait for what comes next.
void end();
// On a worker: returns at once unless the window's thread is in a turn longer than `longTurn` and the
// kernel has it waiting for the processor this worker runs on; then once that turn ends or has lasted
// `longestWait`.
void giveWay();
// Workers in `giveWay` now.
int waiting();

} // namespace WindowTurn

} // namespace osterveil
