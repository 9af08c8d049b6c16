// Threads kept for the process and used again, for work that would otherwise
// make a thread of its own each time. Under Wine a new thread costs about
// 3 ms (every loaded library hears of it): a patch's 16 range requests made
// 50 ms of threads before the first byte of its chunk index arrived, and as
// much again for its chunks. A kept thread with nothing to do waits for the
// next job. A job never waits for another to end: when no kept thread is
// waiting, a new one is made for it, and kept afterwards.
#pragma once
#include <functional>

namespace KeptThreads {
// Runs job on a waiting kept thread, or on a new one. Throws
// (std::system_error) when no thread is waiting and none can be made.
void Run(std::function<void()> job);
// Makes kept threads until n are waiting, on a thread of its own: the caller
// goes on meanwhile.
void Keep(unsigned n);
// How many kept threads wait for a job now.
unsigned Waiting();
} // namespace KeptThreads
