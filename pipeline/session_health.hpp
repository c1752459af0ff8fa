// The session's health in numbers: the link's counters (link_counters.hpp),
// what the frame loop counts (core runs, board resets, first-frame retries,
// canvases shown) and the latest figures of the show (frame rate, stage
// times, latency from grab to shown). Any thread may take a snapshot at any
// moment; updates are relaxed atomic stores and increments.
#pragma once

#include "link/link_counters.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

struct LoopCounters {
    std::atomic<uint64_t> core_runs{0};
    // Core starts whose acknowledgement was lost although the board carried them out.
    std::atomic<uint64_t> core_start_acks_lost{0};
    std::atomic<uint64_t> board_resets{0};
    std::atomic<uint64_t> first_frame_retries{0};
    std::atomic<uint64_t> canvases_shown{0};
    // The latest figures, in microseconds (the frame rate in thousandths).
    std::atomic<int64_t> frame_rate_milli{0};
    std::atomic<int64_t> upload_us{0};
    std::atomic<int64_t> core_us{0};
    std::atomic<int64_t> postprocess_us{0};
    std::atomic<int64_t> latency_us{0};
};

LoopCounters& loop_counters();

inline void set_figure(std::atomic<int64_t>& figure, int64_t value) { figure.store(value, std::memory_order_relaxed); }
inline double figure(const std::atomic<int64_t>& value) {
    return static_cast<double>(value.load(std::memory_order_relaxed));
}

// When the session started: when the process did.
std::chrono::steady_clock::time_point session_start();

// Every counter and figure by name, in a fixed order: the link's, then the
// loop's, then "frame_rate" and the stage times and latency in milliseconds.
NamedValues health_snapshot();
