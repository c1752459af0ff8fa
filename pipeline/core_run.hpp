// What the core-control stage and its stand-in keep about the core's runs:
// whether one is in progress, whether the host had to wait for its end, when
// it started and ended, and how many runs have ended.
#pragma once

#include "link/exceptions.hpp"
#include "records/core_limits.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

class CoreRun {
public:
    bool get_core_started() const { return core_started.load(); }
    bool get_core_done() const { return core_done.load(); }
    bool get_waited() const { return waited.load(); }
    std::chrono::nanoseconds get_slack() const { return slack; }
    std::chrono::steady_clock::time_point get_start_time() const { return start_time; }
    std::chrono::nanoseconds elapsed() const { return end_time - wait_start; }
    int32_t get_framecount() const { return framecount; }

    // Forces the idle state (after a board reset). framecount is kept.
    void reset() {
        waited = false;
        core_started = false;
        core_done = true;
    }

protected:
    // A run has begun: its start was acknowledged just now.
    void mark_started() {
        core_started = true;
        core_done = false;
        began_time = std::chrono::steady_clock::now();
    }
    // The run has ended, finished or given up; it counts in framecount.
    void end_run() {
        core_done = true;
        core_started = false;
        ++framecount;
    }
    // The run finished at `end`: its end time and the slack of the wait.
    void record_finish(std::chrono::steady_clock::time_point end) {
        end_time = end;
        slack = end_time - wait_start;
    }
    // The error of a run given up after its completion limit, once end_run has
    // counted it.
    exception_reset run_timed_out() const {
        return exception_reset("Processing mode reset exception, timeout wait core done, framecount = " +
                               std::to_string(framecount));
    }

    std::atomic<bool> waited{false};
    std::atomic<bool> core_started{false};
    std::atomic<bool> core_done{true};
    std::chrono::steady_clock::time_point wait_start{};
    std::chrono::steady_clock::time_point start_time{};
    // When the run's start was acknowledged (start_time is before the start writes).
    std::chrono::steady_clock::time_point began_time{};
    std::chrono::steady_clock::time_point end_time{};
    std::chrono::nanoseconds slack{0};
    int32_t framecount = 0;
};
