// The checks of the link itself: reach, reply times and loss, registers.
#include "tools/board_check/checks.hpp"

#include "link/exceptions.hpp"
#include "platform/fatal_error.hpp"
#include "records/registers.hpp"

#include <algorithm>

namespace board_check {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int REACH_ATTEMPTS = 3;
constexpr std::chrono::nanoseconds REACH_REPLY_LIMIT = std::chrono::seconds(1);
// A loss of replies that no limits make up for.
constexpr double LOSS_FAIL = 0.10;
constexpr int REGISTER_TRIES = 3;

std::string percent(double share) { return fixed(share * 100, 2) + " %"; }

}  // namespace

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

CheckResult check_reach(Session& session) {
    CheckResult r{"reach"};
    LinkLimits limits = session.files().link_limits;
    limits.reply = std::min(limits.reply, REACH_REPLY_LIMIT);
    const auto limit_ms = std::chrono::duration<double, std::milli>(limits.reply).count();
    for (int attempt = 1; attempt <= REACH_ATTEMPTS; ++attempt) {
        try {
            const auto start = Clock::now();
            auto link = session.open_link(limits, session.files().write_rate_limit, 1);
            session.measured.init_round_trip_ms = ms_between(start, Clock::now());
            session.measured.version = link->get_version();
            r.add("version", session.measured.version)
                .add("round_trip_ms", session.measured.init_round_trip_ms)
                .add("payload_bytes", session.files().packet_size)
                .add("init_attempts", attempt);
            return r.set(Verdict::pass, "board at " + session.board() + ", version " +
                                            std::to_string(session.measured.version) + ", round trip " +
                                            fixed(session.measured.init_round_trip_ms, 2) + " ms, " +
                                            std::to_string(session.files().packet_size) +
                                            "-byte payloads announced" +
                                            (attempt > 1 ? " (answered init " + std::to_string(attempt) + ")" : ""));
        } catch (const exception_inittimeout&) {
        } catch (const exception_fatal&) {
            throw;
        } catch (const std::exception& error) {
            const std::string what = error.what();
            return r.set(Verdict::fail, "cannot talk to " + session.board() + (what.empty() ? "" : ": " + what),
                         "the address may not be reachable from this machine; check ip_address, udp_port and the "
                         "network interface");
        }
    }
    r.add("init_attempts", REACH_ATTEMPTS);
    return r.set(Verdict::fail,
                 "no answer from " + session.board() + " to " + std::to_string(REACH_ATTEMPTS) +
                     " init requests (" + fixed(limit_ms / 1000.0, 1) + " s each)",
                 "the board may be off, still booting (up to 16 s after a reset) or on another address; check "
                 "the cable, ip_address and udp_port");
}

CheckResult check_replies(Session& session, const CheckSettings& settings) {
    CheckResult r{"replies"};
    LinkLimits limits = session.files().link_limits;
    limits.reply = std::min<std::chrono::nanoseconds>(limits.reply, settings.read_limit);
    limits.read_attempts = 1;
    auto link = session.open_link(limits, session.files().write_rate_limit);
    std::vector<double> round_trips;
    round_trips.reserve(size_t(settings.reads));
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (sent < uint64_t(settings.reads) && Clock::now() - start < settings.reads_budget) {
        uint32_t value = 0;
        const auto t0 = Clock::now();
        const uint64_t got = link->_udp_read(&value, CORE_REGISTER_STATUS, 1, false);
        const auto t1 = Clock::now();
        ++sent;
        if (got > 0) round_trips.push_back(ms_between(t0, t1));
    }
    const ReplyFigures f = reply_figures(round_trips, sent);
    session.measured.replies = f;
    // A reply that came after its limit is dropped unread before the next
    // request: those lost replies were late, not lost on the way.
    const uint64_t late = std::min<uint64_t>(link->discarded_datagrams(), f.lost);
    r.add("reads", double(f.sent)).add("lost", double(f.lost)).add("loss", f.loss).add("loss_low", f.loss_low)
        .add("loss_high", f.loss_high).add("min_ms", f.min_ms).add("median_ms", f.median_ms)
        .add("p99_ms", f.p99_ms).add("max_ms", f.max_ms).add("late", double(late));
    const std::string limit_text = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(limits.reply).count());
    std::string figure = std::to_string(f.sent) + " reads (" + limit_text + " ms limit each): ";
    if (!round_trips.empty())
        figure += "min " + fixed(f.min_ms, 3) + ", median " + fixed(f.median_ms, 3) + ", p99 " + fixed(f.p99_ms, 3) +
                  ", max " + fixed(f.max_ms, 3) + " ms; ";
    figure += "lost " + std::to_string(f.lost) + " (" + percent(f.loss) + ", 95 % range " + percent(f.loss_low) +
              " to " + percent(f.loss_high) + (late > 0 ? "; " + std::to_string(late) + " of them came late" : "") +
              ")";
    if (f.sent < uint64_t(settings.reads)) figure += ", stopped after " + std::to_string(settings.reads_budget.count()) + " s";
    if (f.loss >= LOSS_FAIL)
        return r.set(Verdict::fail, figure,
                     "the link loses too much for any limits to make up for; check the cable, the switch and the "
                     "network interface (a direct cable is best)");
    if (f.loss >= LOSS_WARN)
        return r.set(Verdict::warn, figure,
                     "with the default limits every lost reply costs a second and a lost start acknowledgement a "
                     "board reset; use the limits recommended below, and check the cable and the switch");
    const double configured_ms = std::chrono::duration<double, std::milli>(session.files().link_limits.reply).count();
    if (f.p99_ms * 2 > configured_ms)
        return r.set(Verdict::warn, figure,
                     "replies come close to reply_limit_ms (" + fixed(configured_ms, 0) +
                         " ms), so a slow one counts as lost; raise it to the value recommended below");
    return r.set(Verdict::pass, figure);
}

CheckResult check_registers(Session& session) {
    CheckResult r{"registers"};
    auto link = session.open_link(session.files().write_rate_limit);
    const auto ack_limit = session.core().limits.start_ack;
    int retries = 0;
    // One step (a write, or a read), tried again when its reply was lost.
    const auto tried = [&](auto step) {
        for (int attempt = 1;; ++attempt) {
            try {
                return step();
            } catch (const exception_writeacktimeout&) {
                if (attempt == REGISTER_TRIES) throw;
            } catch (const exception_readtimeout&) {
                if (attempt == REGISTER_TRIES) throw;
            }
            ++retries;
        }
    };
    try {
        for (uint32_t set : {1u, 0u}) {
            tried([&] { return link->udp_write_ack_fabric(set, CORE_REGISTER_BUFFER, ack_limit); });
            const uint32_t back = tried([&] { return link->udp_read_fabric(CORE_REGISTER_BUFFER); });
            if (back != set) {
                r.add("buffer_written", set).add("buffer_read", back);
                return r.set(Verdict::fail,
                             "buffer-set register written " + std::to_string(set) + ", read back " + std::to_string(back),
                             "the fabric registers do not hold what is written: the board's firmware (bitstream) may "
                             "not be the one this program is made for");
            }
        }
        const uint32_t status = tried([&] { return link->udp_read_fabric(CORE_REGISTER_STATUS); });
        r.add("status", status).add("retries", retries);
        const std::string retried = retries > 0 ? " (" + std::to_string(retries) + " replies lost, sent again)" : "";
        if (status != CORE_STATUS_IDLE)
            return r.set(Verdict::warn,
                         "buffer set 0 and 1 read back; status reads " + std::to_string(status) + ", not idle (" +
                             std::to_string(CORE_STATUS_IDLE) + ")" + retried,
                         status == CORE_STATUS_BUSY
                             ? "a core run is in progress or hangs; the demonstrator resets the board at its first "
                               "frame (16 s); reset or power-cycle it now"
                             : "the firmware reports an unknown state; power-cycle the board");
        return r.set(Verdict::pass, "buffer set 0 and 1 read back, status idle (" + std::to_string(status) + ")" + retried);
    } catch (const std::exception&) {
        r.add("retries", retries);
        return r.set(Verdict::fail,
                     "no acknowledgement or reply from the registers after " + std::to_string(REGISTER_TRIES) +
                         " tries",
                     "the board answers init but not its registers: its firmware may still be starting, or be "
                     "another one; reset the board");
    }
}

}  // namespace board_check
