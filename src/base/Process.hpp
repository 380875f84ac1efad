#pragma once

#include <string_view>

// Writes one process-level message to standard error in a single write:
// "Velmar Computer Use: " + message + "\n".
void reportToStandardError(std::string_view message);

// Ends the process at once with the code, from any thread. Standard output is flushed;
// no destructors run, so threads still at work cannot trip over torn-down objects.
[[noreturn]] void endProcess(int code);

// Returns memory that the heap holds freed to the system.
void releaseFreeMemory();
