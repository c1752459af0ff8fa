// The board's receive buffer: datagrams queue in a small memory in front of
// the board's logic, which takes them out at its own rate. What arrives while
// the buffer is full is lost without a word, as on the board; a request is
// carried out, and answered, when it leaves the buffer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace board {

class ReceiveBuffer {
public:
    using Clock = std::chrono::steady_clock;

    // drain_mibps 0: no buffer model (every datagram is taken at once).
    ReceiveBuffer(double drain_mibps, uint64_t capacity_bytes);

    // A datagram of `bytes` that arrived at `arrived`: the moment it leaves
    // the buffer, or nothing when it did not fit and is lost.
    std::optional<Clock::time_point> accept(size_t bytes, Clock::time_point arrived);
    // Empties the buffer (the board reboots).
    void clear(Clock::time_point now) { empty_at_ = now; }
    bool enabled() const { return drain_bytes_per_ns_ > 0.0; }

private:
    double drain_bytes_per_ns_;
    uint64_t capacity_;
    Clock::time_point empty_at_{};  // when everything accepted so far has left
};

}  // namespace board
