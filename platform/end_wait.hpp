// A wake-up for the long waits of the program (a board's boot, the pause
// between two questions to it): once the user has asked the program to end,
// every such wait returns at once, now and later. Raised from a signal
// handler or from any thread.
#pragma once

#include <chrono>

// Ends every end_wait_for under way and every later one at once.
// Async-signal-safe.
void end_wake();

// Sleeps up to `limit` in the kernel. Returns true, early, once end_wake has
// been called (also before this call), false when the time has passed.
bool end_wait_for(std::chrono::nanoseconds limit);
