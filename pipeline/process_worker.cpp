#include "pipeline/process_worker.hpp"

#include "pipeline/session_health.hpp"
#include "platform/fatal_error.hpp"
#include "platform/sleep.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The timer slack while the run is polled: the kernel's default would let
// each 0.5 ms sleep end up to 50 us late, and the run's end be seen later.
constexpr std::chrono::nanoseconds POLL_TIMER_SLACK{1000};

int64_t micros_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count() / 1000;
}

[[noreturn]] void exit_with_line(const std::string& line) {
    throw exception_fatal({line});
}

std::string hex8(uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace

ProcessWorker::ProcessWorker(std::shared_ptr<UDPInterface> link_, std::shared_ptr<Core> core_)
    : link(std::move(link_)), core(std::move(core_)), limits(core ? core->limits : CoreLimits()) {}

ProcessWorker::ProcessWorker(std::shared_ptr<UDPInterface> link_, std::shared_ptr<Core> core_,
                             const CoreLimits& limits_)
    : link(std::move(link_)), core(std::move(core_)), limits(limits_) {}

void ProcessWorker::work() { start_core(); }

void ProcessWorker::start_core() {
    begin_start();
    // Only the first run since construction checks that the network is idle.
    if (framecount == 0) check_idle();
    try {
        const uint32_t buffer = static_cast<uint32_t>(pingpong);
        const uint32_t arm = 1;
        const uint32_t start_and_run[2] = {1, 1};
        write_start(&buffer, CORE_REGISTER_BUFFER, 1, false);
        write_start(&arm, CORE_REGISTER_START, 1, false);
        write_start(start_and_run, CORE_REGISTER_START, 2, true);
    } catch (const exception_writeacktimeout& error) {
        start_failed(error);
    } catch (const exception_readtimeout& error) {
        start_failed(error);
    }
    mark_started();
    count(loop_counters().core_runs);
}

void ProcessWorker::write_start(const uint32_t* words, uint32_t address, uint32_t word_count, bool begins) {
    const int attempts = limits.start_attempts;
    if (!begins || attempts <= 1) {
        link->udp_write_ack_fabric(words, address, word_count, limits.start_ack);
        return;
    }
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (link->udp_write_ack_fabric_once(words, address, word_count, limits.start_ack)) return;
        // Sending the write again after it was carried out would start a
        // second run on the same frame (or be refused while the first runs).
        if (run_began()) {
            count(loop_counters().core_start_acks_lost);
            return;
        }
        if (attempt < attempts) count(link_counters().attempts_retried);
        std::cerr << "WARNING: core start not acknowledged and not carried out, attempt " << attempt << " of "
                  << attempts << std::endl;
    }
    throw exception_writeacktimeout("core start: no acknowledgement after " + std::to_string(attempts) +
                                    " attempts");
}

bool ProcessWorker::run_began() {
    // One read of the registers from start to status: its reply is longer
    // than an acknowledgement or a one-word read, so a late reply to the lost
    // write or to an earlier read cannot be taken for it.
    constexpr uint32_t WORDS = CORE_REGISTER_STATUS / 4 + 1;
    uint32_t words[WORDS] = {};
    link->udp_read_fabric(words, CORE_REGISTER_START, WORDS);
    return words[CORE_REGISTER_STATUS / 4] == CORE_STATUS_BUSY || words[CORE_REGISTER_START / 4] != 0;
}

void ProcessWorker::begin_start() {
    start_time = Clock::now();
    if (core_started.load()) {
        exit_with_line("Processing unit indicates the core has started but has not yet finished");
    }
    if (!core_done.load()) {
        exit_with_line("ERROR: Processing unit is neither running nor idle (core_done clear, core_started clear)");
    }
}

void ProcessWorker::check_idle() {
    // A first read other than idle decides: the second read only tells what
    // the board reports now, for the line, even when that is idle again.
    uint32_t status = 0;
    try {
        if (link->udp_read_fabric(CORE_REGISTER_STATUS) == CORE_STATUS_IDLE) return;
        status = link->udp_read_fabric(CORE_REGISTER_STATUS);
    } catch (const exception_readtimeout& error) {
        throw exception_reset(std::string("exception_reset in processing node @start_core: ") + error.what());
    }
    std::cerr << "FPGA indicates network is not idle. 0x04  = " << hex8(status) << std::endl;
    throw exception_reset("Processing mode reset exception, @start core");
}

void ProcessWorker::start_failed(const std::exception& error) {
    throw exception_reset(std::string("exception_reset in processing node @start_core: ") + error.what());
}

bool ProcessWorker::wait_core_done() {
    waited = false;
    wait_start = Clock::now();
    const TimerSlack precise_sleeps(POLL_TIMER_SLACK);
    // When the latest read was sent: a run is learned as the time from its
    // start to the read that saw its end, so that the estimate already
    // allows for the read's way to the board.
    Clock::time_point asked;
    const auto finished = [&] {
        asked = Clock::now();
        return link->udp_read_fabric(CORE_REGISTER_START) != 0;
    };
    try {
        const Clock::time_point first_read =
            std::min(began_time + estimate.first_read(), wait_start + limits.completion);
        if (first_read > wait_start) {
            sleep_until(first_read);
            waited = true;
        }
        while (!finished()) {
            const Clock::time_point now = Clock::now();
            if (now - wait_start >= limits.completion) {
                estimate.clear();
                end_run();
                throw run_timed_out();
            }
            sleep_full(estimate.interval(now - began_time, POLL_INTERVAL));
            waited = true;
        }
    } catch (const exception_readtimeout& error) {
        // The board no longer answers: it will be reset, so the stage is idle.
        estimate.clear();
        core_done = true;
        core_started = false;
        throw exception_reset(std::string("exception_reset in processing node @wait_core_done: ") + error.what());
    }
    end_run();
    record_finish(Clock::now());
    // A run whose end was already there at a read taken without waiting
    // may have ended long before: its length says nothing.
    if (limits.wait == CoreWait::adaptive && waited) estimate.learn(asked - began_time);
    duration_us = micros_between(start_time, end_time);
    return core_done.load();
}
