// When a datagram arrived, on the steady clock: the kernel's receive time
// stamp of each datagram, so that a receiving thread that was late to take a
// batch does not make a paced sender look like a burst.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <sys/socket.h>

namespace board {

// Turns on per-datagram receive time stamps for `sock`, and the count of
// datagrams the socket dropped for want of room (best effort).
void enable_arrival_stamps(int sock);

// Room for the stamp's and the drop count's control messages in a receive.
constexpr size_t ARRIVAL_CONTROL_BYTES = 64;

// The socket's running count of dropped datagrams, as of the datagram whose
// receive header is `message`; nothing when the kernel did not give it.
std::optional<uint32_t> socket_drop_count(const msghdr& message);

// The real-time and steady clocks read together, once for a batch of
// received datagrams: each stamp is carried over to the steady clock by the
// same pair, so a receiving thread preempted while it goes through the batch
// does not move the later datagrams' arrivals earlier.
struct ClockPair {
    std::chrono::steady_clock::time_point steady;
    std::chrono::nanoseconds real;  // since the epoch
    static ClockPair now();
};

// The arrival time of the datagram whose receive header is `message` (its
// control buffer of ARRIVAL_CONTROL_BYTES set before the receive), taken
// after `clocks` were read; `clocks.steady` when the kernel gave no stamp.
std::chrono::steady_clock::time_point arrival_time(const msghdr& message, const ClockPair& clocks);

}  // namespace board
