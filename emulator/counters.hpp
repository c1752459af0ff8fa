// What the emulated board counts: requests, bytes, runs, resets, faults
// and protocol errors, for tests and the program's summary.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct EmulatorCounters {
    // Well-formed requests per command name ("init", "write", "write-ack", "read", "stream", "done") and space
    // ("ddr", "fabric"): keys "write:ddr", "write:fabric", "write-ack:ddr", "write-ack:fabric", "read:ddr",
    // "read:fabric", "stream" (DDR only), "init", "done".
    std::map<std::string, uint64_t> requests;
    uint64_t bytes_written = 0;
    uint64_t bytes_read = 0;
    uint64_t malformed = 0;
    uint64_t protocol_errors = 0;
    uint64_t runs_started = 0;
    uint64_t runs_finished = 0;
    uint64_t runs_without_weights = 0;
    uint64_t resets = 0;
    uint64_t faults_injected = 0;
    uint64_t datagrams_received = 0;
    uint64_t replies_sent = 0;  // datagrams sent, stream datagrams included
    uint64_t ignored_while_booting = 0;
    uint64_t receive_overflows = 0;        // datagrams lost to a full receive buffer
    uint64_t receive_overflow_bytes = 0;
    uint64_t socket_drops = 0;             // datagrams lost before the board took them (a full socket)
    uint64_t running_set_accesses = 0;     // input writes, output reads or writes of the set a run is on
    uint64_t starts_refused = 0;           // unarmed, while running, or with a bad buffer set
    uint64_t refused = 0;                  // requests over a board limit (also counted as malformed)
    uint64_t replies_dropped_by_reset = 0; // held-back replies a reset discarded
    // Faults injected per kind: "drop-request", "drop-reply", "drop-nth", "nack", "delay", "duplicate",
    // "oversize", "stream-gap", "silent-init", "stall", "status", "silent-after", "short-reply", "empty-before",
    // "stream-duplicate", "stream-swap", "delay-nth", "drop-nth-reply".
    std::map<std::string, uint64_t> faults;
};

// One line of counters (for --stats-every) and the multi-line exit summary.
std::string counters_line(const EmulatorCounters& counters);
std::string counters_summary(const EmulatorCounters& counters);
