// The recommendation: link limits derived from what the checks measured.
#include "tools/board_check/checks.hpp"

#include <algorithm>
#include <cmath>

namespace board_check {

namespace {

// A reply limit well above the slowest reply seen, never below what a
// loaded host needs now and then, never above the default.
constexpr double REPLY_FLOOR_MS = 20;
constexpr double REPLY_CEILING_MS = 1000;
constexpr double STREAM_FLOOR_MS = 50;
constexpr double STREAM_CEILING_MS = 5000;
// With more than one attempt, a lost acknowledgement of a start write is
// mended instead of resetting the board.
constexpr int FABRIC_WRITE_ATTEMPTS = 3;
constexpr int READ_ATTEMPTS = 5;

int round_up_10(double ms) { return static_cast<int>(std::ceil(ms / 10.0) * 10.0); }

int ms(std::chrono::nanoseconds limit) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
}

}  // namespace

std::vector<std::string> Recommendation::yaml_lines() const {
    return {"  reply_limit_ms: " + std::to_string(reply_limit_ms),
            "  start_ack_limit_ms: " + std::to_string(start_ack_limit_ms),
            "  stream_datagram_limit_ms: " + std::to_string(stream_datagram_limit_ms),
            "  fabric_write_attempts: " + std::to_string(fabric_write_attempts),
            "  read_attempts: " + std::to_string(read_attempts),
            "  write_rate_limit: " + std::to_string(write_rate_limit)};
}

Recommendation recommend(const Session& session) {
    const FileSettings& files = session.files();
    const Measured& m = session.measured;
    Recommendation rec;
    if (m.replies && m.replies->sent > m.replies->lost) {
        const double slowest = std::max({m.replies->max_ms * 4, m.replies->p99_ms * 10, REPLY_FLOOR_MS});
        rec.reply_limit_ms = round_up_10(std::min(slowest, REPLY_CEILING_MS));
    } else {
        rec.reply_limit_ms = ms(files.link_limits.reply);
    }
    // Every poll of a run waits for its reply inside the run's limit.
    rec.reply_limit_ms = std::min(rec.reply_limit_ms, ms(session.core().limits.completion));
    rec.start_ack_limit_ms = rec.reply_limit_ms;
    // A stream that was lost and sent again takes its limit and more: the
    // slowest tenth is left out.
    double stream_ms = 0;
    if (!m.stream_ms.empty()) {
        std::vector<double> sorted = m.stream_ms;
        std::sort(sorted.begin(), sorted.end());
        stream_ms = sorted[sorted.size() * 9 / 10];
    }
    const double stream = std::max({STREAM_FLOOR_MS, 2.0 * rec.reply_limit_ms, 4 * stream_ms});
    rec.stream_datagram_limit_ms = round_up_10(std::min(stream, STREAM_CEILING_MS));
    rec.fabric_write_attempts = std::max(FABRIC_WRITE_ATTEMPTS, files.link_limits.fabric_write_ack_attempts);
    rec.read_attempts = std::max(READ_ATTEMPTS, files.link_limits.read_attempts);
    // A configured rate the board holds is kept.
    rec.write_rate_limit = files.write_rate_limit;
    if (m.recommended_rate && *m.recommended_rate < rec.write_rate_limit) rec.write_rate_limit = *m.recommended_rate;
    return rec;
}

CheckResult check_recommendation(const Session& session, const Recommendation& rec) {
    CheckResult r{"limits"};
    r.add("reply_limit_ms", rec.reply_limit_ms)
        .add("start_ack_limit_ms", rec.start_ack_limit_ms)
        .add("stream_datagram_limit_ms", rec.stream_datagram_limit_ms)
        .add("fabric_write_attempts", rec.fabric_write_attempts)
        .add("read_attempts", rec.read_attempts)
        .add("write_rate_limit", rec.write_rate_limit);
    const std::string figure = "reply " + std::to_string(rec.reply_limit_ms) + " ms, stream datagram " +
                               std::to_string(rec.stream_datagram_limit_ms) + " ms, write rate " +
                               std::to_string(rec.write_rate_limit) + " MiB/s (configured: reply " +
                               std::to_string(ms(session.files().link_limits.reply)) + " ms, stream datagram " +
                               std::to_string(ms(session.files().link_limits.stream_datagram)) + " ms)";
    const auto& replies = session.measured.replies;
    const bool lossy = replies && replies->loss >= LOSS_WARN;
    if (lossy && ms(session.files().link_limits.reply) > rec.reply_limit_ms)
        return r.set(Verdict::warn, figure,
                     "replies are lost and each costs the configured reply_limit_ms; paste the lines below under "
                     "NetworkConfiguration");
    return r.set(Verdict::pass, figure);
}

}  // namespace board_check
