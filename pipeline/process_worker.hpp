// The core-control stage: starts one run of the accelerator core on the input
// buffer selected by `pingpong` through the fabric registers, and polls until
// the core reports that it has finished. A stalled core or a link time-out
// becomes exception_reset, upon which the main loop resets the board.
#pragma once

#include "records/config.hpp"
#include "records/registers.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/core_run.hpp"
#include "pipeline/core_run_estimate.hpp"
#include "pipeline/worker.hpp"

#include <cstdint>
#include <memory>

class ProcessWorker : public Worker, public MemoryMap, public CoreRun {
public:
    // The limits are those of `core` (the defaults when it is null); the
    // second form replaces all of them.
    ProcessWorker(std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core);
    ProcessWorker(std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core, const CoreLimits& limits);

    // The pause between the completion reads of a run whose end is not
    // expected soon.
    static constexpr std::chrono::nanoseconds POLL_INTERVAL{std::chrono::microseconds(500)};

    // Starts the core (start_core).
    void work() override;
    // Starts one run on the buffer set `pingpong`. The first run since
    // construction first checks that the network reports idle.
    void start_core();
    // Waits until the core reports the run finished and returns true; a run
    // whose wait outlasts the completion limit, or a register read that times
    // out, raises exception_reset with the stage idle again. With
    // limits.wait adaptive, the first read is put off until shortly before
    // the end the last runs let it expect (see CoreRunEstimate); the board
    // reset that follows either error forgets what was learned.
    bool wait_core_done();
    // What the adaptive wait has learned; nothing under the poll wait.
    const CoreRunEstimate& run_estimate() const { return estimate; }

    CallbackMap get_callbacks() override { return {}; }

protected:
    // The steps of a start that the serial program's core control shares.
    // begin_start: note the start time; exit when a run is in progress.
    void begin_start();
    // Reads the status register; when it is not idle, reads it once more,
    // prints that value and raises exception_reset.
    void check_idle();
    // An acknowledged write of the start sequence, waiting limits.start_ack
    // for each acknowledgement. The buffer and arming writes may be repeated
    // and are retried by the link. The write that begins the run (`begins`)
    // is, with more than one attempt, sent again only after the registers
    // show that the unacknowledged one was not carried out (run_began).
    void write_start(const uint32_t* words, uint32_t address, uint32_t word_count, bool begins);
    // Whether the run of this start has begun: the status register reads
    // busy, or the done flag, cleared by the arming write, is set again.
    // Both come from one read of the registers 0x00 to 0x10.
    bool run_began();
    // Replaces a write or read time-out by exception_reset with the start message.
    [[noreturn]] static void start_failed(const std::exception& error);

    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    const CoreLimits limits;

private:
    CoreRunEstimate estimate;
};
