#include "emulator/receive_buffer.hpp"

#include <algorithm>
#include <stdexcept>

namespace board {

ReceiveBuffer::ReceiveBuffer(double drain_mibps, uint64_t capacity_bytes)
    : drain_bytes_per_ns_(drain_mibps * 1048576.0 / 1e9), capacity_(capacity_bytes) {
    if (!(drain_mibps >= 0.0)) throw std::invalid_argument("drain rate must not be negative");
    if (enabled() && capacity_ == 0) throw std::invalid_argument("receive buffer must hold at least one byte");
}

std::optional<ReceiveBuffer::Clock::time_point> ReceiveBuffer::accept(size_t bytes, Clock::time_point arrived) {
    if (!enabled()) return arrived;
    // Bytes still queued when this datagram arrives.
    const int64_t backlog_ns =
        empty_at_ > arrived ? std::chrono::duration_cast<std::chrono::nanoseconds>(empty_at_ - arrived).count() : 0;
    const double queued = double(backlog_ns) * drain_bytes_per_ns_;
    if (queued + double(bytes) > double(capacity_)) return std::nullopt;
    const auto start = std::max(empty_at_, arrived);
    empty_at_ = start + std::chrono::nanoseconds(int64_t(double(bytes) / drain_bytes_per_ns_ + 0.5));
    return empty_at_;
}

}  // namespace board
