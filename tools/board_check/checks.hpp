// The checks of board_check, in the order they run. Each is bounded in time
// by the link's limits and its own counts, notes what it measured in the
// session, and reports its verdict; none ends the process.
#pragma once

#include "tools/board_check/check_result.hpp"
#include "tools/board_check/session.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace board_check {

// A loss of replies at which the demonstrator's default limits (a second per
// lost reply, a board reset per lost start acknowledgement) keep only a
// fraction of the frame rate.
constexpr double LOSS_WARN = 0.001;

// What the checks need besides the session.
struct CheckSettings {
    // Upload the configured weights and read them back (the weights area is
    // never touched otherwise).
    bool weights = false;
    // Register reads of the reply-time check, and the reply limit of each.
    int reads = 2000;
    std::chrono::milliseconds read_limit{100};
    // The reply-time check stops after this long, however many reads it made.
    std::chrono::seconds reads_budget{20};
};

// The init handshake: version, round trip, the payload size announced.
// Three attempts, each waiting the configured reply limit, at most 1 s.
CheckResult check_reach(Session& session);
// Register reads with a short limit each: round-trip spread and loss.
CheckResult check_replies(Session& session, const CheckSettings& settings);
// The buffer-set register written and read back, the status register idle.
CheckResult check_registers(Session& session);
// Patterns in the input and output areas of both buffer sets, read back with
// stream reads; with `settings.weights` also the weight image.
CheckResult check_memory(Session& session, const CheckSettings& settings);
// Paced uploads at a ladder of rates, each read back.
CheckResult check_throughput(Session& session);
// One run of the core on a test frame.
CheckResult check_core_run(Session& session);

// The link limits that suit what was measured, as lines to paste under
// NetworkConfiguration.
struct Recommendation {
    int reply_limit_ms = 0;
    int start_ack_limit_ms = 0;
    int stream_datagram_limit_ms = 0;
    int fabric_write_attempts = 0;
    int read_attempts = 0;
    uint32_t write_rate_limit = 0;

    std::vector<std::string> yaml_lines() const;
};
Recommendation recommend(const Session& session);
CheckResult check_recommendation(const Session& session, const Recommendation& recommendation);

// The rate at which the memory, weights and core-run checks write: the
// configured one, at most the lowest rate of the throughput ladder, so that
// a board that cannot take the configured rate fails the throughput check,
// not these.
uint32_t safe_rate(const Session& session);

// Milliseconds between two steady-clock times.
double ms_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);

}  // namespace board_check
