// visiondemo: the host side of the FPGA object-detection demonstrator.
#include "app/board.hpp"
#include "app/main_loop.hpp"
#include "app/startup.hpp"
#include "link/exceptions.hpp"
#include "pipeline/fps_measure.hpp"
#include "platform/signals.hpp"

#include <exception>
#include <iostream>
#include <memory>

namespace {

// Ctrl-C and SIGTERM do what Escape does: the loop stops at the next cycle
// boundary and shuts down in order.
void stop_on_signal() { stop.store(true); }

int run() {
    stop.store(false);
    switch_source.store(false);
    reset.store(false);
    install_stop_signals(stop_on_signal);

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
