// The core-control stage: starts one run of the accelerator core on the input
// buffer selected by `pingpong` through the fabric registers, and polls until
// the core reports that it has finished. A stalled core or a link time-out
// becomes exception_reset, upon which the main loop resets the board.
// ProcessWorkerDummy offers the same operations without a board: each run
// simply takes a fixed time.
#pragma once

#include "app/config.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/core_limits.hpp"
#include "pipeline/worker.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

// Fabric registers of the core.
constexpr uint32_t CORE_REGISTER_START = 0x00;  // start writes; reads non-zero once the run has finished
constexpr uint32_t CORE_REGISTER_RUN = 0x04;    // written with 1 together with the start register
constexpr uint32_t CORE_REGISTER_BUFFER = 0x0C; // ping-pong index of the run
constexpr uint32_t CORE_REGISTER_STATUS = 0x10; // 7 while the network is idle
constexpr uint32_t CORE_STATUS_IDLE = 7;

class ProcessWorker : public Worker, public MemoryMap {
public:
    ProcessWorker(std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core,
                  const CoreLimits& limits = CoreLimits());

    // Starts the core (start_core).
    void work() override;
    // Starts one run on the buffer set `pingpong`. The first run since
    // construction first checks that the network reports idle.
    void start_core();
    // Waits until the core reports the run finished and returns true; a run
    // whose wait outlasts the limits' completion, or a register read that times
    // out, raises exception_reset with the stage idle again.
    bool wait_core_done();
    // Forces the idle state (after a board reset). framecount is kept.
    void reset();

    bool get_core_started() const { return core_started.load(); }
    bool get_core_done() const { return core_done.load(); }
    bool get_waited() const { return waited.load(); }
    std::chrono::nanoseconds get_slack() const { return slack; }
    std::chrono::steady_clock::time_point get_start_time() const { return start_time; }
    std::chrono::nanoseconds elapsed() const { return end_time - wait_start; }
    int32_t get_framecount() const { return framecount; }
    CallbackMap get_callbacks() override { return {}; }

protected:
    // The steps of a start that the serial program's core control shares.
    // begin_start: note the start time; exit when a run is in progress.
    void begin_start();
    // Reads the status register; when it is not idle, reads it once more,
    // prints that value and raises exception_reset.
    void check_idle();
    // Replaces a write time-out by exception_reset with the start message.
    [[noreturn]] static void start_failed(const exception_writeacktimeout& error);
    void mark_started();

    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    const CoreLimits limits;

    std::atomic<bool> waited{false};
    std::atomic<bool> core_started{false};
    std::atomic<bool> core_done{true};
    std::chrono::steady_clock::time_point wait_start{};
    std::chrono::steady_clock::time_point start_time{};
    std::chrono::steady_clock::time_point end_time{};
    std::chrono::nanoseconds slack{0};
    int32_t framecount = 0;
};

class ProcessWorkerDummy : public Worker {
public:
    // Pretended run time of the core.
    static constexpr std::chrono::nanoseconds SIMULATED_RUN{38461000};

    ProcessWorkerDummy(std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core);

    void work() override;
    void start_core();
    bool is_core_done() const;
    bool wait_core_done();
    void reset();

    bool get_core_started() const { return core_started.load(); }
    bool get_core_done() const { return core_done.load(); }
    bool get_waited() const { return waited.load(); }
    std::chrono::nanoseconds get_slack() const { return slack; }
    std::chrono::nanoseconds elapsed() const { return end_time - wait_start; }
    int32_t get_framecount() const { return framecount; }
    int64_t get_simulated_us() const { return simulated_us; }
    CallbackMap get_callbacks() override { return {}; }

private:
    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;

    std::atomic<bool> waited{false};
    std::atomic<bool> core_started{false};
    std::atomic<bool> core_done{true};
    std::chrono::steady_clock::time_point wait_start{};
    std::chrono::steady_clock::time_point start_time{};
    std::chrono::steady_clock::time_point end_time{};
    std::chrono::nanoseconds slack{0};
    int32_t framecount = 0;
    int64_t simulated_us = 0;
};
