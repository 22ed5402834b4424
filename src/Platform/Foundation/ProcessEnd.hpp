#pragma once

namespace osterveil {

// Ends the process at once with `status`, its standard streams flushed, without the destructors of
// its statics: for a process whose threads may still be at work on what those statics hold.
//
// Its threads that run below the calling thread's priority end first, where they stand. The last
// thread of a process to end gives the process's memory back to the system, and one below normal
// priority on a busy machine takes seconds over what takes the others a fraction of one. A thread
// held in the kernel (a read from a disk that does not answer) is waited for a quarter of a second
// at most.
[[noreturn]] void endProcessNow(int status);

} // namespace osterveil
