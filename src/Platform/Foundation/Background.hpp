#pragma once

#include <functional>

namespace osterveil {

// Work that whoever started it no longer waits for (closing an encoder whose threads are still busy,
// joining the thread of a cancelled export, or of a player whose read waits on a share that has stopped
// answering), started in the order it was handed over on a few shared threads. Work that runs long
// holds up none behind it: once the threads there are have all been at their work a while, another
// takes over what waits, up to a bound.
//
// At the process's end what was handed over is finished first, except work that has been at it for
// seconds already (a read of a share that does not answer), which is left to the end.
void finishInBackground(std::function<void()> work);

// Returns once everything handed over before it has ended.
void waitForBackgroundWork();

} // namespace osterveil
