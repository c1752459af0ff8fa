#include "app/main_control.hpp"

#include "platform/fatal_error.hpp"
#include "app/board.hpp"
#include "platform/console.hpp"
#include "platform/fatal_handover.hpp"
#include "platform/signals.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>

uint64_t initial_stream_index(DATA_SOURCE data_source) {
    switch (data_source) {
        case DATA_SOURCE::CAPTURE:
            return 0;
        case DATA_SOURCE::IMAGE:
            return 1;
        case DATA_SOURCE::VIDEO:
            return 2;
        case DATA_SOURCE::PACKED:
            throw exception_fatal({"ERROR: Data source PACKED not yet implemented"});
        default:
            throw exception_fatal({"ERROR: Unknown data source selected"});
    }
}

void require_initial_stream(Stream& stream, DATA_SOURCE data_source) {
    std::string message;
    if (stream.okay(message)) return;
    throw exception_fatal({"ERROR: Unable to initialise initial stream",
                           "\tStream Type:  \t" + data_source_name.at(data_source), "\tError Message:\t" + message});
}

void rebuild_key_map(Display& display, Stream& active, PostProcessWorker& post) {
    // Composed aside and put in place at once: a window closed meanwhile
    // still finds its Escape action.
    CallbackMap keys = active.get_callbacks();
    keys[27] = callback_end;
    keys[32] = callback_switch;
    keys[114] = callback_reset;
    for (const auto& entry : post.get_callbacks()) keys[entry.first] = entry.second;
    display.replace_callbacks(keys);
}

namespace {

std::atomic<bool> end_asked{false};

// Runs the first frame until it gets through without exception_reset,
// resetting the board after every failure. Returns false when the user asked
// to end meanwhile (the program then shuts down instead of retrying).
bool run_first_frame(const std::shared_ptr<UDPInterface>& link, FrameLoop& loop, const BoardReset& reset_board) {
    for (;;) {
        try {
            loop.first_frame();
            return true;
        } catch (const exception_reset& error) {
            std::cout << error.what() << std::endl;
            // A fatal error handed over meanwhile ends the program before
            // the board is reset.
            rethrow_handed_over_fatal();
            if (end_requested()) return false;
            reset_board(link);
            loop.board_was_reset();
            if (end_requested()) return false;
        }
    }
}

}  // namespace

void callback_end() {
    // Set before `stop`, so that whoever sees this `stop` also sees the end.
    end_asked.store(true);
    callback_stop();
}

bool end_requested() { return end_asked.load() || stop_signal_received(); }

uint64_t switch_stream(const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index) {
    std::cout << "stream_index " << stream_index << std::endl;
    std::cout << "streams.size() " << streams.size() << std::endl;
    switch_source.store(false);
    for (uint64_t i = 0; i < streams.size(); ++i) {
        std::cout << "i " << i << std::endl;
        stream_index = (stream_index + 1) % streams.size();
        std::cout << "stream_index " << stream_index << std::endl;
        std::cout << "streams[stream_index]->get_id() " << streams[stream_index]->get_id() << std::endl;
        std::string message;
        if (streams[stream_index]->okay(message)) {
            // An end the user asked for meanwhile still ends the program.
            if (!end_requested()) stop.store(false);
            return stream_index;
        }
        std::cerr << "WARNING: Cannot switch to stream " << stream_index << std::endl;
        std::cerr << "\t Message: " << message << std::endl;
    }
    throw exception_fatal({"ERROR: Unable to switch stream", "\tNo stream in okay state found"});
}

bool shutdown_requested() { return stop.load() || end_requested() || fatal_handed_over(); }

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

void report_loop_reset(const exception_reset& error) {
    std::cerr << "Caught exception" << std::endl;
    std::cerr << error.what() << std::endl;
    reset.store(true);
    stop.store(true);
}

std::string debug_ms(int64_t us) {
    char text[64];
    std::snprintf(text, sizeof text, "%7.3f", static_cast<double>(us) / 1000.0);
    return text;
}

std::string debug_line_prefix(int64_t upload_us, int64_t post_us, int64_t core_us, bool waited) {
    std::string line;
    line += "u: " + debug_ms(upload_us) + " ";
    line += "p: " + debug_ms(post_us) + " ";
    line += "c: " + debug_ms(upload_us + post_us) + " ";
    line += "f: " + debug_ms(core_us) + " ";
    line += std::string("(") + (waited ? "1" : "0") + ")" + " " + " | ";
    return line;
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

        const bool started = run_first_frame(link, loop, reset_board);
        if (started) {
            std::cout << "INITIAL UPLOAD AND START DONE  " << std::endl;
            loop.run();
        }

        active->stop();
        if (!reset.load() && started) {
            // The run in progress is awaited; a board that no longer finishes
            // it is reset like a failure inside the loop.
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
        if (reset.load()) {
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

std::string one_space_debug_line(const UploadWorker& upload, const PostProcessWorker& output,
                                 const ProcessWorker& process) {
    return debug_line_prefix(upload.duration_us, output.duration_us, process.duration_us, process.get_waited()) +
           debug_ms(upload.grab_us) + "/" + debug_ms(upload.prepare_us) + "/" + debug_ms(upload.upload_us) + "/" +
           " | " + debug_ms(output.download_us) + "/" + debug_ms(output.hash_us) + "/" +
           debug_ms(output.dequantise_us) + "/" + debug_ms(output.postprocess_us) + "/";
}
