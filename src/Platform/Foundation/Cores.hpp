#pragma once

namespace osterveil {

// The processors this process may run on (its affinity mask, as `taskset` sets it), at least 1. Work
// sized from the machine's count instead would crowd a process confined to a few cores.
int usableCores();

} // namespace osterveil
