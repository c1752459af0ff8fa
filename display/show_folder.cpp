// Shows the images of a folder in a window: the right and left arrow keys
// step through them, Escape (or closing the window, or Ctrl-C) ends the
// program. Prints the position and name of each image shown.
//
//   show_folder <folder> [extension (default jpg)] [display time in ms (default 0: keys only)]
#include "display/display.hpp"
#include "platform/fatal_error.hpp"
#include "platform/fatal_handover.hpp"
#include "sources/image_glob_stream.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void on_signal(int) { stop_requested.store(true); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: show_folder <folder> [extension] [display time in ms]" << std::endl;
        return 2;
    }
    auto demo = std::make_shared<Demo>();
    demo->path_image_glob = argv[1];
    if (demo->path_image_glob.empty() || demo->path_image_glob.back() != '/') demo->path_image_glob += "/";
    demo->image_extension = argc > 2 ? argv[2] : "jpg";
    const auto display_ms = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 0ULL;

    auto stream = std::make_shared<ImageGlobStream>("glob", demo, std::chrono::milliseconds(display_ms));
    std::string message;
    if (!stream->okay(message)) {
        std::cerr << "ERROR: " << message << std::flush;
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    auto display = std::make_shared<Display>(stream, demo);
    display->register_callbacks(stream->get_callbacks());
    display->register_callback(KEY_ESCAPE, [] { stop_requested.store(true); });
    stream->work();
    display->work();

    uint64_t shown = stream->get_count();  // none yet
    while (!stop_requested.load()) {
        const uint64_t current = stream->get_i();
        if (current != shown) {
            shown = current;
            std::cout << shown << "\t" << stream->get_names()[shown] << std::endl;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    display->stop();
    stream->stop();
    try {
        rethrow_handed_over_fatal();
    } catch (const exception_fatal& error) {
        error.write(std::cout, std::cerr);
        return 1;
    }
    std::cout << "Stopped" << std::endl;
    return 0;
}
