#pragma once

#include <functional>

namespace osterveil {

// Work that whoever started it no longer waits for (closing an encoder whose threads are still busy,
// joining the thread of a cancelled export), done on one shared thread in the order it was handed
// over. The thread starts on first use and is joined at exit, so nothing handed over is cut short.
void finishInBackground(std::function<void()> work);

} // namespace osterveil
