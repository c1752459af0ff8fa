// board_emulator: the board stand-in as a program. Serves until SIGINT or
// SIGTERM, then prints its counters and exits 0; bad flags or an unusable
// configuration exit 2.
#include "emulator/board_emulator.hpp"
#include "emulator/options.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <pthread.h>

int main(int argc, char** argv) {
    ProgramOptions options;
    try {
        options = parse_arguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "board_emulator: " << e.what() << std::endl;
        std::cerr << "Try 'board_emulator --help' for the list of flags." << std::endl;
        return 2;
    }
    if (options.help) {
        std::cout << usage_text() << std::flush;
        return 0;
    }
    try {
        apply_configuration(options);
    } catch (const ConfigError& e) {
        std::cerr << "board_emulator: " << e.what() << std::endl;
        return 2;
    }

    // SIGINT and SIGTERM are taken synchronously by this thread only; block
    // them before the serving thread exists so it inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Request lines come only after the first line is out: the log waits for
    // the lock that is held until "listening on" is printed, so a request
    // answered at once is still logged.
    const bool verbose = options.settings.verbose;
    options.settings.verbose = false;
    std::mutex first_line;
    std::unique_ptr<BoardEmulator> emulator;
    try {
        emulator = std::make_unique<BoardEmulator>(options.settings);
    } catch (const std::exception& e) {
        std::cerr << "board_emulator: " << e.what() << std::endl;
        return 2;
    }
    if (verbose)
        emulator->set_log([&first_line](const std::string& line) {
            std::lock_guard<std::mutex> lock(first_line);
            std::cout << "request: " << line << std::endl;
        });
    // Taken after set_log, which locks the emulator: the serving thread
    // takes the two in the other order.
    std::unique_lock<std::mutex> first_line_lock(first_line);
    try {
        emulator->start();
    } catch (const std::exception& e) {
        std::cerr << "board_emulator: " << e.what() << std::endl;
        return 1;
    }
    std::cout << "listening on " << options.settings.bind << ":" << emulator->port() << std::endl;
    first_line_lock.unlock();

    for (;;) {
        int signal = 0;
        if (options.stats_every > 0) {
            timespec timeout{};
            timeout.tv_sec = time_t(options.stats_every);
            timeout.tv_nsec = long((options.stats_every - double(timeout.tv_sec)) * 1e9);
            if (timeout.tv_sec == 0 && timeout.tv_nsec < 1000000) timeout.tv_nsec = 1000000;
            signal = sigtimedwait(&signals, nullptr, &timeout);
            if (signal < 0) {
                if (errno == EAGAIN) std::cout << "stats: " << counters_line(emulator->counters()) << std::endl;
                continue;
            }
        } else if (sigwait(&signals, &signal) != 0) {
            continue;
        }
        if (signal == SIGINT || signal == SIGTERM) break;
    }
    int status = 0;
    try {
        emulator->stop();
    } catch (const std::exception& e) {
        std::cerr << "board_emulator: serving stopped: " << e.what() << std::endl;
        status = 1;
    }
    std::cout << counters_summary(emulator->counters()) << std::flush;
    return status;
}
