// visiondemo: the host side of the FPGA object-detection demonstrator.
#include "app/board.hpp"
#include "app/main_loop.hpp"
#include "app/startup.hpp"
#include "link/exceptions.hpp"
#include "pipeline/fps_measure.hpp"
#include "platform/fatal_error.hpp"
#include "platform/fatal_handover.hpp"
#include "platform/signals.hpp"

#include <exception>
#include <iostream>
#include <memory>

namespace {

// Ctrl-C and SIGTERM do what Escape does: the loop stops at the next cycle
// boundary and shuts down in order.
void stop_on_signal() { stop.store(true); }

// A fatal error handed over by the window or a source thread ends the frame
// loop at its next cycle boundary, where the main thread takes it over.
void stop_on_fatal() { stop.store(true); }

int run() {
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
    setup(CONFIGURATION_PATH, core, demo, post_processing, link);

    return run_main_loop(core, demo, post_processing, link, fps);
}


// Link errors that no handler deals with end the program with a failure
// status and their name, instead of an abort.
int report_unhandled(const char* type, const std::exception& error) {
    std::cerr << "ERROR: Unhandled error: " << type;
    if (error.what()[0] != '\0') std::cerr << ": " << error.what();
    std::cerr << std::endl;
    return 1;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const exception_fatal& error) {
        // The threads have been stopped on the way here (and a raw console
        // read with them, so the terminal is back as it was): only the lines
        // are left to write.
        error.write(std::cout, std::cerr);
        return 1;
    } catch (const exception_writeerror& error) {
        return report_unhandled("exception_writeerror", error);
    } catch (const exception_writeackerror& error) {
        return report_unhandled("exception_writeackerror", error);
    } catch (const exception_inittimeout& error) {
        return report_unhandled("exception_inittimeout", error);
    } catch (const exception_readtimeout& error) {
        return report_unhandled("exception_readtimeout", error);
    } catch (const exception_writeacktimeout& error) {
        return report_unhandled("exception_writeacktimeout", error);
    } catch (const exception_reset& error) {
        return report_unhandled("exception_reset", error);
    } catch (const std::exception& error) {
        return report_unhandled("std::exception", error);
    }
}
