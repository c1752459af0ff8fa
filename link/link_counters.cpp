#include "link/link_counters.hpp"

LinkCounters& link_counters() {
    static LinkCounters counters;
    return counters;
}

NamedValues link_counter_values() {
    const LinkCounters& c = link_counters();
    const auto get = [](const std::atomic<uint64_t>& v) { return static_cast<double>(v.load(std::memory_order_relaxed)); };
    const double bytes = get(c.bytes_paced);
    const double ns = get(c.paced_ns);
    return {
        {"requests_init", get(c.init_requests)},
        {"requests_write", get(c.write_requests)},
        {"requests_write_ack", get(c.write_ack_requests)},
        {"requests_read", get(c.read_requests)},
        {"requests_stream", get(c.stream_requests)},
        {"requests_done", get(c.done_requests)},
        {"requests_reset", get(c.reset_requests)},
        {"reply_timeouts", get(c.reply_timeouts)},
        {"attempts_retried", get(c.attempts_retried)},
        {"transfers_given_up", get(c.transfers_given_up)},
        {"dropped_short", get(c.dropped_short)},
        {"dropped_empty", get(c.dropped_empty)},
        {"dropped_stale", get(c.dropped_stale)},
        {"negative_acks", get(c.negative_acks)},
        {"bytes_paced", bytes},
        {"paced_rate_mib_s", ns > 0 ? bytes / (1024.0 * 1024.0) / (ns * 1e-9) : 0.0},
        {"output_reads_restarted", get(c.output_reads_restarted)},
    };
}
