// Sleeps that last their whole duration even when a signal cuts the
// underlying system sleep short.
#pragma once

#include <chrono>

// Sleeps for `duration`; an interrupted sleep continues for the remaining time.
void sleep_full(std::chrono::nanoseconds duration);
