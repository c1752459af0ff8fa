#include "app/restart_loop.hpp"

#include "app/end_request.hpp"
#include "app/key_map.hpp"
#include "app/source_switch.hpp"
#include "display/status_line.hpp"
#include "pipeline/session_health.hpp"
#include "platform/console.hpp"
#include "platform/fatal_error.hpp"
#include "platform/fatal_handover.hpp"
#include "platform/signals.hpp"

#include <iostream>
#include <memory>
#include <string>

namespace {

// Runs the first frame until it gets through without exception_reset,
// resetting the board after every failure, with the idle screen and its
// status line up meanwhile. Returns false when the user asked to end
// meanwhile (the program then shuts down instead of retrying).
bool run_first_frame(const std::shared_ptr<UDPInterface>& link, FrameLoop& loop, PostProcessWorker& output,
                     const BoardReset& reset_board) {
    for (int attempt = 1;; ++attempt) {
        try {
            const std::unique_ptr<ShowStatus> status =
                attempt == 1 ? nullptr
                             : std::make_unique<ShowStatus>("Trying the first frame again, attempt " +
                                                            std::to_string(attempt));
            loop.first_frame();
            return true;
        } catch (const exception_reset& error) {
            count(loop_counters().first_frame_retries);
            std::cout << error.what() << std::endl;
            // A fatal error handed over meanwhile ends the program before
            // the board is reset.
            rethrow_handed_over_fatal();
            if (end_requested()) {
                std::cerr << "INFO: stopped during a first frame" << std::endl;
                return false;
            }
            // The idle screen carries the status line meanwhile; the next
            // frame still counts as new.
            output.idle();
            output.reset();
            {
                const ShowStatus status("The first frame failed: resetting the board");
                reset_board(link);
            }
            loop.board_was_reset();
            if (end_requested()) return false;
        }
    }
}

}  // namespace

void shut_down(Display& display, Stream& active) {
    display.stop();
    active.stop();
    // An error the window or the source handed over while stopping still
    // ends the program with its lines.
    rethrow_handed_over_fatal();
    if (!stop_signal_received()) console_pause();
}

void stop_threads(Display& display, const std::vector<std::shared_ptr<Stream>>& streams, FrameLoop& loop) {
    display.stop();
    for (const auto& stream : streams) stream->stop();
    loop.finish();
}

int run_restarts(FrameLoop& loop, const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index,
                 Display& display, PostProcessWorker& output, ProcessWorker& process,
                 const std::shared_ptr<UDPInterface>& link, const BoardReset& reset_board) {
    for (;;) {
        const std::shared_ptr<Stream> active = streams[stream_index];
        rethrow_handed_over_fatal();
        if (shutdown_requested()) {
            shut_down(display, *active);
            return 0;
        }
        std::cout << "START/RESTART (source switch)" << std::endl;
        rebuild_key_map(display, *active, output);
        active->work();
        loop.restart(active);
        output.reset();

        const bool started = run_first_frame(link, loop, output, reset_board);
        if (started) {
            std::cout << "INITIAL UPLOAD AND START DONE  " << std::endl;
            loop.run();
        }

        active->stop();
        if (!reset.load() && started) {
            // The run in progress is awaited; a board that no longer finishes
            // it is reset like a failure inside the loop, unless the program
            // is ending.
            try {
                process.wait_core_done();
            } catch (const exception_reset& error) {
                report_loop_reset(error);
                loop.resets_left -= 1;
            }
        }
        output.idle();
        // No board reset for a program that has to end.
        rethrow_handed_over_fatal();
        if (reset.load() && !end_requested()) {
            if (loop.resets_left <= 0) {
                throw exception_fatal({"Stuck in reset loop. FPGA has been reset 3 or more times in a row"});
            }
            reset_board(link);
            reset.store(false);
            // An end the user asked for, before the reset or during the
            // board's boot, still ends the program.
            if (!end_requested()) stop.store(false);
            process.reset();
        }
        if (switch_source.load() && !end_requested()) {
            stream_index = switch_stream(streams, stream_index);
        }
        loop.finish();
    }
}
