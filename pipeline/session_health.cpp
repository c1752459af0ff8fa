#include "pipeline/session_health.hpp"

namespace {

// Taken while the process starts, before any thread of the show exists.
const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

}  // namespace

LoopCounters& loop_counters() {
    static LoopCounters counters;
    return counters;
}

std::chrono::steady_clock::time_point session_start() { return started; }

NamedValues health_snapshot() {
    NamedValues values = link_counter_values();
    const LoopCounters& c = loop_counters();
    const auto get = [](const std::atomic<uint64_t>& v) { return static_cast<double>(v.load(std::memory_order_relaxed)); };
    values.insert(values.end(), {
                                    {"core_runs", get(c.core_runs)},
                                    {"core_start_acks_lost", get(c.core_start_acks_lost)},
                                    {"board_resets", get(c.board_resets)},
                                    {"first_frame_retries", get(c.first_frame_retries)},
                                    {"canvases_shown", get(c.canvases_shown)},
                                    {"frame_rate", figure(c.frame_rate_milli) / 1000.0},
                                    {"upload_ms", figure(c.upload_us) / 1000.0},
                                    {"core_ms", figure(c.core_us) / 1000.0},
                                    {"postprocess_ms", figure(c.postprocess_us) / 1000.0},
                                    {"latency_ms", figure(c.latency_us) / 1000.0},
                                });
    return values;
}
