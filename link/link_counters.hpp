// What the link sees of its exchanges with the board, counted for the whole
// session: requests sent per kind, replies that did not come in time,
// attempts tried again, datagrams dropped unread, negative acknowledgements,
// paced bytes and the time they took, and output reads started again. Every
// link object of the process adds to the same counters; any thread may read
// them at any moment. Each count is one relaxed increment where it happens.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct LinkCounters {
    std::atomic<uint64_t> init_requests{0};
    std::atomic<uint64_t> write_requests{0};      // unacknowledged writes, DDR and fabric
    std::atomic<uint64_t> write_ack_requests{0};  // acknowledged writes, DDR and fabric
    std::atomic<uint64_t> read_requests{0};       // single-datagram reads, DDR and fabric
    std::atomic<uint64_t> stream_requests{0};     // DDR stream reads
    std::atomic<uint64_t> done_requests{0};
    std::atomic<uint64_t> reset_requests{0};
    std::atomic<uint64_t> reply_timeouts{0};      // a reply or a stream datagram that did not come in time
    std::atomic<uint64_t> attempts_retried{0};    // failed attempts that were tried again
    std::atomic<uint64_t> transfers_given_up{0};  // transfers whose attempts were all used up
    std::atomic<uint64_t> dropped_short{0};       // shorter than the reply awaited
    std::atomic<uint64_t> dropped_empty{0};
    std::atomic<uint64_t> dropped_stale{0};       // queued before a request, or larger than its reply
    std::atomic<uint64_t> negative_acks{0};
    std::atomic<uint64_t> bytes_paced{0};
    std::atomic<uint64_t> paced_ns{0};            // time the paced writes took, from first send to last slot
    std::atomic<uint64_t> output_reads_restarted{0};
};

// The session's link counters.
LinkCounters& link_counters();

inline void count(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

using NamedValues = std::vector<std::pair<std::string, double>>;

// The counters by name, in a fixed order, with the paced rate in MiB/s
// (0 before anything was paced).
NamedValues link_counter_values();
