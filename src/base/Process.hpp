#pragma once

#include <functional>
#include <string>
#include <string_view>

// Writes one process-level message to standard error in a single write:
// "Velmar Computer Use: " + message + "\n".
void reportToStandardError(std::string_view message);

// Ends the process with the code, from any thread. Standard output is flushed and the work
// given to atProcessEnd runs, for two seconds at most; no destructors run, so threads still
// at work cannot trip over torn-down objects.
[[noreturn]] void endProcess(int code);

// Keeps large freed blocks in the heap for the next request, all threads' in one heap, so
// that releaseFreeMemory() can return them all. A picture needs tens of megabytes (the
// capture, the resized copy, the file, its Base64 text, the answer); the C library would give
// each block back to the system when freed, and every picture would fault its pages in
// afresh, which on a virtual machine costs more than the work done on them. Called at the
// start, before any thread exists: a thread's heap is chosen at its first allocation.
void keepFreedMemory();

// Work for endProcess: giving back what the process holds of the desktop (keys held down,
// keycodes borrowed), which no other process would release. It runs once, on a thread of
// its own, whichever exit comes first; it must not rely on anything but itself.
void atProcessEnd(std::function<void()> work);

// Returns memory that the heap holds freed to the system.
void releaseFreeMemory();

// The process at the other end of a connected local socket: the one that made the socket
// the connection was made to (called listen() on it), which need not be the one that serves
// it. 0 when the socket is not local or the process cannot be seen (another PID namespace).
int peerProcessID(int socket);

// A process's command name as /proc gives it ("Xwayland", "weston"); empty when it cannot be
// read (a process that has ended, 0).
std::string processName(int processID);
