// A stand-in for the core-control stage, for running the pipeline without a
// board: the same operations, and each run simply takes a fixed time. No
// program uses it at present.
#pragma once

#include "records/config.hpp"
#include "link/udp_interface.hpp"
#include "records/core_limits.hpp"
#include "pipeline/core_run.hpp"
#include "pipeline/worker.hpp"

#include <chrono>
#include <cstdint>
#include <memory>

class ProcessWorkerDummy : public Worker, public CoreRun {
public:
    // Pretended run time of the core.
    static constexpr std::chrono::nanoseconds SIMULATED_RUN{38461000};

    // Neither the link nor the core settings are used.
    ProcessWorkerDummy(std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core);

    void work() override;
    void start_core();
    bool is_core_done() const;
    // Waits until the pretended run time has passed, polling; gives the run
    // up like the real stage after the default completion limit.
    bool wait_core_done();

    int64_t get_simulated_us() const { return simulated_us; }
    CallbackMap get_callbacks() override { return {}; }

private:
    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    int64_t simulated_us = 0;
};
