#pragma once

#include <cstddef>
#include <functional>

// Spreading one picture's work over the machine's cores.

// The cores this process may run on: the machine's count, or fewer when the process is
// confined to fewer (taskset, a container's CPU set). At least 1.
std::size_t usableCores();

// Runs `work` on `threads` threads at once, the caller's own among them, and returns when
// every one has returned. The work is shared out by the work itself (say, an atomic counter
// of parts), so it must not depend on how many threads run it: if a thread cannot be
// started, fewer run, down to the caller's alone. The first exception thrown by any of them
// is thrown here, after all have finished.
void runOnThreads(std::size_t threads, const std::function<void()>& work);
