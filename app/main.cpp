// visiondemo: the host side of the FPGA object-detection demonstrator.
#include "app/board.hpp"
#include "app/end_request.hpp"
#include "app/main_loop.hpp"
#include "app/options.hpp"
#include "app/session_summary.hpp"
#include "app/startup.hpp"
#include "link/exceptions.hpp"
#include "pipeline/fps_measure.hpp"
#include "pipeline/session_health.hpp"
#include "platform/fatal_error.hpp"
#include "platform/fatal_handover.hpp"
#include "platform/signals.hpp"
#include "platform/trace.hpp"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Ctrl-C and SIGTERM do what Escape does: the loop stops at the next cycle
// boundary and shuts down in order.
void stop_on_signal() { stop.store(true); }

// A fatal error handed over by the window or a source thread ends the frame
// loop at its next cycle boundary, where the main thread takes it over.
void stop_on_fatal() { stop.store(true); }

int run(const DemoOptions& options) {
    stop.store(false);
    switch_source.store(false);
    reset.store(false);
    install_stop_signals(stop_on_signal);
    set_fatal_notify(stop_on_fatal);

    auto fps = std::make_shared<FpsMeasure>();

    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<PostProcessing> post_processing;
    std::shared_ptr<UDPInterface> link;
    setup(options.config_path, core, demo, post_processing, link);

    return run_main_loop(core, demo, post_processing, link, fps, options);
}


// Link errors that no handler deals with end the program with a failure
// status and their name, instead of an abort.
int report_unhandled(const char* type, const std::exception& error) {
    std::cerr << "ERROR: Unhandled error: " << type;
    if (error.what()[0] != '\0') std::cerr << ": " << error.what();
    std::cerr << std::endl;
    return 1;
}

// Ends the timeline on every way out of main: the stages' lines still in
// memory are written and the file closed.
struct TraceClose {
    ~TraceClose() {
        const size_t dropped = trace::close();
        if (dropped > 0) std::cerr << "WARNING: the trace left out " << dropped << " stages" << std::endl;
    }
};

// The session summary, on every way out once the program has started its
// work (not after a usage error, --help or --version): a return from main,
// and an exit the window library makes when it loses its display.
void print_session_summary() { std::cout << session_summary(health_snapshot()) << std::flush; }

}  // namespace

int main(int argc, char** argv) {
    const TraceClose trace_close;
    std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "visiondemo";
    program = program.substr(program.find_last_of('/') + 1);
    DemoOptions options;
    try {
        options = parse_demo_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const OptionsError& error) {
        std::cerr << program << ": " << error.what() << std::endl << demo_usage(program) << std::flush;
        return 2;
    }
    if (options.help) {
        std::cout << demo_usage(program) << std::flush;
        return 0;
    }
    if (options.version) {
        std::cout << demo_version(program) << std::endl;
        return 0;
    }
    // The counters exist before the handler is registered, so they outlive it.
    health_snapshot();
    std::atexit(print_session_summary);
    if (!options.trace_path.empty() && !trace::open(options.trace_path)) {
        std::cerr << "ERROR: Cannot write the trace file " << options.trace_path << std::endl;
        return 1;
    }
    try {
        return run(options);
    } catch (const exception_fatal& error) {
        // The threads have been stopped on the way here (and a raw console
        // read with them, so the terminal is back as it was): only the lines
        // are left to write.
        error.write(std::cout, std::cerr);
        return 1;
    } catch (const stopped_during& moment) {
        // An end the user asked for, served before what it cut short was
        // over; the threads are stopped.
        std::cerr << "INFO: stopped during " << moment.what() << std::endl;
        return 0;
    } catch (const link_error& error) {
        return report_unhandled(error.type_name(), error);
    } catch (const std::exception& error) {
        return report_unhandled("std::exception", error);
    }
}
