// The transfers of the link: chunking into datagrams, the pacing of DDR
// writes, and the retries of each chunk, each transfer under link_mutex.
#include "link/udp_interface_ethernet.hpp"

#include "link/link_counters.hpp"
#include "link/link_report.hpp"
#include "link/wire.hpp"
#include "platform/fatal_error.hpp"
#include "platform/sleep.hpp"

#include <algorithm>
#include <iostream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// Pacing: the timer slack while a paced write sleeps, and the most bytes sent
// in one go between two sleeps.
constexpr std::chrono::nanoseconds PACING_TIMER_SLACK{1000};
constexpr uint32_t PACING_BURST_BYTES = 32 * 1024;

void report_failed_attempt(const char* heading, int attempts, int left) {
    LinkReport report(std::cerr);
    report << heading << '\n'
           << "\tNumber of retries:\t" << attempts << '\n'
           << "\tRetries left:     \t" << left << '\n'
           << (left > 0 ? "\tretrying" : "\tretries exhausted") << '\n';
}

// Releases the transfer lock, prints the exhaustion report and throws.
template <class Error>
[[noreturn]] void give_up(std::unique_lock<std::mutex>& lock, const char* heading, int attempts,
                          const char* message) {
    lock.unlock();
    count(link_counters().transfers_given_up);
    {
        LinkReport report(std::cerr);
        report << heading << '\n' << "\tNumber of retries:\t" << attempts << '\n';
    }
    throw Error(message);
}

// How one chunk of a transfer is retried: the attempts allowed, the report
// after each failed attempt (and the pause after it), and the exhaustion
// report with the error's message.
struct RetryRule {
    int attempts;
    const char* failed_heading;
    const char* exhausted_heading;
    const char* error_message;
    std::chrono::nanoseconds pause_after_failure;
};

RetryRule write_ack_rule(const LinkLimits& limits, bool ddr) {
    if (ddr)
        return {limits.ddr_write_ack_attempts, "WARNING: UDP Interface: write_ack ddr failed, retrying",
                "ERROR: UDP Interface: write_ack ddr exceeded maximum number of retries ",
                "udp_write_ack_ddr: Exceeded maximum number of retries", std::chrono::nanoseconds(0)};
    return {limits.fabric_write_ack_attempts, "WARNING: UDP Interface: write_ack fabric failed",
            "ERROR: UDP Interface: write_ack fabric exceeded maximum number of retries ",
            "udp_write_ack_fabric: Exceeded maximum number of retries", std::chrono::nanoseconds(0)};
}
// Both spaces report as "read ddr"; only the fabric read pauses after a failure.
RetryRule read_rule(const LinkLimits& limits, bool ddr) {
    return {limits.read_attempts, "WARNING: UDP Interface: read ddr failed, retrying",
            "ERROR: UDP Interface: read ddr exceeded maximum number of retries ",
            ddr ? "udp_read_ddr: Exceeded maximum number of retries" : "udp_read_fabric: Exceeded maximum number of retries",
            ddr ? std::chrono::nanoseconds(0) : limits.fabric_read_pause};
}

// After a failed attempt, when the program is ending: no further attempt, the
// transfer fails at once with Error.
template <class Error>
void give_up_if_ending(std::unique_lock<std::mutex>& lock, bool (*ending)(), const char* message) {
    if (ending == nullptr || !ending()) return;
    lock.unlock();
    throw Error(std::string(message) + " (given up: the program ends)");
}

// Runs `attempt()` until it succeeds or the rule's attempts are used up; then
// releases the transfer lock and throws Error. A failed attempt once `ending`
// holds is the last.
template <class Error, class Attempt>
void retry_chunk(std::unique_lock<std::mutex>& lock, const RetryRule& rule, bool (*ending)(), Attempt&& attempt) {
    for (int i = 1; i <= rule.attempts; ++i) {
        if (attempt()) return;
        give_up_if_ending<Error>(lock, ending, rule.error_message);
        if (i < rule.attempts) count(link_counters().attempts_retried);
        report_failed_attempt(rule.failed_heading, rule.attempts, rule.attempts - i);
        if (rule.pause_after_failure.count() > 0) sleep_full(rule.pause_after_failure);
    }
    give_up<Error>(lock, rule.exhausted_heading, rule.attempts, rule.error_message);
}

// Runs `pass(first_word, address, words)` over the chunks of a transfer of
// `n` words, `chunk_words` per datagram, the address advancing `chunk_bytes`
// per chunk. The last pass is skipped when it has no words.
template <class Pass>
void for_each_chunk(uint32_t n, uint32_t chunk_words, uint32_t chunk_bytes, uint32_t address, Pass&& pass) {
    const uint64_t k = n / chunk_words;
    for (uint64_t i = 0; i <= k; ++i) {
        const uint64_t done = i * chunk_words;
        const uint32_t m = static_cast<uint32_t>(std::min<uint64_t>(n - done, chunk_words));
        if (m == 0) continue;
        pass(done, static_cast<uint32_t>(address + i * chunk_bytes), m);
    }
}

}  // namespace

void UDPInterfaceEthernet::udp_write_ddr(const uint32_t* data, uint32_t address, uint32_t word_count) {
    std::unique_lock<std::mutex> lock(link_mutex);
    const std::chrono::nanoseconds pace = std::chrono::microseconds(write_pace_us);
    if (pace.count() == 0) {
        for_each_chunk(word_count, ddr_payload_words, ddr_payload_size, address,
                       [&](uint64_t first, uint32_t chunk_address, uint32_t m) {
                           this->_udp_write(data + first, chunk_address, m, true);
                       });
        return;
    }
    // Each datagram owns a time slot of the pace, and the slots follow one
    // another, so the write rate stays at or below the configured limit. A
    // full datagram's slot is the pace; a short last datagram gets its share
    // of it, so transfers that are not whole chunks (a 173,056-byte plane is
    // 21 full chunks and an eighth) are not held below the rate.
    //
    // Datagrams go out a few at a time (at most PACING_BURST_BYTES), each
    // group at the start of its slots, and the thread then sleeps until the
    // group's slots have ended: one wake-up per group instead of one per
    // datagram, and no spinning. A wake-up that comes late is made up: the
    // next group's slots start where the last ones ended, and a following
    // write goes on with the same schedule, so the rate over many writes is
    // the configured one. Behind the schedule by a whole group's time or more
    // (a stall, or a pause between writes), the schedule starts afresh. So in
    // any stretch of time at most two groups more than the limit allows go
    // out, and the board's receive buffer, which empties faster than the
    // limit, never has to hold more than that. The write returns when its
    // last slot has ended.
    //
    // The link is free while the thread sleeps: another thread's exchange (a
    // core start, a completion read, the results' read) goes out between two
    // groups instead of waiting for the whole transfer. The schedule stays
    // under the lock, so such an exchange only takes time the pace leaves.
    const auto pause_until = [&lock](Clock::time_point until) {
        lock.unlock();
        sleep_until(until);
        lock.lock();
    };
    const auto paced_start = Clock::now();
    const uint32_t burst = std::max<uint32_t>(1, PACING_BURST_BYTES / ddr_payload_size);
    const std::chrono::nanoseconds burst_time = pace * burst;
    TimerSlack slack(PACING_TIMER_SLACK);
    uint32_t in_burst = 0;
    for_each_chunk(word_count, ddr_payload_words, ddr_payload_size, address,
                   [&](uint64_t first, uint32_t chunk_address, uint32_t m) {
                       if (in_burst == 0) {
                           // A group never goes out ahead of its slots (the
                           // schedule can be ahead only after a write that
                           // failed half-way).
                           const auto now = Clock::now();
                           if (now < paced_until)
                               pause_until(paced_until);
                           else if (now - paced_until >= burst_time)
                               paced_until = now;
                       }
                       this->_udp_write(data + first, chunk_address, m, true);
                       paced_until += m == ddr_payload_words ? pace : pace * m / ddr_payload_words;
                       if (++in_burst == burst) {
                           pause_until(paced_until);
                           in_burst = 0;
                       }
                   });
    if (in_burst > 0) pause_until(paced_until);
    count(link_counters().bytes_paced, uint64_t(word_count) * 4);
    count(link_counters().paced_ns,
          static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - paced_start).count()));
}

void UDPInterfaceEthernet::udp_write_fabric(const uint32_t* data, uint32_t address, uint32_t word_count) {
    std::unique_lock<std::mutex> lock(link_mutex);
    for_each_chunk(word_count, fabric_payload_words, fabric_payload_size, address,
                   [&](uint64_t first, uint32_t chunk_address, uint32_t m) {
                       this->_udp_write(data + first, chunk_address, m, false);
                   });
}

int UDPInterfaceEthernet::udp_write_ack_ddr(const uint32_t* data, uint32_t address, uint32_t word_count,
                                            std::chrono::nanoseconds timeout) {
    return write_ack_chunks(data, address, word_count, true, timeout);
}

int UDPInterfaceEthernet::udp_write_ack_fabric(const uint32_t* data, uint32_t address, uint32_t word_count,
                                               std::chrono::nanoseconds timeout) {
    return write_ack_chunks(data, address, word_count, false, timeout);
}

int UDPInterfaceEthernet::write_ack_chunks(const uint32_t* data, uint32_t address, uint32_t word_count, bool ddr,
                                           std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(link_mutex);
    for_each_chunk(word_count, ddr ? ddr_payload_words : fabric_payload_words,
                   ddr ? ddr_payload_size : fabric_payload_size, address,
                   [&](uint64_t first, uint32_t chunk_address, uint32_t m) {
                       retry_chunk<exception_writeacktimeout>(lock, write_ack_rule(limits, ddr), ending, [&] {
                           return this->_udp_write_ack(data + first, chunk_address, m, ddr, timeout) == 1;
                       });
                   });
    return 1;
}

int UDPInterfaceEthernet::udp_read_ddr(uint32_t* data, uint32_t address, uint32_t word_count) {
    return read_chunks(data, address, word_count, true);
}

int UDPInterfaceEthernet::udp_read_fabric(uint32_t* data, uint32_t address, uint32_t word_count) {
    return read_chunks(data, address, word_count, false);
}

int UDPInterfaceEthernet::read_chunks(uint32_t* data, uint32_t address, uint32_t word_count, bool ddr) {
    std::unique_lock<std::mutex> lock(link_mutex);
    uint64_t words = 0;
    for_each_chunk(word_count, ddr ? ddr_payload_words : fabric_payload_words,
                   ddr ? ddr_payload_size : fabric_payload_size, address,
                   [&](uint64_t first, uint32_t chunk_address, uint32_t m) {
                       retry_chunk<exception_readtimeout>(lock, read_rule(limits, ddr), ending, [&] {
                           const uint64_t got = this->_udp_read(data + first, chunk_address, m, ddr);
                           words += got;
                           return got > 0;
                       });
                   });
    return static_cast<int>(words);
}

int UDPInterfaceEthernet::udp_read_stream_ddr(uint32_t* data, uint32_t address, uint32_t word_count) {
    std::unique_lock<std::mutex> lock(link_mutex);
    if (word_count == 0) return 0;
    const int attempts = limits.stream_attempts;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        uint64_t words = 0;
        bool failed = false;
        for (uint64_t position = 0, chunk = 0; position < word_count;
             position += wire::STREAM_CHUNK_WORDS, ++chunk) {
            const uint32_t m = static_cast<uint32_t>(std::min<uint64_t>(word_count - position, wire::STREAM_CHUNK_WORDS));
            const uint64_t got = _udp_read_stream(data + position,
                                                  static_cast<uint32_t>(address + chunk * wire::STREAM_CHUNK_BYTES), m,
                                                  true);
            if (got == 0) {
                failed = true;
                break;
            }
            words += got;
        }
        if (!failed) return static_cast<int>(words);
        give_up_if_ending<exception_readtimeout>(lock, ending, "udp_read_ddr: Exceeded maximum number of retries");
        if (attempt < attempts) {
            count(link_counters().attempts_retried);
            count(link_counters().output_reads_restarted);
        }
        report_failed_attempt("WARNING: UDP Interface: read ddr stream failed, retrying", attempts, attempts - attempt);
    }
    give_up<exception_readtimeout>(lock, "ERROR: UDP Interface: read ddr stream exceeded maximum number of retries ",
                                   attempts, "udp_read_ddr: Exceeded maximum number of retries");
}

void UDPInterfaceEthernet::udp_write_fabric(uint32_t value, uint32_t address) {
    this->udp_write_fabric(&value, address, 1);
}

int UDPInterfaceEthernet::udp_write_ack_fabric(uint32_t value, uint32_t address, std::chrono::nanoseconds timeout) {
    return this->udp_write_ack_fabric(&value, address, 1, timeout);
}

uint32_t UDPInterfaceEthernet::udp_read_fabric(uint32_t address) {
    uint32_t value = 0;
    this->udp_read_fabric(&value, address, 1);
    return value;
}

bool UDPInterfaceEthernet::udp_write_ack_fabric_once(const uint32_t* data, uint32_t address, uint32_t word_count,
                                                     std::chrono::nanoseconds timeout) {
    if (word_count == 0 || word_count > fabric_payload_words) {
        throw exception_fatal({"ERROR: UDP Interface: a single fabric write holds 1 to " +
                               std::to_string(fabric_payload_words) + " words, not " + std::to_string(word_count)});
    }
    std::unique_lock<std::mutex> lock(link_mutex);
    return this->_udp_write_ack(data, address, word_count, false, timeout) == 1;
}
