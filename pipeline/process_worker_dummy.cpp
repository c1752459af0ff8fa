#include "pipeline/process_worker_dummy.hpp"

#include "platform/sleep.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::nanoseconds POLL_INTERVAL{12000};

int64_t micros_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count() / 1000;
}

}  // namespace

ProcessWorkerDummy::ProcessWorkerDummy(std::shared_ptr<UDPInterface> link_, std::shared_ptr<Core> core_)
    : link(std::move(link_)), core(std::move(core_)) {}

void ProcessWorkerDummy::work() { start_core(); }

void ProcessWorkerDummy::start_core() {
    start_time = Clock::now();
    mark_started();
}

bool ProcessWorkerDummy::is_core_done() const { return Clock::now() - start_time > SIMULATED_RUN; }

bool ProcessWorkerDummy::wait_core_done() {
    waited = false;
    wait_start = Clock::now();
    bool finished = is_core_done();
    while (!finished) {
        if (Clock::now() - wait_start >= CORE_COMPLETION_LIMIT) break;
        sleep_full(POLL_INTERVAL);
        waited = true;
        finished = is_core_done();
    }
    const auto now = Clock::now();
    simulated_us = micros_between(start_time, now);
    end_run();
    if (!finished) throw run_timed_out();
    record_finish(now);
    duration_us = micros_between(start_time, end_time);
    return true;
}
