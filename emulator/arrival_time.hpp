// When the datagram just received on a socket arrived, on the steady clock:
// the kernel's receive time stamp, so that a serving thread that was late to
// take it does not make a paced sender look like a burst.
#pragma once

#include <chrono>

namespace board {

// Turns on receive time stamps for `sock` (best effort).
void enable_arrival_stamps(int sock);
// The arrival time of the datagram last received on `sock`; `now` when the
// kernel has no stamp for it.
std::chrono::steady_clock::time_point arrival_time(int sock, std::chrono::steady_clock::time_point now);

}  // namespace board
